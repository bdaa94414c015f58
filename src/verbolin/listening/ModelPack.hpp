#pragma once
// A downloadable speech model: a folder of compiled models and a tokenizer,
// named by identifier and version. It knows where its archive lies on a pack
// server, which checkpoint on the model hub it can also be made from, where
// it lives on disk and whether it is there.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace verbolin {

struct ModelPack {
    std::string id;  // used in file and folder names
    int version = 0;
    std::string title;  // shown to the user
    int approxMB = 0;   // the archive's size, shown before the real one is known

    // The hub repository of the Whisper checkpoint the pack is converted from.
    static constexpr std::string_view kStandardCheckpoint = "openai/whisper-base.en";

    static const std::vector<ModelPack>& all();

    // The catalogue's pack with this id; the standard pack for any other name.
    static ModelPack named(std::string_view name);

    // <serverRoot>models/<id>-v<version>.zip; a root without a final "/"
    // gets one, so that its last path segment is kept.
    std::string remoteURL(std::string_view serverRoot) const;

    // The checkpoint's repository id on the hub.
    std::string checkpointRepo() const;
    // What fetching the checkpoint takes, in MB: more than the archive, as
    // the checkpoint holds float32 weights and the pack float16 ones.
    int checkpointApproxMB() const;

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
