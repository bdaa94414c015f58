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

// The start and the end of `text`, `kept` characters in all at most, joined
// by "…". Each part is cut between words where a word boundary lies in its
// outer half, so that no word is shown in part.
QString shortened(const QString& text, qsizetype kept) {
    const qsizetype head = (kept + 1) / 2;
    QString start = text.left(head), end = text.right(kept - head);
    QString before, after;  // a space beside "…" where a word ends or starts
    if (const qsizetype at = start.lastIndexOf(' '); at > start.size() / 2) {
        start.truncate(at);
        before = QStringLiteral(" ");
    }
    if (const qsizetype at = end.indexOf(' '); at >= 0 && at < end.size() / 2) {
        end.remove(0, at + 1);
        after = QStringLiteral(" ");
    }
    start = start.trimmed();
    end = end.trimmed();
    return start + (start.isEmpty() ? QString() : before) + kEllipsis +
           (end.isEmpty() ? QString() : after) + end;
}

}  // namespace

QStringList lines(const QString& text, const QFont& font, int width, int maxLines) {
    maxLines = std::max(maxLines, 1);
    width = std::max(width, 1);
    // Hardly a character is narrower than a pixel: of a huge text no more
    // than this is kept, and it is not laid out whole again and again.
    const qsizetype most = qsizetype(maxLines) * width;
    if (text.size() <= most) {
        QStringList whole = layOut(text, font, width, maxLines);
        if (whole.size() <= maxLines) return whole;
    }
    // The most characters that still fit, found by halving: fewer fit as
    // well, but for where a word break falls, and what is shown is only
    // ever a shortening that was laid out and found to fit.
    qsizetype fits = 0, fails = std::min(text.size(), most + 1);
    QStringList best = layOut(shortened(text, 0), font, width, maxLines);
    while (fails - fits > 1) {
        const qsizetype mid = (fits + fails) / 2;
        QStringList tried = layOut(shortened(text, mid), font, width, maxLines);
        if (tried.size() <= maxLines) {
            fits = mid;
            best = std::move(tried);
        } else {
            fails = mid;
        }
    }
    return best;
}

}  // namespace verbolin::WrappedText
