#pragma once
// Word error rate of a hypothesis against a reference, over lower-case letters
// and digits: the measure the trained test model's accuracy is stated in.

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

inline double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
    auto words = [](const std::string& text) {
        std::vector<std::string> out(1);
        for (char c : text)
            if (std::isalnum(static_cast<unsigned char>(c)))
                out.back() += static_cast<char>(std::tolower(c));
            else if (!out.back().empty())
                out.emplace_back();
        if (out.back().empty()) out.pop_back();
        return out;
    };
    const auto ref = words(reference), hyp = words(hypothesis);
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
