#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/audio/Resampler.hpp"

using platform::AudioFormat;
using platform::Resampler;

namespace {

// `seconds` of a sine at `hz` in every channel listed in `gains` (one gain per
// channel), interleaved.
std::vector<float> tone(double rate, std::vector<float> gains, double hz, double seconds) {
    size_t frames = size_t(rate * seconds);
    std::vector<float> v;
    v.reserve(frames * gains.size());
    for (size_t i = 0; i < frames; ++i) {
        float x = float(std::sin(2 * M_PI * hz * double(i) / rate));
        for (float g : gains) v.push_back(g * x);
    }
    return v;
}

// Converts in 4096-frame pieces with the capture's output capacity.
std::vector<float> convertAll(Resampler& r, const std::vector<float>& in, uint32_t channels) {
    std::vector<float> out;
    const size_t frames = in.size() / channels;
    for (size_t at = 0; at < frames; at += 4096) {
        size_t n = std::min<size_t>(4096, frames - at);
        size_t capacity = size_t(double(n) * r.ratio()) + 32;
        std::vector<float> buf(capacity);
        long got = r.convert(in.data() + at * channels, n, buf.data(), capacity);
        EXPECT_GE(got, 0);
        out.insert(out.end(), buf.begin(), buf.begin() + got);
    }
    return out;
}

double rms(const std::vector<float>& v, size_t from) {
    double s = 0;
    for (size_t i = from; i < v.size(); ++i) s += double(v[i]) * v[i];
    return std::sqrt(s / double(v.size() - from));
}

// Upward zero crossings per second.
double frequency(const std::vector<float>& v, size_t from) {
    int crossings = 0;
    for (size_t i = from + 1; i < v.size(); ++i)
        if (v[i - 1] < 0 && v[i] >= 0) ++crossings;
    return crossings / (double(v.size() - from) / 16000.0);
}

}  // namespace

TEST(Resampler, AnyCommonRateBecomesSixteenKilohertzAtTheSameLevelAndPitch) {
    struct Case {
        double rate;
        uint32_t channels;
    };
    for (Case c : {Case{8000, 1}, Case{11025, 2}, Case{16000, 1}, Case{22050, 1}, Case{32000, 1},
                   Case{44100, 2}, Case{48000, 2}, Case{48000, 6}, Case{96000, 1}}) {
        auto r = Resampler::create({c.rate, c.channels});
        ASSERT_TRUE(r) << c.rate;
        EXPECT_DOUBLE_EQ(r->ratio(), 16000.0 / c.rate);
        auto in = tone(c.rate, std::vector<float>(c.channels, 0.5f), 440.0, 2.0);
        auto out = convertAll(*r, in, c.channels);
        // Two seconds in, two seconds out, less what the filter still holds.
        EXPECT_LE(out.size(), 32000u) << c.rate;
        EXPECT_GE(out.size(), 32000u - 80u) << c.rate;
        EXPECT_NEAR(rms(out, 1600), 0.5 / std::sqrt(2.0), 0.01) << c.rate;
        EXPECT_NEAR(frequency(out, 1600), 440.0, 2.0) << c.rate;
    }
}

TEST(Resampler, ChannelsAreAveragedIntoMono) {
    struct Case {
        std::vector<float> gains;
        double level;  // peak of the mono result
    };
    for (const Case& c :
         {Case{{1.0f, 0.0f}, 0.5}, Case{{0.0f, 0.8f}, 0.4}, Case{{0.6f, 0.6f}, 0.6},
          Case{{1.0f, -1.0f}, 0.0}, Case{{0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f}, 0.3}}) {
        uint32_t ch = uint32_t(c.gains.size());
        auto r = Resampler::create({16000, ch});
        ASSERT_TRUE(r);
        auto out = convertAll(*r, tone(16000, c.gains, 200.0, 1.0), ch);
        EXPECT_NEAR(rms(out, 800), c.level / std::sqrt(2.0), 0.005)
            << ch << " channels, first gain " << c.gains[0];
    }
}

TEST(Resampler, RejectsFormatsItCannotConvert) {
    std::string why;
    for (AudioFormat f :
         {AudioFormat{48000, 0}, AudioFormat{48000, 65}, AudioFormat{0, 1}, AudioFormat{-1, 1},
          AudioFormat{44100.5, 1}, AudioFormat{NAN, 1}, AudioFormat{1e12, 1}}) {
        why.clear();
        EXPECT_EQ(Resampler::create(f, &why), nullptr) << f.description();
        EXPECT_FALSE(why.empty());
    }
    EXPECT_NE(Resampler::create({48000, 64}), nullptr);
}

TEST(Resampler, OutputBeyondTheCapacityIsKeptForTheNextCall) {
    auto r = Resampler::create({48000, 1});
    ASSERT_TRUE(r);
    auto in = tone(48000, {0.5f}, 440.0, 1.0);
    std::vector<float> out(100);
    long first = r->convert(in.data(), 48000, out.data(), 100);
    EXPECT_EQ(first, 100);
    // Draining with empty input brings out the rest, so nothing was lost.
    long total = first;
    for (int i = 0; i < 1000; ++i) {
        long n = r->convert(nullptr, 0, out.data(), 100);
        if (n <= 0) break;
        total += n;
    }
    EXPECT_GE(total, 16000 - 64);
    EXPECT_LE(total, 16000);
}

TEST(AudioFormat, DescribesItselfForErrorMessages) {
    EXPECT_EQ((AudioFormat{48000, 2}).description(), "2 ch, 48000 Hz, Float32, interleaved");
    EXPECT_EQ((AudioFormat{44100, 1}).description(), "1 ch, 44100 Hz, Float32, interleaved");
    EXPECT_TRUE((AudioFormat{8000, 1}).isUsable());
    EXPECT_FALSE((AudioFormat{0, 1}).isUsable());
    EXPECT_FALSE((AudioFormat{8000, 0}).isUsable());
}
