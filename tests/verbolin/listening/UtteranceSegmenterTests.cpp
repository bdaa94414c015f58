#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#include "support/AllocationCounter.hpp"
#include "verbolin/listening/UtteranceSegmenter.hpp"

using verbolin::UtteranceSegmenter;
using Kind = UtteranceSegmenter::Event::Kind;

namespace {

UtteranceSegmenter::Config appConfig() {
    return {16000, 0.1, 5, 10, 3, 18.0, 28.0, 0.006f, 4.0f, 300, 0.02f};
}

// A 0.1 s frame whose samples all have the given magnitude; `tag` marks the
// first sample so tests can tell frames apart in the delivered audio.
std::vector<float> frame(float level, float tag = 0) {
    std::vector<float> f(1600, level);
    if (tag != 0) f[0] = tag;
    return f;
}
const float kSilence = 0.001f;
const float kVoice = 0.1f;

std::vector<Kind> kinds(const std::vector<UtteranceSegmenter::Event>& events) {
    std::vector<Kind> k;
    for (auto& e : events) k.push_back(e.kind);
    return k;
}

}  // namespace

TEST(UtteranceSegmenter, NoiseFloorAndThresholdFollowTheHistory) {
    struct Case {
        const char* what;
        std::vector<float> history;
        float floor;
        float threshold;
    };
    std::vector<float> ramp300;
    for (int i = 0; i < 300; ++i) ramp300.push_back(0.0001f * float(299 - i));  // descending
    const Case cases[] = {
        {"empty history", {}, 0.006f, 0.024f},
        {"a zero level clamps to 0.001", {0.0f}, 0.001f, 0.006f},
        {"a loud level clamps to maxFloor", {0.5f}, 0.02f, 0.08f},
        {"1 to 4 entries take the smallest", {0.009f, 0.003f, 0.007f, 0.004f}, 0.003f, 0.012f},
        {"5 entries take index 1", {0.009f, 0.003f, 0.007f, 0.004f, 0.005f}, 0.004f, 0.016f},
        {"300 entries take index 60", ramp300, 0.0060f, 0.0240f},
    };
    for (const auto& c : cases) {
        UtteranceSegmenter s(appConfig());
        s.noiseHistory.assign(c.history.begin(), c.history.end());
        EXPECT_FLOAT_EQ(s.noiseFloor(), c.floor) << c.what;
        EXPECT_FLOAT_EQ(s.voiceThreshold(), c.threshold) << c.what;
    }
}

TEST(UtteranceSegmenter, ALevelEqualToTheThresholdIsUnvoiced) {
    UtteranceSegmenter s(appConfig());
    const float t = s.voiceThreshold();
    EXPECT_FLOAT_EQ(t, 0.024f);
    // A one-sample frame has exactly that sample's magnitude as its level.
    EXPECT_TRUE(s.process({t}).empty());
    EXPECT_EQ(s.lastRMS, t);
    ASSERT_EQ(s.noiseHistory.size(), 1u);
    EXPECT_EQ(s.noiseHistory.back(), t);

    UtteranceSegmenter fresh(appConfig());
    EXPECT_EQ(kinds(fresh.process({std::nextafter(t, 1.0f)})),
              (std::vector<Kind>{Kind::speechStarted, Kind::speechContinuing}));
}

TEST(UtteranceSegmenter, EmptyFrameIsSilenceAndPullsTheFloorDown) {
    UtteranceSegmenter s(appConfig());
    EXPECT_TRUE(s.process({}).empty());
    EXPECT_EQ(s.lastRMS, 0.0f);
    ASSERT_EQ(s.noiseHistory.size(), 1u);
    EXPECT_FLOAT_EQ(s.noiseFloor(), 0.001f);
    EXPECT_FLOAT_EQ(s.voiceThreshold(), 0.006f);
}

TEST(UtteranceSegmenter, HistoryIsCappedKeepsUnvoicedFramesInBothStatesAndNeverVoicedOnes) {
    auto cfg = appConfig();
    cfg.noiseHistoryFrames = 4;
    UtteranceSegmenter s(cfg);
    // One-sample frames: their level is exactly the sample's magnitude.
    for (float v : {0.001f, 0.002f, 0.003f, 0.004f, 0.005f}) s.process({v});
    EXPECT_EQ(s.noiseHistory, (std::deque<float>{0.002f, 0.003f, 0.004f, 0.005f}));
    s.process({kVoice});  // voiced: starts speech, not in the history
    EXPECT_TRUE(s.isSpeaking);
    EXPECT_EQ(s.noiseHistory.size(), 4u);
    EXPECT_FLOAT_EQ(s.noiseHistory.back(), 0.005f);
    s.process({0.0015f});  // unvoiced while speaking still enters
    EXPECT_FLOAT_EQ(s.noiseHistory.back(), 0.0015f);
    EXPECT_FLOAT_EQ(s.noiseHistory.front(), 0.003f);
}

TEST(UtteranceSegmenter, PrerollHoldsTheLastFiveFramesIncludingTheTrigger) {
    struct Case {
        int silentBefore;
        size_t framesInCurrent;
    };
    for (Case c : {Case{0, 1}, Case{3, 4}, Case{4, 5}, Case{7, 5}}) {
        UtteranceSegmenter s(appConfig());
        for (int i = 0; i < c.silentBefore; ++i)
            EXPECT_TRUE(s.process(frame(kSilence, float(i + 1) * 1e-4f)).empty());
        auto events = s.process(frame(kVoice, 0.5f));
        ASSERT_EQ(kinds(events), (std::vector<Kind>{Kind::speechStarted, Kind::speechContinuing}))
            << c.silentBefore;
        const auto& samples = events[1].soFar;
        ASSERT_EQ(samples.size(), c.framesInCurrent * 1600) << c.silentBefore;
        EXPECT_EQ(samples[samples.size() - 1600], 0.5f);  // the triggering frame is last
        if (c.framesInCurrent > 1) {                      // oldest kept frame first
            EXPECT_FLOAT_EQ(samples[0], float(c.silentBefore - int(c.framesInCurrent) + 2) * 1e-4f);
        }
        EXPECT_TRUE(s.preroll.empty());
        EXPECT_EQ(s.speechFrames, 1);
    }
}

TEST(UtteranceSegmenter, TenthUnvoicedFrameEndsAndIsDelivered) {
    UtteranceSegmenter s(appConfig());
    for (int i = 0; i < 3; ++i) s.process(frame(kVoice));
    for (int i = 1; i <= 9; ++i) {
        auto e = s.process(frame(kSilence));
        ASSERT_EQ(kinds(e), std::vector<Kind>{Kind::speechContinuing}) << i;
        EXPECT_EQ(s.trailingSilence, i);
    }
    auto end = s.process(frame(kSilence, 0.0042f));
    ASSERT_EQ(kinds(end), std::vector<Kind>{Kind::utteranceEnded});
    ASSERT_EQ(end[0].samples.size(), 13u * 1600);
    EXPECT_EQ(end[0].samples[12 * 1600], 0.0042f);
    EXPECT_FALSE(s.isSpeaking);
    EXPECT_TRUE(s.current.empty());
    EXPECT_EQ(s.speechFrames, 0);
    EXPECT_EQ(s.trailingSilence, 0);
}

TEST(UtteranceSegmenter, VoicedFrameResetsTrailingSilence) {
    UtteranceSegmenter s(appConfig());
    s.process(frame(kVoice));
    for (int i = 0; i < 9; ++i) s.process(frame(kSilence));
    s.process(frame(kVoice));
    EXPECT_EQ(s.trailingSilence, 0);
    EXPECT_EQ(s.speechFrames, 2);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(kinds(s.process(frame(kSilence))), std::vector<Kind>{Kind::speechContinuing});
}

TEST(UtteranceSegmenter, TooFewVoicedFramesEndEmpty) {
    for (int voiced : {1, 2, 3, 4}) {
        UtteranceSegmenter s(appConfig());
        std::vector<UtteranceSegmenter::Event> last;
        for (int i = 0; i < voiced; ++i) s.process(frame(kVoice));
        for (int i = 0; i < 10; ++i) last = s.process(frame(kSilence));
        ASSERT_EQ(kinds(last), std::vector<Kind>{Kind::utteranceEnded});
        if (voiced < 3) {
            EXPECT_TRUE(last[0].samples.empty()) << voiced;
        } else {
            EXPECT_EQ(last[0].samples.size(), size_t(voiced + 10) * 1600) << voiced;
        }
    }
}

TEST(UtteranceSegmenter, SoftCutAtEighteenSecondsWaitsForAnUnvoicedFrame) {
    UtteranceSegmenter s(appConfig());
    for (int i = 0; i < 180; ++i) {  // 18.0 s, all voiced: never ends
        auto e = s.process(frame(kVoice));
        ASSERT_EQ(e.back().kind, Kind::speechContinuing) << i;
    }
    EXPECT_EQ(s.current.size(), 288000u);
    ASSERT_EQ(kinds(s.process(frame(kVoice))), std::vector<Kind>{Kind::speechContinuing});
    auto end = s.process(frame(kSilence));
    ASSERT_EQ(kinds(end), std::vector<Kind>{Kind::utteranceEnded});
    EXPECT_EQ(end[0].samples.size(), 182u * 1600);
}

TEST(UtteranceSegmenter, HardCutAtTwentyEightSecondsEvenWhenVoiced) {
    UtteranceSegmenter s(appConfig());
    for (int i = 0; i < 279; ++i)
        ASSERT_EQ(s.process(frame(kVoice)).back().kind, Kind::speechContinuing) << i;
    auto end = s.process(frame(kVoice));
    ASSERT_EQ(kinds(end), std::vector<Kind>{Kind::utteranceEnded});
    EXPECT_EQ(end[0].samples.size(), 448000u);
    // The next voiced frame starts a new utterance with no preroll: speaking
    // frames never entered it.
    auto again = s.process(frame(kVoice));
    ASSERT_EQ(kinds(again), (std::vector<Kind>{Kind::speechStarted, Kind::speechContinuing}));
    EXPECT_EQ(again[1].soFar.size(), 1600u);
}

TEST(UtteranceSegmenter, PrerollAfterAnUtteranceHoldsOnlyFramesSinceItsEnd) {
    UtteranceSegmenter s(appConfig());
    for (int i = 0; i < 3; ++i) s.process(frame(kVoice));
    for (int i = 0; i < 10; ++i) s.process(frame(kSilence));
    ASSERT_FALSE(s.isSpeaking);
    s.process(frame(kSilence));
    s.process(frame(kSilence));
    auto e = s.process(frame(kVoice));
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[1].soFar.size(), 3u * 1600);
}

TEST(UtteranceSegmenter, NaNFramesAreUnvoicedAndStayOutOfTheHistory) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    UtteranceSegmenter s(appConfig());
    s.process(frame(0.002f));
    std::vector<float> poisoned = frame(0.5f);
    poisoned[100] = nan;
    EXPECT_TRUE(s.process(poisoned).empty());
    EXPECT_TRUE(std::isnan(s.lastRMS));
    EXPECT_EQ(s.noiseHistory.size(), 1u);
    EXPECT_FALSE(s.isSpeaking);

    // While speaking a NaN frame counts as trailing silence.
    s.process(frame(kVoice));
    for (int i = 0; i < 9; ++i) s.process(poisoned);
    EXPECT_EQ(s.trailingSilence, 9);
    EXPECT_EQ(s.noiseHistory.size(), 1u);
    EXPECT_NEAR(s.noiseFloor(), 0.002f, 1e-6);

    // An infinite sample is simply loud.
    UtteranceSegmenter loud(appConfig());
    std::vector<float> inf = frame(0.0f);
    inf[0] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(loud.process(inf).size(), 2u);
    EXPECT_TRUE(loud.noiseHistory.empty());
}

TEST(UtteranceSegmenter, ThresholdAdaptsToARoomsNoise) {
    UtteranceSegmenter s(appConfig());
    EXPECT_EQ(s.process(frame(0.03f)).size(), 2u);  // a fresh segmenter hears 0.03 as voice

    UtteranceSegmenter noisy(appConfig());
    for (int i = 0; i < 50; ++i) noisy.process(frame(0.01f));
    EXPECT_NEAR(noisy.voiceThreshold(), 0.04f, 1e-5);
    EXPECT_TRUE(noisy.process(frame(0.03f)).empty());
    EXPECT_EQ(noisy.process(frame(0.05f)).size(), 2u);
}

TEST(UtteranceSegmenter, AWholeUtteranceCostsHeapLinearInItsLength) {
    // 28 s of speech is 448000 samples. Handing each frame's listener a copy
    // of the utterance so far would take about 140 times that from the heap;
    // growing one buffer takes a few times it at most.
    UtteranceSegmenter s(appConfig());
    for (int i = 0; i < 300; ++i) s.process(frame(kSilence));
    const std::vector<float> voiced = frame(kVoice);
    const std::size_t before = testsupport::tAllocatedBytes;
    std::vector<UtteranceSegmenter::Event> events;
    int frames = 0;
    do {
        events = s.process(voiced);
        ++frames;
    } while (events.back().kind != Kind::utteranceEnded);
    const std::size_t taken = testsupport::tAllocatedBytes - before;
    ASSERT_EQ(frames, 276);  // the preroll brings four silent frames
    const std::size_t utteranceBytes = events.back().samples.size() * sizeof(float);
    EXPECT_EQ(utteranceBytes, 448000u * sizeof(float));
    EXPECT_LT(taken, 5 * utteranceBytes);
}

TEST(UtteranceSegmenter, EveryViewHoldsExactlyTheAudioHeardSoFar) {
    // A reference built by hand: preroll and speech frames appended in
    // order, each tagged so a stale, short or shifted view shows.
    UtteranceSegmenter s(appConfig());
    std::vector<float> heard;
    for (int i = 0; i < 8; ++i) {
        const auto f = frame(kSilence, float(i + 1) * 1e-5f);
        s.process(f);
        if (i >= 4) heard.insert(heard.end(), f.begin(), f.end());  // four stay in the preroll
    }
    for (int i = 0; i < 40; ++i) {
        const auto f = frame(i % 7 == 6 ? kSilence : kVoice, 0.05f + float(i) * 1e-3f);
        heard.insert(heard.end(), f.begin(), f.end());
        const auto events = s.process(f);
        ASSERT_EQ(events.back().kind, Kind::speechContinuing) << i;
        const auto view = events.back().soFar;
        ASSERT_TRUE(std::equal(view.begin(), view.end(), heard.begin(), heard.end())) << i;
    }
    std::vector<UtteranceSegmenter::Event> end;
    for (int i = 0; i < 10; ++i) {
        const auto f = frame(kSilence, 0.05f + float(i) * 1e-3f);
        heard.insert(heard.end(), f.begin(), f.end());
        end = s.process(f);
    }
    ASSERT_EQ(kinds(end), std::vector<Kind>{Kind::utteranceEnded});
    EXPECT_EQ(end[0].samples, heard);
}

TEST(UtteranceSegmenter, PrerollReusesItsBuffersButKeepsEachFramesLength) {
    // Frames of changing lengths: a reused buffer must take the new frame's
    // length, never keep the old one's.
    UtteranceSegmenter s(appConfig());
    const std::size_t lengths[] = {1600, 800, 2400, 1600, 1, 1200, 3000, 1600};
    std::size_t expected = 0;
    for (std::size_t k = 0; k < std::size(lengths); ++k) {
        s.process(std::vector<float>(lengths[k], kSilence));
        if (k >= std::size(lengths) - 4) expected += lengths[k];
    }
    ASSERT_EQ(s.preroll.size(), 5u);
    const auto events = s.process(std::vector<float>(100, kVoice));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].soFar.size(), expected + 100);
    EXPECT_EQ(events[1].soFar.back(), kVoice);
    EXPECT_EQ(events[1].soFar.front(), kSilence);
}
