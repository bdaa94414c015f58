#include <gtest/gtest.h>

#include <string>

#include "auralith/utilities/StringExtensions.hpp"

using auralith::normalized;
using auralith::trimmingSpecialTokenCharacters;

TEST(StringExtensionsTest, TrimmingSpecialTokenCharacters) {
    const std::pair<std::string, std::string> cases[] = {
        {"<|en|>", "en"}, {"<|nospeech|>", "nospeech"}, {"<|>", ""},
        {"", ""},         {"a<|>b", "a<|>b"},           {" <|en|> ", " <|en|> "},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(trimmingSpecialTokenCharacters(in), out) << in;
}

TEST(StringExtensionsTest, NormalizedFormForWordComparison) {
    const std::pair<std::string, std::string> cases[] = {
        {"Well-Known,  Fact!", "well known fact"},
        {"¿Qué?", "qué"},
        {"\n  Hello  \n", "hello"},
        {"a - b", "a b"},  // the dash becomes a space, then the run collapses
        {"«Ünïcode» — “quotes”", "ünïcode quotes"},
        {"tab\there", "tab\there"},    // only spaces collapse
        {"$5 + 3 = 8", "$5 + 3 = 8"},  // symbols are not punctuation
        {"...", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(normalized(in), out) << in;
}
