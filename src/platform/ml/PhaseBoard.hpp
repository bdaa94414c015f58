#pragma once
// A computation of dependent phases (phase p reads what phase p - 1 wrote) run
// by every thread that joins it, each going through all the phases in order.
//
// Why not one pool loop per phase: a decoder step is some fifty phases of
// 5 to 80 µs, and opening and closing a loop, with the caller's serial work
// in between while the others wait, cost a tenth of the step. Here a phase's
// rows are claimed in shrinking runs from the phase's own counter; a member
// with nothing left to claim waits for the phase to be complete, and the
// first member to see it complete does the phase's small serial follow-up (a
// layer norm, say) and opens the next phase.
//
// Completion is counted per member: each member publishes how many units it
// has finished, on a cache line of its own, with a plain store. A shared
// counter bumped after every run was a locked instruction, which waits for
// all of the run's output stores to reach the cache: a stall at the end of
// every run, on every thread.
//
// Membership is free: a thread may join late (it finds the earlier phases'
// runs all claimed and complete and passes them at once), be preempted, or
// never come. Progress needs only one member, so the threads a pool lends to
// several callers at once are never waited for. A member reads a phase's
// inputs only after claiming one of its runs, and a claim succeeds only while
// the phase is incomplete, when the phases after it, which would overwrite
// those inputs, cannot have begun.
//
// Thread contract: reset() runs while no member is in the board (before the
// pool loop that runs the members opens, so the loop's opening publishes it).
// Each member makes a Member with an index no other member uses at the same
// time (its pool thread's index), and calls run() on it for phases 0, 1, ...
// in order, each phase with the same n and grain on every member.

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace platform::ml {

class PhaseBoard {
    struct Phase {
        alignas(64) std::atomic<std::size_t> next{0};  // the first unit not yet claimed
        alignas(64) std::atomic<bool> followUpTaken{false};
        std::atomic<std::uint32_t> complete{0};  // all units finished and the follow-up done
        std::atomic<int> sleepers{0};
    };
    struct alignas(64) Count {
        std::atomic<std::size_t> done{0};  // units this member finished, all phases
    };

  public:
    // For at most `phases` phases shared by members of indices below `threads`
    // (the share of what is left that one claim takes follows the count too).
    void reset(std::size_t phases, std::size_t threads) {
        threads = std::max<std::size_t>(threads, 1);
        if (phases > capacity_) {
            phases_ = std::make_unique<Phase[]>(phases);
            capacity_ = phases;
        }
        if (threads > countCapacity_) {
            counts_ = std::make_unique<Count[]>(threads);
            countCapacity_ = threads;
        }
        for (std::size_t p = 0; p < phases; ++p) {
            phases_[p].next.store(0, std::memory_order_relaxed);
            phases_[p].followUpTaken.store(false, std::memory_order_relaxed);
            phases_[p].complete.store(0, std::memory_order_relaxed);
            phases_[p].sleepers.store(0, std::memory_order_relaxed);
        }
        for (std::size_t t = 0; t < threads; ++t)
            counts_[t].done.store(0, std::memory_order_relaxed);
        threads_ = threads;
    }

    class Member {
      public:
        // A pool thread that runs a second member task of the same program
        // goes on from its own count.
        Member(PhaseBoard& board, std::size_t index)
            : board_(board),
              count_(board.counts_[index]),
              done_(count_.done.load(std::memory_order_relaxed)) {}

        // Phase p over [0, n), n > 0: body(begin, end) for each run this
        // member claims (runs start at multiples of `grain`); returns once the
        // phase is complete and then() has run, on whichever member saw the
        // completion first.
        template <class Body, class Then>
        void run(std::size_t p, std::size_t n, std::size_t grain, Body&& body, Then&& then) {
            Phase& phase = board_.phases_[p];
            const std::size_t threads = board_.threads_;
            completeAt_ += n;
            std::size_t b = phase.next.load(std::memory_order_relaxed);
            while (b < n) {
                const std::size_t share = (n - b) / (2 * threads);
                const std::size_t size = std::max(grain, (share + grain - 1) / grain * grain);
                if (!phase.next.compare_exchange_weak(b, b + size, std::memory_order_relaxed))
                    continue;
                const std::size_t e = std::min(n, b + size);
                body(b, e);
                done_ += e - b;
                count_.done.store(done_, std::memory_order_release);
                b = phase.next.load(std::memory_order_relaxed);
            }
            awaitCompletion(phase, then);
        }
        template <class Body>
        void run(std::size_t p, std::size_t n, std::size_t grain, Body&& body) {
            run(p, n, grain, std::forward<Body>(body), [] {});
        }

      private:
        // The units finished by all members, as far as this member can see:
        // never more than the truth, since the counts only grow.
        std::size_t finishedEverywhere(std::memory_order order) const {
            std::size_t sum = 0;
            for (std::size_t t = 0; t < board_.threads_; ++t)
                sum += board_.counts_[t].done.load(order);
            return sum;
        }

        // True once this member has done the phase's follow-up or seen it done.
        template <class Then>
        bool completeIfDue(Phase& phase, Then& then,
                           std::memory_order order = std::memory_order_acquire) {
            if (phase.complete.load(std::memory_order_acquire)) return true;
            if (finishedEverywhere(order) < completeAt_) return false;
            if (phase.followUpTaken.exchange(true, std::memory_order_acq_rel)) return false;
            then();
            phase.complete.store(1, std::memory_order_seq_cst);
            if (phase.sleepers.load(std::memory_order_seq_cst) > 0) phase.complete.notify_all();
            return true;
        }

        template <class Then>
        void awaitCompletion(Phase& phase, Then& then) {
            if (completeIfDue(phase, then)) return;
            // A phase normally completes within a run or two; a member still
            // waiting after this long has a preempted peer ahead of it and
            // gives its core back until the phase completes.
            const auto until = std::chrono::steady_clock::now() + kSpinTime;
            for (int spins = 1;; ++spins) {
                _mm_pause();
                if (completeIfDue(phase, then)) return;
                if (spins % 64 == 0 && std::chrono::steady_clock::now() > until) break;
            }
            // Two members finishing the last runs at once could each miss the
            // other's count through its store buffer. Publishing the count
            // again and reading the others in one total order (seq_cst) before
            // sleeping means at least one of them sees both and completes the
            // phase.
            count_.done.exchange(done_, std::memory_order_seq_cst);
            if (completeIfDue(phase, then, std::memory_order_seq_cst)) return;
            phase.sleepers.fetch_add(1, std::memory_order_seq_cst);
            while (!phase.complete.load(std::memory_order_seq_cst)) phase.complete.wait(0);
            phase.sleepers.fetch_sub(1, std::memory_order_relaxed);
        }

        PhaseBoard& board_;
        Count& count_;
        std::size_t done_ = 0;        // what count_ holds
        std::size_t completeAt_ = 0;  // units of every phase so far
    };

  private:
    static constexpr auto kSpinTime = std::chrono::microseconds(50);

    std::unique_ptr<Phase[]> phases_;
    std::unique_ptr<Count[]> counts_;
    std::size_t capacity_ = 0, countCapacity_ = 0, threads_ = 1;
};

}  // namespace platform::ml
