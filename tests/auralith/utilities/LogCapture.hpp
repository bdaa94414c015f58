#pragma once
// Records what the shared logger emits. The logger is process-wide, so the
// fixture switches it off before and after each test.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "vortilcore/core/Logging.hpp"

namespace auralith::testing {

class LogCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        vortil::Logging::updateCallback(nullptr);
        vortil::Logging::updateLogLevel(vortil::Logging::LogLevel::none);
    }

    void capture(vortil::Logging::LogLevel level) {
        vortil::Logging::updateLogLevel(level);
        vortil::Logging::updateCallback([this](const std::string& message) {
            std::lock_guard<std::mutex> guard(mutex_);
            messages_.push_back(message);
        });
    }

    std::vector<std::string> taken() {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::exchange(messages_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> messages_;
};

}  // namespace auralith::testing
