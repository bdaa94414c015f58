// The pipeline class over a small random-weights model folder: construction,
// model loading order and state, tokenizer search, and single-array runs.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <stop_token>

#include "auralith/Auralith.hpp"
#include "auralith/ModelUtilities.hpp"
#include "auralith/core/AudioEncoder.hpp"
#include "auralith/core/FeatureExtractor.hpp"
#include "auralith/core/TextDecoder.hpp"
#include "auralith/core/WhisperTokenizerWrapper.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/utilities/LogCapture.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/NetworkPathMonitor.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "support/HubTestEnvironment.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "support/TokenizerHub.hpp"

using auralith::Auralith;
using auralith::AuralithConfig;
using auralith::WhisperError;
using vortil::ModelState;
namespace fs = std::filesystem;

namespace {

using Log = std::shared_ptr<std::vector<std::string>>;

// A real stage that notes each load and unload in a shared log.
template <class Stage>
class Recording final : public Stage {
  public:
    Recording(std::string name, Log log) : name_(std::move(name)), log_(std::move(log)) {}
    void loadModel(const fs::path& url, platform::ml::MLComputeUnits units, bool prewarm) override {
        log_->push_back((prewarm ? "prewarm " : "load ") + name_);
        Stage::loadModel(url, units, prewarm);
    }
    void unloadModel() override {
        log_->push_back("unload " + name_);
        Stage::unloadModel();
    }

  private:
    std::string name_;
    Log log_;
};

// One random English-only model for the suite (vocabulary 51864, width 32:
// the base.en size by the variant table), with its tokenizer.
const fs::path& modelFolder() {
    static testsupport::TempDir dir("verbolin-pipeline");
    static const fs::path folder = [] {
        const fs::path out = dir / "model";
        const std::string command =
            std::string(VERBOLIN_BINARY_DIR) + "/verbolin-models random '" + out.string() +
            "' --tokenizer '" VERBOLIN_TEST_DATA_DIR
            "/whisper-en-tokenizer' --dims "
            "d_model=32,heads=2,ffn=64,layers=2,vocab_size=51864 >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("verbolin-models random failed");
        return out;
    }();
    return folder;
}

struct Stages {
    Log log = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<auralith::FeatureExtractor> mel =
        std::make_shared<Recording<auralith::FeatureExtractor>>("mel", log);
    std::shared_ptr<auralith::AudioEncoder> encoder =
        std::make_shared<Recording<auralith::AudioEncoder>>("encoder", log);
    std::shared_ptr<auralith::TextDecoder> decoder =
        std::make_shared<Recording<auralith::TextDecoder>>("decoder", log);
};

AuralithConfig config(std::optional<fs::path> folder, std::optional<bool> load,
                      const Stages* stages = nullptr, bool prewarm = false) {
    AuralithConfig::Arguments a;
    if (folder) {
        a.modelFolder = folder->string();
        a.tokenizerFolder = *folder / "tokenizer";
    }
    a.load = load;
    a.prewarm = prewarm;
    a.download = false;
    a.verbose = false;
    if (stages) {
        a.featureExtractor = stages->mel;
        a.audioEncoder = stages->encoder;
        a.textDecoder = stages->decoder;
    }
    return AuralithConfig(a);
}

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

// No test may reach a real hub: a tokenizer that is not found locally is
// asked of a closed loopback port.
class AuralithTest : public auralith::testing::LogCaptureTest {
    testsupport::ScopedEnv endpoint_{"HF_ENDPOINT", "http://127.0.0.1:9"};
};

TEST_F(AuralithTest, ConstructionSetsTheLogLevelTokenizerFolderAndCallsBackOnEveryAssignment) {
    AuralithConfig::Arguments a;
    a.download = false;
    a.verbose = true;
    a.logLevel = vortil::Logging::LogLevel::debug;
    a.downloadBase = "/tmp/hub-base";
    auto pipeline = Auralith::create(AuralithConfig(a));
    EXPECT_TRUE(vortil::Logging::isLoggingEnabled(vortil::Logging::LogLevel::debug));
    EXPECT_EQ(pipeline->tokenizerFolder(), fs::path("/tmp/hub-base"));
    EXPECT_EQ(pipeline->modelState(), ModelState::unloaded);

    std::vector<std::pair<std::optional<ModelState>, ModelState>> seen;
    pipeline->setModelStateCallback([&](auto o, auto n) { seen.emplace_back(o, n); });
    pipeline->setModelState(ModelState::unloaded);
    EXPECT_EQ(seen, (decltype(seen){{ModelState::unloaded, ModelState::unloaded}}));

    a.verbose = false;
    a.logLevel = vortil::Logging::LogLevel::error;
    Auralith::create(AuralithConfig(a));
    EXPECT_FALSE(vortil::Logging::isLoggingEnabled());
}

TEST_F(AuralithTest, PrewarmThenLoadRunsInTheFixedOrderAndFindsTheTokenizer) {
    Stages stages;
    auto pipeline = Auralith::create(config(modelFolder(), false, &stages));
    std::vector<std::pair<std::optional<ModelState>, ModelState>> seen;
    pipeline->setModelStateCallback([&](auto o, auto n) { seen.emplace_back(o, n); });

    pipeline->prewarmModels();
    auto t = pipeline->currentTimings();
    EXPECT_EQ(t.decoderLoadTime, 0.0);
    EXPECT_EQ(t.encoderLoadTime, 0.0);
    EXPECT_GT(t.prewarmLoadTime, 0.0);
    EXPECT_FALSE(pipeline->tokenizer());
    EXPECT_FALSE(stages.decoder->model());  // prewarming lets go again

    pipeline->loadModels();
    t = pipeline->currentTimings();
    EXPECT_GE(t.modelLoading, t.prewarmLoadTime);
    EXPECT_GT(t.decoderLoadTime, 0.0);
    EXPECT_EQ(*stages.log,
              (std::vector<std::string>{"prewarm mel", "prewarm decoder", "prewarm encoder",
                                        "load mel", "load decoder", "load encoder"}));
    using S = ModelState;
    EXPECT_EQ(seen, (decltype(seen){{S::unloaded, S::prewarming},
                                    {S::prewarming, S::prewarmed},
                                    {S::prewarmed, S::loading},
                                    {S::loading, S::loaded}}));
    EXPECT_EQ(pipeline->modelVariant(), auralith::ModelVariant::baseEn);
    EXPECT_FALSE(pipeline->textDecoder()->isModelMultilingual());
    ASSERT_TRUE(pipeline->tokenizer());
    EXPECT_EQ(pipeline->textDecoder()->tokenizer(), pipeline->tokenizer());

    seen.clear();
    stages.log->clear();
    pipeline->unloadModels();
    EXPECT_EQ(*stages.log,
              (std::vector<std::string>{"unload mel", "unload encoder", "unload decoder"}));
    EXPECT_EQ(seen, (decltype(seen){{S::loaded, S::unloading}, {S::unloading, S::unloaded}}));
    EXPECT_TRUE(pipeline->tokenizer());  // kept for the next load
}

TEST_F(AuralithTest, MissingOrForeignModelFilesFailBeforeAnythingLoads) {
    testsupport::TempDir dir;
    for (const char* name : {"MelSpectrogram.mlmodelc", "TextDecoder.mlmodelc"})
        fs::copy(modelFolder() / name, dir / name, fs::copy_options::recursive);
    Stages stages;
    auto pipeline = Auralith::create(config(dir.path(), false, &stages));
    EXPECT_EQ(messageOf([&] { pipeline->loadModels(); }),
              "Model file not found at " + (dir / "AudioEncoder.mlmodelc").string());
    EXPECT_EQ(pipeline->modelState(), ModelState::loading);

    // The other platform's compiled folder: its own files, no model.json.
    fs::create_directories(dir / "AudioEncoder.mlmodelc");
    std::ofstream(dir / "AudioEncoder.mlmodelc" / "coremldata.bin") << "x";
    const std::string foreign = messageOf([&] { pipeline->loadModels(); });
    EXPECT_NE(foreign.find("no model.json"), std::string::npos) << foreign;
    EXPECT_NE(foreign.find("verbolin-models convert"), std::string::npos) << foreign;
    EXPECT_TRUE(stages.log->empty());

    auto unset = Auralith::create(config(std::nullopt, false));
    EXPECT_EQ(messageOf([&] { unset->loadModels(); }), "Model folder is not set.");
}

struct LoadFlagCase {
    bool folder;
    std::optional<bool> load;
    bool prewarm;
    ModelState expected;
};
std::string caseName(const LoadFlagCase& c) {
    return std::string(c.folder ? "folder" : "noFolder") + "_load" +
           (c.load ? (*c.load ? "Yes" : "No") : "Unset") + (c.prewarm ? "_prewarm" : "");
}
void PrintTo(const LoadFlagCase& c, std::ostream* os) {
    *os << caseName(c) << " is " << vortil::description(c.expected);
}

class LoadFlagTest : public AuralithTest, public ::testing::WithParamInterface<LoadFlagCase> {};

TEST_P(LoadFlagTest, CreationLoadsAsTheConfigurationAsks) {
    const auto& c = GetParam();
    auto pipeline = Auralith::create(
        config(c.folder ? std::optional(modelFolder()) : std::nullopt, c.load, nullptr, c.prewarm));
    EXPECT_EQ(pipeline->modelState(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, LoadFlagTest,
    ::testing::Values(LoadFlagCase{true, std::nullopt, false, ModelState::loaded},
                      LoadFlagCase{false, std::nullopt, false, ModelState::unloaded},
                      LoadFlagCase{true, false, false, ModelState::unloaded},
                      LoadFlagCase{true, false, true, ModelState::prewarmed},
                      LoadFlagCase{true, true, true, ModelState::loaded}),
    [](const auto& info) { return caseName(info.param); });

// create() runs the set-up through the subclass's own operations.
class CountingPipeline final : public Auralith {
  public:
    using Auralith::Auralith;
    int loads = 0;
    void loadModels(bool prewarmMode) override {
        ++loads;
        Auralith::loadModels(prewarmMode);
    }
};

TEST_F(AuralithTest, CreateDispatchesToSubclassOverrides) {
    auto pipeline = Auralith::create<CountingPipeline>(config(modelFolder(), true, nullptr, true));
    EXPECT_EQ(pipeline->loads, 2);  // prewarm, then load
}

struct SearchCase {
    std::vector<std::string> holders;  // folders that hold a tokenizer.json
    std::string chosen;
};
std::string caseName(const SearchCase& c) {
    std::string name;
    for (const auto& h : c.holders) name += (name.empty() ? "" : "_") + h;
    return name;
}
void PrintTo(const SearchCase& c, std::ostream* os) {
    *os << caseName(c) << " chooses " << c.chosen;
}

class TokenizerSearchTest : public AuralithTest,
                            public ::testing::WithParamInterface<SearchCase> {};

TEST_P(TokenizerSearchTest, TheFirstCandidateWithATokenizerWins) {
    testsupport::TempDir dir;
    fs::copy(modelFolder(), dir / "model", fs::copy_options::recursive);
    fs::remove_all(dir / "model" / "tokenizer");
    const std::map<std::string, fs::path> places = {
        {"cache", dir / "tok" / "models" / "openai" / "whisper-base.en"},
        {"tok", dir / "tok"},
        {"model", dir / "model"},
        {"modelcache", dir / "model" / "models" / "openai" / "whisper-base.en"}};
    for (const auto& holder : GetParam().holders) {
        fs::create_directories(places.at(holder));
        for (const char* f : {"tokenizer.json", "tokenizer_config.json"})
            fs::copy_file(fs::path(VERBOLIN_TEST_DATA_DIR "/whisper-en-tokenizer") / f,
                          places.at(holder) / f);
    }
    auto a = config(dir / "model", false);
    a.tokenizerFolder = dir / "tok";
    auto pipeline = Auralith::create(a);
    pipeline->loadModels();
    auto wrapper =
        std::dynamic_pointer_cast<auralith::WhisperTokenizerWrapper>(pipeline->tokenizer());
    ASSERT_TRUE(wrapper);
    EXPECT_EQ(wrapper->tokenizerFolder(), places.at(GetParam().chosen));
}

INSTANTIATE_TEST_SUITE_P(Order, TokenizerSearchTest,
                         ::testing::Values(SearchCase{{"cache", "tok", "model"}, "cache"},
                                           SearchCase{{"tok", "model", "modelcache"}, "tok"},
                                           SearchCase{{"model", "modelcache"}, "model"},
                                           SearchCase{{"modelcache"}, "modelcache"}),
                         [](const auto& info) { return caseName(info.param); });

TEST_F(AuralithTest, ABrokenLocalTokenizerAsksTheHubAndItsErrorReachesTheCaller) {
    testsupport::TempDir dir;
    fs::copy(modelFolder(), dir / "model", fs::copy_options::recursive);
    std::ofstream(dir / "model" / "tokenizer" / "tokenizer.json", std::ios::trunc) << "{ not json";
    testsupport::ScopedEnv home("HOME", dir.path().string());
    auto a = config(dir / "model", false);
    a.tokenizerFolder = dir / "model" / "tokenizer";
    auto pipeline = Auralith::create(a);
    EXPECT_THROW(pipeline->loadModels(), std::exception);
    EXPECT_FALSE(pipeline->tokenizer());
    EXPECT_FALSE(pipeline->textDecoder()->isModelMultilingual());  // set before the search
    EXPECT_EQ(pipeline->modelState(), ModelState::loading);
}

// A tokenizer.json that does not parse is passed over for the hub, whether
// or not the pipeline may download models: what the hub serves lands in the
// hub cache beside the broken file (which stays as it was) and is used, and
// the hub client's own failures (offline mode, a missing file, a failing
// hub) reach the caller.
struct BrokenTokenizerCase {
    const char* name;
    bool download;
    bool offline;       // the machine has no network path
    int hubStatus;      // what the hub answers for the tokenizer's files
    std::string fails;  // a part of the error, empty when the load succeeds
};
void PrintTo(const BrokenTokenizerCase& c, std::ostream* os) { *os << c.name; }

class BrokenTokenizerTest : public AuralithTest,
                            public ::testing::WithParamInterface<BrokenTokenizerCase> {
  protected:
    static void simulateNetwork(bool satisfied) {
        platform::NetworkPath path;
        path.status = satisfied ? platform::NetworkPath::Status::satisfied
                                : platform::NetworkPath::Status::unsatisfied;
        platform::NetworkPathMonitor::shared().simulate(path);
    }
};

TEST_P(BrokenTokenizerTest, TheHubsTokenizerReplacesItWhetherOrNotDownloadingIsOn) {
    const auto& c = GetParam();
    testsupport::HubTestEnvironment env;
    testsupport::LocalHttpServer hub;
    env.set("HF_ENDPOINT", hub.root().substr(0, hub.root().size() - 1).c_str());
    // Loopback alone would count as offline: the path decides, not the machine.
    simulateNetwork(!c.offline);
    const std::string repo = "openai/whisper-base.en";
    testsupport::serveTokenizer(hub, repo, c.hubStatus);

    testsupport::TempDir dir;
    fs::copy(modelFolder(), dir / "model", fs::copy_options::recursive);
    const fs::path broken = dir / "model" / "tokenizer";
    std::ofstream(broken / "tokenizer.json", std::ios::trunc) << "{ not json";
    auto a = config(dir / "model", false);
    a.tokenizerFolder = broken;
    a.download = c.download;
    auto pipeline = Auralith::create(a);
    const std::string error = messageOf([&] { pipeline->loadModels(); });
    simulateNetwork(platform::NetworkPathMonitor::readSystemPath().status ==
                    platform::NetworkPath::Status::satisfied);
    EXPECT_EQ(hub.recorded().empty(), c.offline);
    EXPECT_EQ(testsupport::readFile(broken / "tokenizer.json"), "{ not json");
    if (!c.fails.empty()) {
        EXPECT_NE(error.find(c.fails), std::string::npos) << error;
        EXPECT_FALSE(pipeline->tokenizer());
        EXPECT_EQ(pipeline->modelState(), ModelState::loading);
        return;
    }
    ASSERT_EQ(error, "no error");
    const auto wrapper =
        std::dynamic_pointer_cast<auralith::WhisperTokenizerWrapper>(pipeline->tokenizer());
    ASSERT_TRUE(wrapper);
    const fs::path cache = broken / "models" / repo;
    EXPECT_EQ(wrapper->tokenizerFolder(), cache);
    EXPECT_TRUE(fs::exists(cache / "tokenizer.json"));
    EXPECT_EQ(pipeline->textDecoder()->tokenizer(), pipeline->tokenizer());
    // What was downloaded is the good tokenizer.
    auto reference = Auralith::create(config(modelFolder(), false));
    reference->loadModels();
    for (const std::string text : {" Hello world", "<|startoftranscript|><|notimestamps|> 42"})
        EXPECT_EQ(pipeline->tokenizer()->encode(text), reference->tokenizer()->encode(text))
            << text;
}

INSTANTIATE_TEST_SUITE_P(
    Roads, BrokenTokenizerTest,
    ::testing::Values(
        BrokenTokenizerCase{"DownloadingOffHubServesAGoodOne", false, false, 200, ""},
        BrokenTokenizerCase{"DownloadingOnHubServesAGoodOne", true, false, 200, ""},
        BrokenTokenizerCase{"DownloadingOffOffline", false, true, 200, "Offline mode error"},
        BrokenTokenizerCase{"DownloadingOnOffline", true, true, 200, "Offline mode error"},
        BrokenTokenizerCase{"DownloadingOffHubLacksTheFiles", false, false, 404,
                            "File not found: tokenizer.json"},
        BrokenTokenizerCase{"DownloadingOffHubFails", false, false, 500,
                            "HTTP error with status code: 500"},
        BrokenTokenizerCase{"DownloadingOnHubFails", true, false, 500,
                            "HTTP error with status code: 500"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AuralithTest, TheTokenizerIsFoundOnceAndNeedsLoadedShapes) {
    auto pipeline = Auralith::create(config(modelFolder(), false));
    EXPECT_EQ(messageOf([&] { pipeline->loadTokenizerIfNeeded(); }), "Tokenizer is unavailable");
    EXPECT_EQ(pipeline->modelVariant(), auralith::ModelVariant::tiny);

    pipeline->loadModels();
    const auto tokenizer = pipeline->tokenizer();
    const double took = pipeline->currentTimings().tokenizerLoadTime;
    capture(vortil::Logging::LogLevel::debug);
    pipeline->loadTokenizerIfNeeded();
    EXPECT_EQ(taken(),
              std::vector<std::string>{"Tokenizer already exists on Auralith, skipping load"});
    EXPECT_EQ(pipeline->tokenizer(), tokenizer);
    EXPECT_EQ(pipeline->currentTimings().tokenizerLoadTime, took);
}

// Reports one segment at 0.0-1.5 s (seek 0) while it runs, as a task would.
class ReportingPipeline final : public Auralith {
  public:
    using Auralith::Auralith;
    Results runTranscribeTask(const std::vector<float>&,
                              const std::optional<auralith::DecodingOptions>&, ProgressCallback,
                              SegmentDiscoveryCallback segmentCallback) override {
        auralith::TranscriptionSegment s;
        s.start = 0.0f;
        s.end = 1.5f;
        s.words = std::vector<auralith::WordTiming>{{" hi", {1}, 0.5f, 1.0f, 0.9f}};
        if (segmentCallback) segmentCallback({s});
        return {std::make_shared<auralith::TranscriptionResult>(" hi", std::vector{s}, "en",
                                                                auralith::TranscriptionTimings())};
    }
};

TEST_F(AuralithTest, TheSampleOffsetMovesOnlyWhatTheSegmentCallbackSees) {
    auto pipeline = Auralith::create<ReportingPipeline>(config(std::nullopt, false));
    std::vector<auralith::TranscriptionSegment> seen;
    pipeline->setSegmentDiscoveryCallback([&](const auto& found) { seen = found; });
    const auto results = pipeline->transcribe(std::vector<float>(100), 16000, std::nullopt);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].seek, 16000);
    EXPECT_FLOAT_EQ(seen[0].start, 1.0f);
    EXPECT_FLOAT_EQ(seen[0].end, 2.5f);
    EXPECT_FLOAT_EQ((*seen[0].words)[0].start, 1.5f);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FLOAT_EQ(results[0]->segments()[0].start, 0.0f);
    EXPECT_EQ(results[0]->segments()[0].seek, 0);
}

// Notes the arrays it is asked to transcribe and the clips they came with.
class CountingRuns final : public Auralith {
  public:
    using Auralith::Auralith;
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // samples, clip values
    std::mutex runsMutex;
    Results runTranscribeTask(const std::vector<float>& audio,
                              const std::optional<auralith::DecodingOptions>& options,
                              ProgressCallback, SegmentDiscoveryCallback) override {
        {
            // Chunks of one request run on several workers at once.
            std::lock_guard lock(runsMutex);
            runs.emplace_back(audio.size(), options ? options->clipTimestamps.size() : 0);
        }
        return {std::make_shared<auralith::TranscriptionResult>(
            "", std::vector<auralith::TranscriptionSegment>{}, "en",
            auralith::TranscriptionTimings())};
    }
};

struct PathCase {
    std::size_t samples;
    bool vad;
    bool options;
    bool chunked;
};
std::string caseName(const PathCase& c) {
    return std::to_string(c.samples) + "samples" + (c.vad ? "_vad" : "") +
           (c.options ? "_options" : "");
}
void PrintTo(const PathCase& c, std::ostream* os) {
    *os << caseName(c) << (c.chunked ? " chunked" : " whole");
}

class TranscriptionPathTest : public AuralithTest,
                              public ::testing::WithParamInterface<PathCase> {};

TEST_P(TranscriptionPathTest, OnlyAVadRequestLongerThanAWindowIsChunked) {
    const auto& c = GetParam();
    auto pipeline = Auralith::create<CountingRuns>(config(std::nullopt, false));
    auto options = auralith::DecodingOptions({.clipTimestamps = {0.0f, 40.0f}});
    if (c.vad) options.chunkingStrategy = auralith::ChunkingStrategy::vad;
    pipeline->transcribe(std::vector<float>(c.samples, 0.0f),
                         c.options ? std::optional(options) : std::nullopt);
    ASSERT_FALSE(pipeline->runs.empty());
    if (!c.chunked) {
        EXPECT_EQ(pipeline->runs, (decltype(pipeline->runs){{c.samples, c.options ? 2u : 0u}}));
        return;
    }
    for (const auto& [samples, clips] : pipeline->runs) {
        EXPECT_LE(samples, 480000u);
        EXPECT_EQ(clips, 0u);  // each chunk runs without the caller's clips
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, TranscriptionPathTest,
                         ::testing::Values(PathCase{480000, true, true, false},
                                           PathCase{480001, true, true, true},
                                           PathCase{960000, false, true, false},
                                           PathCase{960000, false, false, false}),
                         [](const auto& info) { return caseName(info.param); });

// What a microphone or a caller may hand over: nothing, broken samples, far
// too loud ones, more than a window. Each run ends with one result.
TEST_F(AuralithTest, HostileArraysEndInOneResultEach) {
    auto pipeline = Auralith::create(config(modelFolder(), true));
    const auto options = auralith::DecodingOptions({.language = "en",
                                                    .temperatureFallbackCount = 1,
                                                    .sampleLength = 16,
                                                    .withoutTimestamps = true});
    const std::vector<std::vector<float>> arrays = {
        {},
        std::vector<float>(16000, std::numeric_limits<float>::quiet_NaN()),
        std::vector<float>(16000, std::numeric_limits<float>::infinity()),
        std::vector<float>(16000, 1e30f),
        std::vector<float>(3 * 16000 + 7, 0.0f),
        std::vector<float>(35 * 16000, 0.01f),
    };
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        Auralith::Results results;
        EXPECT_NO_THROW(results = pipeline->transcribe(arrays[i], options)) << "array " << i;
        EXPECT_EQ(results.size(), 1u) << "array " << i;
    }
}

TEST_F(AuralithTest, NoTokenizerAfterLoadingIsAnErrorAndClearStateResetsTimings) {
    class NoTokenizer final : public Auralith {
      public:
        using Auralith::Auralith;
        void loadTokenizerIfNeeded() override {}
    };
    auto pipeline = Auralith::create<NoTokenizer>(config(modelFolder(), true));
    EXPECT_EQ(messageOf([&] { pipeline->transcribe(std::vector<float>(16000), std::nullopt); }),
              "Tokenizer is unavailable");
    EXPECT_NE(pipeline->currentTimings(), auralith::TranscriptionTimings());
    pipeline->clearState();
    EXPECT_EQ(pipeline->currentTimings(), auralith::TranscriptionTimings());
}

TEST_F(AuralithTest, APrewarmedPipelineLoadsOnItsFirstRunAndStopRequestsCancel) {
    auto pipeline = Auralith::create(config(modelFolder(), false, nullptr, true));
    ASSERT_EQ(pipeline->modelState(), ModelState::prewarmed);
    auto options = auralith::DecodingOptions({.language = "en", .withoutTimestamps = true});
    const auto results = pipeline->transcribe(std::vector<float>(16000, 0.0f), options);
    EXPECT_EQ(pipeline->modelState(), ModelState::loaded);
    EXPECT_TRUE(pipeline->tokenizer());
    EXPECT_EQ(results.size(), 1u);
    EXPECT_EQ(pipeline->progress()->totalUnitCount(), 0);  // the finished one was replaced

    std::stop_source stop;
    stop.request_stop();
    const auto before = pipeline->progress();
    {
        platform::TaskCancellation::Scope scope(stop.get_token());
        EXPECT_THROW(pipeline->transcribe(std::vector<float>(16000), options),
                     platform::CancellationError);
    }
    EXPECT_NE(pipeline->progress(), before);
}

}  // namespace
