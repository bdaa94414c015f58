#include "auralith/core/audio/IncrementalLoadController.hpp"

#include <algorithm>

namespace auralith {

IncrementalLoadController::IncrementalLoadController(int64_t maxBufferedChunks)
    : maxBufferedChunks_(maxBufferedChunks) {}

bool IncrementalLoadController::requestChunkSlot(std::stop_token token) {
    std::unique_lock lock(m_);
    if (terminated_) return false;
    if (waiting_.empty() && activeChunks_ < maxBufferedChunks_) {
        ++activeChunks_;
        return true;
    }
    const uint64_t ticket = nextTicket_++;
    waiting_.push_back(ticket);
    const bool granted = cv_.wait(lock, token, [&] {
        return terminated_ || (waiting_.front() == ticket && activeChunks_ < maxBufferedChunks_);
    });
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
    if (!granted || terminated_) {
        cv_.notify_all();  // the next in line may be free to go
        return false;
    }
    ++activeChunks_;
    cv_.notify_all();
    return true;
}

void IncrementalLoadController::signalChunkConsumed() {
    {
        std::lock_guard lock(m_);
        if (activeChunks_ < 1) return;
        --activeChunks_;
    }
    cv_.notify_all();
}

void IncrementalLoadController::resumeWaitingProducers() {
    {
        std::lock_guard lock(m_);
        terminated_ = true;
    }
    cv_.notify_all();
}

int64_t IncrementalLoadController::activeChunks() const {
    std::lock_guard lock(m_);
    return activeChunks_;
}

bool IncrementalLoadController::isTerminated() const {
    std::lock_guard lock(m_);
    return terminated_;
}

}  // namespace auralith
