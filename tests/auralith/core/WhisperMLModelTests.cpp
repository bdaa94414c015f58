// Loading, prewarming and unloading one stage's model.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "auralith/core/WhisperMLModel.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "support/TempDir.hpp"

namespace {

using auralith::WhisperMLModel;
using platform::ml::MLComputeUnits;
using platform::ml::MLModelError;
using vortil::ModelState;

class StageModel : public WhisperMLModel {};

std::filesystem::path makeMel(const std::filesystem::path& root, const std::string& name,
                              int nMels) {
    const auto folder = root / name;
    platform::ml::MelSpectrogramModel::writeFolder(folder, nMels, 16000);
    return folder;
}

TEST(WhisperMLModel, LoadKeepsTheModelWithTheAskedComputeUnits) {
    testsupport::TempDir dir;
    StageModel stage;
    EXPECT_EQ(stage.modelState(), ModelState::unloaded);
    stage.loadModel(makeMel(dir.path(), "MelSpectrogram.mlmodelc", 80),
                    MLComputeUnits::cpuAndNeuralEngine);
    ASSERT_TRUE(stage.model());
    EXPECT_EQ(stage.modelState(), ModelState::loaded);
    EXPECT_EQ(stage.model()->configuration().computeUnits, MLComputeUnits::cpuAndNeuralEngine);
    stage.unloadModel();
    EXPECT_EQ(stage.model(), nullptr);
    EXPECT_EQ(stage.modelState(), ModelState::unloaded);
}

TEST(WhisperMLModel, PrewarmLoadsButKeepsNothing) {
    testsupport::TempDir dir;
    const auto good = makeMel(dir.path(), "MelSpectrogram.mlmodelc", 80);
    StageModel stage;
    stage.loadModel(good, MLComputeUnits::all, true);
    EXPECT_EQ(stage.modelState(), ModelState::unloaded);
    // A prewarm really loads: a broken folder fails there already.
    EXPECT_THROW(stage.loadModel(dir.path() / "Missing.mlmodelc", MLComputeUnits::all, true),
                 MLModelError);
    // And it releases a model loaded before it.
    stage.loadModel(good, MLComputeUnits::all);
    stage.loadModel(good, MLComputeUnits::all, true);
    EXPECT_EQ(stage.modelState(), ModelState::unloaded);
}

TEST(WhisperMLModel, LoadingTwiceReplacesTheModel) {
    testsupport::TempDir dir;
    StageModel stage;
    stage.loadModel(makeMel(dir.path(), "A.mlmodelc", 80), MLComputeUnits::cpuOnly);
    auto first = stage.model();
    stage.loadModel(makeMel(dir.path(), "B.mlmodelc", 128), MLComputeUnits::cpuOnly);
    ASSERT_TRUE(stage.model());
    EXPECT_NE(stage.model().get(), first.get());
    EXPECT_EQ(stage.model()
                  ->modelDescription()
                  .outputDescriptionsByName.at("melspectrogram_features")
                  .multiArrayConstraint->shape[1],
              128);
}

TEST(WhisperMLModel, FailedLoadPassesTheErrorOnAndKeepsThePreviousModel) {
    testsupport::TempDir dir;
    StageModel stage;
    stage.loadModel(makeMel(dir.path(), "MelSpectrogram.mlmodelc", 80), MLComputeUnits::all);
    const auto kept = stage.model();

    const auto garbled = dir.path() / "Garbled.mlmodelc";
    std::filesystem::create_directories(garbled);
    std::ofstream(garbled / "model.json") << "{ not json";
    const auto empty = dir.path() / "Empty.mlmodelc";
    std::filesystem::create_directories(empty);
    for (const auto& path : {dir.path() / "Missing.mlmodelc", garbled, empty}) {
        SCOPED_TRACE(path.string());
        EXPECT_THROW(stage.loadModel(path, MLComputeUnits::all), MLModelError);
        EXPECT_EQ(stage.model().get(), kept.get());
        EXPECT_EQ(stage.modelState(), ModelState::loaded);
    }
}

TEST(WhisperMLModel, StateReadsWhileAnotherThreadLoadsAndUnloads) {
    testsupport::TempDir dir;
    const auto folder = makeMel(dir.path(), "MelSpectrogram.mlmodelc", 80);
    StageModel stage;
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    std::atomic<int> loadedSeen{0};
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&] {
            while (!done) {
                // A model handed out stays usable after a concurrent unload.
                if (auto model = stage.model()) {
                    loadedSeen += model->modelDescription().inputDescriptionsByName.count("audio");
                }
                (void)stage.modelState();
            }
        });
    for (int i = 0; i < 20; ++i) {
        stage.loadModel(folder, MLComputeUnits::cpuOnly);
        stage.unloadModel();
    }
    stage.loadModel(folder, MLComputeUnits::cpuOnly);
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(stage.modelState(), ModelState::loaded);
}

}  // namespace
