#include "verbolin/ui/Pasteboard.hpp"

#include <QClipboard>
#include <QGuiApplication>

namespace verbolin {

void ClipboardPasteboard::clearAndSetString(const QString& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear(QClipboard::Clipboard);
    clipboard->setText(text, QClipboard::Clipboard);
    if (clipboard->supportsSelection()) clipboard->setText(text, QClipboard::Selection);
}

QString ClipboardPasteboard::string() const {
    return QGuiApplication::clipboard()->text(QClipboard::Clipboard);
}

}  // namespace verbolin
