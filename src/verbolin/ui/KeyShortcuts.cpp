#include "verbolin/ui/KeyShortcuts.hpp"

#include <QGuiApplication>

namespace verbolin::KeyShortcuts {

QKeySequence copy() { return QKeySequence(Qt::CTRL | Qt::Key_C); }
QKeySequence deleteSelection() { return QKeySequence(Qt::CTRL | Qt::Key_Backspace); }
QKeySequence newSession() { return QKeySequence(Qt::CTRL | Qt::Key_N); }

std::string text(const QKeySequence& keys) {
    // The desktop's words need the GUI application; without one (a command
    // line tool, a test of the wording) the portable form reads the same here.
    const auto format = qGuiApp ? QKeySequence::NativeText : QKeySequence::PortableText;
    return keys.toString(format).toStdString();
}

}  // namespace verbolin::KeyShortcuts
