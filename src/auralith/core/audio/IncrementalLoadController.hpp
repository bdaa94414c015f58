#pragma once
// Back-pressure for incremental loading: the producer takes a slot before it
// hands out each chunk, the consumer gives one back per finished chunk, so no
// more than maxBufferedChunks chunks are ever outstanding. Waiting producers
// are released first in, first out. Once terminated, slots are no longer
// counted and nobody waits. All operations may run on any thread.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stop_token>

namespace auralith {

class IncrementalLoadController {
  public:
    explicit IncrementalLoadController(int64_t maxBufferedChunks);

    // Blocks until a slot is free (or the controller is terminated, or the
    // token is stopped: then no slot is taken). Returns whether one was taken.
    bool requestChunkSlot(std::stop_token token = {});
    // Gives one slot back; nothing when none is taken.
    void signalChunkConsumed();
    // Terminates: releases every waiting producer without a slot.
    void resumeWaitingProducers();

    int64_t maxBufferedChunks() const { return maxBufferedChunks_; }
    int64_t activeChunks() const;
    bool isTerminated() const;

  private:
    const int64_t maxBufferedChunks_;
    mutable std::mutex m_;
    std::condition_variable_any cv_;
    int64_t activeChunks_ = 0;
    std::deque<uint64_t> waiting_;  // tickets of suspended producers, oldest first
    uint64_t nextTicket_ = 0;
    bool terminated_ = false;
};

}  // namespace auralith
