#include "vortilcore/hub/AutoTokenizerWrapper.hpp"

#include <memory>

#include "vortilcore/hub/LanguageModelConfigurationFromHub.hpp"
#include "vortilcore/tokenizers/AutoTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

namespace vortil {

namespace {

TokenizerWrapper build(const LanguageModelConfigurationFromHub& config, bool strict,
                       bool chooseClass) {
    const std::optional<Config> tokenizerConfig = config.tokenizerConfig();
    if (!tokenizerConfig) throw TokenizerError::missingConfig();
    const Config& tokenizerData = config.configurations().tokenizerData;
    const PreTrainedTokenizerClass& cls = chooseClass
                                              ? AutoTokenizer::tokenizerClass(*tokenizerConfig)
                                              : PreTrainedTokenizerClasses::general();
    return TokenizerWrapper{
        std::shared_ptr<const Tokenizer>(cls.create(*tokenizerConfig, tokenizerData, strict))};
}

}  // namespace

TokenizerWrapper AutoTokenizerWrapper::fromPretrained(const std::string& pretrained,
                                                      const HubApiWrapper& hubApi, bool strict) {
    return build(LanguageModelConfigurationFromHub(pretrained, "main", hubApi), strict, true);
}

TokenizerWrapper AutoTokenizerWrapper::from(const std::filesystem::path& modelFolder,
                                            const HubApiWrapper& hubApi, bool strict) {
    return build(LanguageModelConfigurationFromHub(modelFolder, hubApi), strict, false);
}

}  // namespace vortil
