#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <thread>

#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/ml/ModelFactory.hpp"
#include "support/TempDir.hpp"
#include "vortilcore/core/MLModelExtensions.hpp"
#include "vortilcore/core/MLModelLoading.hpp"
#include "vortilcore/core/ModelUtilities.hpp"

using namespace vortil;
using namespace platform::ml;
namespace fs = std::filesystem;

namespace {

using testsupport::TempDir;

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
}

// A model with a hand-written description, including features that are not arrays.
class DescribedModel : public MLModel {
  public:
    explicit DescribedModel(MLModelDescription d) : MLModel(std::move(d), {}) {}

  protected:
    Arrays evaluate(const Arrays&) const override {
        throw MLModelError(MLModelError::Code::generic, "no compute");
    }
};

std::shared_ptr<MLModel> describedModel() {
    MLModelDescription d;
    MLFeatureDescription keyCache{
        "key_cache", MLFeatureType::multiArray, false,
        MLMultiArrayConstraint{{1, 1536, 1, 224}, MLMultiArrayDataType::float16}};
    MLFeatureDescription image{"image", MLFeatureType::image, false, std::nullopt};
    MLFeatureDescription text{"text", MLFeatureType::string, false, std::nullopt};
    MLFeatureDescription unconstrained{"loose", MLFeatureType::multiArray, false, std::nullopt};
    MLFeatureDescription scalar{"scalar", MLFeatureType::multiArray, false,
                                MLMultiArrayConstraint{{}, MLMultiArrayDataType::float32}};
    d.inputDescriptionsByName = {
        {"key_cache", keyCache}, {"image", image}, {"loose", unconstrained}, {"scalar", scalar}};
    d.outputDescriptionsByName = {
        {"text", text},
        {"logits",
         {"logits", MLFeatureType::multiArray, false,
          MLMultiArrayConstraint{{1, 1, 51864}, MLMultiArrayDataType::float16}}}};
    return std::make_shared<DescribedModel>(d);
}

// Adds its input to a total it keeps in its state and returns the new total;
// the read, the sum and the write are apart, so that two predictions through
// one state at once would lose one of the additions.
class AccumulatingModel : public MLModel {
  public:
    AccumulatingModel() : MLModel(describe(), {}) {}

  protected:
    Arrays evaluate(const Arrays&) const override {
        throw MLModelError(MLModelError::Code::generic, "needs its state");
    }
    Arrays evaluateWithState(const Arrays& inputs, const Arrays& state) const override {
        const std::int32_t before = state.at("total")->span<std::int32_t>()[0];
        std::this_thread::yield();
        const std::int32_t after = before + inputs.at("x")->span<std::int32_t>()[0];
        state.at("total")->span<std::int32_t>()[0] = after;
        auto out = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
        out->span<std::int32_t>()[0] = after;
        return {{"total", out}};
    }

  private:
    static MLModelDescription describe() {
        const MLFeatureDescription one{"", MLFeatureType::multiArray, false,
                                       MLMultiArrayConstraint{{1}, MLMultiArrayDataType::int32}};
        MLModelDescription d;
        d.inputDescriptionsByName = {{"x", one}};
        d.outputDescriptionsByName = {{"total", one}};
        d.stateDescriptionsByName = {{"total", one}};
        return d;
    }
};

MLDictionaryFeatureProvider amount(std::int32_t x) {
    auto a = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
    a->span<std::int32_t>()[0] = x;
    return MLDictionaryFeatureProvider({{"x", a}});
}

std::int32_t totalOf(const MLFeatureProvider& out) {
    return out.featureValue("total")->multiArrayValue()->span<std::int32_t>()[0];
}

}  // namespace

TEST(ModelUtilities, DetectsCompiledModelsBeforePackages) {
    TempDir dir;
    const fs::path root = dir.path();
    const fs::path package = root / "AudioEncoder.mlpackage/Data/com.apple.CoreML/model.mlmodel";

    // Neither exists: the compiled path.
    EXPECT_EQ(ModelUtilities::detectModelURL(root, "AudioEncoder"), root / "AudioEncoder.mlmodelc");
    EXPECT_FALSE(ModelUtilities::detectModelURL(root));
    // Only the package.
    touch(package);
    EXPECT_EQ(ModelUtilities::detectModelURL(root, "AudioEncoder"), package);
    EXPECT_EQ(ModelUtilities::detectModelURL(root), package);
    // Both: the compiled model wins.
    fs::create_directories(root / "AudioEncoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(root, "AudioEncoder"), root / "AudioEncoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(root), root / "AudioEncoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(root, "AudioEncoder", false),
              root / "AudioEncoder.mlmodelc");
    // A folder that cannot be listed gives nothing.
    EXPECT_FALSE(ModelUtilities::detectModelURL(root / "absent"));
}

TEST(ModelUtilities, RecursiveSearchFindsNestedCompiledModels) {
    TempDir dir;
    const fs::path nested = dir.path() / "openai_whisper-tiny.en" / "v2" / "TextDecoder.mlmodelc";
    fs::create_directories(nested);
    touch(dir.path() / "other" / "TextDecoder.mlpackage" / "Data/com.apple.CoreML/model.mlmodel");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "TextDecoder", true), nested);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "TextDecoder", false),
              dir.path() / "TextDecoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "MelSpectrogram", true),
              dir.path() / "MelSpectrogram.mlmodelc");
    fs::create_directories(dir.path() / "TextDecoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "TextDecoder", true),
              dir.path() / "TextDecoder.mlmodelc");
}

TEST(ModelUtilities, ShapeAndDimensionLookups) {
    auto model = describedModel();
    EXPECT_EQ(*ModelUtilities::getModelInputShape(model.get(), "key_cache"),
              (std::vector<std::int64_t>{1, 1536, 1, 224}));
    EXPECT_EQ(ModelUtilities::getModelInputDimension(model.get(), "key_cache", 1), 1536);
    EXPECT_EQ(ModelUtilities::getModelInputDimension(model.get(), "key_cache", 3), 224);
    EXPECT_EQ(ModelUtilities::getModelOutputDimension(model.get(), "logits", 2), 51864);
    struct Absent {
        const char* what;
        std::optional<std::int64_t> got;
    };
    const Absent absent[] = {
        {"position -1", ModelUtilities::getModelInputDimension(model.get(), "key_cache", -1)},
        {"position = rank", ModelUtilities::getModelInputDimension(model.get(), "key_cache", 4)},
        {"unknown name", ModelUtilities::getModelInputDimension(model.get(), "value_cache", 0)},
        {"output looked up as input",
         ModelUtilities::getModelInputDimension(model.get(), "logits", 0)},
        {"image feature", ModelUtilities::getModelInputDimension(model.get(), "image", 0)},
        {"string feature", ModelUtilities::getModelOutputDimension(model.get(), "text", 0)},
        {"no constraint", ModelUtilities::getModelInputDimension(model.get(), "loose", 0)},
        {"no model", ModelUtilities::getModelInputDimension(nullptr, "key_cache", 0)},
    };
    for (const auto& a : absent) EXPECT_FALSE(a.got) << a.what;
    EXPECT_FALSE(ModelUtilities::getModelInputShape(model.get(), "image"));
    EXPECT_FALSE(ModelUtilities::getModelOutputShape(nullptr, "logits"));
    // A declared shape without dimensions is an empty list, not nothing.
    ASSERT_TRUE(ModelUtilities::getModelInputShape(model.get(), "scalar"));
    EXPECT_TRUE(ModelUtilities::getModelInputShape(model.get(), "scalar")->empty());
}

TEST(MLModelExtensions, ComputeUnitTexts) {
    struct Case {
        MLComputeUnits units;
        const char* description;
        const char* displayName;
    };
    const Case cases[] = {
        {MLComputeUnits::cpuOnly, "cpuOnly", "CPU"},
        {MLComputeUnits::cpuAndGPU, "cpuAndGPU", "GPU"},
        {MLComputeUnits::all, "all", "All"},
        {MLComputeUnits::cpuAndNeuralEngine, "cpuAndNeuralEngine", "Neural Engine"},
        {static_cast<MLComputeUnits>(42), "unknown", "Unknown"}};
    for (const auto& c : cases) {
        EXPECT_EQ(description(c.units), c.description);
        EXPECT_EQ(displayName(c.units), c.displayName);
    }
}

TEST(MLModelExtensions, AsyncPredictionRunsConcurrentlyAndPassesErrorsThrough) {
    TempDir dir;
    MelSpectrogramModel::writeFolder(dir.path() / "MelSpectrogram.mlmodelc", 80, 16000);
    auto model = ModelFactory::load(dir.path() / "MelSpectrogram.mlmodelc");
    EXPECT_EQ(ModelUtilities::getModelInputDimension(model.get(), "audio", 0), 16000);
    EXPECT_EQ(ModelUtilities::getModelOutputDimension(model.get(), "melspectrogram_features", 1),
              80);

    std::vector<std::shared_ptr<MLFeatureProvider>> results(4);
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < results.size(); ++i)
            threads.emplace_back([&, i] {
                auto audio = MLMultiArray::make({16000}, MLMultiArrayDataType::float32);
                results[i] =
                    asyncPrediction(*model, MLDictionaryFeatureProvider({{"audio", audio}}));
            });
    }
    for (const auto& r : results) {
        ASSERT_TRUE(r);
        EXPECT_EQ(r->featureNames(), std::set<std::string>{"melspectrogram_features"});
    }
    try {
        asyncPrediction(*model, MLDictionaryFeatureProvider());
        ADD_FAILURE() << "no error";
    } catch (const MLModelError& e) {
        EXPECT_EQ(std::string(e.what()), "Required input feature \"audio\" is missing");
    }
    EXPECT_THROW(asyncPrediction(
                     *describedModel(),
                     MLDictionaryFeatureProvider(
                         {{"key_cache", MLMultiArray::make({1}, MLMultiArrayDataType::float16)}})),
                 MLModelError);
}

// What a stateful prediction leaves in its state is what the next one starts
// from; states are independent of each other; predictions through one state
// from several threads are serialized, none lost.
TEST(MLModelExtensions, StatefulPredictionKeepsItsStateBetweenCalls) {
    const AccumulatingModel model;
    const auto first = model.makeState(), second = model.makeState();
    EXPECT_EQ(totalOf(*asyncPrediction(model, amount(5), *first)), 5);
    EXPECT_EQ(totalOf(*asyncPrediction(model, amount(-2), *first)), 3);
    EXPECT_EQ(totalOf(*asyncPrediction(model, amount(7), *second)), 7);
    EXPECT_EQ(totalOf(*asyncPrediction(model, amount(1), *first)), 4);

    constexpr int kThreads = 4, kEach = 500;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i)
                    asyncPrediction(model, amount(t + 1), t % 2 ? *first : *second);
            });
        // Looking at the state meanwhile waits for any prediction running
        // through it (under ThreadSanitizer an overlap fails the test).
        for (int i = 0; i < 50; ++i)
            first->withMultiArray("total",
                                  [](MLMultiArray& a) { EXPECT_GE(a.span<std::int32_t>()[0], 4); });
    }
    std::int32_t firstTotal = 0, secondTotal = 0;
    first->withMultiArray("total",
                          [&](MLMultiArray& a) { firstTotal = a.span<std::int32_t>()[0]; });
    second->withMultiArray("total",
                           [&](MLMultiArray& a) { secondTotal = a.span<std::int32_t>()[0]; });
    EXPECT_EQ(firstTotal, 4 + kEach * (2 + 4));
    EXPECT_EQ(secondTotal, 7 + kEach * (1 + 3));
    EXPECT_THROW(first->withMultiArray("other", [](MLMultiArray&) {}), MLModelError);
}

// A model that keeps nothing between predictions refuses the stateful call with
// the runtime's own error, and makes no state.
TEST(MLModelExtensions, StatefulPredictionOnAStatelessModelFails) {
    TempDir dir;
    MelSpectrogramModel::writeFolder(dir.path() / "MelSpectrogram.mlmodelc", 80, 16000);
    const auto mel = ModelFactory::load(dir.path() / "MelSpectrogram.mlmodelc");
    const auto state = AccumulatingModel().makeState();
    auto audio = MLMultiArray::make({16000}, MLMultiArrayDataType::float32);
    try {
        asyncPrediction(*mel, MLDictionaryFeatureProvider({{"audio", audio}}), *state);
        ADD_FAILURE() << "no error";
    } catch (const MLModelError& e) {
        EXPECT_EQ(e.code(), MLModelError::Code::generic);
        EXPECT_EQ(std::string(e.what()),
                  "This model keeps no state between predictions; predict without one");
    }
    EXPECT_THROW(mel->makeState(), MLModelError);
    EXPECT_THROW(describedModel()->makeState(), MLModelError);
    // The state it was handed is untouched.
    EXPECT_EQ(totalOf(*asyncPrediction(AccumulatingModel(), amount(3), *state)), 3);
}

TEST(MLModelLoading, ShortFormLoadsWithoutPrewarm) {
    struct Recorder : MLModelLoading {
        std::vector<bool> prewarms;
        void loadModel(const fs::path&, MLComputeUnits, bool prewarmMode) override {
            prewarms.push_back(prewarmMode);
        }
        void unloadModel() override {}
        using MLModelLoading::loadModel;
    } r;
    r.loadModel("/models/TextDecoder.mlmodelc", MLComputeUnits::cpuOnly);
    r.loadModel("/models/TextDecoder.mlmodelc", MLComputeUnits::cpuOnly, true);
    EXPECT_EQ(r.prewarms, (std::vector<bool>{false, true}));
}
