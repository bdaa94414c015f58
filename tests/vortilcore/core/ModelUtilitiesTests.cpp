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
