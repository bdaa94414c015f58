#include "verbolin/ui/WrappedText.hpp"

#include <QTextLayout>
#include <QTextOption>
#include <algorithm>

namespace verbolin::WrappedText {
namespace {

const QChar kEllipsis(0x2026);

// The lines `text` takes, stopping once there are more than `limit`.
QStringList layOut(const QString& text, const QFont& font, int width, int limit) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList out;
    while (out.size() <= limit) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        // The space a line was broken at is not shown at either end.
        out << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return out;
}

// The start and the end of `text`, `kept` characters in all, joined by "…".
QString shortened(const QString& text, qsizetype kept) {
    const qsizetype head = (kept + 1) / 2;
    QString start = text.left(head), end = text.right(kept - head);
    while (!start.isEmpty() && start.back().isSpace()) start.chop(1);
    while (!end.isEmpty() && end.front().isSpace()) end.remove(0, 1);
    return start + kEllipsis + end;
}

}  // namespace

QStringList lines(const QString& text, const QFont& font, int width, int maxLines) {
    maxLines = std::max(maxLines, 1);
    width = std::max(width, 1);
    // No character is narrower than a pixel: more than this never shows,
    // and a huge text is not laid out again and again for nothing.
    const qsizetype most = qsizetype(maxLines) * width;
    if (text.size() > most) return lines(shortened(text, most - 1), font, width, maxLines);
    QStringList whole = layOut(text, font, width, maxLines);
    if (whole.size() <= maxLines) return whole;
    // The most characters that still fit; fewer always fit as well, since
    // a shorter text of the same start and end never needs more lines.
    qsizetype fits = 0, fails = text.size();
    while (fails - fits > 1) {
        const qsizetype mid = (fits + fails) / 2;
        (layOut(shortened(text, mid), font, width, maxLines).size() <= maxLines ? fits : fails) =
            mid;
    }
    return layOut(shortened(text, fits), font, width, maxLines);
}

}  // namespace verbolin::WrappedText
