#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vortilcore/core/Logging.hpp"
#include "vortilcore/core/ModelState.hpp"

using namespace vortil;
using Level = Logging::LogLevel;
using Type = Logging::LogType;

namespace {

// The logger is process-wide: every test starts and ends with it off.
class LoggingTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        Logging::updateCallback(nullptr);
        Logging::updateLogLevel(Level::none);
    }

    // Installs a callback that records every message.
    void capture() {
        Logging::updateCallback([this](const std::string& message) {
            std::lock_guard<std::mutex> guard(mutex);
            messages.push_back(message);
        });
    }
    std::vector<std::string> taken() {
        std::lock_guard<std::mutex> guard(mutex);
        return std::exchange(messages, {});
    }

    std::mutex mutex;
    std::vector<std::string> messages;
};

void logEveryType() {
    auto& log = Logging::shared();
    log.log({"debug"}, " ", std::nullopt, Type::debug);
    log.log({"info"}, " ", std::nullopt, Type::info);
    log.log({"default"}, " ", std::nullopt, Type::defaultType);
    log.log({"error"}, " ", std::nullopt, Type::error);
    log.log({"fault"}, " ", std::nullopt, Type::fault);
}

}  // namespace

TEST_F(LoggingTest, EachLevelPassesOnlyItsTypes) {
    struct Case {
        Level level;
        std::vector<std::string> passed;
    };
    const Case cases[] = {
        {Level::none, {}},
        {Level::error, {"error", "fault"}},
        {Level::info, {"info", "default", "error", "fault"}},
        {Level::debug, {"debug", "info", "default", "error", "fault"}},
    };
    capture();
    for (const auto& c : cases) {
        Logging::updateLogLevel(c.level);
        logEveryType();
        EXPECT_EQ(taken(), c.passed) << static_cast<int>(c.level);
    }
}

TEST_F(LoggingTest, StartsOffAndWritesNothingToStandardError) {
    EXPECT_EQ(Logging::shared().logLevel(), Level::none);
    EXPECT_FALSE(Logging::isLoggingEnabled());
    ::testing::internal::CaptureStderr();
    logEveryType();
    Logging::error("still", "nothing");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(LoggingTest, CallbackReplacesTheSinkUntilCleared) {
    Logging::updateLogLevel(Level::debug);
    capture();
    ::testing::internal::CaptureStderr();
    Logging::debug("to the callback");
    std::string whileInstalled = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(whileInstalled, "");
    EXPECT_EQ(taken(), std::vector<std::string>{"to the callback"});

    Logging::updateCallback(nullptr);
    EXPECT_FALSE(Logging::shared().loggingCallback());
    ::testing::internal::CaptureStderr();
    Logging::shared().log({"to", "stderr"}, " ", std::nullopt, Type::fault);
    std::string after = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(after, "[com.vortil.vortilcore:Vortil] [fault] to stderr\n");
    EXPECT_TRUE(taken().empty());
}

TEST_F(LoggingTest, BuildsMessagesFromItemDescriptions) {
    Logging::updateLogLevel(Level::debug);
    capture();
    Logging::info(1, "a", 2.5);
    Logging::shared().log({"1", "a", "2.5"}, " ", "\n", Type::info);
    Logging::shared().log({"x", "y"}, ", ", std::nullopt, Type::info);
    Logging::debug(2.0, 2.0f, 0.0001, 1e-05, -0.0, true, 'c', ModelState::prewarmed,
                   std::string("s"));
    Logging::debug();
    EXPECT_EQ(taken(),
              (std::vector<std::string>{"1 a 2.5", "1 a 2.5\n", "x, y",
                                        "2.0 2.0 0.0001 1e-05 -0.0 true c Specialized s", ""}));
}

TEST_F(LoggingTest, CallbackMayLogAndChangeTheLevelWithoutDeadlock) {
    Logging::updateLogLevel(Level::debug);
    std::vector<std::string> seen;
    Logging::updateCallback([&](const std::string& message) {
        seen.push_back(message);
        if (message == "outer") {
            Logging::info("inner");
            Logging::updateLogLevel(Level::error);
            Logging::info("dropped");
        }
    });
    Logging::info("outer");
    EXPECT_EQ(seen, (std::vector<std::string>{"outer", "inner"}));
    EXPECT_EQ(Logging::shared().logLevel(), Level::error);
}

TEST_F(LoggingTest, CallbackMayReplaceItself) {
    Logging::updateLogLevel(Level::info);
    int first = 0, second = 0;
    Logging::updateCallback([&](const std::string&) {
        ++first;
        Logging::updateCallback([&](const std::string&) { ++second; });
    });
    Logging::info("one");
    Logging::info("two");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
}

TEST_F(LoggingTest, ConcurrentLoggingAndReconfiguration) {
    std::atomic<int> delivered{0};
    Logging::updateLogLevel(Level::debug);
    Logging::updateCallback([&](const std::string&) { ++delivered; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 500; ++i) Logging::error("line", i);
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            Logging::updateLogLevel(i % 2 ? Level::debug : Level::error);
            Logging::updateCallback([&](const std::string&) { ++delivered; });
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(delivered.load(), 4 * 500);  // error lines pass both levels used
}

TEST(LogLevel, RawValuesAndOrder) {
    EXPECT_EQ(Logging::logLevelFromRawValue(0), std::nullopt);
    EXPECT_EQ(Logging::logLevelFromRawValue(5), std::nullopt);
    EXPECT_EQ(Logging::logLevelFromRawValue(-1), std::nullopt);
    EXPECT_EQ(Logging::logLevelFromRawValue(1), Level::debug);
    EXPECT_EQ(Logging::logLevelFromRawValue(4), Level::none);
    EXPECT_LT(Level::debug, Level::info);
    EXPECT_LT(Level::info, Level::error);
    EXPECT_LT(Level::error, Level::none);
}

TEST_F(LoggingTest, EnabledQueries) {
    Logging::updateLogLevel(Level::error);
    EXPECT_FALSE(Logging::isLoggingEnabled(Level::info));
    EXPECT_TRUE(Logging::isLoggingEnabled(Level::error));
    EXPECT_TRUE(Logging::isLoggingEnabled());
    Logging::updateLogLevel(Level::debug);
    EXPECT_TRUE(Logging::isLoggingEnabled(Level::info));
    Logging::updateLogLevel(Level::none);
    EXPECT_FALSE(Logging::isLoggingEnabled());
    EXPECT_FALSE(Logging::isLoggingEnabled(Level::none));
}

TEST(FormatTimeWithPercentage, ExactText) {
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 10, 2000),
              "  500.00 ms /     10 runs (   50.00 ms/run) 25.00%");
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 0, 2000),
              "  500.00 ms /      0 runs (    0.00 ms/run) 25.00%");
    EXPECT_EQ(Logging::formatTimeWithPercentage(12.3456, 3, 12345.6),
              "12345.60 ms /      3 runs ( 4115.20 ms/run) 100.00%");
    // A zero total shows an infinite share; a huge one is printed in full, never cut off.
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 1, 0),
              "  500.00 ms /      1 runs (  500.00 ms/run)   inf%");
    std::string wide = Logging::formatTimeWithPercentage(1e300, 1, 1);
    // Three figures of about 300 digits each.
    EXPECT_GT(wide.size(), 900u) << wide;
    EXPECT_NE(wide.find(".00 ms /      1 runs ("), std::string::npos) << wide;
    EXPECT_EQ(wide.substr(wide.size() - 4), ".00%");
}

TEST_F(LoggingTest, MemoryUsageLine) {
    uint64_t mebibytes = Logging::getMemoryUsage();
    EXPECT_GT(mebibytes, 0u);
    EXPECT_LT(mebibytes, 1u << 20);

    Logging::updateLogLevel(Level::info);
    capture();
    Logging::logCurrentMemoryUsage("after load");
    EXPECT_TRUE(taken().empty());  // a debug line
    Logging::updateLogLevel(Level::debug);
    Logging::logCurrentMemoryUsage("after load");
    auto lines = taken();
    ASSERT_EQ(lines.size(), 1u);
    const std::string prefix = "after load - Memory usage: ";
    ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    std::string number = lines[0].substr(prefix.size(), lines[0].size() - prefix.size() - 3);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 3), " MB");
    EXPECT_FALSE(number.empty());
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << number;
}
