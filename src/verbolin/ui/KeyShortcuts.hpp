#pragma once
// The keyboard shortcuts that the interface mentions, and the words it uses
// for them: the desktop's own ("Ctrl+C"), so that a hint names the keys the
// user actually presses.

#include <QKeySequence>
#include <QList>
#include <string>

class QKeyEvent;

namespace verbolin::KeyShortcuts {

QKeySequence copy();             // copies the selected paragraphs
QKeySequence deleteSelection();  // deletes the selected paragraphs
QKeySequence newSession();       // starts a new session
// Take back and put again the last edit: the desktop's keys, and Ctrl+Z,
// Ctrl+Shift+Z and Ctrl+Y on every desktop, each key once (a key named
// twice is an ambiguous shortcut, which Qt then ignores).
QList<QKeySequence> undo();
QList<QKeySequence> redo();
// Whether the key event `e` is one of `keys`.
bool matches(const QKeyEvent& e, const QList<QKeySequence>& keys);

// The shortcut as the desktop writes it in menus and hints.
std::string text(const QKeySequence& keys);

}  // namespace verbolin::KeyShortcuts
