#pragma once
// A downloadable speech model: a folder of compiled models and a tokenizer,
// named by identifier and version. It knows which checkpoint on the model hub
// it is made from, where it lives on disk and whether it is there.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace verbolin {

struct ModelPack {
    std::string id;  // used in file and folder names
    int version = 0;
    std::string title;  // shown to the user
    int approxMB = 0;   // shown before the real download size is known

    // The hub repository of the Whisper checkpoint the pack is converted from.
    static constexpr std::string_view kStandardCheckpoint = "openai/whisper-base.en";

    static const std::vector<ModelPack>& all();

    // The catalogue's pack with this id; the standard pack for any other name.
    static ModelPack named(std::string_view name);

    // The checkpoint's repository id on the hub.
    std::string checkpointRepo() const;

    // <Application Support>/Verbolin/models/<id>-v<version>
    std::filesystem::path localFolder() const;

    // Both the text decoder and the tokenizer are in place.
    bool isInstalled() const;
    // What isInstalled() looks for and does not find, relative to
    // localFolder(): "TextDecoder.mlmodelc", "tokenizer/tokenizer.json".
    std::vector<std::string> missingFiles() const;

    friend bool operator==(const ModelPack&, const ModelPack&) = default;
};

}  // namespace verbolin
