#pragma once
// The pipeline's fixed values: Whisper's language table, window and context
// sizes, the punctuation merged into neighbouring words when word timings are
// built, the characters that wrap special tokens, where the model support
// table lives remotely, and the built-in support table. The tables are built
// once, on first use (safely from several threads), and never change.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "auralith/core/ModelSupportConfig.hpp"
#include "auralith/utilities/StringExtensions.hpp"
#include "vortilcore/hub/HubDefaults.hpp"

namespace auralith {

struct Constants {
    Constants() = delete;

    // Lower-case language name to language code: 112 names (Whisper's 100
    // languages and 12 alternative names) for 100 codes.
    static const std::map<std::string, std::string>& languages();
    // The 100 distinct codes of languages().
    static const std::set<std::string>& languageCodes();

    static constexpr std::string_view defaultLanguageCode = "en";
    // 30 s at 16 kHz.
    static constexpr std::int64_t defaultWindowSamples = 480000;
    // Tokens per decoding window.
    static constexpr std::int64_t maxTokenContext = 224;
    // Frames read from an audio file per read.
    static constexpr std::uint32_t defaultAudioReadFrameSize = 1323000;

    // UTF-8. Opening marks joined to the following word: " ' “ ¡ ¿ ( [ { -
    static constexpr std::string_view defaultPrependPunctuations = "\"'\u201C\u00A1\u00BF([{-";
    // UTF-8. Closing marks joined to the preceding word:
    // " ' . 。 , ， ! ！ ? ？ : ： ” ) ] } 、
    static constexpr std::string_view defaultAppendPunctuations =
        "\"'.\u3002,\uFF0C!\uFF01?\uFF1F:\uFF1A\u201D)]}\u3001";

    // The characters around a special token's name ("<|en|>"): trimming them
    // from both ends leaves the name.
    static constexpr std::string_view specialTokenCharacters = auralith::specialTokenCharacters;

    // The support table's file in the model repository.
    static constexpr std::string_view defaultRemoteConfigName = "config.json";
    // The model hub's public address, the one the hub client defaults to.
    static constexpr std::string_view defaultRemoteEndpoint = vortil::kDefaultHubEndpoint;

    // The built-in device support table, "auralith-coreml-fallback" version
    // "0.4", built without merging.
    static const ModelSupportConfig& fallbackModelSupportConfig();
    // Every model the built-in table names, first-seen order: 22 names.
    static const std::vector<std::string>& knownModels();
};

}  // namespace auralith
