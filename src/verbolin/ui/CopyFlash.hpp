#pragma once
// The highlight over a copied paragraph: starts at 0.45 opacity and falls by
// 0.02 per 1/60 s tick until it is gone. A new flash restarts it, and the
// generation tells the old tick chain to stop.

#include <chrono>
#include <optional>

namespace verbolin {

struct CopyFlash {
    static constexpr std::chrono::nanoseconds kTick{1'000'000'000 / 60};

    std::optional<std::pair<int, int>> range;  // location, length
    double alpha = 0;
    unsigned generation = 0;

    unsigned start(int location, int length) {
        range = std::make_pair(location, length);
        alpha = 0.45;
        return ++generation;
    }
    // One tick of the chain `gen`; false when that chain should stop.
    bool tick(unsigned gen) {
        if (gen != generation || !range) return false;
        alpha -= 0.02;
        if (alpha <= 0) {
            alpha = 0;
            range.reset();
            return false;
        }
        return true;
    }
    bool active() const { return range && alpha > 0; }
};

}  // namespace verbolin
