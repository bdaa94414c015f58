#include "verbolin/storage/SegmentList.hpp"

#include <algorithm>
#include <atomic>

namespace verbolin {

namespace {

// ThreadSanitizer does not model fences, and would take the change in place
// below for a race with the other copy's last reads; there a list always
// takes its own copy, which is as correct, only slower.
#if defined(__SANITIZE_THREAD__)
constexpr bool kSanitizingThreads = true;
#else
constexpr bool kSanitizingThreads = false;
#endif

}  // namespace

SegmentList::SegmentList(std::initializer_list<Segment> segments)
    : SegmentList(std::vector<Segment>(segments)) {}

SegmentList::SegmentList(std::vector<Segment> segments) {
    if (!segments.empty()) data_ = std::make_shared<std::vector<Segment>>(std::move(segments));
}

std::vector<Segment>& SegmentList::own() {
    if (!data_) {
        data_ = std::make_shared<std::vector<Segment>>();
    } else if (data_.use_count() == 1 && !kSanitizingThreads) {
        // The last other copy may have let go on another thread just now: its
        // release of the count is acquired here before the segments change.
        std::atomic_thread_fence(std::memory_order_acquire);
    } else {
        data_ = std::make_shared<std::vector<Segment>>(*data_);
    }
    return *data_;
}

bool operator==(const SegmentList& a, const SegmentList& b) {
    if (a.sharesSegmentsWith(b)) return true;
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace verbolin
