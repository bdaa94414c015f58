// The decoding loop against a plain Float32 decode of the same weights: for
// speech windows made with espeak-ng, the loop's greedy tokens (runtime model,
// half-precision cache, filters, prompt forcing) must be the tokens a simple
// whole-sequence forward pass picks.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "auralith/core/TextDecoder.hpp"
#include "auralith/core/WhisperTokenizerWrapper.hpp"
#include "auralith/core/text/GreedyTokenSampler.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/ModelFactory.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/WhisperTestModels.hpp"
#include "support/TempDir.hpp"
#include "support/TrainedModel.hpp"
#include "vortilcore/tokenizers/AutoTokenizer.hpp"

namespace fs = std::filesystem;
using platform::ml::Float16;
using platform::ml::MLDictionaryFeatureProvider;
using platform::ml::MLModel;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using platform::ml::ModelFactory;

namespace {

const fs::path kData = VERBOLIN_TEST_DATA_DIR;

int shell(const std::string& command) {
    const int raw = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}
std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

nlohmann::json readJson(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return nlohmann::json::parse(in);
}

// The English tokenizer, or the same vocabulary in the multilingual layout:
// one more ordinary token before the end of text, every control token one up.
std::shared_ptr<auralith::WhisperTokenizer> tokenizer(const fs::path& folder, bool multilingual) {
    auto data = readJson(folder / "tokenizer.json");
    const auto config = readJson(folder / "tokenizer_config.json");
    if (multilingual) {
        for (auto& [text, id] : data["model"]["vocab"].items())
            if (id.get<int>() >= 50256) id = id.get<int>() + 1;
        data["model"]["vocab"]["<|spare|>"] = 50256;
        for (auto& t : data["added_tokens"]) t["id"] = t["id"].get<int>() + 1;
    }
    const auto c = vortil::Config::fromJson(config, vortil::Config::JsonSource::configurationFile),
               d = vortil::Config::fromJson(data, vortil::Config::JsonSource::configurationFile);
    vortil::TokenizerWrapper wrapped{std::shared_ptr<const vortil::Tokenizer>(
        vortil::AutoTokenizer::tokenizerClass(c).create(c, d, false))};
    return std::make_shared<auralith::WhisperTokenizerWrapper>(std::move(wrapped), std::nullopt);
}

// One 30 s window of 16 kHz speech.
std::shared_ptr<MLMultiArray> speechWindow(const fs::path& dir, const std::string& text) {
    const auto wav = dir / "speech.wav", raw = dir / "speech.f32";
    if (shell("espeak-ng -w " + q(wav) + " " + q(text)) != 0 ||
        shell("sox " + q(wav) + " -r 16000 -c 1 -b 32 -e floating-point -t raw " + q(raw)) != 0)
        return nullptr;
    auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
    std::ifstream in(raw, std::ios::binary);
    in.read(reinterpret_cast<char*>(audio->dataPointer()),
            static_cast<std::streamsize>(audio->byteCount()));
    return audio;
}

std::shared_ptr<MLMultiArray> encode(const fs::path& models,
                                     const std::shared_ptr<MLMultiArray>& audio) {
    const auto mel = ModelFactory::load(models / "MelSpectrogram.mlmodelc")
                         ->prediction(MLDictionaryFeatureProvider({{"audio", audio}}));
    return ModelFactory::load(models / "AudioEncoder.mlmodelc")
        ->prediction(MLDictionaryFeatureProvider(
            {{"melspectrogram_features",
              mel->featureValue("melspectrogram_features")->multiArrayValue()}}))
        ->featureValue("encoder_output_embeds")
        ->multiArrayValue();
}

struct Mode {
    const char* name;
    bool withoutTimestamps;
    bool previousText;
};

class ReferenceDecoding {
  public:
    ReferenceDecoding(const fs::path& models, std::shared_ptr<auralith::WhisperTokenizer> tok)
        : decoderFolder_(models / "TextDecoder.mlmodelc"),
          dims_(platform::ml::ModelFolder::read(decoderFolder_).dimensions()),
          weights_(decoderFolder_),
          tokenizer_(std::move(tok)) {
        decoder_.loadModel(decoderFolder_, platform::ml::MLComputeUnits::cpuOnly, false);
        decoder_.setTokenizer(tokenizer_);
        decoder_.setIsModelMultilingual(decoder_.logitsSize() != 51864);
    }

    bool multilingual() const { return decoder_.isModelMultilingual(); }

    // Decodes the window with the loop, then checks every choice against the reference.
    void check(const std::shared_ptr<MLMultiArray>& encoder, const Mode& mode) {
        auto options = auralith::DecodingOptions::defaultSet();
        options.withoutTimestamps = mode.withoutTimestamps;
        options.sampleLength = 24;
        options.suppressBlank = true;
        options.firstTokenLogProbThreshold = std::nullopt;
        if (mode.previousText)
            options.promptTokens = tokenizer_->encode(" The last words we heard.");
        const auto& special = tokenizer_->specialTokens();

        auto state = decoder_.prefillDecoderInputs(
            decoder_.prepareDecoderInputs({special.startOfTranscriptToken}), options);
        const auto prompt = state->initialPrompt();
        auralith::GreedyTokenSampler sampler(Float16(0.0f), special.endToken, options);
        const auto result = decoder_.decodeText(encoder, state, sampler, options);

        // The whole fed sequence: what came before the start of transcript, then the result.
        const auto sot = std::find(prompt.begin(), prompt.end(), special.startOfTranscriptToken);
        std::vector<int> full(prompt.begin(), sot);
        full.insert(full.end(), result.tokens.begin(), result.tokens.end());
        ASSERT_EQ(full.back(), special.endToken);
        full.pop_back();
        const auto promptLength = prompt.size();
        const std::size_t sampled = full.size() - promptLength;
        const bool endedByEot = sampled < static_cast<std::size_t>(options.sampleLength);

        const auto matrix = encoderMatrix(*encoder);
        const auto reference = mltest::referenceDecoder(weights_, dims_, full, matrix).logits;
        const auto filters = decoder_.createLogitsFilters(
            options, static_cast<std::int64_t>(promptLength), *tokenizer_);
        const auto choose = [&](std::size_t row, const std::vector<std::int64_t>& seen) {
            return judge(reference[row], filters, seen);
        };
        SCOPED_TRACE(mode.name);
        // The step that feeds the prompt's last-but-one token may replace a closing timestamp.
        if (promptLength >= 2) {
            const std::vector<std::int64_t> seen(prompt.begin(), prompt.end());
            const auto j = choose(promptLength - 2, seen);
            const bool replaced =
                prompt.back() >= special.timeTokenBegin && j.best >= special.timeTokenBegin;
            if (j.clear) {
                EXPECT_EQ(full[promptLength - 1], replaced ? j.best : prompt.back());
            }
        }
        std::size_t compared = 0;
        for (std::size_t row = promptLength - 1; row < full.size(); ++row) {
            const std::vector<std::int64_t> seen(full.begin(), full.begin() + row + 1);
            const bool last = row + 1 == full.size();
            if (last && !endedByEot) break;
            const auto j = choose(row, seen);
            const std::int64_t actual = last ? special.endToken : full[row + 1];
            EXPECT_TRUE(j.accepts(actual))
                << "row " << row << ": " << actual << " where the reference picks " << j.best;
            compared += j.clear;
        }
        EXPECT_GT(compared, sampled / 2) << "too few clear choices to compare";
    }

  private:
    static mltest::Matrix encoderMatrix(const MLMultiArray& e) {
        const auto d = e.shape()[1], w = e.shape()[3];
        mltest::Matrix m(static_cast<std::size_t>(w),
                         std::vector<float>(static_cast<std::size_t>(d)));
        for (std::int64_t t = 0; t < w; ++t)
            for (std::int64_t k = 0; k < d; ++k)
                m[t][k] = static_cast<float>(e.doubleValue(k * w + t));
        return m;
    }

    static constexpr float kTolerance = 0.02f;

    // Among the ids the filters leave allowed (judged on the row's half-precision
    // scores): the best, and whether `token` is it or, where the best is not
    // clear within the precision the runtime keeps, close enough to it.
    struct Judgement {
        std::int64_t best = -1;
        bool clear = true;
        std::vector<bool> near;
        bool accepts(std::int64_t token) const {
            return clear ? token == best : near.at(static_cast<std::size_t>(token));
        }
    };
    static Judgement judge(const std::vector<float>& row,
                           const std::vector<std::shared_ptr<auralith::LogitsFiltering>>& filters,
                           const std::vector<std::int64_t>& seen) {
        auto half = MLMultiArray::make({1, 1, static_cast<std::int64_t>(row.size())},
                                       MLMultiArrayDataType::float16);
        platform::ml::convertFloatToHalf(row.data(), half->span<Float16>().data(), row.size());
        for (const auto& f : filters) half = f->filterLogits(half, seen);
        Judgement j;
        j.near.assign(row.size(), false);
        float top = -INFINITY;
        for (std::size_t i = 0; i < row.size(); ++i)
            if (!std::isinf(half->doubleValue(i)) && row[i] > top) {
                top = row[i];
                j.best = static_cast<std::int64_t>(i);
            }
        for (std::size_t i = 0; i < row.size(); ++i)
            if (!std::isinf(half->doubleValue(i)) && row[i] >= top - kTolerance) {
                j.near[i] = true;
                j.clear = j.clear && static_cast<std::int64_t>(i) == j.best;
            }
        return j;
    }

    fs::path decoderFolder_;
    nlohmann::json dims_;
    mltest::ReferenceWeights weights_;
    std::shared_ptr<auralith::WhisperTokenizer> tokenizer_;
    auralith::TextDecoder decoder_;
};

const Mode kModes[] = {
    {"without timestamps", true, false},
    {"with timestamps", false, false},
    {"with timestamps after previous text", false, true},
};
const char* const kSentences[] = {
    "The quick brown fox jumps over the lazy dog.",
    "Please call Stella and ask her to bring these things with her from the store.",
    "Seven silver spoons were sitting on the shelf near the kitchen window.",
};

void checkModelFolder(const fs::path& models, const fs::path& tokenizerFolder, bool multilingual) {
    testsupport::TempDir dir;
    ReferenceDecoding reference(models, tokenizer(tokenizerFolder, multilingual));
    EXPECT_EQ(reference.multilingual(), multilingual);
    for (const char* sentence : kSentences) {
        const auto audio = speechWindow(dir.path(), sentence);
        ASSERT_TRUE(audio) << "espeak-ng and sox make the test speech";
        const auto encoder = encode(models, audio);
        for (const auto& mode : kModes) reference.check(encoder, mode);
    }
}

}  // namespace

TEST(TextDecoderReference, RandomModelsDecodeLikeTheReference) {
    for (const bool multilingual : {false, true}) {
        SCOPED_TRACE(multilingual ? "multilingual layout" : "english-only layout");
        testsupport::TempDir dir;
        const auto models = dir.path() / "models";
        const std::string dims = std::string("d_model=32,heads=2,ffn=64,layers=2,vocab_size=") +
                                 (multilingual ? "51865" : "51864");
        ASSERT_EQ(shell(std::string(VERBOLIN_BINARY_DIR) + "/verbolin-models random " + q(models) +
                        " --seed 11 --dims " + dims),
                  0);
        checkModelFolder(models, kData / "whisper-en-tokenizer", multilingual);
    }
}

TEST(TextDecoderReference, TrainedModelDecodesLikeTheReference) {
    testsupport::TempDir dir;
    const auto models = testsupport::convertTrainedModel(dir.path() / "models");
    checkModelFolder(models, models / "tokenizer", false);
}
