#pragma once
// The work waiting for the recogniser in a listening session: finals in the
// order their utterances ended, and at most one preview, the latest. One job
// decodes at a time; finals go before the preview, which is only a courtesy.
// A copy of the final in flight is kept so that its audio can still be handed
// back when the session gives up on it.
//
// Not thread-safe: the session's actor owns it.

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "platform/system/Clock.hpp"

namespace verbolin {

struct DecodeJob {
    std::vector<float> samples;
    bool isFinal = false;
    platform::Date start{};
    platform::Date end{};
    int64_t utterance = 0;  // the utteranceID it was made in
};

class DecodeQueue {
  public:
    void pushFinal(DecodeJob job);
    // Replaces the preview waiting, if any.
    void offerPreview(DecodeJob job);
    void dropPreview();

    // The next job to decode, and the queue counts it as in flight; none
    // while a job is in flight or nothing waits.
    std::optional<DecodeJob> take();
    // The job in flight has been decoded.
    void done(const DecodeJob& job);

    // Drops the preview and hands back every final not yet reported, the one
    // in flight first; the queue is idle afterwards, and the result of the
    // decode still running is the caller's to ignore.
    std::vector<DecodeJob> abandon();

    // Nothing in flight and no final waiting.
    bool idle() const { return !decoding_ && finals_.empty(); }
    // Nothing at all waiting to start.
    bool nothingWaiting() const { return finals_.empty() && !preview_; }

  private:
    std::deque<DecodeJob> finals_;
    std::optional<DecodeJob> preview_;
    bool decoding_ = false;
    std::optional<DecodeJob> finalInFlight_;
};

}  // namespace verbolin
