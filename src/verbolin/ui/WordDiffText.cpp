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

namespace {

QString canonical(const QString& word) { return word.normalized(QString::NormalizationForm_C); }

bool equivalent(const QString& x, const QString& y) {
    return x == y || canonical(x) == canonical(y);
}

std::vector<QString> canonicalFrom(const QStringList& words, qsizetype from) {
    std::vector<QString> out;
    out.reserve(size_t(words.size() - from));
    for (qsizetype i = from; i < words.size(); ++i) out.push_back(canonical(words[i]));
    return out;
}

}  // namespace

std::vector<WordDiffText::Op> WordDiffText::diff(const QStringList& a, const QStringList& b) {
    using Kind = Op::Kind;
    const qsizetype n = a.size(), m = b.size();
    std::vector<Op> ops;
    ops.reserve(size_t(std::max(n, m)));
    // A longest common subsequence walk that takes every match it meets
    // keeps the common head as it is.
    qsizetype head = 0;
    for (; head < n && head < m && equivalent(a[head], b[head]); ++head)
        ops.push_back({Kind::same, a[head]});
    const std::vector<QString> na = canonicalFrom(a, head), nb = canonicalFrom(b, head);
    const auto wordA = [&](qsizetype i) -> const QString& { return na[size_t(i - head)]; };
    const auto wordB = [&](qsizetype j) -> const QString& { return nb[size_t(j - head)]; };
    qsizetype tail = 0;
    while (tail < n - head && tail < m - head && wordA(n - 1 - tail) == wordB(m - 1 - tail)) ++tail;

    // A common tail adds its length to the subsequence of every pair of
    // suffixes that hold it, so between head and tail the walk decides as
    // it would over the whole texts, from a table of the middle words alone.
    const qsizetype endA = n - tail, endB = m - tail;
    const size_t cols = size_t(endB - head) + 1;
    if ((size_t(endA - head) + 1) * cols > kMaxTableCells) {
        for (qsizetype i = head; i < endA; ++i) ops.push_back({Kind::removed, a[i]});
        for (qsizetype j = head; j < endB; ++j) ops.push_back({Kind::added, b[j]});
        for (qsizetype i = endA; i < n; ++i) ops.push_back({Kind::same, a[i]});
        return ops;
    }
    std::vector<int> L((size_t(endA - head) + 1) * cols, 0);
    auto at = [&](qsizetype i, qsizetype j) -> int& {
        return L[size_t(i - head) * cols + size_t(j - head)];
    };
    for (qsizetype i = endA; i-- > head;)
        for (qsizetype j = endB; j-- > head;)
            at(i, j) =
                wordA(i) == wordB(j) ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));

    qsizetype i = head, j = head;
    while (i < n && j < m) {
        if (wordA(i) == wordB(j)) {
            ops.push_back({Kind::same, a[i]});
            ++i, ++j;
            continue;
        }
        // Past the middle of one text, what is left of it is the tail, which
        // the other's rest holds: the walk keeps each word of it at its
        // first match there, and takes the other's words out or in till then.
        const bool removes = i < endA && j < endB ? at(i + 1, j) >= at(i, j + 1) : n - i > m - j;
        if (removes)
            ops.push_back({Kind::removed, a[i++]});
        else
            ops.push_back({Kind::added, b[j++]});
    }
    for (; i < n; ++i) ops.push_back({Kind::removed, a[i]});
    for (; j < m; ++j) ops.push_back({Kind::added, b[j]});
    return ops;
}

QString WordDiffText::html(std::span<const Op> ops, const QPalette& palette) {
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
