#pragma once
// The clean-up of the recogniser's text before anyone sees it: white space
// off the ends, the phrases it invents on silence dropped, and runs of the
// same word shrunk. Pure functions of their input, safe from any thread.

#include <string>
#include <string_view>

namespace verbolin {

struct OutputFilters {
    // Unicode white space and line breaks removed from both ends.
    static std::string trimmed(std::string_view text);

    // True for empty text, text in brackets or parentheses, and the phrases
    // the recogniser is known to invent on silence. Expects trimmed text.
    static bool isHallucination(std::string_view text);

    // Shrinks runs of the same word (ignoring case) to one; drops the whole
    // text when fewer than half of its words survive. Texts of fewer than four
    // words are returned unchanged.
    static std::string collapseRepeats(std::string_view text);

    // All of the above in order: what a session reports for raw recogniser
    // output; empty when nothing of it should be shown.
    static std::string cleaned(std::string_view raw);
};

}  // namespace verbolin
