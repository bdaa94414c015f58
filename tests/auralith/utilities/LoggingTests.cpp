#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "auralith/utilities/Logging.hpp"

using auralith::Logging;
using auralith::Signposter;
using auralith::SignpostEvent;

namespace {

// Installs a recording sink on a signposter and restores it afterwards.
class SignpostTest : public ::testing::Test {
  protected:
    Signposter& signposter = Logging::TranscribeTask::signposter();

    void SetUp() override {
        signposter.setSink([this](const SignpostEvent& e) {
            std::lock_guard<std::mutex> guard(mutex);
            events.push_back(e);
        });
    }
    void TearDown() override {
        signposter.setEnabled(false);
        signposter.setSink(nullptr);
    }
    std::mutex mutex;
    std::vector<SignpostEvent> events;
};

}  // namespace

TEST(PipelineLoggersTest, StagesUseThePipelineSubsystemAndTheirCategories) {
    EXPECT_EQ(Logging::AudioEncoding::logger().subsystem(), "com.vortil.auralith");
    EXPECT_EQ(Logging::AudioEncoding::logger().category(), "AudioEncoding");
    EXPECT_EQ(Logging::FeatureExtractor::logger().category(), "FeatureExtractor");
    EXPECT_EQ(Logging::TranscribeTask::logger().category(), "TranscribeTask");
    EXPECT_EQ(&Logging::FeatureExtractor::signposter().logger(),
              &Logging::FeatureExtractor::logger());
    // The core logger's operations stay reachable through the pipeline's name.
    EXPECT_FALSE(Logging::isLoggingEnabled());
}

TEST(PipelineLoggersTest, FirstUseFromManyThreadsMakesOneSignposter) {
    std::vector<Signposter*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] { seen[i] = &Logging::AudioEncoding::signposter(); });
    }
    for (auto& t : threads) t.join();
    for (auto* s : seen) EXPECT_EQ(s, seen[0]);
}

TEST_F(SignpostTest, DisabledBeginStillOpensAndEndLeavesItOpen) {
    auto interval = Logging::beginSignpost("Decode", signposter);
    EXPECT_TRUE(interval.open);
    Logging::endSignpost("Decode", interval, signposter);
    EXPECT_TRUE(interval.open);
    EXPECT_TRUE(events.empty());
}

TEST_F(SignpostTest, EndingTwiceEmitsASecondEndWithAnError) {
    signposter.setEnabled(true);
    auto interval = Logging::beginSignpost("TranscribeAudio", signposter);
    auto other = Logging::beginSignpost("Decode", signposter);
    EXPECT_NE(interval.id, other.id);
    Logging::endSignpost("TranscribeAudio", interval, signposter);
    EXPECT_FALSE(interval.open);
    Logging::endSignpost("TranscribeAudio", interval, signposter);

    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, SignpostEvent::Kind::begin);
    EXPECT_EQ(events[0].name, "TranscribeAudio");
    EXPECT_EQ(events[0].message, "");
    for (size_t i : {2u, 3u}) {
        EXPECT_EQ(events[i].kind, SignpostEvent::Kind::end);
        EXPECT_EQ(events[i].id, interval.id);
        EXPECT_EQ(events[i].name, "TranscribeAudio");
    }
    EXPECT_EQ(events[2].message, "");
    EXPECT_EQ(events[3].message, "[Error] Interval already ended");
    EXPECT_TRUE(other.open);
}
