#pragma once
// The configuration files of one model, read from a local folder or fetched
// from the hub first: "config.json", the required "tokenizer.json" and
// "tokenizer_config.json" with a chat template merged in. The work starts
// when the object is built and runs once; every accessor waits for that one
// result and sees the same value or the same error.

#include <exception>
#include <filesystem>
#include <future>
#include <optional>
#include <string>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/hub/HubApiWrapper.hpp"

namespace vortil {

class LanguageModelConfigurationFromHub {
  public:
    struct Configurations {
        std::optional<Config> modelConfig;
        std::optional<Config> tokenizerConfig;
        Config tokenizerData;
    };

    // The hub road: a snapshot of the requested files of repository
    // `modelName` at `revision`, then read as a folder.
    LanguageModelConfigurationFromHub(std::string modelName, std::string revision,
                                      HubApiWrapper hubApi);
    // The local road.
    LanguageModelConfigurationFromHub(std::filesystem::path modelFolder, HubApiWrapper hubApi);

    // The files that either road asks for, in order.
    static const std::vector<std::string>& requestedFiles();

    // Blocking. A missing "tokenizer.json" is configurationMissing; errors of
    // HubApi::configuration pass through; other failures (reading, or a file
    // the system will not look at) become fileSystemError around the
    // std::filesystem::filesystem_error with the errno and the path. An
    // unreadable or malformed chat template is ignored.
    static Configurations loadConfig(const std::filesystem::path& modelFolder,
                                     const HubApiWrapper& hubApi);

    // Waits for the files. Throws what loading threw.
    const Configurations& configurations() const;
    // The tokenizer configuration; one without a string "tokenizer_class"
    // gets one made from the model type ("whisper" -> "WhisperTokenizer").
    std::optional<Config> tokenizerConfig() const;
    std::optional<std::string> modelType() const;

    // What the hub road reports for a failure: a URL error becomes
    // networkError, or resourceNotFound(modelName) when the resource is
    // unavailable; anything else is reported unchanged.
    static std::exception_ptr mapFetchError(std::exception_ptr error, const std::string& modelName);

    // Upper-cases the first letter of each run of letters and digits and
    // lower-cases the rest: "gpt_neox" -> "Gpt_Neox".
    static std::string capitalized(const std::string& text);

  private:
    std::shared_future<Configurations> configPromise_;
};

}  // namespace vortil
