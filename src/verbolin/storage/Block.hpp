#pragma once
// A paragraph of the timeline: consecutive segments close enough in time to
// read as one. Its id is its first segment's id. Copies share the segments
// (see SegmentList), so a copy of a year of paragraphs copies no text.

#include <optional>
#include <string>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Segment.hpp"
#include "verbolin/storage/SegmentList.hpp"

namespace verbolin {

struct Block {
    platform::Uuid id;
    SegmentList segments;

    // Every segment's text, in order, joined with one space.
    std::string text() const;

    // The paragraph as it stood before any edit: none when no segment was
    // edited; otherwise each segment's original (or its text when it has
    // none), joined with one space.
    std::optional<std::string> original() const;

    friend bool operator==(const Block&, const Block&) = default;
};

}  // namespace verbolin

template <>
struct std::hash<verbolin::Block> {
    size_t operator()(const verbolin::Block& b) const noexcept;
};
