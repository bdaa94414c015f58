#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <thread>
#include <vector>

#include "MLTestSupport.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MelFilterBank.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/ml/ModelFactory.hpp"

using namespace platform::ml;
namespace fs = std::filesystem;

namespace {

constexpr int kSamples = 480000;
constexpr int kFrames = 3000;

std::shared_ptr<MLModel> loadMel(const mltest::TempDir& dir, int nMels) {
    const auto folder = dir.path() / ("MelSpectrogram-" + std::to_string(nMels) + ".mlmodelc");
    MelSpectrogramModel::writeFolder(folder, nMels);
    return ModelFactory::load(folder);
}

std::vector<float> run(const MLModel& model, const std::vector<float>& samples) {
    auto audio = MLMultiArray::make({static_cast<std::int64_t>(samples.size())},
                                    MLMultiArrayDataType::float32);
    std::copy(samples.begin(), samples.end(), audio->span<float>().begin());
    auto out = model.prediction(MLDictionaryFeatureProvider({{"audio", audio}}));
    auto mel = out->featureValue("melspectrogram_features")->multiArrayValue();
    std::vector<float> values(static_cast<std::size_t>(mel->count()));
    convertHalfToFloat(mel->span<Float16>().data(), values.data(), values.size());
    return values;
}

// The signal of tools/mel_reference.py, generated the same way.
std::vector<float> referenceSignal() {
    std::vector<float> x(kSamples, 0.0f);
    std::uint64_t s = 12345;
    for (int i = 0; i < kSamples; ++i) {
        s = (s * 1664525 + 1013904223) & 0xFFFFFFFF;
        const double noise = static_cast<double>(s >> 8) / 16777216.0 * 2.0 - 1.0;
        const double t = i / 16000.0;
        const double v = 0.3 * std::sin(2 * std::numbers::pi * 440.0 * t) +
                         0.2 * std::sin(2 * std::numbers::pi * (200.0 * t + 50.0 * t * t)) +
                         0.05 * noise;
        if (i < 25 * 16000) x[i] = static_cast<float>(v);
    }
    return x;
}

}  // namespace

TEST(MelSpectrogram, SilenceGivesAConstantFloor) {
    mltest::TempDir dir;
    auto model = loadMel(dir, 80);
    const auto mel = run(*model, std::vector<float>(kSamples, 0.0f));
    ASSERT_EQ(mel.size(), 80u * kFrames);
    // log10(1e-10) = -10, which is also the maximum, so nothing is clamped: (-10 + 4) / 4.
    for (float v : mel) ASSERT_EQ(v, -1.5f);
}

TEST(MelSpectrogram, NonFiniteSamplesStayInTheirFrames) {
    mltest::TempDir dir;
    auto model = loadMel(dir, 80);
    std::vector<float> x(kSamples);
    for (int i = 0; i < kSamples; ++i) x[i] = static_cast<float>(0.1 * std::sin(0.05 * i));
    const auto clean = run(*model, x);
    x[240000] = std::nanf("");
    x[100000] = INFINITY;
    const auto mel = run(*model, x);
    int changed = 0;
    for (std::size_t i = 0; i < mel.size(); ++i) {
        ASSERT_TRUE(std::isfinite(mel[i])) << i;
        changed += mel[i] != clean[i];
    }
    // Only the frames whose windows hold the bad samples (three each) differ.
    EXPECT_GT(changed, 0);
    EXPECT_LE(changed, 80 * 6);
}

TEST(MelSpectrogram, SinePeaksInTheBandHoldingItsFrequency) {
    mltest::TempDir dir;
    for (int nMels : {80, 128}) {
        auto model = loadMel(dir, nMels);
        const auto filters = MelFilterBank::make(16000, 400, nMels);
        for (double hz : {1000.0, 440.0, 3000.0}) {
            std::vector<float> x(kSamples);
            for (int i = 0; i < kSamples; ++i)
                x[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * hz * i / 16000.0));
            const auto mel = run(*model, x);
            // Each frequency sits exactly on an FFT bin, so the periodic Hann window
            // spreads its power over that bin and, at 1/16, its two neighbours.
            const int bin = static_cast<int>(std::lround(hz / 40.0));
            auto response = [&](int m) {
                const float* f = &filters[m * 201];
                return f[bin] + (f[bin - 1] + f[bin + 1]) / 16.0f;
            };
            int expected = 0;
            for (int m = 1; m < nMels; ++m)
                if (response(m) > response(expected)) expected = m;
            // Frames away from the ends, whose windows see no reflected samples.
            for (int frame : {2, 1500, 2997}) {
                int peak = 0;
                for (int m = 1; m < nMels; ++m)
                    if (mel[m * kFrames + frame] > mel[peak * kFrames + frame]) peak = m;
                EXPECT_EQ(peak, expected) << nMels << " bands, " << hz << " Hz, frame " << frame;
            }
        }
    }
}

TEST(MelSpectrogram, MatchesTheNumpyReference) {
    const fs::path data = fs::path(VERBOLIN_TEST_DATA_DIR) / "mel";
    std::vector<int> frames;
    {
        std::ifstream in(data / "frames.txt");
        for (int f; in >> f;) frames.push_back(f);
    }
    ASSERT_GT(frames.size(), 300u);
    const auto signal = referenceSignal();
    mltest::TempDir dir;
    for (int nMels : {80, 128}) {
        const std::string bytes =
            mltest::readFile(data / ("reference-" + std::to_string(nMels) + ".f32"));
        ASSERT_EQ(bytes.size(), frames.size() * nMels * sizeof(float));
        std::vector<float> reference(bytes.size() / sizeof(float));
        std::memcpy(reference.data(), bytes.data(), bytes.size());

        const auto mel = run(*loadMel(dir, nMels), signal);
        double worst = 0;
        for (std::size_t i = 0; i < frames.size(); ++i)
            for (int m = 0; m < nMels; ++m)
                worst = std::max(worst, std::abs(static_cast<double>(mel[m * kFrames + frames[i]]) -
                                                 reference[i * nMels + m]));
        EXPECT_LT(worst, 1e-3) << nMels << " bands";
    }
}

TEST(MelSpectrogram, ConcurrentPredictionsGiveTheSequentialResults) {
    mltest::TempDir dir;
    auto model = loadMel(dir, 80);
    std::vector<std::vector<float>> inputs;
    for (int k = 0; k < 4; ++k) {
        std::vector<float> x(kSamples);
        for (int i = 0; i < kSamples; ++i)
            x[i] = static_cast<float>(0.3 * std::sin(0.01 * (k + 1) * i));
        inputs.push_back(std::move(x));
    }
    std::vector<std::vector<float>> sequential;
    for (const auto& x : inputs) sequential.push_back(run(*model, x));
    std::vector<std::vector<float>> parallel(inputs.size());
    {
        std::vector<std::jthread> threads;
        for (std::size_t k = 0; k < inputs.size(); ++k)
            threads.emplace_back([&, k] {
                for (int rep = 0; rep < 2; ++rep) parallel[k] = run(*model, inputs[k]);
            });
    }
    for (std::size_t k = 0; k < inputs.size(); ++k) EXPECT_EQ(parallel[k], sequential[k]) << k;
}

TEST(MelSpectrogram, FilterBankHasUnitAreaTrianglesOnTheSlaneyScale) {
    EXPECT_NEAR(MelFilterBank::hzToMel(1000.0), 15.0, 1e-12);
    EXPECT_NEAR(MelFilterBank::hzToMel(500.0), 7.5, 1e-12);
    for (double hz : {50.0, 999.0, 1000.0, 4321.0, 8000.0})
        EXPECT_NEAR(MelFilterBank::melToHz(MelFilterBank::hzToMel(hz)), hz, 1e-9);
    const auto f = MelFilterBank::make(16000, 400, 80);
    // Slaney normalisation: each triangle's area (in Hz) is 1.
    for (int m = 0; m < 80; m += 13) {
        double area = 0;
        for (int b = 0; b < 201; ++b) area += f[m * 201 + b] * 40.0;
        EXPECT_NEAR(area, 1.0, 0.1) << m;
    }
}
