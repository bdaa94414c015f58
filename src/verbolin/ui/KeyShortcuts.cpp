#include "verbolin/ui/KeyShortcuts.hpp"

#include <QGuiApplication>
#include <QKeyEvent>

namespace verbolin::KeyShortcuts {

QKeySequence copy() { return QKeySequence(Qt::CTRL | Qt::Key_C); }
QKeySequence deleteSelection() { return QKeySequence(Qt::CTRL | Qt::Key_Backspace); }
QKeySequence newSession() { return QKeySequence(Qt::CTRL | Qt::Key_N); }

namespace {
QList<QKeySequence> withKeys(QKeySequence::StandardKey standard,
                             std::initializer_list<QKeySequence> always) {
    QList<QKeySequence> keys;
    for (const QKeySequence& k : QKeySequence::keyBindings(standard))
        if (!k.isEmpty() && !keys.contains(k)) keys.append(k);
    for (const QKeySequence& k : always)
        if (!keys.contains(k)) keys.append(k);
    return keys;
}
}  // namespace

QList<QKeySequence> undo() {
    return withKeys(QKeySequence::Undo, {QKeySequence(Qt::CTRL | Qt::Key_Z)});
}

QList<QKeySequence> redo() {
    return withKeys(QKeySequence::Redo, {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                                         QKeySequence(Qt::CTRL | Qt::Key_Y)});
}

bool matches(const QKeyEvent& e, const QList<QKeySequence>& keys) {
    const QKeySequence pressed(e.keyCombination());
    // The keypad's keys count as the main ones, as Qt's own matching has it.
    const QKeySequence plain(
        QKeyCombination(e.modifiers() & ~Qt::KeypadModifier, Qt::Key(e.key())));
    return keys.contains(pressed) || keys.contains(plain);
}

std::string text(const QKeySequence& keys) {
    // The desktop's words need the GUI application; without one (a command
    // line tool, a test of the wording) the portable form reads the same here.
    const auto format = qGuiApp ? QKeySequence::NativeText : QKeySequence::PortableText;
    return keys.toString(format).toStdString();
}

}  // namespace verbolin::KeyShortcuts
