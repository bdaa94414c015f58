#include "verbolin/listening/DecodeQueue.hpp"

#include <utility>

namespace verbolin {

void DecodeQueue::pushFinal(DecodeJob job) { finals_.push_back(std::move(job)); }

void DecodeQueue::offerPreview(DecodeJob job) { preview_ = std::move(job); }

void DecodeQueue::dropPreview() { preview_.reset(); }

std::optional<DecodeJob> DecodeQueue::take() {
    if (decoding_) return std::nullopt;
    DecodeJob job;
    if (!finals_.empty()) {
        job = std::move(finals_.front());
        finals_.pop_front();
    } else if (preview_) {
        job = std::move(*preview_);
        preview_.reset();
    } else {
        return std::nullopt;
    }
    decoding_ = true;
    if (job.isFinal) finalInFlight_ = job;
    return job;
}

void DecodeQueue::done(const DecodeJob& job) {
    decoding_ = false;
    if (job.isFinal) finalInFlight_.reset();
}

std::vector<DecodeJob> DecodeQueue::abandon() {
    preview_.reset();
    std::vector<DecodeJob> jobs;
    if (finalInFlight_) jobs.push_back(std::move(*finalInFlight_));
    finalInFlight_.reset();
    for (DecodeJob& job : finals_) jobs.push_back(std::move(job));
    finals_.clear();
    decoding_ = false;
    return jobs;
}

}  // namespace verbolin
