#pragma once
// Icons by the symbol names the application uses ("mic", "waveform", …),
// taken from the desktop's icon theme (freedesktop names) and drawn by hand
// when the theme has none of them, so an icon is never blank. Each icon is
// made once for its symbol and theme and given out again after: a new QIcon
// would be painted and cached anew by the toolkit at every refresh of the
// toolbar or tray. Main thread only.

#include <QIcon>
#include <QString>
#include <vector>

namespace verbolin {

class SymbolIcon {
  public:
    // Theme icon names for a symbol, best first; empty for an unknown symbol.
    static std::vector<QString> themeNames(const QString& symbol);
    // The first theme icon found, else the drawn one; the same icon (equal
    // cacheKey) for as long as the theme is the same.
    static QIcon icon(const QString& symbol);
    // The hand-drawn icon alone, made once per symbol.
    static QIcon drawn(const QString& symbol);
};

}  // namespace verbolin
