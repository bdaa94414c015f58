// File, stream and batch transcription over a pipeline whose per-array
// transcription is scripted, so that offsets, order, failures and
// concurrency are checked without a model.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "auralith/Auralith.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/audio/EnergyVAD.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "support/GeneratedAudio.hpp"

namespace {

using namespace std::chrono_literals;
using auralith::AudioInputOptions;
using auralith::Auralith;
using auralith::DecodingOptions;
using auralith::TranscriptionSegment;
using auralith::TranscriptionState;
using Mode = AudioInputOptions::AudioLoadingMode;
namespace fs = std::filesystem;

// Each run answers one segment at 5..6 s (1..2 s for the live callback),
// named after the array's first sample; arrays whose first sample is -1 fail.
class Scripted : public Auralith {
  public:
    using Auralith::Auralith;
    using Auralith::transcribe;
    using Auralith::transcribeFileStream;

    Results transcribe(const std::vector<float>& audio, std::int64_t offset,
                       const std::optional<DecodingOptions>& options, ProgressCallback progress,
                       SegmentDiscoveryCallback segments) override {
        const int now = ++running;
        for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        std::size_t call = 0;
        {
            std::lock_guard lock(m);
            call = calls.size();
            calls.push_back(
                {offset, audio.empty() ? 0.f : audio[0], options ? options->sampleLength : -1});
        }
        if (hold) hold(audio);
        --running;
        if ((!audio.empty() && audio[0] == -1) || call == failAtCall)
            throw auralith::WhisperError::transcriptionFailed("scripted failure");
        if (progress)
            progress(auralith::TranscriptionProgress({}, "p", {}, std::nullopt, std::nullopt,
                                                     std::nullopt, 99));
        TranscriptionSegment live;
        live.start = 1, live.end = 2;
        if (segments) segments({live});
        TranscriptionSegment found;
        found.start = 5, found.end = 6, found.seek = 100;
        const std::string name =
            audio.empty() ? "empty" : std::to_string(static_cast<int>(audio[0]));
        return {std::make_shared<auralith::TranscriptionResult>(
            name, std::vector{found}, "en", auralith::TranscriptionTimings{}, 0.5f)};
    }

    struct Call {
        std::int64_t offset;
        float first;
        std::int64_t sampleLength;
    };
    std::mutex m;
    std::vector<Call> calls;
    std::atomic<int> running{0}, peak{0};
    std::function<void(const std::vector<float>&)> hold;
    std::size_t failAtCall = -1;
    std::vector<TranscriptionState> states;
};

std::shared_ptr<Scripted> make() {
    auralith::AuralithConfig::Arguments a;
    a.download = false;
    a.load = false;
    auto p = Auralith::create<Scripted>(auralith::AuralithConfig(a));
    p->setTranscriptionStateCallback(
        [raw = p.get()](TranscriptionState s) { raw->states.push_back(s); });
    return p;
}

AudioInputOptions input(Mode mode) {
    return {AudioInputOptions::ChannelMode::sumChannels(), std::move(mode)};
}

DecodingOptions options(std::int64_t workers, std::int64_t tag = 224) {
    DecodingOptions::Arguments a;
    a.concurrentWorkerCount = workers;
    a.sampleLength = tag;
    return DecodingOptions(a);
}

std::string messageOf(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    }
}

class AuralithFiles : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = std::make_unique<testsupport::TempDir>("verbolin-files");
        // A tone cut by a second of silence every 7 s, so the loader can cut chunks.
        testsupport::makeAudio(*dir / "tone.wav", "0.5*sin(2*PI*440*t)*gt(mod(t\\,7)\\,1)", 16000,
                               70, "-c:a pcm_s16le");
    }
    static void TearDownTestSuite() { dir.reset(); }
    static std::string tone() { return (*dir / "tone.wav").string(); }
    static inline std::unique_ptr<testsupport::TempDir> dir;
};

TEST_F(AuralithFiles, StreamedChunksComeBackOnWholeFileTimes) {
    auto p = make();
    const auto results = p->transcribe(tone(), input(Mode::incremental(20, 1)), std::nullopt);
    ASSERT_GE(results.size(), 3u);
    ASSERT_EQ(results.size(), p->calls.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        const float t = static_cast<float>(p->calls[i].offset) / 16000.0f;
        const auto s = results[i]->segments().at(0);
        EXPECT_EQ(s.seek, 100 + p->calls[i].offset);
        EXPECT_FLOAT_EQ(s.start, 5 + t);
        EXPECT_FLOAT_EQ(*results[i]->seekTime(), t + 0.5f);
        if (i > 0) {
            EXPECT_GT(*results[i]->seekTime(), *results[i - 1]->seekTime());
        }
    }
    EXPECT_EQ(p->calls[0].offset, 0);
    EXPECT_EQ(p->states,
              (std::vector{TranscriptionState::transcribing, TranscriptionState::finished}));
    EXPECT_GT(p->currentTimings().audioLoading, 0);
}

// A failed chunk drops earlier results, stops the loader (which must let go
// of the file) and reads no further chunk.
TEST_F(AuralithFiles, FailedChunkStopsTheLoaderAndReleasesTheFile) {
    auto p = make();
    p->failAtCall = 1;
    // The stream stays alive here, so only an explicit stop ends its loader.
    const auto stream = auralith::AudioProcessor::loadFileIncrementally(
        tone(), AudioInputOptions::ChannelMode::sumChannels(), 20, 1, 480000,
        std::make_shared<auralith::EnergyVAD>(16000, 1600, 0, 0.02f));
    EXPECT_THROW(p->transcribeFileStream(*stream, std::nullopt, {}, true), auralith::WhisperError);
    EXPECT_TRUE(stream->isFinished());
    EXPECT_EQ(p->calls.size(), 2u);
    EXPECT_EQ(p->states,
              (std::vector{TranscriptionState::transcribing, TranscriptionState::finished}));
    auto fileOpen = [] {
        for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            if (fs::read_symlink(fd.path(), ec) == fs::path(tone())) return true;
        }
        return false;
    };
    for (int i = 0; i < 200 && fileOpen(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(fileOpen());
}

TEST_F(AuralithFiles, WholeFileStatesClipTimestampsAndLoadFailures) {
    auto p = make();
    DecodingOptions clipped = options(0);
    clipped.clipTimestamps = {0, 30};
    try {
        p->transcribe(tone(), input(Mode::incremental(20, 1)), clipped);
        ADD_FAILURE() << "clip timestamps were accepted";
    } catch (const auralith::WhisperError& e) {
        EXPECT_EQ(e.message(),
                  "clipTimestamps is not supported with AudioLoadingMode.incremental. Use "
                  ".fullFile, or transcribe "
                  "the desired range as a separate call.");
    }
    EXPECT_TRUE(p->states.empty());

    // No options given: the pipeline's own mode (whole file) applies.
    p->setAudioInputOptions(input(Mode::fullFile()));
    EXPECT_EQ(p->transcribe(tone(), std::nullopt, clipped).size(), 1u);
    EXPECT_EQ(p->calls.back().offset, 0);
    EXPECT_EQ(p->states,
              (std::vector{TranscriptionState::convertingAudio, TranscriptionState::transcribing,
                           TranscriptionState::finished}));

    p->states.clear();
    p->setCurrentTimings({});
    EXPECT_THROW(p->transcribe((*dir / "missing.wav").string(), std::nullopt, std::nullopt),
                 std::exception);
    EXPECT_EQ(p->states, (std::vector{TranscriptionState::convertingAudio}));
    EXPECT_GT(p->currentTimings().audioLoading, 0);
}

TEST_F(AuralithFiles, FileBatchKeepsLoadFailuresInPlaceInBothModes) {
    const std::vector<std::string> paths{tone(), (*dir / "missing.wav").string(), tone()};
    for (const auto& mode : {Mode::fullFile(), Mode::incremental(20, 2)}) {
        auto p = make();
        std::vector<std::int64_t> windows;
        std::mutex m;
        const auto outcomes =
            p->transcribeWithResults(paths, input(mode), options(2), [&](const auto& progress) {
                std::lock_guard lock(m);
                windows.push_back(progress.windowId);
                return std::optional<bool>();
            });
        ASSERT_EQ(outcomes.size(), 3u);
        EXPECT_TRUE(std::holds_alternative<Auralith::Results>(outcomes[0]));
        EXPECT_TRUE(std::holds_alternative<std::exception_ptr>(outcomes[1]));
        EXPECT_TRUE(std::holds_alternative<Auralith::Results>(outcomes[2]));
        const bool whole = std::holds_alternative<Mode::FullFile>(mode.value);
        EXPECT_EQ(p->states.front(),
                  whole ? TranscriptionState::convertingAudio : TranscriptionState::transcribing);
        EXPECT_EQ(p->states.back(), TranscriptionState::finished);
        // Array batches number the windows by item; streams pass them through.
        for (const auto id : windows) EXPECT_TRUE(whole ? (id == 0 || id == 1) : id == 99) << id;
    }
}

// An override that answers with fewer outcomes than files must not make the
// merge read past them.
TEST_F(AuralithFiles, FileBatchMergeNeverRunsPastTheOutcomes) {
    struct Short : Scripted {
        using Scripted::Scripted;
        using Scripted::transcribeWithResults;
        std::vector<Outcome> transcribeWithResults(const std::vector<std::vector<float>>&,
                                                   const std::optional<DecodingOptions>&,
                                                   ProgressCallback) override {
            return answer;
        }
        std::vector<Outcome> answer;
    };
    auralith::AuralithConfig::Arguments a;
    a.download = false;
    auto p = Auralith::create<Short>(auralith::AuralithConfig(a));
    const std::vector<std::string> paths{tone(), tone()};
    const AudioInputOptions whole = input(Mode::fullFile());
    p->answer = {std::make_exception_ptr(std::runtime_error("one for all"))};
    for (const auto& o : p->transcribeWithResults(paths, whole, std::nullopt)) {
        EXPECT_EQ(messageOf(std::get<std::exception_ptr>(o)), "one for all");
    }
    p->answer = {};
    for (const auto& o : p->transcribe(paths, whole, std::nullopt)) EXPECT_FALSE(o.has_value());
}

TEST(AuralithBatch, ArrayBatchesKeepOrderOptionsAndTheWorkerLimit) {
    auto p = make();
    std::mt19937 random(7);
    std::mutex m;
    p->hold = [&](const std::vector<float>&) {
        int ms = 0;
        {
            std::lock_guard lock(m);
            ms = static_cast<int>(random() % 20);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    };
    std::vector<std::vector<float>> arrays;
    std::vector<std::optional<DecodingOptions>> opts;
    for (int i = 0; i < 5; ++i) {
        arrays.push_back({static_cast<float>(i)});
        opts.push_back(i == 3 ? std::nullopt : std::optional(options(i == 1 ? 2 : 1, 100 + i)));
    }
    arrays[2][0] = -1;
    const auto outcomes = p->transcribeWithOptions(arrays, opts, std::nullopt);
    ASSERT_EQ(outcomes.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        if (i == 2) {
            EXPECT_EQ(messageOf(std::get<std::exception_ptr>(outcomes[i])), "scripted failure");
            continue;
        }
        EXPECT_EQ(std::get<Auralith::Results>(outcomes[i]).at(0)->text(), std::to_string(i));
    }
    EXPECT_LE(p->peak.load(), 2);
    for (const auto& call : p->calls) {
        const int i = call.first == -1 ? 2 : static_cast<int>(call.first);
        EXPECT_EQ(call.sampleLength, i == 3 ? -1 : 100 + i);
    }

    EXPECT_EQ(messageOf(std::get<std::exception_ptr>(
                  p->transcribeWithOptions(arrays, {std::nullopt}, std::nullopt).at(0))),
              "The number of audio arrays and decoding options must be balanced.");
    EXPECT_EQ(messageOf(std::get<std::exception_ptr>(
                  p->transcribeWithOptions(arrays, opts, std::vector<std::int64_t>{1}).at(0))),
              "The number of audio arrays and seek offset indexes must be balanced.");
    EXPECT_TRUE(p->transcribeWithOptions({}, {}, std::nullopt).empty());
    const auto optional = p->transcribe(arrays, std::nullopt);
    EXPECT_FALSE(optional[2].has_value());
    EXPECT_TRUE(optional[4].has_value());
}

TEST(AuralithBatch, WorkerCountZeroRunsEveryItemAtOnce) {
    auto p = make();
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    p->hold = [&](const std::vector<float>&) {
        std::unique_lock lock(m);
        ++arrived;
        cv.notify_all();
        cv.wait_for(lock, 5s, [&] { return arrived == 6; });
    };
    const auto outcomes =
        p->transcribeWithResults(std::vector<std::vector<float>>(6, {1}), options(0));
    EXPECT_EQ(p->peak.load(), 6);
    EXPECT_EQ(outcomes.size(), 6u);
}

// Stopping the caller stops its batch: every worker runs under the caller's token.
TEST(AuralithBatch, WorkersStopWithTheCaller) {
    auto p = make();
    p->hold = [](const std::vector<float>&) { platform::TaskCancellation::checkCancellation(); };
    const std::vector<std::vector<float>> arrays(5, {1});
    std::stop_source source;
    {
        const platform::TaskCancellation::Scope scope(source.get_token());
        for (const auto& outcome : p->transcribeWithResults(arrays, options(2)))
            EXPECT_TRUE(std::holds_alternative<Auralith::Results>(outcome));
        source.request_stop();
        const auto stopped = p->transcribeWithResults(arrays, options(2));
        ASSERT_EQ(stopped.size(), arrays.size());
        for (const auto& outcome : stopped) {
            ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(outcome));
            EXPECT_THROW(std::rethrow_exception(std::get<std::exception_ptr>(outcome)),
                         platform::CancellationError);
        }
    }
    // Workers of a caller without a token are never stopped.
    for (const auto& outcome : p->transcribeWithResults(arrays, options(2)))
        EXPECT_TRUE(std::holds_alternative<Auralith::Results>(outcome));
}

TEST(AuralithBatch, SeekOffsetsMoveOnlyTheLiveSegments) {
    auto p = make();
    std::vector<TranscriptionSegment> live;
    p->setSegmentDiscoveryCallback([&](const auto& segments) { live = segments; });
    const auto outcomes =
        p->transcribeWithOptions({{1}}, {std::nullopt}, std::vector<std::int64_t>{32000});
    ASSERT_EQ(live.size(), 1u);
    EXPECT_FLOAT_EQ(live[0].start, 3.0f);
    EXPECT_FLOAT_EQ(live[0].end, 4.0f);
    EXPECT_EQ(live[0].seek, 32000);
    EXPECT_FLOAT_EQ(std::get<Auralith::Results>(outcomes[0]).at(0)->segments()[0].start, 5.0f);
}

TEST(AuralithBatch, ItemsNotStartedWhenThePipelineGoesFail) {
    auto p = make();
    Scripted* raw = p.get();
    std::atomic<bool> released{false};
    raw->hold = [&](const std::vector<float>&) {
        while (!released) std::this_thread::sleep_for(1ms);
    };
    std::vector<Auralith::Outcome> outcomes;
    std::thread worker([&] {
        outcomes = raw->transcribeWithOptions({{0}, {1}}, {options(1), options(1)}, std::nullopt);
    });
    auto started = [raw] {
        std::lock_guard lock(raw->m);
        return !raw->calls.empty();
    };
    while (!started()) std::this_thread::sleep_for(1ms);
    p.reset();  // the running item still holds the pipeline
    released = true;
    worker.join();
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_TRUE(std::holds_alternative<Auralith::Results>(outcomes[0]));
    EXPECT_EQ(messageOf(std::get<std::exception_ptr>(outcomes[1])),
              "Auralith instance was deallocated");
}

}  // namespace
