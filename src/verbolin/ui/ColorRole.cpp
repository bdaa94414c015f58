#include "verbolin/ui/ColorRole.hpp"

namespace verbolin {

QColor colorFor(ColorRole role, const QPalette& palette) {
    QColor text = palette.color(QPalette::Text);
    auto faded = [&](double alpha) {
        QColor c = text;
        c.setAlphaF(float(alpha));
        return c;
    };
    switch (role) {
        case ColorRole::label:
            return text;
        case ColorRole::secondaryLabel:
            return faded(0.55);
        case ColorRole::tertiaryLabel:
            return faded(0.30);
        case ColorRole::quaternaryLabel:
            return faded(0.18);
        case ColorRole::accent:
        case ColorRole::controlAccent:
            return palette.color(QPalette::Highlight);
        case ColorRole::windowBackground:
            return palette.color(QPalette::Window);
    }
    return text;
}

}  // namespace verbolin
