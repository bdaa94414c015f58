#pragma once
// Small helpers over collections, text, numbers and paths shared by the hub
// client, the tokenizers and the speech pipeline. Text is UTF-8; "character"
// means a user-perceived character (an extended grapheme cluster).

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/system/FatalError.hpp"

namespace vortil {

// The elements that fnmatch(glob, element, 0) accepts, in order. With no flags
// "*" and "?" also match "/" and a leading ".", and a backslash escapes.
std::vector<std::string> matching(const std::vector<std::string>& elements,
                                  const std::string& glob);

// The elements without repeats, first occurrences in order.
template <class T, class Hash = std::hash<T>>
std::vector<T> orderedSet(const std::vector<T>& elements) {
    std::unordered_set<T, Hash> seen;
    std::vector<T> result;
    for (const T& element : elements) {
        if (seen.insert(element).second) result.push_back(element);
    }
    return result;
}

// Consecutive batches of `size` elements, the last holding the remainder. An
// empty array or a negative size gives no batches; a size of 0 is a
// programming error and stops the program.
template <class T>
std::vector<std::vector<T>> batched(const std::vector<T>& elements, std::ptrdiff_t size) {
    if (size == 0) platform::fatalError("batched(into:) needs a non-zero batch size");
    std::vector<std::vector<T>> batches;
    if (size < 0) return batches;
    const auto count = static_cast<std::ptrdiff_t>(elements.size());
    for (std::ptrdiff_t start = 0; start < count; start += size) {
        std::ptrdiff_t end = start + size < count ? start + size : count;
        batches.emplace_back(elements.begin() + start, elements.begin() + end);
    }
    return batches;
}

// Removes at most `upto` trailing copies of `character` (one grapheme cluster,
// compared by canonical equivalence). Only consecutive trailing copies go.
std::string trimmingFromEnd(const std::string& text, const std::string& character, int upto);

// value × 10^places rounded to the nearest integer, halves away from zero,
// divided by 10^places, all in single precision: rounded(1.005f, 2) == 1.01f.
float rounded(float value, int places);

// A prefix of text ending at its last sentence end, else its last clause
// break, else before its last space, whose whitespace-trimmed form encodes to
// at least minTokenCount tokens. Nothing when no such prefix exists.
std::optional<std::string> lastNaturalBoundary(
    const std::string& text, int minTokenCount,
    const std::function<std::vector<int>(const std::string&)>& encode);

// Expands a leading tilde; a relative path is taken under the current directory.
std::string resolveAbsolutePath(const std::string& path);

}  // namespace vortil
