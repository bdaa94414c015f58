// A tokenizer folder as a user or the hub hands it over: tokenizer_config.json,
// tokenizer.json and a text to encode, given as one input cut at
// fuzzing::kSeparator. The tokenizer is built both as the general class (the
// local loader's choice) and as the class the configuration names (the
// hub's), then used the way the speech pipeline uses it, decoding ids a
// damaged model could produce as well as the input's own.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.hpp"
#include "auralith/core/WhisperTokenizerWrapper.hpp"
#include "vortilcore/hub/HubApi.hpp"
#include "vortilcore/hub/HubClientError.hpp"
#include "vortilcore/tokenizers/AutoTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

namespace {

std::vector<std::int64_t> hostileIds(std::string_view text) {
    std::vector<std::int64_t> ids = {
        -1,    0,       1,       50256,     50257,     50362,         51863, 51864,
        51865, INT_MAX, INT_MIN, LLONG_MAX, LLONG_MIN, INT_MAX + 1LL, -2,    3};
    for (std::size_t i = 0; i + 2 <= text.size() && ids.size() < 64; i += 2) {
        std::int16_t v;
        std::memcpy(&v, text.data() + i, sizeof v);
        ids.push_back(v);
    }
    return ids;
}

void exercise(const vortil::PreTrainedTokenizerClass& cls, const vortil::Config& config,
              const vortil::Config& data, std::string_view text) {
    std::shared_ptr<const vortil::Tokenizer> tokenizer;
    try {
        tokenizer = std::shared_ptr<const vortil::Tokenizer>(cls.create(config, data, true));
    } catch (const vortil::TokenizerError&) {
        return;
    } catch (const vortil::TokenizerConfigurationError&) {
        return;
    }
    const std::string input(text.substr(0, 512));
    const auto encoded = tokenizer->encode(input, true);
    tokenizer->tokenize(input);
    std::vector<int> ids(encoded.begin(), encoded.end());
    for (std::int64_t id : hostileIds(text)) {
        ids.push_back(static_cast<int>(id));
        tokenizer->convertIdToToken(static_cast<int>(id));
    }
    tokenizer->decode(ids, false);
    tokenizer->decode(ids, true);

    const auralith::WhisperTokenizerWrapper whisper(vortil::TokenizerWrapper{tokenizer},
                                                    std::nullopt);
    std::vector<std::int64_t> wide = whisper.encode(input);
    for (std::int64_t id : hostileIds(text)) {
        wide.push_back(id);
        whisper.convertIdToToken(id);
    }
    whisper.decode(wide);
    whisper.splitToWordTokens(wide);
    whisper.splitTokensOnUnicode(wide);
    whisper.splitTokensOnSpaces(wide);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzzing::splitInput(data, size, 3);
    const auto configPath = fuzzing::writeScratchFile("tokenizer_config.json", parts[0]);
    const auto dataPath = fuzzing::writeScratchFile("tokenizer.json", parts[1]);
    vortil::Config config, tokenizerData;
    try {
        config = vortil::HubApi::configuration(configPath);
        tokenizerData = vortil::HubApi::configuration(dataPath);
    } catch (const vortil::HubClientError&) {
        return 0;
    }
    exercise(vortil::PreTrainedTokenizerClasses::general(), config, tokenizerData, parts[2]);
    exercise(vortil::AutoTokenizer::tokenizerClass(config), config, tokenizerData, parts[2]);
    return 0;
}
