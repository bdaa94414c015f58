#include <algorithm>

#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {

void TranscriptStore::importLegacyFiles() {
    auto byStart = [](const auto& a, const auto& b) { return a.start < b.start; };
    segments.mutate([&](auto& list) { std::stable_sort(list.begin(), list.end(), byStart); });
    sessions.mutate([&](auto& list) { std::stable_sort(list.begin(), list.end(), byStart); });
}

}  // namespace verbolin
