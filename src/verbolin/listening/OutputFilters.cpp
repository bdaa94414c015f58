#include "verbolin/listening/OutputFilters.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/system/Text.hpp"

namespace verbolin {

std::string OutputFilters::trimmed(std::string_view text) {
    return std::string(platform::text::trimmedScalars(text, platform::text::isWhiteSpace));
}

bool OutputFilters::isHallucination(std::string_view text) {
    static constexpr std::array<std::string_view, 6> kPhrases = {
        "thank you.", "thanks for watching.", "you", "you.", "bye.", "thank you for watching.",
    };
    if (text.empty() || text.front() == '[' || text.front() == '(') return true;
    const std::u16string folded = platform::text::caseFolded(text);
    return std::any_of(kPhrases.begin(), kPhrases.end(), [&](std::string_view phrase) {
        return platform::text::caseFolded(phrase) == folded;
    });
}

std::string OutputFilters::collapseRepeats(std::string_view text) {
    std::vector<std::string_view> words;
    for (size_t i = 0; i < text.size();) {
        const size_t space = text.find(' ', i);
        const size_t stop = space == std::string_view::npos ? text.size() : space;
        if (stop > i) words.push_back(text.substr(i, stop - i));
        i = stop + 1;
    }
    if (words.size() < 4) return std::string(text);

    std::vector<std::string_view> kept;
    std::u16string lastKept;
    for (std::string_view w : words) {
        std::u16string folded = platform::text::caseFolded(w);
        if (!kept.empty() && folded == lastKept) continue;
        kept.push_back(w);
        lastKept = std::move(folded);
    }
    if (double(kept.size()) < double(words.size()) / 2.0) return {};
    std::string out;
    for (std::string_view w : kept) {
        if (!out.empty()) out += ' ';
        out += w;
    }
    return out;
}

std::string OutputFilters::cleaned(std::string_view raw) {
    const std::string text = trimmed(raw);
    return isHallucination(text) ? std::string() : collapseRepeats(text);
}

}  // namespace verbolin
