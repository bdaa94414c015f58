#include "verbolin/ui/DocumentGeometry.hpp"

#include <QAbstractTextDocumentLayout>
#include <QTextBlock>
#include <QTextLayout>

namespace verbolin::DocumentGeometry {

namespace {

QRectF blockRect(const QTextDocument& doc, const QTextBlock& b) {
    return doc.documentLayout()->blockBoundingRect(b);
}

// The first block whose rectangle ends below y (binary search by number).
QTextBlock firstBlockEndingBelow(const QTextDocument& doc, double y) {
    int lo = 0, hi = doc.blockCount();
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        QTextBlock b = doc.findBlockByNumber(mid);
        if (blockRect(doc, b).bottom() <= y)
            lo = mid + 1;
        else
            hi = mid;
    }
    return doc.findBlockByNumber(lo);
}

}  // namespace

std::optional<LineBox> lineAt(const QTextDocument& doc, int position) {
    QTextBlock b = doc.findBlock(position);
    if (!b.isValid()) return std::nullopt;
    QRectF br = blockRect(doc, b);
    QTextLayout* layout = b.layout();
    if (!layout || layout->lineCount() == 0) return std::nullopt;
    QTextLine line = layout->lineForTextPosition(position - b.position());
    if (!line.isValid()) line = layout->lineAt(layout->lineCount() - 1);
    QRectF r = line.rect().translated(br.topLeft());
    return LineBox{r, r.top() + line.ascent()};
}

std::optional<std::pair<double, double>> extent(const QTextDocument& doc, int pos, int len) {
    auto first = lineAt(doc, pos);
    auto last = lineAt(doc, pos + std::max(len - 1, 0));
    if (!first || !last) return std::nullopt;
    return std::make_pair(first->rect.top(), std::max(first->rect.bottom(), last->rect.bottom()));
}

std::pair<int, int> visibleRange(const QTextDocument& doc, double top, double bottom) {
    QTextBlock b = firstBlockEndingBelow(doc, top);
    if (!b.isValid()) return {doc.characterCount() - 1, 0};
    int start = -1, end = -1;
    for (; b.isValid(); b = b.next()) {
        QRectF br = blockRect(doc, b);
        if (br.top() >= bottom) break;
        QTextLayout* layout = b.layout();
        for (int i = 0; layout && i < layout->lineCount(); ++i) {
            QTextLine line = layout->lineAt(i);
            double lt = br.top() + line.y(), lb = lt + line.height();
            if (lb <= top) continue;
            if (start < 0) start = b.position() + line.textStart();
            if (lt >= bottom) break;
            end = b.position() + line.textStart() + line.textLength();
        }
        if (start >= 0 && br.bottom() >= bottom) break;
    }
    if (start < 0) return {doc.characterCount() - 1, 0};
    return {start, std::max(end - start, 0)};
}

double layoutAll(const QTextDocument& doc) {
    // Qt lays long documents out lazily, in steps on a timer; asking where
    // the last block lies makes it finish the steps now.
    (void)blockRect(doc, doc.lastBlock());
    return doc.documentLayout()->documentSize().height();
}

}  // namespace verbolin::DocumentGeometry
