#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "MLTestSupport.hpp"
#include "WhisperTestModels.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/ml/ModelFactory.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

using namespace platform::ml;
namespace fs = std::filesystem;

namespace {

// A small mel model (1 s window) so that folders are cheap to make.
fs::path makeMel(const fs::path& root, int nMels = 80) {
    const fs::path folder = root / "MelSpectrogram.mlmodelc";
    MelSpectrogramModel::writeFolder(folder, nMels, 16000);
    return folder;
}

void editJson(const fs::path& folder, const std::function<void(nlohmann::json&)>& edit) {
    auto j = nlohmann::json::parse(mltest::readFile(folder / "model.json"));
    edit(j);
    mltest::writeFile(folder / "model.json", j.dump());
}

std::string loadError(const fs::path& folder) {
    try {
        ModelFactory::load(folder);
    } catch (const MLModelError& e) {
        return e.what();
    }
    return "loaded";
}

}  // namespace

TEST(ModelFolder, MelFolderLoadsWithItsDeclaredFeatures) {
    mltest::TempDir dir;
    auto model = ModelFactory::load(makeMel(dir.path(), 128), {MLComputeUnits::cpuAndNeuralEngine});
    const auto& in = model->modelDescription().inputDescriptionsByName;
    const auto& out = model->modelDescription().outputDescriptionsByName;
    ASSERT_EQ(in.size(), 1u);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(in.at("audio").multiArrayConstraint->shape, (std::vector<std::int64_t>{16000}));
    EXPECT_EQ(in.at("audio").multiArrayConstraint->dataType, MLMultiArrayDataType::float32);
    EXPECT_EQ(out.at("melspectrogram_features").multiArrayConstraint->shape,
              (std::vector<std::int64_t>{1, 128, 1, 100}));
    EXPECT_EQ(out.at("melspectrogram_features").multiArrayConstraint->dataType,
              MLMultiArrayDataType::float16);
    EXPECT_EQ(model->configuration().computeUnits,
              MLComputeUnits::cpuAndNeuralEngine);  // recorded, not used
}

TEST(ModelFolder, MalformedFoldersAreRefusedWithTheirFault) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> damage;
        const char* message;
    };
    const Case cases[] = {
        {"no folder", [](const fs::path& f) { fs::remove_all(f); }, "not a model folder"},
        {"no model.json", [](const fs::path& f) { fs::remove(f / "model.json"); },
         "model.json is missing"},
        {"no weights", [](const fs::path& f) { fs::remove(f / "weights.safetensors"); },
         "weights.safetensors is missing"},
        {"model.json not JSON",
         [](const fs::path& f) { mltest::writeFile(f / "model.json", "{\"kind\": "); },
         "not valid JSON"},
        {"wrong format",
         [](const fs::path& f) { editJson(f, [](auto& j) { j["format"] = "coreml"; }); }, "format"},
        {"format of the wrong type",
         [](const fs::path& f) { editJson(f, [](auto& j) { j["format"] = 1; }); }, "format"},
        {"feature type of the wrong type",
         [](const fs::path& f) { editJson(f, [](auto& j) { j["inputs"][0]["type"] = 1; }); },
         "unknown type"},
        {"nested 100,000 deep",
         [](const fs::path& f) {
             mltest::writeFile(f / "model.json", "{\"kind\": " + std::string(100000, '[') +
                                                     std::string(100000, ']') + "}");
         },
         "nesting deeper than 512"},
        {"newer version", [](const fs::path& f) { editJson(f, [](auto& j) { j["version"] = 2; }); },
         "version"},
        {"unknown kind",
         [](const fs::path& f) { editJson(f, [](auto& j) { j["kind"] = "Vocoder"; }); },
         "unknown model kind \"Vocoder\""},
        {"kind that cannot run yet",
         [](const fs::path& f) { editJson(f, [](auto& j) { j["kind"] = "AudioEncoder"; }); },
         "Dimension \"num_mel_bins\""},
        {"missing dimension",
         [](const fs::path& f) {
             editJson(f, [](auto& j) { j["dimensions"].erase("hop_length"); });
         },
         "Dimension \"hop_length\""},
        {"window of a billion samples",
         [](const fs::path& f) {
             editJson(f, [](auto& j) { j["dimensions"]["n_samples"] = 1 << 30; });
         },
         "Mel dimensions are inconsistent"},
        {"declared shape differs from the kind's",
         [](const fs::path& f) { editJson(f, [](auto& j) { j["inputs"][0]["shape"] = {48000}; }); },
         "input \"audio\" is declared as float32 [48000] but a MelSpectrogram with these "
         "dimensions has float32 [16000]"},
        {"declared type differs",
         [](const fs::path& f) {
             editJson(f, [](auto& j) { j["outputs"][0]["dataType"] = "float32"; });
         },
         "output \"melspectrogram_features\" is declared as float32"},
        {"unknown data type",
         [](const fs::path& f) {
             editJson(f, [](auto& j) { j["inputs"][0]["dataType"] = "float8"; });
         },
         "no valid dataType"},
        {"negative shape",
         [](const fs::path& f) { editJson(f, [](auto& j) { j["inputs"][0]["shape"] = {-1}; }); },
         "invalid shape"},
        {"extra feature",
         [](const fs::path& f) {
             editJson(f, [](auto& j) {
                 j["inputs"].push_back({{"name", "gain"}, {"type", "double"}});
             });
         },
         "input \"gain\" is not one of a MelSpectrogram"},
        {"duplicate feature",
         [](const fs::path& f) {
             editJson(f, [](auto& j) { j["inputs"].push_back(j["inputs"][0]); });
         },
         "declared twice"},
        {"truncated weights",
         [](const fs::path& f) {
             const auto bytes = mltest::readFile(f / "weights.safetensors");
             mltest::writeFile(f / "weights.safetensors", bytes.substr(0, bytes.size() - 100));
         },
         "outside"},
        {"weights of another kind",
         [](const fs::path& f) {
             const std::vector<float> x(4);
             writeSafetensors(f / "weights.safetensors",
                              {{"mel_filterz", "F32", {4}, std::as_bytes(std::span(x))}});
         },
         "weights lack tensor \"mel_filters\""},
        {"filters of the wrong shape",
         [](const fs::path& f) {
             const std::vector<float> x(80 * 200);
             writeSafetensors(f / "weights.safetensors",
                              {{"mel_filters", "F32", {80, 200}, std::as_bytes(std::span(x))}});
         },
         "has shape [80, 200], expected [80, 201]"},
        {"filters not floating point",
         [](const fs::path& f) {
             const std::vector<std::int32_t> x(80 * 201);
             writeSafetensors(f / "weights.safetensors",
                              {{"mel_filters", "I32", {80, 201}, std::as_bytes(std::span(x))}});
         },
         "dtype I32"},
    };
    for (const auto& c : cases) {
        mltest::TempDir dir;
        const auto folder = makeMel(dir.path());
        c.damage(folder);
        const std::string error = loadError(folder);
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
        if (std::string(c.what) != "no folder") {
            EXPECT_NE(error.find("MelSpectrogram.mlmodelc"), std::string::npos)
                << c.what << ": " << error;
        }
    }
}

TEST(ModelFolder, PredictionRefusesInputsThatDoNotFit) {
    mltest::TempDir dir;
    auto model = ModelFactory::load(makeMel(dir.path()));
    struct Case {
        const char* what;
        std::map<std::string, std::shared_ptr<MLMultiArray>> features;
        const char* message;
    };
    const Case cases[] = {
        {"missing",
         {{"Audio", MLMultiArray::make({16000}, MLMultiArrayDataType::float32)}},
         "Required input feature \"audio\" is missing"},
        {"wrong type",
         {{"audio", MLMultiArray::make({16000}, MLMultiArrayDataType::float16)}},
         "Input feature \"audio\" is float16 but the model takes float32"},
        {"wrong shape",
         {{"audio", MLMultiArray::make({1, 16000}, MLMultiArrayDataType::float32)}},
         "Input feature \"audio\" has shape [1, 16000] but the model takes [16000]"},
    };
    for (const auto& c : cases) {
        try {
            model->prediction(MLDictionaryFeatureProvider(c.features));
            ADD_FAILURE() << c.what;
        } catch (const MLModelError& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.what;
            EXPECT_EQ(e.code(), MLModelError::Code::featureType);
        }
    }
}

TEST(ModelFolder, LayoutDescribesEncoderAndDecoderContracts) {
    const nlohmann::json dims = {{"vocab_size", 51864},
                                 {"d_model", 384},
                                 {"decoder_layers", 4},
                                 {"decoder_attention_heads", 6},
                                 {"decoder_ffn_dim", 1536},
                                 {"max_target_positions", 448},
                                 {"max_source_positions", 1500},
                                 {"kv_cache_length", 224},
                                 {"alignment_heads", {{2, 0}, {3, 5}}}};
    auto d = WhisperModelLayout::description("TextDecoder", dims);
    auto shape = [&](const char* n, bool input) {
        const auto& t = input ? d.inputDescriptionsByName : d.outputDescriptionsByName;
        return t.at(n).multiArrayConstraint->shape;
    };
    EXPECT_EQ(shape("key_cache", true), (std::vector<std::int64_t>{1, 1536, 1, 224}));
    EXPECT_EQ(shape("encoder_output_embeds", true), (std::vector<std::int64_t>{1, 384, 1, 1500}));
    EXPECT_EQ(shape("kv_cache_update_mask", true), (std::vector<std::int64_t>{1, 224}));
    EXPECT_EQ(d.inputDescriptionsByName.at("kv_cache_update_mask").multiArrayConstraint->dataType,
              MLMultiArrayDataType::int32);
    EXPECT_EQ(
        d.inputDescriptionsByName.at("decoder_key_padding_mask").multiArrayConstraint->dataType,
        MLMultiArrayDataType::float16);
    EXPECT_EQ(shape("logits", false), (std::vector<std::int64_t>{1, 1, 51864}));
    EXPECT_EQ(shape("key_cache_updates", false), (std::vector<std::int64_t>{1, 1536, 1, 1}));
    EXPECT_EQ(shape("alignment_heads_weights", false), (std::vector<std::int64_t>{1, 1500}));
    EXPECT_EQ(d.inputDescriptionsByName.size(), 7u);

    auto noHeads = dims;
    noHeads["alignment_heads"] = nlohmann::json::array();
    EXPECT_EQ(WhisperModelLayout::description("TextDecoder", noHeads)
                  .outputDescriptionsByName.count("alignment_heads_weights"),
              0u);
    auto badHead = dims;
    badHead["alignment_heads"] = {{4, 0}};
    EXPECT_THROW(WhisperModelLayout::description("TextDecoder", badHead), MLModelError);
    auto longCache = dims;
    longCache["kv_cache_length"] = 449;
    EXPECT_THROW(WhisperModelLayout::description("TextDecoder", longCache), MLModelError);
    EXPECT_EQ(WhisperModelLayout::tensors("TextDecoder", dims).size(), 2u + 4u * 24u + 2u);
}

// model.json's numbers may ask for more than the weights file can hold; the
// load must fail on the mismatch instead of building tables of that size.
TEST(ModelFolder, DimensionsBeyondTheWeightsAreRefusedBeforeAnyTableIsBuilt) {
    const nlohmann::json encoder = {{"num_mel_bins", 8},     {"d_model", 32},
                                    {"encoder_layers", 1},   {"encoder_attention_heads", 4},
                                    {"encoder_ffn_dim", 64}, {"max_source_positions", 10}};
    const nlohmann::json decoder = {{"vocab_size", 61},           {"d_model", 32},
                                    {"decoder_layers", 1},        {"decoder_attention_heads", 4},
                                    {"decoder_ffn_dim", 64},      {"max_target_positions", 16},
                                    {"max_source_positions", 10}, {"kv_cache_length", 16}};
    struct Case {
        const char* kind;
        const nlohmann::json* dims;
        const char* key;
        std::int64_t value;
        const char* message;
    };
    const Case cases[] = {
        {"AudioEncoder", &encoder, "encoder_layers", 2147483648, "Dimension \"encoder_layers\""},
        {"AudioEncoder", &encoder, "encoder_layers", 2147483647, "fewer than a AudioEncoder"},
        {"AudioEncoder", &encoder, "encoder_layers", 2, "fewer than a AudioEncoder"},
        {"TextDecoder", &decoder, "decoder_layers", 2147483647, "fewer than a TextDecoder"},
        {"TextDecoder", &decoder, "max_source_positions", 1 << 30, "max_source_positions"},
    };
    for (const auto& c : cases) {
        mltest::TempDir dir;
        const fs::path folder = dir.path() / (std::string(c.kind) + ".mlmodelc");
        mltest::writeRandomNetwork(folder, c.kind, *c.dims, "F16", 1);
        editJson(folder, [&](auto& j) { j["dimensions"][c.key] = c.value; });
        const std::string error = loadError(folder);
        EXPECT_NE(error.find(c.message), std::string::npos)
            << c.key << "=" << c.value << ": " << error;
    }
}
