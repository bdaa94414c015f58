#pragma once
// The entry through which the speech pipeline gets its tokenizer: from a
// local model folder, or from a hub repository fetched into the cache first.

#include <filesystem>
#include <string>

#include "vortilcore/hub/HubApiWrapper.hpp"
#include "vortilcore/tokenizers/TokenizerWrapper.hpp"

namespace vortil {

struct AutoTokenizerWrapper {
    // The repository's tokenizer files at "main", fetched into the cache,
    // built as the class the configuration names (AutoTokenizer). Transport
    // failures arrive as networkError, or resourceNotFound with the id.
    static TokenizerWrapper fromPretrained(const std::string& pretrained,
                                           const HubApiWrapper& hubApi, bool strict);

    // Always the general PreTrainedTokenizer, whatever class the
    // configuration names. No tokenizer configuration (neither
    // "tokenizer_config.json" nor a chat template) is TokenizerError
    // missingConfig; loading and construction errors pass through.
    static TokenizerWrapper from(const std::filesystem::path& modelFolder,
                                 const HubApiWrapper& hubApi, bool strict);
};

}  // namespace vortil
