#include <gtest/gtest.h>

#include <string>

#include "verbolin/listening/OutputFilters.hpp"

using verbolin::OutputFilters;

namespace {

struct Case {
    std::string raw;      // what the recogniser returned
    std::string trimmed;  // OutputFilters::trimmed
    std::string cleaned;  // OutputFilters::cleaned: what the session reports
};

}  // namespace

// Text straight from the recogniser through every filter, with the inputs a
// model that has gone wrong produces.
TEST(OutputFilters, RawTextThroughEveryFilter) {
    const Case cases[] = {
        {"", "", ""},
        {" ", "", ""},
        {" \t\r\n\v\f", "", ""},
        {"\u00a0\u2003\u3000\u2028\u2029\u0085", "", ""},  // Unicode-only white space
        {"  Hello there.  ", "Hello there.", "Hello there."},
        {"\n Thank you. \n", "Thank you.", ""},
        {" tHaNk YoU fOr WaTcHiNg. ", "tHaNk YoU fOr WaTcHiNg.", ""},
        {"  [Music]", "[Music]", ""},
        {"\u3000(laughs) ok", "(laughs) ok", ""},
        // Case folding, not lowering: the sharp s folds to "ss", the final
        // sigma to sigma, the Kelvin sign to k.
        {"STRASSE straße Straße next word", "STRASSE straße Straße next word", "STRASSE next word"},
        {"ΣΟΦΟΣ σοφος σοφοσ again more", "ΣΟΦΟΣ σοφος σοφοσ again more", "ΣΟΦΟΣ again more"},
        {"\u212a k K then this", "\u212a k K then this", "\u212a then this"},
        // Repetition loops, the recogniser's other failure.
        {"the the the the the the", "the the the the the the", ""},
        {" so so I think the the plan is fine ", "so so I think the the plan is fine",
         "so I think the plan is fine"},
        {"word, word, word. word", "word, word, word. word", "word, word. word"},
        // Malformed UTF-8 is text: it stops the trim, never the filters.
        {"\xff", "\xff", "\xff"},
        {" \xc3 ", "\xc3", "\xc3"},
        {"\xe2\x80 hello \xe2\x80", "\xe2\x80 hello \xe2\x80", "\xe2\x80 hello \xe2\x80"},
        {"ok \xc0\xaf ok", "ok \xc0\xaf ok", "ok \xc0\xaf ok"},
        {std::string("a\0b", 3), std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OutputFilters::trimmed(c.raw), c.trimmed) << c.raw;
        EXPECT_EQ(OutputFilters::cleaned(c.raw), c.cleaned) << c.raw;
    }
}

// Any input, however broken, gives back a subsequence of its own words: the
// filters may drop text but never invent or corrupt it.
TEST(OutputFilters, CollapseKeepsOnlyWordsOfItsInput) {
    const std::string inputs[] = {
        "\xff\xfe \xff\xfe \xff\xfe \xff\xfe",
        "a \xed\xa0\x80 \xed\xa0\x80 b c",
        "\xf4\x90\x80\x80 x \xf4\x90\x80\x80 x",
        "     ",
        std::string(4096, 'a') + " " + std::string(4096, 'A') + " b c",
    };
    for (const std::string& in : inputs) {
        const std::string out = OutputFilters::collapseRepeats(in);
        size_t from = 0;
        for (size_t i = 0; i < out.size();) {
            const size_t space = out.find(' ', i);
            const size_t stop = space == std::string::npos ? out.size() : space;
            const std::string word = out.substr(i, stop - i);
            const size_t at = in.find(word, from);
            ASSERT_NE(at, std::string::npos) << "not in the input: " << word;
            from = at + word.size();
            i = stop + 1;
        }
    }
}
