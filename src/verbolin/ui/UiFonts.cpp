#include "verbolin/ui/UiFonts.hpp"

#include <QFontDatabase>
#include <QFontInfo>

namespace verbolin::UiFonts {

namespace {
void setSize(QFont& f, double size) {
    // Pixel sizes keep layout independent of the screen's dots per inch.
    f.setPixelSize(std::max(1, int(size + 0.5)));
}
}  // namespace

QFont system(double size, QFont::Weight weight) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setWeight(weight);
    setSize(f, size);
    return f;
}

QFont body(double size) {
    static const QString rounded = [] {
        for (const char* name : {"Nunito", "Varela Round", "Comfortaa"})
            if (QFontDatabase::hasFamily(QString::fromLatin1(name)))
                return QString::fromLatin1(name);
        return QString();
    }();
    QFont f = system(size);
    if (!rounded.isEmpty()) f.setFamily(rounded);
    return f;
}

QFont monospacedDigits(double size, QFont::Weight weight) {
    // The common desktop sans fonts (DejaVu, Noto, Cantarell) set digits
    // at equal width already; Qt 6.4 cannot ask for tabular figures.
    return system(size, weight);
}

}  // namespace verbolin::UiFonts
