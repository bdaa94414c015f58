#pragma once
// The keyboard shortcuts that the interface mentions, and the words it uses
// for them: the desktop's own ("Ctrl+C"), so that a hint names the keys the
// user actually presses.

#include <QKeySequence>
#include <string>

namespace verbolin::KeyShortcuts {

QKeySequence copy();             // copies the selected paragraphs
QKeySequence deleteSelection();  // deletes the selected paragraphs
QKeySequence newSession();       // starts a new session

// The shortcut as the desktop writes it in menus and hints.
std::string text(const QKeySequence& keys);

}  // namespace verbolin::KeyShortcuts
