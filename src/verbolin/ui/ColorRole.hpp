#pragma once
// The named colours the timeline asks for; the widget layer maps them onto
// the palette of the running style.

#include <QColor>
#include <QPalette>

namespace verbolin {

enum class ColorRole {
    label,
    secondaryLabel,
    tertiaryLabel,
    quaternaryLabel,
    accent,
    controlAccent,
    windowBackground
};

QColor colorFor(ColorRole role, const QPalette& palette);

}  // namespace verbolin
