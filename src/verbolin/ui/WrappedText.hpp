#pragma once
// A text broken into the lines a narrow place can show. A message that says
// what went wrong at its start and what to do about it at its end keeps
// both: past the lines there are, its middle is left out.

#include <QFont>
#include <QString>
#include <QStringList>

namespace verbolin::WrappedText {

// `text` in lines no wider than `width` pixels in `font`, broken between
// words (inside a word only where one word is wider than a line), at most
// `maxLines` of them. A text that needs more keeps as much of its start and
// of its end as fits, in equal parts, with "…" where the middle was.
QStringList lines(const QString& text, const QFont& font, int width, int maxLines);

}  // namespace verbolin::WrappedText
