#include "verbolin/storage/SegmentList.hpp"

#include <algorithm>
#include <iterator>

#include "verbolin/storage/SoleOwner.hpp"

namespace verbolin {

SegmentList::SegmentList(std::initializer_list<Segment> segments)
    : SegmentList(std::vector<Segment>(segments)) {}

SegmentList::SegmentList(std::vector<Segment> segments) : count_(std::uint32_t(segments.size())) {
    if (!segments.empty()) data_ = std::make_shared<std::vector<Segment>>(std::move(segments));
}

SegmentList::SegmentList(std::shared_ptr<std::vector<Segment>> chunk, size_t offset, size_t count)
    : offset_(std::uint32_t(offset)), count_(std::uint32_t(count)) {
    if (count > 0)
        data_ = std::move(chunk);
    else
        offset_ = 0;
}

std::vector<Segment>& SegmentList::own() {
    if (!data_) {
        data_ = std::make_shared<std::vector<Segment>>();
    } else if (soleOwner(data_)) {
        // Held alone (the chunk it was cut from has moved on): what lies
        // around this list's segments goes, in place.
        data_->erase(data_->begin() + std::ptrdiff_t(offset_) + count_, data_->end());
        data_->erase(data_->begin(), data_->begin() + std::ptrdiff_t(offset_));
    } else {
        data_ = std::make_shared<std::vector<Segment>>(begin(), end());
    }
    offset_ = 0;
    return *data_;
}

bool operator==(const SegmentList& a, const SegmentList& b) {
    if (a.sharesSegmentsWith(b)) return true;
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace verbolin
