#pragma once
// The segments of one paragraph, shared by every copy of the paragraph rather
// than copied with it. The store hands the timeline a year of paragraphs
// again on every append; copying one must cost a pointer, not its texts, and
// freeing the replaced array must not free tens of thousands of strings.
// A list may also be a view of a run of the store's own segments (a chunk of
// its SegmentSequence), so that years of them are not held twice.
//
// Reading never copies. The first change through a list whose segments are
// shared gives it a private copy first (copy on write), so no change ever
// shows through another copy. Two lists that share their segments are equal,
// which lets a reader tell unchanged paragraphs apart by identity alone.
//
// Copies may be read, and destroyed, on any thread; a change needs the same
// exclusive access to the list as a change of any other value.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "verbolin/storage/Segment.hpp"

namespace verbolin {

class SegmentList {
  public:
    using value_type = Segment;
    // Iteration is read-only even on a non-const list, so that walking a
    // paragraph never copies its segments.
    using const_iterator = const Segment*;
    using iterator = const Segment*;

    SegmentList() = default;
    SegmentList(std::initializer_list<Segment> segments);
    // Implicit, so that a plain array of segments can stand for a paragraph's.
    SegmentList(std::vector<Segment> segments);  // NOLINT
    // The `count` segments of `chunk` from `offset` on, read in place. The
    // chunk must not change while another holds it (SegmentSequence's never
    // do); this list changes it only once it holds it alone.
    SegmentList(std::shared_ptr<std::vector<Segment>> chunk, size_t offset, size_t count);

    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const Segment* begin() const { return data_ ? data_->data() + offset_ : nullptr; }
    const Segment* end() const { return begin() + count_; }
    const Segment& operator[](size_t i) const { return begin()[i]; }
    const Segment& front() const { return *begin(); }
    const Segment& back() const { return end()[-1]; }

    // Changes: each one unshares the list first, so a read through these
    // (on a list that is not const) copies shared segments; read through a
    // const list.
    Segment& operator[](size_t i) { return own()[i]; }
    Segment& front() { return own().front(); }
    Segment& back() { return own().back(); }
    void push_back(Segment segment) {
        own().push_back(std::move(segment));
        ++count_;
    }

    // Whether both lists read the very same segments (so are equal without
    // looking at them). Two empty lists do.
    bool sharesSegmentsWith(const SegmentList& other) const {
        return data_ == other.data_ && offset_ == other.offset_ && count_ == other.count_;
    }

    friend bool operator==(const SegmentList& a, const SegmentList& b);

  private:
    // The segments as a vector of this list's own, holding exactly them.
    std::vector<Segment>& own();

    std::shared_ptr<std::vector<Segment>> data_;  // null when empty
    // Where this list's segments lie in *data_: a paragraph's count and a
    // chunk's offset fit well in 32 bits, and years of paragraphs hold one.
    std::uint32_t offset_ = 0;
    std::uint32_t count_ = 0;
};

}  // namespace verbolin
