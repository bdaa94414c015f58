#pragma once
// A stage of the recognition pipeline. Cuts one window's decoded tokens into timed
// segments and finds where the next window starts. The pipeline has its own
// implementation; a configuration may supply another one in its place
// (AuralithConfig::segmentSeeker).

namespace auralith {

class SegmentSeeking {
  public:
    virtual ~SegmentSeeking() = 0;

  protected:
    SegmentSeeking() = default;
    SegmentSeeking(const SegmentSeeking&) = default;
    SegmentSeeking& operator=(const SegmentSeeking&) = default;
};

inline SegmentSeeking::~SegmentSeeking() = default;

}  // namespace auralith
