#pragma once
// Rewriting a stretch of the timeline's text in place: the paragraph ranges
// after it move by what the stretch grew or shrank, and a caret or selection
// end inside it keeps its offset in its paragraph, so that new speech joining
// the paragraph being edited, or an undo in another, leaves it where it was
// in the text. Positions are UTF-16 units.

#include <QString>
#include <optional>
#include <utility>
#include <vector>

#include "verbolin/ui/ParagraphRanges.hpp"

namespace verbolin::TimelineSplice {

// A position of the text before [start, end) was rewritten: where it was,
// and when inside the stretch, the paragraph there and the offset in it.
struct Point {
    int position = 0;
    std::optional<std::pair<QString, int>> in;
};
Point locate(const std::vector<ParagraphRange>& ranges, int start, int end, int position);

// Replaces the ranges within [start, end) by `fresh` (those of the new text
// there, already placed at `start`) and moves the later ones by `delta`.
void replaceRanges(std::vector<ParagraphRange>& ranges, int start, int end,
                   const std::vector<ParagraphRange>& fresh, int delta);

// Where `point` lies once [start, end) became `added` units holding the
// paragraphs `fresh`: before the stretch it stays, after it it moves, inside
// it it keeps its offset in its paragraph when that is still there (held to
// the paragraph's end), and is held to the new stretch otherwise.
int place(const Point& point, int start, int end, int added,
          const std::vector<ParagraphRange>& fresh);

}  // namespace verbolin::TimelineSplice
