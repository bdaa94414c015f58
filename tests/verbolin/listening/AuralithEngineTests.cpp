// The application's recogniser over a scripted pipeline: option set,
// prompt building, screening, joining, the debug trail and prepare's rules.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/Clock.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "verbolin/listening/AuralithEngine.hpp"

using auralith::TranscriptionSegment;
using verbolin::AuralithEngine;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TranscriptionSegment segment(std::string text, float cr = 1.0f, float logprob = -0.2f,
                             float nospeech = 0.1f) {
    TranscriptionSegment s;
    s.text = std::move(text);
    s.compressionRatio = cr;
    s.avgLogprob = logprob;
    s.noSpeechProb = nospeech;
    return s;
}

// Encodes a text as its byte values, so a test can read the prompt back.
class ByteTokenizer final : public auralith::WhisperTokenizer {
  public:
    std::vector<std::int64_t> encode(const std::string& text) const override {
        return {text.begin(), text.end()};
    }
    std::string decode(const std::vector<std::int64_t>& tokens) const override {
        return {tokens.begin(), tokens.end()};
    }
    std::optional<std::int64_t> convertTokenToId(const std::string&) const override {
        return std::nullopt;
    }
    std::optional<std::string> convertIdToToken(std::int64_t) const override {
        return std::nullopt;
    }
    const auralith::SpecialTokens& specialTokens() const override { return special_; }
    const std::set<std::int64_t>& allLanguageTokens() const override { return languages_; }
    auralith::WordTokens splitToWordTokens(const std::vector<std::int64_t>&) const override {
        return {};
    }

  private:
    auralith::SpecialTokens special_{};
    std::set<std::int64_t> languages_;
};

// A pipeline that answers from a script and records what it was asked.
class ScriptedPipeline final : public auralith::Auralith {
  public:
    explicit ScriptedPipeline(const auralith::AuralithConfig& config) : Auralith(config) {}

    std::vector<std::vector<TranscriptionSegment>> reply;  // one entry per result
    std::optional<std::string> failure;
    std::vector<auralith::DecodingOptions> asked;
    std::vector<std::size_t> sampleCounts;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};

    Results transcribe(const std::vector<float>& audio,
                       const std::optional<auralith::DecodingOptions>& options, ProgressCallback,
                       SegmentDiscoveryCallback) override {
        if (running.fetch_add(1) != 0) overlapped = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        running.fetch_sub(1);
        std::lock_guard lock(m_);
        asked.push_back(*options);
        sampleCounts.push_back(audio.size());
        if (failure) throw auralith::WhisperError::decodingFailed(*failure);
        Results results;
        for (const auto& segments : reply)
            results.push_back(std::make_shared<auralith::TranscriptionResult>(
                "", segments, "en", auralith::TranscriptionTimings()));
        return results;
    }

  private:
    std::mutex m_;
};

struct Harness {
    testsupport::TempDir home;
    testsupport::ScopedEnv dataHome{"XDG_DATA_HOME", home.path().string()};
    std::vector<auralith::AuralithConfig> configs;
    std::shared_ptr<ScriptedPipeline> pipeline;
    std::optional<std::string> prepareFailure;

    AuralithEngine::PipelineFactory factory(bool withTokenizer = true) {
        return [this, withTokenizer](const auralith::AuralithConfig& config) {
            configs.push_back(config);
            if (prepareFailure) throw auralith::WhisperError::modelsUnavailable(*prepareFailure);
            pipeline = std::make_shared<ScriptedPipeline>(config);
            if (withTokenizer) pipeline->setTokenizer(std::make_shared<ByteTokenizer>());
            return pipeline;
        };
    }
};

const std::vector<float> kSamples(4800, 0.0f);

struct ScreenCase {
    float cr, logprob, nospeech;
    bool kept;
};
void PrintTo(const ScreenCase& c, std::ostream* os) {
    *os << "ratio " << c.cr << ", logprob " << c.logprob << ", no speech " << c.nospeech
        << (c.kept ? ": kept" : ": dropped");
}

class ScreenTest : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(ScreenTest, ComparesThe32BitValues) {
    const auto& c = GetParam();
    EXPECT_EQ(AuralithEngine::keeps(segment("x", c.cr, c.logprob, c.nospeech)), c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, ScreenTest,
    ::testing::Values(ScreenCase{2.4f, -1.2f, 0.59f, true},
                      ScreenCase{std::nextafter(2.4f, 3.0f), -0.5f, 0.1f, false},
                      ScreenCase{1.0f, std::nextafter(-1.2f, -2.0f), 0.1f, false},
                      ScreenCase{1.0f, -0.5f, 0.6f, false}, ScreenCase{kNaN, -0.5f, 0.1f, false},
                      ScreenCase{1.0f, kNaN, 0.1f, false}, ScreenCase{1.0f, -0.5f, kNaN, false},
                      ScreenCase{-std::numeric_limits<float>::infinity(), 0.0f, 0.0f, true},
                      ScreenCase{1.0f, -std::numeric_limits<float>::infinity(), 0.0f, false}),
    [](const auto& info) { return "Row" + std::to_string(info.index); });

TEST(AuralithEngine, DroppedDetailUsesShortestFloatTextsAndTheRawText) {
    EXPECT_EQ(AuralithEngine::droppedDetail(segment(" uh\n", 8.0f / 3.0f, -0.5f, 0.1f)),
              "cr=2.6666667 logprob=-0.5 nospeech=0.1 text= uh\n");
    EXPECT_EQ(AuralithEngine::droppedDetail(segment("", 3.0f, kNaN, 1e-05f)),
              "cr=3.0 logprob=nan nospeech=1e-05 text=");
}

TEST(AuralithEngine, PromptTakesTheLast200CharactersAfterOneSpace) {
    std::string context;
    for (int i = 0; i < 500; ++i) context += char('a' + i % 26);
    EXPECT_EQ(AuralithEngine::promptText(context), " " + context.substr(300));
    EXPECT_EQ(AuralithEngine::promptText("short"), " short");
    // A cut character (a lead byte alone) counts as one and is never split further.
    EXPECT_EQ(AuralithEngine::promptText("\xC3" + std::string(250, 'a')),
              " " + std::string(200, 'a'));
    EXPECT_EQ(AuralithEngine::promptText(std::string(199, 'a') + "\xE2\x82"),
              " " + std::string(199, 'a') + "\xE2\x82");

    // A family emoji is one character of several code points; "é" as e and
    // a combining accent is one character too.
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
    const std::string accent = "e\u0301";
    std::string many;
    for (int i = 0; i < 150; ++i) many += family + accent;
    std::string last200;
    for (int i = 0; i < 100; ++i) last200 += family + accent;
    EXPECT_EQ(AuralithEngine::promptText(many), " " + last200);
}

TEST(AuralithEngine, PrepareLoadsThePackFolderWithoutDownload) {
    Harness h;
    AuralithEngine engine(verbolin::ModelPack::named("standard"), h.factory(), nullptr);
    engine.prepare();
    ASSERT_EQ(h.configs.size(), 1u);
    const auto& c = h.configs[0];
    const auto folder = h.home.path() / "Verbolin" / "models" / "standard-v1";
    EXPECT_EQ(c.modelFolder, folder.string());
    EXPECT_EQ(c.tokenizerFolder, folder / "tokenizer");
    EXPECT_TRUE(c.prewarm.value_or(false) && c.load.value_or(false) && !c.download && !c.verbose);
}

// Errors of either step pass through unchanged; a failed prepare keeps
// whatever pipeline there was, and without one the answer is "".
TEST(AuralithEngine, ErrorsPassThroughAndAFailedPrepareKeepsThePipeline) {
    Harness h;
    h.prepareFailure = "Model file not found at /x";
    AuralithEngine engine(verbolin::ModelPack::named("standard"), h.factory(), nullptr);
    EXPECT_EQ(engine.transcribe(kSamples, "context"), "");
    try {
        engine.prepare();
        FAIL() << "prepare succeeded";
    } catch (const auralith::WhisperError& e) {
        EXPECT_EQ(e, auralith::WhisperError::modelsUnavailable("Model file not found at /x"));
    }
    EXPECT_EQ(engine.transcribe(kSamples, std::nullopt), "");

    h.prepareFailure.reset();
    engine.prepare();
    const auto first = h.pipeline;
    first->reply = {{segment("still here")}};
    h.prepareFailure = "broken";
    EXPECT_THROW(engine.prepare(), auralith::WhisperError);
    EXPECT_EQ(engine.transcribe(kSamples, std::nullopt), "still here");

    first->failure = "window 3 failed";
    try {
        engine.transcribe(kSamples, std::nullopt);
        FAIL() << "no error";
    } catch (const auralith::WhisperError& e) {
        EXPECT_EQ(e, auralith::WhisperError::decodingFailed("window 3 failed"));
    }
}

TEST(AuralithEngine, JoinsKeptSegmentsOfAllResultsAndRecordsEachDrop) {
    Harness h;
    testsupport::TempDir debugDir;
    auto recorder = std::make_shared<verbolin::DebugRecorder>(debugDir.path());
    recorder->beginSession();
    AuralithEngine engine(verbolin::ModelPack::named("standard"), h.factory(), recorder);
    engine.prepare();
    h.pipeline->reply = {
        {segment("  One.\n"), segment(" uh", 8.0f / 3.0f, -0.5f, 0.1f)},
        {segment(" \t\n "), segment("two", 1.0f, -1.5f, 0.2f), segment(" Three ")},
    };
    EXPECT_EQ(engine.transcribe(kSamples, std::nullopt), "One. Three");
    recorder->flush();
    const std::string log = testsupport::readFile(debugDir.path() / "events.log");
    const auto first =
        log.find("segment_dropped\tcr=2.6666667 logprob=-0.5 nospeech=0.1 text= uh\n");
    const auto second = log.find("segment_dropped\tcr=1.0 logprob=-1.5 nospeech=0.2 text=two\n");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_NE(second, std::string::npos) << log;
    EXPECT_LT(first, second);

    h.pipeline->reply = {{segment("a", 9.0f)}, {segment("b", 1.0f, -1.0f, 0.9f)}};
    EXPECT_EQ(engine.transcribe(kSamples, std::nullopt), "");
    EXPECT_EQ(h.pipeline->sampleCounts, (std::vector<std::size_t>{4800, 4800}));
}

TEST(AuralithEngine, ThePreviousTextBecomesAPromptOnlyWithATokenizer) {
    Harness h;
    AuralithEngine engine(verbolin::ModelPack::named("standard"), h.factory(), nullptr);
    engine.prepare();
    engine.transcribe(kSamples, "Hello there.");
    engine.transcribe(kSamples, "");
    engine.transcribe(kSamples, std::nullopt);
    ASSERT_EQ(h.pipeline->asked.size(), 3u);
    const std::string expected = " Hello there.";
    EXPECT_EQ(h.pipeline->asked[0].promptTokens,
              std::vector<std::int64_t>(expected.begin(), expected.end()));
    EXPECT_FALSE(h.pipeline->asked[1].promptTokens);
    EXPECT_FALSE(h.pipeline->asked[2].promptTokens);
    // Apart from the prompt, every call gets the fixed set, which never changes.
    auto withoutPrompt = h.pipeline->asked[0];
    withoutPrompt.promptTokens.reset();
    EXPECT_EQ(withoutPrompt, engine.options());
    EXPECT_FALSE(engine.options().promptTokens);

    Harness bare;
    AuralithEngine untokenized(verbolin::ModelPack::named("standard"), bare.factory(false),
                               nullptr);
    untokenized.prepare();
    untokenized.transcribe(kSamples, "Hello there.");
    EXPECT_FALSE(bare.pipeline->asked.at(0).promptTokens);
}

// Two listening sessions can overlap for a moment; the pipeline still sees
// one transcription at a time.
TEST(AuralithEngine, ConcurrentCallsReachThePipelineOneAtATime) {
    Harness h;
    AuralithEngine engine(verbolin::ModelPack::named("standard"), h.factory(), nullptr);
    engine.prepare();
    h.pipeline->reply = {{segment("ok")}};
    std::vector<std::thread> callers;
    std::atomic<int> answered{0};
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int i = 0; i < 10; ++i)
                if (engine.transcribe(kSamples, "ctx") == "ok") ++answered;
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(answered.load(), 40);
    EXPECT_FALSE(h.pipeline->overlapped.load());
}

}  // namespace
