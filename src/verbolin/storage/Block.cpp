#include "verbolin/storage/Block.hpp"

#include <algorithm>

#include "verbolin/storage/Hashing.hpp"

namespace verbolin {

std::string Block::text() const {
    std::string out;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i) out += ' ';
        out += segments[i].text;
    }
    return out;
}

std::optional<std::string> Block::original() const {
    if (std::none_of(segments.begin(), segments.end(), [](const Segment& s) { return s.edited; }))
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i) out += ' ';
        out += segments[i].original ? *segments[i].original : segments[i].text;
    }
    return out;
}

}  // namespace verbolin

size_t std::hash<verbolin::Block>::operator()(const verbolin::Block& b) const noexcept {
    verbolin::HashBuilder h;
    h.add(b.id).add(b.segments.size());
    for (const auto& s : b.segments) h.add(s);
    return h.value();
}
