#include "verbolin/ui/SymbolIcon.hpp"

#include <QCoreApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <map>
#include <tuple>
#include <utility>

namespace verbolin {
namespace {

const std::map<QString, std::vector<QString>>& table() {
    static const std::map<QString, std::vector<QString>> names = {
        {"mic", {"audio-input-microphone-symbolic", "audio-input-microphone"}},
        {"mic.slash",
         {"microphone-sensitivity-muted-symbolic", "audio-input-microphone-muted-symbolic",
          "microphone-sensitivity-muted"}},
        {"waveform", {"audio-x-generic-symbolic", "audio-x-generic"}},
        {"ellipsis.circle", {"content-loading-symbolic", "view-more-symbolic", "view-more"}},
        {"exclamationmark.triangle", {"dialog-warning-symbolic", "dialog-warning"}},
        {"pause.circle.fill", {"media-playback-pause-symbolic", "media-playback-pause"}},
        {"mic.circle.fill", {"audio-input-microphone-symbolic", "audio-input-microphone"}},
        {"pin", {"view-pin-symbolic", "window-pin", "pin"}},
        {"pin.fill", {"view-pin-symbolic", "window-pin", "pin"}},
        {"textformat.size.smaller", {"zoom-out-symbolic", "zoom-out"}},
        {"textformat.size.larger", {"zoom-in-symbolic", "zoom-in"}},
    };
    return names;
}

// A microphone: capsule head, cradle and stand.
void drawMic(QPainter& p, bool slashed) {
    p.drawRoundedRect(QRectF(12, 4, 8, 15), 4, 4);
    QPainterPath cradle;
    cradle.moveTo(8, 14);
    cradle.cubicTo(8, 24, 24, 24, 24, 14);
    p.drawPath(cradle);
    p.drawLine(QPointF(16, 22), QPointF(16, 28));
    p.drawLine(QPointF(11, 28), QPointF(21, 28));
    if (slashed) p.drawLine(QPointF(6, 4), QPointF(26, 28));
}

void drawSymbol(QPainter& p, const QString& symbol) {
    if (symbol == "mic" || symbol == "mic.circle.fill") return drawMic(p, false);
    if (symbol == "mic.slash") return drawMic(p, true);
    if (symbol == "waveform") {
        const double heights[] = {6, 14, 22, 12, 18, 8};
        for (int i = 0; i < 6; ++i)
            p.drawLine(QPointF(6 + i * 4, 16 - heights[i] / 2),
                       QPointF(6 + i * 4, 16 + heights[i] / 2));
        return;
    }
    if (symbol == "ellipsis.circle") {
        p.drawEllipse(QRectF(3, 3, 26, 26));
        for (int i = 0; i < 3; ++i) p.drawPoint(QPointF(10 + i * 6, 16));
        return;
    }
    if (symbol == "exclamationmark.triangle") {
        QPainterPath t;
        t.moveTo(16, 3);
        t.lineTo(29, 27);
        t.lineTo(3, 27);
        t.closeSubpath();
        p.drawPath(t);
        p.drawLine(QPointF(16, 11), QPointF(16, 19));
        p.drawPoint(QPointF(16, 23));
        return;
    }
    if (symbol == "pause.circle.fill") {
        p.drawEllipse(QRectF(3, 3, 26, 26));
        p.drawLine(QPointF(13, 10), QPointF(13, 22));
        p.drawLine(QPointF(19, 10), QPointF(19, 22));
        return;
    }
    if (symbol == "pin" || symbol == "pin.fill") {
        if (symbol == "pin.fill") p.setBrush(p.pen().color());
        p.drawEllipse(QRectF(10, 3, 12, 12));
        p.drawLine(QPointF(16, 15), QPointF(16, 29));
        return;
    }
    if (symbol.startsWith("textformat.size")) {
        QFont font = p.font();
        font.setPixelSize(symbol.endsWith("larger") ? 24 : 14);
        font.setBold(true);
        p.setFont(font);
        p.drawText(QRectF(0, 0, 32, 32), Qt::AlignCenter, "A");
        return;
    }
    p.drawEllipse(QRectF(6, 6, 20, 20));  // unknown: still something to see
}

QIcon paint(const QString& symbol) {
    QIcon icon;
    for (int size : {16, 22, 32, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 32.0, size / 32.0);
        // Mid grey reads on light and dark panels alike.
        p.setPen(QPen(QColor(128, 128, 128), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        drawSymbol(p, symbol);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// The icons made so far, by symbol, and for a theme's by the theme's name
// (none for a drawn one).
using IconKey = std::tuple<QString, bool, QString>;
std::map<IconKey, QIcon>& made() {
    static std::map<IconKey, QIcon> icons;
    return icons;
}

template <typename Make>
QIcon once(const IconKey& key, Make make) {
    auto& icons = made();
    if (const auto found = icons.find(key); found != icons.end()) return found->second;
    QIcon icon = make();
    // They go with the application, so that no pixmap outlives it; the
    // next application, if any, makes its own.
    if (icons.empty()) qAddPostRoutine([] { made().clear(); });
    return icons.emplace(key, std::move(icon)).first->second;
}

}  // namespace

std::vector<QString> SymbolIcon::themeNames(const QString& symbol) {
    const auto& names = table();
    const auto found = names.find(symbol);
    return found == names.end() ? std::vector<QString>{} : found->second;
}

QIcon SymbolIcon::icon(const QString& symbol) {
    return once({symbol, false, QIcon::themeName()}, [&] {
        for (const auto& name : themeNames(symbol))
            if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
        return drawn(symbol);
    });
}

QIcon SymbolIcon::drawn(const QString& symbol) {
    return once({symbol, true, QString()}, [&] { return paint(symbol); });
}

}  // namespace verbolin
