#pragma once
// Icons by the symbol names the application uses ("mic", "waveform", …),
// taken from the desktop's icon theme (freedesktop names) and drawn by hand
// when the theme has none of them, so an icon is never blank.

#include <QIcon>
#include <QString>
#include <vector>

namespace verbolin {

class SymbolIcon {
  public:
    // Theme icon names for a symbol, best first; empty for an unknown symbol.
    static std::vector<QString> themeNames(const QString& symbol);
    // The first theme icon found, else the drawn one.
    static QIcon icon(const QString& symbol);
    // The hand-drawn icon alone.
    static QIcon drawn(const QString& symbol);
};

}  // namespace verbolin
