#pragma once
// Keeps user edits inside the paragraph structure and maps the edited text
// back to paragraphs.

#include <QString>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "verbolin/storage/Block.hpp"
#include "verbolin/ui/AttributedText.hpp"
#include "verbolin/ui/ParagraphKey.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"

namespace verbolin {

// A paragraph whose shown text the user changed.
struct ParagraphEdit {
    platform::Uuid id;
    std::string before;  // as shown before the change
    std::string after;   // as shown now; empty when its text is gone
    // The paragraph shown in front of it before the change, if any: where
    // an emptied paragraph comes back.
    std::optional<platform::Uuid> previous;
    friend bool operator==(const ParagraphEdit&, const ParagraphEdit&) = default;
};

struct EditMapping {
    std::vector<ParagraphKey> keys;  // what the text now shows
    std::vector<ParagraphEdit> edits;
};

namespace TimelineEditMapper {

// Whether replacing [pos, pos + len) may happen. A separator can never be
// deleted or overtyped, so paragraphs are neither merged nor split. Nothing
// may touch the live paragraph (`liveId`): the store does not hold it, and
// text typed there would be dropped at the next preview. A paragraph
// shown in part is not changed at all.
bool shouldChange(const AttributedText& text, int pos, int len,
                  const std::optional<QString>& liveId);

// Why replacing [pos, pos + len) is refused, in the status bar's words;
// null where nothing is refused.
const char* whyRefused(const AttributedText& text, const std::vector<ParagraphRange>& ranges,
                       int pos, int len, const std::optional<QString>& liveId);

// How many UTF-16 units `a` and `b` share at their start, and then (of the
// rest) at their end: what lies between in each is what a change replaced.
std::pair<int, int> commonEnds(const QString& a, const QString& b);

// Where `before` became `after`: [at, at + removed) of it gave way to
// [at, at + inserted) of `after`. The caret after the change, when given and
// consistent, settles which of equal characters were typed or deleted.
struct ChangeSpan {
    int at = 0, removed = 0, inserted = 0;
    friend bool operator==(const ChangeSpan&, const ChangeSpan&) = default;
};
ChangeSpan changeSpan(const QString& before, const QString& after, std::optional<int> caret);

// Whether two texts show the same: a stored text that is not valid UTF-8
// shows with replacement characters, which is no edit of the user's.
bool sameAsShown(const std::string& a, const std::string& b);

// Text typed outside any paragraph joins the paragraph before it (or after
// it, at the very start), with the body font. The view gives what it takes
// in the look of the paragraph at its place, so none is left there; text
// that reached the document another way still finds its paragraph.
void assignStrayText(AttributedText& text, double fontSize);

// One edit per paragraph whose text, as shown, differs from what `shown`
// (the keys of the text before the change) held, in their order. `ranges`
// are the paragraphs of `text`, empty ones included: a paragraph whose text
// was removed entirely has an edit with an empty text. A paragraph shown in
// part keeps its key from `shown`.
EditMapping collectEdits(const AttributedText& text, const std::vector<ParagraphRange>& ranges,
                         std::span<const ParagraphKey> shown);

}  // namespace TimelineEditMapper
}  // namespace verbolin
