#pragma once
// Word error rate of a hypothesis against a reference, over lower-case letters
// and digits: the measure the trained test model's accuracy is stated in.
// Special tokens ("<|0.98|>", "<|endoftext|>") in segment texts are no words.

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// The lower-cased words of a text, special tokens and punctuation left out.
inline std::vector<std::string> wordsOf(std::string text) {
    for (auto at = text.find("<|"); at != std::string::npos; at = text.find("<|", at)) {
        const auto end = text.find("|>", at + 2);
        text.replace(at, end == std::string::npos ? std::string::npos : end + 2 - at, " ");
    }
    std::vector<std::string> out(1);
    for (char c : text)
        if (std::isalnum(static_cast<unsigned char>(c)))
            out.back() += static_cast<char>(std::tolower(c));
        else if (!out.back().empty())
            out.emplace_back();
    if (out.back().empty()) out.pop_back();
    return out;
}

inline double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
    const auto ref = wordsOf(reference), hyp = wordsOf(hypothesis);
    std::vector<std::size_t> row(hyp.size() + 1);
    for (std::size_t j = 0; j <= hyp.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= ref.size(); ++i) {
        std::size_t diagonal = row[0]++;
        for (std::size_t j = 1; j <= hyp.size(); ++j)
            diagonal = std::exchange(row[j], std::min({row[j] + 1, row[j - 1] + 1,
                                                       diagonal + (ref[i - 1] != hyp[j - 1])}));
    }
    return static_cast<double>(row.back()) / static_cast<double>(ref.size());
}

}  // namespace testsupport
