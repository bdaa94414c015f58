#include "verbolin/ui/Clipboard.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QString>

namespace verbolin {

void copyPlainText(const std::string& text) {
    auto* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(text));
}

}  // namespace verbolin
