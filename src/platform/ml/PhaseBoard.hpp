#pragma once
// A computation of dependent phases (phase p reads what phase p - 1 wrote) run
// by every thread that joins it, each going through all the phases in order.
//
// Why not one pool loop per phase: a decoder step is some fifty phases of
// 5 to 60 µs, and opening and closing a loop, with the caller's serial work
// in between while the others wait, cost a tenth of the step. Here a phase's
// rows are claimed in shrinking runs from the phase's own counter; the thread
// that completes the last run does the phase's small serial follow-up (a
// layer norm, say) and opens the next phase's gate; threads with nothing left
// to claim wait at that gate.
//
// Membership is free: a thread may join late (it finds the earlier phases'
// runs all claimed and passes their gates at once), be preempted, or never
// come. Progress needs only one member, so the threads a pool lends to
// several callers at once are never waited for. A member reads a phase's
// inputs only after claiming one of its runs, and a claim succeeds only while
// the phase is incomplete, when the phases after it, which would overwrite
// those inputs, cannot have begun.
//
// Thread contract: reset() runs while no member is in the board (before the
// pool loop that runs the members opens, so the loop's opening publishes it);
// run() is called by every member for phases 0, 1, ... in order, each phase
// with the same n and grain on every member.

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
  public:
    // For at most `phases` phases shared by up to `threads` members (the share
    // of what is left that one claim takes follows the thread count).
    void reset(std::size_t phases, std::size_t threads) {
        if (phases > capacity_) {
            phases_ = std::make_unique<Phase[]>(phases);
            gates_ = std::make_unique<Gate[]>(phases + 1);
            capacity_ = phases;
        }
        for (std::size_t p = 0; p < phases; ++p) {
            phases_[p].next.store(0, std::memory_order_relaxed);
            phases_[p].done.store(0, std::memory_order_relaxed);
        }
        for (std::size_t p = 0; p <= phases; ++p) {
            gates_[p].open.store(p == 0 ? 1 : 0, std::memory_order_relaxed);
            gates_[p].sleepers.store(0, std::memory_order_relaxed);
        }
        threads_ = std::max<std::size_t>(threads, 1);
    }

    // Phase p over [0, n), n > 0: body(begin, end) for each run this member
    // claims (runs start at multiples of `grain`); the member that completes
    // the phase then calls then() before the next phase may begin.
    template <class Body, class Then>
    void run(std::size_t p, std::size_t n, std::size_t grain, Body&& body, Then&& then) {
        wait(gates_[p]);
        Phase& phase = phases_[p];
        std::size_t b = phase.next.load(std::memory_order_relaxed);
        while (b < n) {
            const std::size_t share = (n - b) / (2 * threads_);
            const std::size_t size = std::max(grain, (share + grain - 1) / grain * grain);
            if (!phase.next.compare_exchange_weak(b, b + size, std::memory_order_relaxed)) continue;
            const std::size_t e = std::min(n, b + size);
            body(b, e);
            // The member whose run completes the phase sees every other run's writes.
            if (phase.done.fetch_add(e - b, std::memory_order_acq_rel) + (e - b) == n) {
                then();
                open(gates_[p + 1]);
                return;
            }
            b = phase.next.load(std::memory_order_relaxed);
        }
    }
    template <class Body>
    void run(std::size_t p, std::size_t n, std::size_t grain, Body&& body) {
        run(p, n, grain, std::forward<Body>(body), [] {});
    }

  private:
    // Claims and completions on lines of their own: members claiming runs
    // and members reporting finished ones would otherwise take the one line
    // from each other at every run.
    struct Phase {
        alignas(64) std::atomic<std::size_t> next{0};
        alignas(64) std::atomic<std::size_t> done{0};
    };
    struct alignas(64) Gate {
        std::atomic<std::uint32_t> open{0};
        std::atomic<int> sleepers{0};
    };
    // A gate normally opens within a few microseconds (one run of rows); a
    // member still waiting after this long has a preempted peer ahead of it
    // and gives its core back until the gate opens.
    static constexpr auto kSpinTime = std::chrono::microseconds(50);

    static void wait(Gate& gate) {
        if (gate.open.load(std::memory_order_acquire)) return;
        const auto until = std::chrono::steady_clock::now() + kSpinTime;
        for (int spins = 1; !gate.open.load(std::memory_order_acquire); ++spins) {
            _mm_pause();
            if (spins % 64 == 0 && std::chrono::steady_clock::now() > until) {
                gate.sleepers.fetch_add(1, std::memory_order_seq_cst);
                while (!gate.open.load(std::memory_order_seq_cst)) gate.open.wait(0);
                gate.sleepers.fetch_sub(1, std::memory_order_relaxed);
                return;
            }
        }
    }
    static void open(Gate& gate) {
        gate.open.store(1, std::memory_order_seq_cst);
        if (gate.sleepers.load(std::memory_order_seq_cst) > 0) gate.open.notify_all();
    }

    std::unique_ptr<Phase[]> phases_;
    std::unique_ptr<Gate[]> gates_;
    std::size_t capacity_ = 0, threads_ = 1;
};

}  // namespace platform::ml
