// Runs the built verbolin-models tool the way a developer would and checks
// what it writes with the runtime's own readers.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "platform/ml/Float16.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MatrixKernels.hpp"
#include "platform/ml/ModelFactory.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/SafetensorsFile.hpp"
#include "support/ShellCommand.hpp"
#include "support/SmallDisk.hpp"
#include "support/TempDir.hpp"

using namespace platform::ml;
namespace fs = std::filesystem;

namespace {

using testsupport::TempDir;

using Run = testsupport::ShellResult;

Run tool(const std::string& args) {
    return testsupport::runShell(std::string(VERBOLIN_BINARY_DIR) + "/verbolin-models " + args);
}

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

const fs::path kTokenizer = fs::path(VERBOLIN_TEST_DATA_DIR) / "whisper-en-tokenizer";
const char* const kDims =
    "d_model=32,heads=2,ffn=64,layers=2,max_source_positions=200,vocab_size=51864";

std::string fileText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Sets one number in the checkpoint's config.json, dropping its
// generation_config.json (and with it the alignment heads) when asked.
void setConfig(const fs::path& checkpoint, const char* key, const nlohmann::json& value,
               bool dropHeads) {
    auto j = nlohmann::json::parse(fileText(checkpoint / "config.json"));
    j[key] = value;
    std::ofstream(checkpoint / "config.json") << j.dump();
    if (dropHeads) fs::remove(checkpoint / "generation_config.json");
}

// A tokenizer.json whose model is `depth` arrays deep.
void writeNested(const fs::path& file, size_t depth) {
    std::ofstream(file) << "{\"model\":" << std::string(depth, '[') << std::string(depth, ']')
                        << "}";
}

}  // namespace

TEST(ModelTool, ConvertsARandomCheckpointLosslessly) {
    for (const char* dtype : {"F16", "F32"}) {
        TempDir dir;
        const auto ckpt = dir.path() / "ckpt", out = dir.path() / "out";
        auto r = tool("random " + q(ckpt) + " --checkpoint --seed 7 --dtype " + dtype + " --dims " +
                      kDims + " --tokenizer " + q(kTokenizer));
        ASSERT_EQ(r.status, 0) << r.output;
        r = tool("convert " + q(ckpt) + " " + q(out) + " --kv-cache-length 64");
        ASSERT_EQ(r.status, 0) << r.output;

        // Every tensor of both networks is the checkpoint's, rounded to F16 once.
        const auto source = SafetensorsFile::open(ckpt / "model.safetensors");
        std::size_t compared = 0;
        for (const char* name : {"AudioEncoder.mlmodelc", "TextDecoder.mlmodelc"}) {
            const auto folder = ModelFolder::read(out / name);
            folder.checkAgainstLayout();
            for (const auto& t : folder.weights()->tensors()) {
                EXPECT_EQ(t.dtype, "F16") << t.name;
                const auto* s = source->find(t.name);
                ASSERT_NE(s, nullptr) << t.name;
                EXPECT_EQ(s->shape, t.shape) << t.name;
                const auto original = tensorToFloats(*s);
                const auto converted = tensorToFloats(t);
                ASSERT_EQ(original.size(), converted.size());
                for (std::size_t i = 0; i < original.size(); ++i)
                    ASSERT_EQ(converted[i], static_cast<float>(Float16(original[i])))
                        << t.name << "[" << i << "]";
                ++compared;
            }
        }
        EXPECT_EQ(compared, source->tensors().size()) << dtype;

        const auto decoder = ModelFolder::read(out / "TextDecoder.mlmodelc");
        const auto& in = decoder.description().inputDescriptionsByName;
        EXPECT_EQ(in.at("key_cache").multiArrayConstraint->shape,
                  (std::vector<std::int64_t>{1, 64, 1, 64}));
        EXPECT_EQ(in.at("encoder_output_embeds").multiArrayConstraint->shape,
                  (std::vector<std::int64_t>{1, 32, 1, 200}));
        EXPECT_TRUE(
            decoder.description().outputDescriptionsByName.count("alignment_heads_weights"));
        const auto encoder = ModelFolder::read(out / "AudioEncoder.mlmodelc");
        EXPECT_EQ(encoder.description()
                      .outputDescriptionsByName.at("encoder_output_embeds")
                      .multiArrayConstraint->shape,
                  (std::vector<std::int64_t>{1, 32, 1, 200}));

        // The mel model of a 200-position encoder takes 4 s windows and runs.
        auto mel = ModelFactory::load(out / "MelSpectrogram.mlmodelc");
        auto audio = MLMultiArray::make({64000}, MLMultiArrayDataType::float32);
        auto features = mel->prediction(MLDictionaryFeatureProvider({{"audio", audio}}));
        EXPECT_EQ(features->featureValue("melspectrogram_features")->multiArrayValue()->shape(),
                  (std::vector<std::int64_t>{1, 80, 1, 400}));

        EXPECT_EQ(fileText(out / "tokenizer/tokenizer.json"),
                  fileText(kTokenizer / "tokenizer.json"));
        EXPECT_EQ(fileText(out / "tokenizer/tokenizer_config.json"),
                  fileText(kTokenizer / "tokenizer_config.json"));
        // The converted encoder and decoder run on what the stage before them produced.
        auto encoderModel = ModelFactory::load(out / "AudioEncoder.mlmodelc");
        auto embeds =
            encoderModel
                ->prediction(MLDictionaryFeatureProvider(
                    {{"melspectrogram_features",
                      features->featureValue("melspectrogram_features")->multiArrayValue()}}))
                ->featureValue("encoder_output_embeds")
                ->multiArrayValue();
        auto decoderModel = ModelFactory::load(out / "TextDecoder.mlmodelc");
        std::map<std::string, std::shared_ptr<MLMultiArray>> step;
        for (const auto& [name, feature] : decoderModel->modelDescription().inputDescriptionsByName)
            step[name] = MLMultiArray::make(feature.multiArrayConstraint->shape,
                                            feature.multiArrayConstraint->dataType);
        step["encoder_output_embeds"] = embeds;
        step["kv_cache_update_mask"]->setValue(0, 1);
        auto result = decoderModel->prediction(MLDictionaryFeatureProvider(step));
        EXPECT_TRUE(result->featureValue("alignment_heads_weights").has_value());
        EXPECT_EQ(result->featureValue("key_cache_updates")->multiArrayValue()->shape(),
                  (std::vector<std::int64_t>{1, 64, 1, 1}));
    }
}

TEST(ModelTool, RandomWritesALoadableModelFolder) {
    TempDir dir;
    auto r = tool("random " + q(dir.path() / "m") +
                  " --dims n_mels=128,d_model=32,heads=2,ffn=64,max_source_positions=100");
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* name :
         {"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc", "TextDecoder.mlmodelc"})
        EXPECT_NO_THROW(ModelFolder::read(dir.path() / "m" / name).checkAgainstLayout()) << name;
    EXPECT_FALSE(fs::exists(dir.path() / "m" / ".random-checkpoint"));
    auto mel = ModelFactory::load(dir.path() / "m/MelSpectrogram.mlmodelc");
    EXPECT_EQ(mel->modelDescription()
                  .outputDescriptionsByName.at("melspectrogram_features")
                  .multiArrayConstraint->shape,
              (std::vector<std::int64_t>{1, 128, 1, 200}));
}

TEST(ModelTool, BadCheckpointsFailWithAMessageAndLeaveNoFolder) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> damage;
        const char* message;
        const char* out = "out";  // under the test's folder
        bool outExists = false;   // holding a file of the user's, which must stay
    };
    const Case cases[] = {
        {"no config", [](const fs::path& c) { fs::remove(c / "config.json"); }, "Cannot read"},
        {"config not JSON", [](const fs::path& c) { std::ofstream(c / "config.json") << "{"; },
         "not valid JSON"},
        {"missing dimension",
         [](const fs::path& c) {
             auto j = nlohmann::json::parse(fileText(c / "config.json"));
             j.erase("d_model");
             std::ofstream(c / "config.json") << j.dump();
         },
         "\"d_model\" is missing"},
        {"missing tensor",
         [](const fs::path& c) {
             const auto st = SafetensorsFile::open(c / "model.safetensors");
             std::vector<SafetensorsEntry> keep;
             for (const auto& t : st->tensors())
                 if (t.name != "model.decoder.layers.1.fc2.bias")
                     keep.push_back({t.name, t.dtype, t.shape, t.data});
             writeSafetensors(c / "model2.safetensors", keep);
             fs::rename(c / "model2.safetensors", c / "model.safetensors");
         },
         "lacks tensor \"model.decoder.layers.1.fc2.bias\""},
        {"truncated weights",
         [](const fs::path& c) { fs::resize_file(c / "model.safetensors", 50000); }, "outside"},
        {"no tokenizer", [](const fs::path& c) { fs::remove(c / "tokenizer.json"); },
         "No tokenizer.json"},
        // Without alignment heads of its own, every head of the decoder's
        // upper half is taken: a config.json that claims a huge decoder must
        // fail on its weights before those are counted.
        {"a billion decoder layers and no heads",
         [](const fs::path& c) { setConfig(c, "decoder_layers", 1000000000, true); },
         "fewer than a TextDecoder with these dimensions needs"},
        {"a billion decoder heads and no heads listed",
         [](const fs::path& c) { setConfig(c, "decoder_attention_heads", 1 << 30, true); },
         "\"d_model\" is not a multiple of \"decoder_attention_heads\""},
        {"more decoder layers than weights and no heads",
         [](const fs::path& c) { setConfig(c, "decoder_layers", 3, true); },
         "lacks tensor \"model.decoder.layers.2.self_attn.k_proj.weight\""},
        {"model type not a string",
         [](const fs::path& c) { setConfig(c, "model_type", 40, false); },
         "\"model_type\" is not a string"},
        {"scaled embedding flag not a boolean",
         [](const fs::path& c) { setConfig(c, "scale_embedding", "no", false); },
         "\"scale_embedding\" is not true or false"},
        {"alignment head beyond an int",
         [](const fs::path& c) {
             std::ofstream(c / "generation_config.json")
                 << R"({"alignment_heads": [[4294967296, 0]]})";
         },
         "malformed alignment head"},
        {"a billion encoder layers",
         [](const fs::path& c) { setConfig(c, "encoder_layers", 1000000000, false); },
         "fewer than a AudioEncoder with these dimensions needs"},
        // The tokenizer is loaded as the application loads it: one it would
        // refuse makes no pack.
        // Named by the checkpoint's own file: the copy made for the check is gone.
        {"tokenizer nested 10^4 levels deep",
         [](const fs::path& c) { writeNested(c / "tokenizer.json", 10'000); },
         "Cannot load the tokenizer: ", "out", true},
        {"tokenizer nested 10^6 levels deep, into new folders",
         [](const fs::path& c) { writeNested(c / "tokenizer.json", 1'000'000); },
         "ckpt/tokenizer.json nests arrays and objects deeper than 512 levels", "new/deeper/out"},
        {"tokenizer.json not JSON",
         [](const fs::path& c) { std::ofstream(c / "tokenizer.json") << "{\"model\": "; },
         "tokenizer.json is not valid JSON"},
        {"no tokenizer_config.json",
         [](const fs::path& c) { fs::remove(c / "tokenizer_config.json"); },
         "tokenizer_config.json is missing"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const auto ckpt = dir.path() / "ckpt";
        ASSERT_EQ(tool("random " + q(ckpt) + " --checkpoint --dims " + kDims + " --tokenizer " +
                       q(kTokenizer))
                      .status,
                  0);
        c.damage(ckpt);
        const auto out = dir.path() / c.out;
        if (c.outExists) {
            fs::create_directories(out);
            std::ofstream(out / "notes.txt") << "mine";
        }
        const auto r = tool("convert " + q(ckpt) + " " + q(out));
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.what << ": " << r.output;
        EXPECT_EQ(r.output.find("HF_TOKEN"), std::string::npos) << c.what << ": " << r.output;
        EXPECT_EQ(r.output.find(".partial"), std::string::npos) << c.what << ": " << r.output;
        EXPECT_EQ(r.output.find("Wrote"), std::string::npos) << c.what;
        if (c.outExists) {
            // As it was: the user's file alone.
            std::vector<std::string> left;
            for (const auto& e : fs::recursive_directory_iterator(out))
                left.push_back(fs::relative(e.path(), out).string());
            EXPECT_EQ(left, std::vector<std::string>{"notes.txt"}) << c.what;
            EXPECT_EQ(fileText(out / "notes.txt"), "mine") << c.what;
        } else {
            // No folder the conversion made is left, nor any parent it made.
            EXPECT_FALSE(fs::exists(dir.path() / *fs::path(c.out).begin())) << c.what;
        }
    }
    EXPECT_EQ(tool("convert").status, 2);
    EXPECT_EQ(tool("random /tmp/x --dims d_model=0").status, 1);
}

// The kernels command names the build the runtime uses and vouches for every
// build this processor could run; extra arguments are refused.
TEST(ModelTool, KernelsNamesTheBuildInUseAndChecksEveryCandidate) {
    const auto r = tool("kernels");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("matrix products: " + platform::ml::matrixKernelName() + "\n"),
              std::string::npos)
        << r.output;
    for (const auto* k : platform::ml::matrixKernelCandidates())
        EXPECT_NE(r.output.find(std::string(k->name)), std::string::npos) << k->name;
    EXPECT_EQ(r.output.find("WRONG"), std::string::npos) << r.output;
    EXPECT_EQ(tool("kernels extra").status, 2);
}

// An argument starting with "-" is an option, never a folder: an unknown one
// is refused before anything is written; --help shows the command's usage.
TEST(ModelTool, UnknownOptionsAreRefusedAndHelpShowsTheCommandsUsage) {
    struct Case {
        const char* args;
        int status;
        const char* says;
        const char* creates = nullptr;  // the model folder the row writes
    };
    const Case cases[] = {
        {"random --help", 0, "usage: verbolin-models random <out-dir>"},
        {"random out --dims d_model=32 --help", 0, "dims keys:"},
        {"convert --help", 0, "usage: verbolin-models convert <checkpoint-dir"},
        {"kernels --help", 0, "usage: verbolin-models kernels"},
        {"random out --frobnicate", 2, "verbolin-models random: unknown option \"--frobnicate\""},
        {"random -", 2, "unknown option \"-\""},
        {"random out --seed", 2, "--seed needs a value"},
        {"random out --tokenizer --help", 2, "--tokenizer needs a value"},
        {"random out --checkpoint extra", 2, "too many arguments"},
        {"random", 2, "missing arguments"},
        {"convert ckpt out --kv-cache 64", 2, "unknown option \"--kv-cache\""},
        {"convert ckpt", 2, "missing arguments"},
        {"kernels --fast", 2, "verbolin-models kernels: unknown option \"--fast\""},
        {"frobnicate", 2, "unknown command \"frobnicate\""},
        // After "--" a name that starts with "-" is a folder.
        {"random --dims d_model=32,heads=2,ffn=64,layers=2 -- -odd", 0, "Wrote a random model",
         "-odd"},
    };
    const std::string binary = std::string(VERBOLIN_BINARY_DIR) + "/verbolin-models";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        TempDir dir;
        const auto r =
            testsupport::runShell("cd " + q(dir.path()) + " && " + binary + " " + c.args);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        std::vector<std::string> made;
        for (const auto& e : fs::directory_iterator(dir.path()))
            made.push_back(e.path().filename().string());
        EXPECT_EQ(made,
                  c.creates ? std::vector<std::string>{c.creates} : std::vector<std::string>{});
        if (c.creates) {
            EXPECT_NO_THROW(ModelFolder::read(dir.path() / c.creates / "TextDecoder.mlmodelc"));
        }
        if (c.status == 0 && !c.creates) {
            // Help is the answer asked for: on standard output, one command's alone.
            EXPECT_EQ(r.output.find("verbolin-models --help | --version"), std::string::npos);
            const auto stdoutOnly = testsupport::runShell(
                "{ cd " + q(dir.path()) + " && " + binary + " " + c.args + " 2>/dev/null; }");
            EXPECT_EQ(stdoutOnly.output, r.output);
        }
    }
}

// A conversion that runs out of disk at any point fails naming a file and
// the reason, and leaves the pack that was there as it was, with no staging
// folder beside it.
TEST(ModelTool, ConvertingOntoAFullDiskKeepsTheOldPack) {
    TempDir dir;
    const auto ckpt = dir.path() / "ckpt";
    ASSERT_EQ(tool("random " + q(ckpt) + " --checkpoint --dims " + kDims + " --tokenizer " +
                   q(kTokenizer))
                  .status,
              0);
    const auto contents = [](const fs::path& folder) {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(folder))
            files[fs::relative(e.path(), folder).string()] =
                e.is_regular_file() ? fileText(e.path()) : "<folder>";
        return files;
    };
    // Nothing left; the mel and encoder written; the decoder too.
    for (const off_t room : {off_t(0), off_t(200 << 10), off_t(4 << 20)}) {
        SCOPED_TRACE(room);
        testsupport::SmallDisk disk(16 << 20);
        SKIP_WITHOUT_SMALL_DISK(disk);
        const auto out = disk / "models";
        auto r = tool("convert " + q(ckpt) + " " + q(out));
        ASSERT_EQ(r.status, 0) << r.output;
        const auto before = contents(out);
        disk.fill(room);
        r = tool("convert " + q(ckpt) + " " + q(out) + " --kv-cache-length 64");
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("No space left on device"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(out.string() + "/"), std::string::npos) << r.output;
        EXPECT_TRUE(contents(out) == before) << "the old pack changed";
    }
}

// A random checkpoint or model that does not fit says why, naming a file.
TEST(ModelTool, RandomOntoAFullDiskSaysWhy) {
    for (const char* mode : {" --checkpoint", ""}) {
        for (const off_t room : {off_t(0), off_t(64 << 10)}) {
            SCOPED_TRACE(std::string(mode) + " " + std::to_string(room));
            testsupport::SmallDisk disk;
            SKIP_WITHOUT_SMALL_DISK(disk);
            disk.fill(room);
            const auto out = disk / "random";
            const auto r = tool("random " + q(out) + mode + " --dims " + kDims + " --tokenizer " +
                                q(kTokenizer));
            EXPECT_EQ(r.status, 1) << r.output;
            EXPECT_NE(r.output.find("No space left on device"), std::string::npos) << r.output;
            EXPECT_NE(r.output.find(out.string() + "/"), std::string::npos) << r.output;
        }
    }
}
