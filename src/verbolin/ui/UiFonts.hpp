#pragma once
// The fonts of the timeline. Sizes are logical points, one point being one
// device-independent pixel.

#include <QFont>

namespace verbolin::UiFonts {

// The medium-weight system font; a rounded family is used where installed.
QFont body(double size);
// The system font with digits of equal width, for time labels.
QFont monospacedDigits(double size, QFont::Weight weight = QFont::Medium);
QFont system(double size, QFont::Weight weight = QFont::Medium);

}  // namespace verbolin::UiFonts
