// The mel-spectrogram and audio encoder stages: check order, cancellation,
// signpost intervals, contract breaches of the model, unloading during a
// prediction, and parity with the bare models.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <future>
#include <latch>
#include <stop_token>
#include <thread>

#include "StageModelDoubles.hpp"
#include "auralith/core/AudioEncoder.hpp"
#include "auralith/core/AudioEncoderInput.hpp"
#include "auralith/core/MelSpectrogramInput.hpp"
#include "auralith/core/FeatureExtractor.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/ml/AudioEncoderModel.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/ml/WhisperModelLayout.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "platform/ml/WhisperTestModels.hpp"
#include "support/SpeechAudio.hpp"
#include "support/TempDir.hpp"

using namespace auralith;
using auralith::testing::arrayFeature;
using auralith::testing::ScriptedModel;
using platform::ml::MLFeatureType;
using platform::ml::MLModelDescription;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

namespace {

// One row per stage: how to build it and call it through its protocol.
struct StageCase {
    std::string name;
    std::string inputName;
    std::string outputName;
    std::string signpost;
    std::string missingInputMessage;
    Signposter& (*signposter)();
    std::function<std::shared_ptr<WhisperMLModel>()> make;
    std::function<std::shared_ptr<MLMultiArray>(WhisperMLModel&, std::shared_ptr<MLMultiArray>)>
        run;
};

std::vector<StageCase> stageCases() {
    return {
        {"FeatureExtractor", "audio", "melspectrogram_features", "ExtractAudioFeatures",
         "FeatureExtractor input must be MLMultiArray", &Logging::FeatureExtractor::signposter,
         [] { return std::make_shared<FeatureExtractor>(); },
         [](WhisperMLModel& s, std::shared_ptr<MLMultiArray> a) {
             return dynamic_cast<FeatureExtracting&>(s).logMelSpectrogram(a);
         }},
        {"AudioEncoder", "melspectrogram_features", "encoder_output_embeds", "EncodeAudio",
         "AudioEncoder input must be MLMultiArray", &Logging::AudioEncoding::signposter,
         [] { return std::make_shared<AudioEncoder>(); },
         [](WhisperMLModel& s, std::shared_ptr<MLMultiArray> a) {
             return dynamic_cast<AudioEncoding&>(s).encodeFeatures(a);
         }},
    };
}

std::shared_ptr<MLMultiArray> smallInput() {
    return MLMultiArray::make({4}, MLMultiArrayDataType::float32);
}

// A model taking a [4] float array and answering with `evaluate`.
std::shared_ptr<ScriptedModel> scripted(const StageCase& c, ScriptedModel::Evaluate evaluate,
                                        bool optionalOutput = false) {
    MLModelDescription d;
    d.inputDescriptionsByName[c.inputName] = arrayFeature(c.inputName, {4});
    d.outputDescriptionsByName[c.outputName] =
        arrayFeature(c.outputName, {1, 2, 1, 3}, MLMultiArrayDataType::float16, optionalOutput);
    return std::make_shared<ScriptedModel>(std::move(d), std::move(evaluate));
}

ScriptedModel::Evaluate answering(const std::string& outputName) {
    return [outputName](const auto&) {
        return std::map<std::string, std::shared_ptr<MLMultiArray>>{
            {outputName, MLMultiArray::make({1, 2, 1, 3}, MLMultiArrayDataType::float16)}};
    };
}

// Records the signpost events of one stage while alive.
class SignpostRecorder {
  public:
    explicit SignpostRecorder(Signposter& s) : s_(s) {
        s_.setSink([this](const SignpostEvent& e) {
            std::lock_guard<std::mutex> lock(mutex_);
            (e.kind == SignpostEvent::Kind::begin ? begins_ : ends_).push_back(e.name);
        });
        s_.setEnabled(true);
    }
    ~SignpostRecorder() {
        s_.setEnabled(false);
        s_.setSink({});
    }
    std::pair<std::vector<std::string>, std::vector<std::string>> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return {begins_, ends_};
    }

  private:
    Signposter& s_;
    std::mutex mutex_;
    std::vector<std::string> begins_, ends_;
};

class ModelStageTest : public ::testing::TestWithParam<StageCase> {};

}  // namespace

TEST_P(ModelStageTest, WithoutModelShapesAreAbsentAndPredictionRefused) {
    const auto& c = GetParam();
    auto stage = c.make();
    if (auto* fe = dynamic_cast<FeatureExtractor*>(stage.get())) {
        EXPECT_EQ(fe->windowSamples(), std::nullopt);
        EXPECT_EQ(fe->melCount(), std::nullopt);
    } else {
        auto& enc = dynamic_cast<AudioEncoder&>(*stage);
        EXPECT_EQ(enc.embedSize(), std::nullopt);
        EXPECT_EQ(enc.sequenceLength(), std::nullopt);
    }
    try {
        c.run(*stage, smallInput());
        FAIL() << "no error";
    } catch (const WhisperError& e) {
        EXPECT_EQ(e, WhisperError::modelsUnavailable("Models are unavailable"));
    }
}

TEST_P(ModelStageTest, MissingInputIsRefusedBeforeTheModelIsLookedAt) {
    const auto& c = GetParam();
    for (bool loaded : {false, true}) {
        auto stage = c.make();
        auto model = scripted(c, answering(c.outputName));
        if (loaded) stage->setModel(model);
        try {
            c.run(*stage, nullptr);
            FAIL() << "no error";
        } catch (const WhisperError& e) {
            EXPECT_EQ(e, WhisperError::audioProcessingFailed(c.missingInputMessage)) << loaded;
        }
        EXPECT_EQ(model->calls(), 0);
    }
}

TEST_P(ModelStageTest, CancelledTaskStopsBeforeAnyIntervalOrPrediction) {
    const auto& c = GetParam();
    auto stage = c.make();
    auto model = scripted(c, answering(c.outputName));
    stage->setModel(model);
    SignpostRecorder recorder(c.signposter());
    std::stop_source source;
    source.request_stop();
    {
        platform::TaskCancellation::Scope scope(source.get_token());
        EXPECT_THROW(c.run(*stage, smallInput()), platform::CancellationError);
    }
    EXPECT_EQ(model->calls(), 0);
    EXPECT_TRUE(recorder.events().first.empty());
    // Outside the scope the same stage runs again.
    EXPECT_NE(c.run(*stage, smallInput()), nullptr);
    EXPECT_EQ(model->calls(), 1);
}

TEST_P(ModelStageTest, FailingPredictionPassesItsErrorAndClosesTheInterval) {
    const auto& c = GetParam();
    auto stage = c.make();
    stage->setModel(scripted(c, [](const auto&) -> std::map<std::string, std::shared_ptr<MLMultiArray>> {
        throw std::runtime_error("engine broke");
    }));
    SignpostRecorder recorder(c.signposter());
    try {
        c.run(*stage, smallInput());
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "engine broke");
        EXPECT_EQ(dynamic_cast<const WhisperError*>(&e), nullptr);
    }
    const auto [begins, ends] = recorder.events();
    EXPECT_EQ(begins, std::vector<std::string>{c.signpost});
    EXPECT_EQ(ends, std::vector<std::string>{c.signpost});
}

TEST_P(ModelStageTest, OutputWithoutItsArrayIsAnAudioProcessingError) {
    const auto& c = GetParam();
    auto stage = c.make();
    stage->setModel(scripted(c, [](const auto&) { return std::map<std::string, std::shared_ptr<MLMultiArray>>{}; },
                             /*optionalOutput=*/true));
    try {
        c.run(*stage, smallInput());
        FAIL() << "no error";
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.kind(), WhisperError::Kind::audioProcessingFailed);
        EXPECT_NE(e.message().find(c.outputName), std::string::npos) << e.message();
    }
}

TEST_P(ModelStageTest, ShapesOutsideTheContractGiveNoSize) {
    const auto& c = GetParam();
    struct Row {
        const char* what;
        bool onInput;
        MLFeatureType type;
        std::optional<std::vector<std::int64_t>> shape;
    };
    // The stage reads its sizes from the side the model declares them on.
    const bool mel = c.name == "FeatureExtractor";
    const std::string name = mel ? "audio" : "encoder_output_embeds";
    const Row rows[] = {
        {"image feature", mel, MLFeatureType::image, std::vector<std::int64_t>{480000}},
        {"no constraint", mel, MLFeatureType::multiArray, std::nullopt},
        {"empty shape", mel, MLFeatureType::multiArray, std::vector<std::int64_t>{}},
        {"too few dims", mel, MLFeatureType::multiArray, std::vector<std::int64_t>{1}},
    };
    for (const auto& row : rows) {
        MLModelDescription d;
        platform::ml::MLFeatureDescription f{name, row.type, false, std::nullopt};
        if (row.shape) f.multiArrayConstraint = platform::ml::MLMultiArrayConstraint{*row.shape};
        (row.onInput ? d.inputDescriptionsByName : d.outputDescriptionsByName)[name] = f;
        auto stage = c.make();
        stage->setModel(std::make_shared<ScriptedModel>(d, answering(c.outputName)));
        if (auto* fe = dynamic_cast<FeatureExtractor*>(stage.get())) {
            // "too few dims" still has dimension 0 for the window.
            if (std::string(row.what) != "too few dims") {
                EXPECT_EQ(fe->windowSamples(), std::nullopt) << row.what;
            }
            EXPECT_EQ(fe->melCount(), std::nullopt) << row.what;
        } else {
            auto& enc = dynamic_cast<AudioEncoder&>(*stage);
            EXPECT_EQ(enc.embedSize(), std::nullopt) << row.what;
            EXPECT_EQ(enc.sequenceLength(), std::nullopt) << row.what;
        }
    }
}

TEST_P(ModelStageTest, UnloadingDuringAPredictionLeavesItRunning) {
    const auto& c = GetParam();
    auto stage = c.make();
    std::latch entered(1), release(1);
    auto model = scripted(c, [&, inner = answering(c.outputName)](const auto& in) {
        entered.count_down();
        release.wait();
        return inner(in);
    });
    stage->setModel(model);
    std::weak_ptr<ScriptedModel> weak = model;
    model.reset();
    auto result = std::async(std::launch::async, [&] { return c.run(*stage, smallInput()); });
    entered.wait();
    stage->unloadModel();
    EXPECT_FALSE(weak.expired()) << "the running prediction holds the model";
    release.count_down();
    const auto out = result.get();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->shape(), (std::vector<std::int64_t>{1, 2, 1, 3}));
    EXPECT_TRUE(weak.expired());
    EXPECT_THROW(c.run(*stage, smallInput()), WhisperError);
}

INSTANTIATE_TEST_SUITE_P(Stages, ModelStageTest, ::testing::ValuesIn(stageCases()),
                         [](const auto& info) { return info.param.name; });

namespace {

const nlohmann::json kEncoderDims = {{"num_mel_bins", 80},    {"d_model", 32},
                                     {"encoder_layers", 2},   {"encoder_attention_heads", 4},
                                     {"encoder_ffn_dim", 64}, {"max_source_positions", 100}};

std::shared_ptr<MLMultiArray> samplesArray(const std::vector<float>& samples) {
    auto a = MLMultiArray::make({static_cast<std::int64_t>(samples.size())},
                                MLMultiArrayDataType::float32);
    std::copy(samples.begin(), samples.end(), a->span<float>().begin());
    return a;
}

std::vector<float> halves(const MLMultiArray& a) {
    std::vector<float> v(static_cast<std::size_t>(a.count()));
    platform::ml::convertHalfToFloat(a.span<platform::ml::Float16>().data(), v.data(), v.size());
    return v;
}

}  // namespace

// A 2 s window through both stages equals the bare models' predictions, with
// the sizes the model folders declare.
TEST(ModelStages, MelThenEncoderMatchTheBareModels) {
    testsupport::TempDir dir;
    const auto melFolder = dir.path() / "MelSpectrogram.mlmodelc";
    const auto encFolder = dir.path() / "AudioEncoder.mlmodelc";
    platform::ml::MelSpectrogramModel::writeFolder(melFolder, 80, 32000);
    mltest::writeRandomNetwork(encFolder, platform::ml::WhisperModelLayout::kAudioEncoder,
                               kEncoderDims, "F16", 7);
    FeatureExtractor extractor;
    AudioEncoder encoder;
    extractor.loadModel(melFolder, platform::ml::MLComputeUnits::cpuOnly, false);
    encoder.loadModel(encFolder, platform::ml::MLComputeUnits::cpuOnly, false);
    EXPECT_EQ(extractor.windowSamples(), 32000);
    EXPECT_EQ(extractor.melCount(), 80);
    EXPECT_EQ(encoder.embedSize(), 32);
    EXPECT_EQ(encoder.sequenceLength(), 100);

    std::vector<float> samples(32000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.3f * std::sin(0.05f * static_cast<float>(i)) * (i < 24000 ? 1.0f : 0.0f);
    const auto audio = samplesArray(samples);
    const auto features = extractor.logMelSpectrogram(audio);
    ASSERT_NE(features, nullptr);
    EXPECT_EQ(features->shape(), (std::vector<std::int64_t>{1, 80, 1, 200}));
    const auto embeds = encoder.encodeFeatures(features);
    ASSERT_NE(embeds, nullptr);
    EXPECT_EQ(embeds->shape(), (std::vector<std::int64_t>{1, 32, 1, 100}));

    const auto bareMel = extractor.model()
                             ->prediction(MelSpectrogramInput(audio))
                             ->featureValue("melspectrogram_features")
                             ->multiArrayValue();
    EXPECT_EQ(halves(*features), halves(*bareMel));
    const auto bareEmbeds = encoder.model()
                                ->prediction(AudioEncoderInput(bareMel))
                                ->featureValue("encoder_output_embeds")
                                ->multiArrayValue();
    EXPECT_EQ(halves(*embeds), halves(*bareEmbeds));
}

// Spoken audio through the stage agrees with the independent numpy reference
// of Whisper's features, within the tolerance of the half-precision output.
TEST(ModelStages, SpeechFeaturesMatchTheNumpyReference) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    if (std::system("/usr/bin/python3 -c 'import numpy' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "/usr/bin/python3 with numpy is missing";
    auto speech = testsupport::speak("Seven bright lanterns swung above the quiet harbour tonight.");
    ASSERT_GT(speech.size(), 16000u);
    ASSERT_LT(speech.size(), 480000u);
    speech.resize(480000, 0.0f);  // a padded window, as the pipeline hands it over

    testsupport::TempDir dir;
    const auto samplesFile = dir.path() / "speech.f32";
    {
        std::ofstream out(samplesFile, std::ios::binary);
        out.write(reinterpret_cast<const char*>(speech.data()),
                  static_cast<std::streamsize>(speech.size() * sizeof(float)));
    }
    const auto tool = std::filesystem::path(VERBOLIN_TEST_DATA_DIR) / ".." / ".." / "tools" /
                      "mel_reference.py";
    for (int nMels : {80, 128}) {
        const auto refFile = dir.path() / ("reference-" + std::to_string(nMels) + ".f32");
        const std::string cmd = "/usr/bin/python3 '" + tool.string() + "' --samples '" +
                                samplesFile.string() + "' " + std::to_string(nMels) + " '" +
                                refFile.string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        const std::string bytes = testsupport::readFile(refFile);
        ASSERT_EQ(bytes.size(), std::size_t{3000} * nMels * sizeof(float));
        std::vector<float> reference(bytes.size() / sizeof(float));  // [frame][band]
        std::memcpy(reference.data(), bytes.data(), bytes.size());

        const auto folder = dir.path() / ("MelSpectrogram-" + std::to_string(nMels) + ".mlmodelc");
        platform::ml::MelSpectrogramModel::writeFolder(folder, nMels);
        FeatureExtractor extractor;
        extractor.loadModel(folder, platform::ml::MLComputeUnits::cpuOnly, false);
        const auto mel = halves(*extractor.logMelSpectrogram(samplesArray(speech)));
        double worst = 0;
        for (int frame = 0; frame < 3000; ++frame)
            for (int m = 0; m < nMels; ++m)
                worst = std::max(worst, std::abs(static_cast<double>(mel[m * 3000 + frame]) -
                                                 reference[frame * nMels + m]));
        EXPECT_LT(worst, 1e-3) << nMels << " bands";
    }
}
