#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>

#include "support/ScopedUmask.hpp"
#include "support/TempDir.hpp"
#include "support/VirtualClock.hpp"
#include "verbolin/listening/DebugRecorder.hpp"

using namespace std::chrono_literals;
using testsupport::readFile;
using testsupport::TempDir;
using verbolin::DebugRecorder;

namespace {

// Sets an environment variable for one scope and restores it afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string bytesOf(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s.push_back(char(x));
    return s;
}

}  // namespace

TEST(DebugRecorder, ExistsOnlyWhenTheDirectoryVariableIsNonEmpty) {
    TempDir tmp;
    {
        ScopedEnv env("VERBOLIN_DEBUG_DIR", nullptr);
        EXPECT_EQ(DebugRecorder::fromEnvironment(), nullptr);
    }
    {
        ScopedEnv env("VERBOLIN_DEBUG_DIR", "");
        EXPECT_EQ(DebugRecorder::fromEnvironment(), nullptr);
    }
    {
        auto dir = tmp / "a/b/rec";
        ScopedEnv env("VERBOLIN_DEBUG_DIR", dir.c_str());
        auto r = DebugRecorder::fromEnvironment();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->directory(), dir);
        EXPECT_TRUE(std::filesystem::is_directory(dir));  // intermediate folders made
    }
}

TEST(DebugRecorder, AutoStartOnlyForExactlyOne) {
    struct Case {
        const char* value;
        bool on;
    };
    for (Case c : {Case{"1", true}, Case{"true", false}, Case{"yes", false}, Case{"01", false},
                   Case{"", false}, Case{nullptr, false}}) {
        ScopedEnv env("VERBOLIN_AUTOSTART", c.value);
        EXPECT_EQ(DebugRecorder::autoStart(), c.on) << (c.value ? c.value : "(unset)");
    }
}

TEST(DebugRecorder, EventLinesAreTimedFromTheFirstSessionAndEarlierEventsAreLost) {
    TempDir tmp;
    platform::VirtualClock clock(platform::dateFromSecondsSince1970(1700000000.0));
    {
        std::ofstream(tmp / "events.log") << "left over from another run\n";
        DebugRecorder r(tmp.path(), clock);
        r.event("early", "dropped");
        clock.advance(2s);
        r.beginSession();
        clock.advance(1500ms);
        r.event("speech_start", "id=1 rms=0.1");
        r.flush();
        clock.advance(1234s);
        r.event("empty_detail", "");
        r.flush();
        clock.advance(10000s);
        r.beginSession();
        r.flush();
    }
    EXPECT_EQ(readFile(tmp / "events.log"),
              "   0.000\tsession_start\twallclock=2023-11-14T22:13:22Z\n"
              "   1.500\tspeech_start\tid=1 rms=0.1\n"
              "1235.500\tempty_detail\t\n"
              "11235.500\tsession_restart\twallclock=2023-11-15T01:20:37Z\n");
}

TEST(DebugRecorder, SamplesBecomeClampedTruncatedLittleEndianInt16) {
    TempDir tmp;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    DebugRecorder r(tmp.path());
    r.audio(std::vector<float>{0.25f});  // before any session: not written
    r.beginSession();
    r.audio(std::vector<float>{1.5f, -2.0f, 0.5f});
    r.audio(std::vector<float>{nan, inf, -inf, -1.0f, -0.5f, 1.0f / 32767.0f * 0.99f, 0.0f});
    r.flush();
    EXPECT_EQ(readFile(tmp / "session.pcm"),
              bytesOf({0xFF, 0x7F, 0x01, 0x80, 0xFF, 0x3F,  // 32767, -32767, 16383
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // non-finite: silence
                       0x01, 0x80, 0x01, 0xC0,              // -32767, -16383
                       0x00, 0x00, 0x00, 0x00}));           // tiny values truncate to 0
}

TEST(DebugRecorder, SecondSessionAppendsToTheSameRecording) {
    TempDir tmp;
    const testsupport::ScopedUmask usual(022);
    DebugRecorder r(tmp.path());
    r.beginSession();
    r.audio(std::vector<float>{0.5f});
    r.beginSession();
    r.audio(std::vector<float>{-0.5f});
    r.flush();
    EXPECT_EQ(readFile(tmp / "session.pcm"), bytesOf({0xFF, 0x3F, 0x01, 0xC0}));
    auto log = readFile(tmp / "events.log");
    EXPECT_NE(log.find("\tsession_start\twallclock="), std::string::npos);
    EXPECT_NE(log.find("\tsession_restart\twallclock="), std::string::npos);
    // The user's voice and what was said: theirs alone, whatever the umask.
    for (const char* file : {"session.pcm", "events.log"})
        EXPECT_EQ(testsupport::groupAndOthersAccess((tmp / file).c_str()), 0u) << file;
}

TEST(DebugRecorder, UtterancesNumberAcrossSessionsAndRestartPerProcess) {
    TempDir tmp;
    {
        DebugRecorder r(tmp.path());
        EXPECT_EQ(r.utterance(std::vector<float>{0.5f, 0.5f}), 1);
        r.beginSession();  // the first session does reset the count, as it opens the files
        EXPECT_EQ(r.utterance(std::vector<float>{0.5f, 0.5f}), 1);
        EXPECT_EQ(r.utterance(std::vector<float>{-1.0f}), 2);
        r.beginSession();
        EXPECT_EQ(r.utterance(std::vector<float>{}), 3);
    }
    EXPECT_EQ(readFile(tmp / "utterance-1.pcm"), bytesOf({0xFF, 0x3F, 0xFF, 0x3F}));
    EXPECT_EQ(readFile(tmp / "utterance-2.pcm"), bytesOf({0x01, 0x80}));
    EXPECT_TRUE(std::filesystem::exists(tmp / "utterance-3.pcm"));
    EXPECT_EQ(std::filesystem::file_size(tmp / "utterance-3.pcm"), 0u);

    // A new recorder (a new process) starts again at 1 and replaces the file.
    DebugRecorder again(tmp.path());
    EXPECT_EQ(again.utterance(std::vector<float>{0.0f}), 1);
    EXPECT_EQ(readFile(tmp / "utterance-1.pcm"), bytesOf({0x00, 0x00}));
}

TEST(DebugRecorder, AnUnwritableDirectoryFailsSilently) {
    TempDir tmp;
    std::ofstream(tmp / "file") << "x";
    DebugRecorder r(tmp / "file/sub");
    r.beginSession();
    r.event("x", "y");
    r.audio(std::vector<float>{0.1f});
    EXPECT_EQ(r.utterance(std::vector<float>{0.1f}), 1);
    EXPECT_EQ(r.utterance(std::vector<float>{0.1f}), 2);
    r.flush();
    EXPECT_FALSE(std::filesystem::exists(tmp / "file/sub"));
}
