#include "verbolin/ui/WordDiffText.hpp"

#include <QEvent>
#include <algorithm>

#include "verbolin/ui/ColorRole.hpp"

namespace verbolin {

WordDiffText::WordDiffText(const QString& before, const QString& after, QWidget* parent)
    : QLabel(parent), before_(before), after_(after) {
    setTextFormat(Qt::RichText);
    refresh();
}

QStringList WordDiffText::words(const QString& text) {
    return text.split(QChar(u' '), Qt::SkipEmptyParts);
}

std::vector<WordDiffText::Op> WordDiffText::diff(const QStringList& a, const QStringList& b) {
    QStringList na, nb;
    for (const QString& w : a) na << w.normalized(QString::NormalizationForm_C);
    for (const QString& w : b) nb << w.normalized(QString::NormalizationForm_C);
    const size_t n = na.size(), m = nb.size();
    const size_t cols = m + 1;
    std::vector<int> L((n + 1) * cols, 0);
    auto at = [&](size_t i, size_t j) -> int& { return L[i * cols + j]; };
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            at(i, j) = na[i] == nb[j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));

    std::vector<Op> ops;
    size_t i = 0, j = 0;
    while (i < n && j < m) {
        if (na[i] == nb[j]) {
            ops.push_back({Op::Kind::same, a[i]});
            ++i, ++j;
        } else if (at(i + 1, j) >= at(i, j + 1)) {
            ops.push_back({Op::Kind::removed, a[i++]});
        } else {
            ops.push_back({Op::Kind::added, b[j++]});
        }
    }
    for (; i < n; ++i) ops.push_back({Op::Kind::removed, a[i]});
    for (; j < m; ++j) ops.push_back({Op::Kind::added, b[j]});
    return ops;
}

QString WordDiffText::html(const std::vector<Op>& ops, const QPalette& palette) {
    const QString secondary = colorFor(ColorRole::secondaryLabel, palette).name(QColor::HexArgb);
    QString out = QStringLiteral("<span style=\"white-space:pre\">");
    for (const Op& op : ops) {
        const QString word = (op.word + u' ').toHtmlEscaped();
        switch (op.kind) {
            case Op::Kind::same:
                out += QStringLiteral("<span style=\"color:%1\">%2</span>").arg(secondary, word);
                break;
            case Op::Kind::removed:
                out += QStringLiteral(
                           "<span style=\"color:#ff0000;text-decoration:line-through\">%1</span>")
                           .arg(word);
                break;
            case Op::Kind::added:
                out += QStringLiteral("<span style=\"color:#00a000\">%1</span>").arg(word);
                break;
        }
    }
    return out + QStringLiteral("</span>");
}

void WordDiffText::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) refresh();
}

void WordDiffText::refresh() { setText(html(diff(words(before_), words(after_)), palette())); }

}  // namespace verbolin
