// At which level of steady background noise the energy segmenter starts to
// cut utterances out of nothing: pink noise (Voss-McCartney, 16 octaves,
// seeded) at -60...-28 dBFS RMS, for two minutes, in two rooms: the noise is there
// from the start (no quiet history yet), or it starts after 30 s of a quiet
// room at -70 dBFS. Prints, per minute, the utterances started and how many
// would be decoded (at least the minimum of voiced frames). Run by hand; the README's
// troubleshooting notes quote its table.
//
//   cmake -B build-bench -DVERBOLIN_BUILD_BENCH=ON && cmake --build build-bench --target
//   bench_SegmenterNoiseLevelBench

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "verbolin/listening/StreamSession.hpp"
#include "verbolin/listening/UtteranceSegmenter.hpp"

namespace {

class PinkNoise {
  public:
    explicit PinkNoise(unsigned seed) : random_(seed), rows_(16, 0.0f) {
        for (auto& r : rows_) r = white();
    }
    float next() {
        ++counter_;
        // The row whose bit flips changes; the sum has a 1/f spectrum.
        const int row = std::min(15, __builtin_ctz(counter_));
        sum_ -= rows_[size_t(row)];
        rows_[size_t(row)] = white();
        sum_ += rows_[size_t(row)];
        return sum_ + white();
    }

  private:
    float white() { return std::uniform_real_distribution<float>(-1.0f, 1.0f)(random_); }
    std::mt19937 random_;
    std::vector<float> rows_;
    float sum_ = 0;
    unsigned counter_ = 0;
};

// `seconds` of pink noise scaled to `dbfs` RMS, in 0.1 s frames.
std::vector<std::vector<float>> noise(double dbfs, double seconds, unsigned seed) {
    PinkNoise source(seed);
    std::vector<float> all(size_t(seconds * 16000));
    for (auto& x : all) x = source.next();
    double sum = 0;
    for (float x : all) sum += double(x) * x;
    const double scale = std::pow(10.0, dbfs / 20.0) / std::sqrt(sum / double(all.size()));
    std::vector<std::vector<float>> frames;
    for (size_t at = 0; at + 1600 <= all.size(); at += 1600) {
        std::vector<float> f(all.begin() + long(at), all.begin() + long(at + 1600));
        for (auto& x : f) x = float(x * scale);
        frames.push_back(std::move(f));
    }
    return frames;
}

struct Count {
    int started = 0, decoded = 0;
};

// Utterances in each minute of `loud`, after `quiet`.
std::vector<Count> run(const std::vector<std::vector<float>>& quiet,
                       const std::vector<std::vector<float>>& loud) {
    verbolin::UtteranceSegmenter s(verbolin::StreamSession::segmenterConfig());
    for (const auto& f : quiet) s.process(f);
    std::vector<Count> minutes;
    for (size_t i = 0; i < loud.size(); ++i) {
        if (i % 600 == 0) minutes.emplace_back();
        for (const auto& e : s.process(loud[i])) {
            if (e.kind == verbolin::UtteranceSegmenter::Event::Kind::speechStarted)
                ++minutes.back().started;
            if (e.kind == verbolin::UtteranceSegmenter::Event::Kind::utteranceEnded &&
                !e.samples.empty())
                ++minutes.back().decoded;
        }
    }
    return minutes;
}

}  // namespace

int main() {
    const auto quietRoom = noise(-70, 30, 7);
    std::printf("utterances started (decoded) per minute of pink noise\n");
    std::printf("dBFS RMS   from the start: 1st min  2nd min   after quiet: 1st min  2nd min\n");
    for (int db = -60; db <= -28; db += 2) {
        const auto loud = noise(db, 120, unsigned(100 + db));
        const auto fresh = run({}, loud), settled = run(quietRoom, loud);
        std::printf("%4d       %14d (%d) %5d (%d) %17d (%d) %5d (%d)\n", db, fresh[0].started,
                    fresh[0].decoded, fresh[1].started, fresh[1].decoded, settled[0].started,
                    settled[0].decoded, settled[1].started, settled[1].decoded);
    }
}
