// The mel-spectrogram and audio encoder stages: check order, cancellation,
// signpost intervals, a model that breaks its contract, unloading during a
// prediction, and spoken audio against the numpy reference.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <future>
#include <latch>

#include "auralith/core/AudioEncoder.hpp"
#include "auralith/core/FeatureExtractor.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "support/SpeechAudio.hpp"

using namespace auralith;
using platform::ml::MLMultiArray;
using Arrays = std::map<std::string, std::shared_ptr<MLMultiArray>>;

namespace {

// Takes a [4] float array under `in`; answers with what `evaluate` returns.
class ScriptedModel : public platform::ml::MLModel {
  public:
    ScriptedModel(const std::string& in, const std::string& out, std::function<Arrays()> evaluate)
        : MLModel(describe(in, out), {}), evaluate_(std::move(evaluate)) {}
    mutable std::atomic<int> calls{0};

  protected:
    Arrays evaluate(const Arrays&) const override { return ++calls, evaluate_(); }

  private:
    static platform::ml::MLModelDescription describe(const std::string& in,
                                                     const std::string& out) {
        using namespace platform::ml;
        MLModelDescription d;
        d.inputDescriptionsByName[in] = {in, MLFeatureType::multiArray, false,
                                         MLMultiArrayConstraint{{4}}};
        d.outputDescriptionsByName[out] = {out, MLFeatureType::multiArray, true,
                                           MLMultiArrayConstraint{{1, 2, 1, 3}}};
        return d;
    }
    std::function<Arrays()> evaluate_;
};

struct StageCase {
    std::string name, input, output, signpost, missingInput;
    Signposter& (*signposter)();
    std::function<std::shared_ptr<WhisperMLModel>()> make;
    std::function<std::shared_ptr<MLMultiArray>(WhisperMLModel&, std::shared_ptr<MLMultiArray>)>
        run;
};
void PrintTo(const StageCase& c, std::ostream* os) { *os << c.name; }

std::vector<StageCase> stageCases() {
    return {{"FeatureExtractor", "audio", "melspectrogram_features", "ExtractAudioFeatures",
             "FeatureExtractor input must be MLMultiArray", &Logging::FeatureExtractor::signposter,
             [] { return std::make_shared<FeatureExtractor>(); },
             [](WhisperMLModel& s, auto a) {
                 return dynamic_cast<FeatureExtracting&>(s).logMelSpectrogram(a);
             }},
            {"AudioEncoder", "melspectrogram_features", "encoder_output_embeds", "EncodeAudio",
             "AudioEncoder input must be MLMultiArray", &Logging::AudioEncoding::signposter,
             [] { return std::make_shared<AudioEncoder>(); },
             [](WhisperMLModel& s, auto a) {
                 return dynamic_cast<AudioEncoding&>(s).encodeFeatures(a);
             }}};
}

std::shared_ptr<MLMultiArray> array(std::vector<std::int64_t> shape) {
    return MLMultiArray::make(std::move(shape), platform::ml::MLMultiArrayDataType::float32);
}

// Signpost names begun and ended on one stage's signposter while alive.
struct SignpostRecorder {
    explicit SignpostRecorder(Signposter& s) : s(s) {
        s.setSink([this](const SignpostEvent& e) {
            std::lock_guard<std::mutex> lock(mutex);
            (e.kind == SignpostEvent::Kind::begin ? begins : ends).push_back(e.name);
        });
        s.setEnabled(true);
    }
    ~SignpostRecorder() { s.setEnabled(false), s.setSink({}); }
    Signposter& s;
    std::mutex mutex;
    std::vector<std::string> begins, ends;
};

std::optional<WhisperError> errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const WhisperError& e) {
        return e;
    }
    return std::nullopt;
}

class ModelStageTest : public ::testing::TestWithParam<StageCase> {};

}  // namespace

TEST_P(ModelStageTest, ChecksInputThenModelThenCancellation) {
    const auto& c = GetParam();
    auto stage = c.make();
    const auto run = [&](std::shared_ptr<MLMultiArray> a) { return [&, a] { c.run(*stage, a); }; };
    EXPECT_EQ(errorOf(run(nullptr)), WhisperError::audioProcessingFailed(c.missingInput));
    EXPECT_EQ(errorOf(run(array({4}))), WhisperError::modelsUnavailable("Models are unavailable"));
    auto model = std::make_shared<ScriptedModel>(c.input, c.output, [&] {
        return Arrays{{c.output, array({1, 2, 1, 3})}};
    });
    stage->setModel(model);
    EXPECT_EQ(errorOf(run(nullptr)), WhisperError::audioProcessingFailed(c.missingInput));

    SignpostRecorder recorder(c.signposter());
    std::stop_source source;
    source.request_stop();
    {
        platform::TaskCancellation::Scope scope(source.get_token());
        EXPECT_THROW(c.run(*stage, array({4})), platform::CancellationError);
    }
    EXPECT_EQ(model->calls, 0);
    EXPECT_TRUE(recorder.begins.empty());
    EXPECT_NE(c.run(*stage, array({4})), nullptr);
    EXPECT_EQ(model->calls, 1);
    EXPECT_EQ(recorder.ends, std::vector<std::string>{c.signpost});
}

TEST_P(ModelStageTest, FailuresCloseTheIntervalAndKeepTheirKind) {
    const auto& c = GetParam();
    auto stage = c.make();
    SignpostRecorder recorder(c.signposter());
    stage->setModel(std::make_shared<ScriptedModel>(
        c.input, c.output, []() -> Arrays { throw std::runtime_error("engine broke"); }));
    try {
        c.run(*stage, array({4}));
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "engine broke");
        EXPECT_EQ(dynamic_cast<const WhisperError*>(&e), nullptr);
    }
    EXPECT_EQ(recorder.begins, std::vector<std::string>{c.signpost});
    EXPECT_EQ(recorder.ends, std::vector<std::string>{c.signpost});
    // A model that leaves out its output array: an error, not a null result.
    stage->setModel(std::make_shared<ScriptedModel>(c.input, c.output, [] { return Arrays{}; }));
    const auto error = errorOf([&] { c.run(*stage, array({4})); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), WhisperError::Kind::audioProcessingFailed);
}

TEST_P(ModelStageTest, UnloadingDuringAPredictionLeavesItRunning) {
    const auto& c = GetParam();
    auto stage = c.make();
    std::latch entered(1), release(1);
    auto model = std::make_shared<ScriptedModel>(c.input, c.output, [&] {
        entered.count_down();
        release.wait();
        return Arrays{{c.output, array({1, 2, 1, 3})}};
    });
    std::weak_ptr<ScriptedModel> weak = model;
    stage->setModel(std::move(model));
    auto result = std::async(std::launch::async, [&] { return c.run(*stage, array({4})); });
    entered.wait();
    stage->unloadModel();
    EXPECT_FALSE(weak.expired()) << "the running prediction holds the model";
    release.count_down();
    EXPECT_EQ(result.get()->shape(), (std::vector<std::int64_t>{1, 2, 1, 3}));
    EXPECT_TRUE(weak.expired());
}

INSTANTIATE_TEST_SUITE_P(Stages, ModelStageTest, ::testing::ValuesIn(stageCases()),
                         [](const auto& info) { return info.param.name; });

// Spoken audio through the stage agrees with the independent numpy reference
// of Whisper's features, within the half-precision output's tolerance.
TEST(ModelStages, SpeechFeaturesMatchTheNumpyReference) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    if (std::system("/usr/bin/python3 -c 'import numpy' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "/usr/bin/python3 with numpy is missing";
    auto speech =
        testsupport::speak("Seven bright lanterns swung above the quiet harbour tonight.");
    ASSERT_GT(speech.size(), 16000u);
    speech.resize(480000, 0.0f);  // a padded window, as the pipeline hands it over
    testsupport::TempDir dir;
    const auto samplesFile = dir.path() / "speech.f32";
    std::ofstream(samplesFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(speech.data()),
               static_cast<std::streamsize>(speech.size() * 4));
    const auto tool =
        std::filesystem::path(VERBOLIN_TEST_DATA_DIR) / "../../tools/mel_reference.py";
    for (int nMels : {80, 128}) {
        const auto refFile = dir.path() / "reference.f32";
        testsupport::runTool("/usr/bin/python3 '" + tool.string() + "' --samples '" +
                             samplesFile.string() + "' " + std::to_string(nMels) + " '" +
                             refFile.string() + "'");
        const std::string bytes = testsupport::readFile(refFile);
        ASSERT_EQ(bytes.size(), std::size_t{3000} * nMels * 4);
        std::vector<float> reference(bytes.size() / 4);  // [frame][band]
        std::memcpy(reference.data(), bytes.data(), bytes.size());

        const auto folder = dir.path() / ("MelSpectrogram" + std::to_string(nMels) + ".mlmodelc");
        platform::ml::MelSpectrogramModel::writeFolder(folder, nMels);
        FeatureExtractor extractor;
        extractor.loadModel(folder, platform::ml::MLComputeUnits::cpuOnly, false);
        EXPECT_EQ(extractor.windowSamples(), 480000);
        EXPECT_EQ(extractor.melCount(), nMels);
        auto audio = array({480000});
        std::copy(speech.begin(), speech.end(), audio->span<float>().begin());
        const auto features = extractor.logMelSpectrogram(audio);
        const auto mel = features->span<platform::ml::Float16>();
        float worst = 0;
        for (int frame = 0; frame < 3000; ++frame)
            for (int m = 0; m < nMels; ++m)
                worst = std::max(worst, std::abs(static_cast<float>(mel[m * 3000 + frame]) -
                                                 reference[frame * nMels + m]));
        EXPECT_LT(worst, 1e-3f) << nMels << " bands";
    }
}
