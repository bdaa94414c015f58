#pragma once
// Layout queries on a QTextDocument in document coordinates (y grows down,
// margins included). Each lays out only as far as it needs.

#include <QRectF>
#include <QTextDocument>
#include <optional>

namespace verbolin::DocumentGeometry {

struct LineBox {
    QRectF rect;      // the line itself, without the block's top margin
    double baseline;  // y of the line's baseline
};

// The line that holds the character at `position`.
std::optional<LineBox> lineAt(const QTextDocument& doc, int position);

// Top of the first and bottom of the last line of [pos, pos + len).
std::optional<std::pair<double, double>> extent(const QTextDocument& doc, int pos, int len);

// The characters on lines that meet the band [top, bottom): (location, length).
// A band that only holds spacing gives an empty range at the next line.
std::pair<int, int> visibleRange(const QTextDocument& doc, double top, double bottom);

// Lays out the whole document and returns its height.
double layoutAll(const QTextDocument& doc);

}  // namespace verbolin::DocumentGeometry
