#include "vortilcore/tokenizers/TokenizerError.hpp"

namespace vortil {

TokenizerError TokenizerError::unsupportedTokenizer(const std::string& name) {
    return {Case::unsupportedTokenizer, name,
            "The tokenizer type '" + name + "' is not supported."};
}

TokenizerError TokenizerError::tooLong(const std::string& message) {
    return {Case::tooLong, message, "Input is too long: " + message};
}

TokenizerError TokenizerError::mismatchedConfig(const std::string& message) {
    return {Case::mismatchedConfig, message, "Tokenizer configuration mismatch: " + message};
}

TokenizerError TokenizerError::missingConfig() {
    return {Case::missingConfig, "", "Tokenizer configuration is missing."};
}

TokenizerError TokenizerError::missingTokenizerClassInConfig() {
    return {Case::missingTokenizerClassInConfig, "",
            "The tokenizer class is not specified in the configuration."};
}

TokenizerError TokenizerError::missingVocab() {
    return {Case::missingVocab, "", "Vocabulary file is missing from the tokenizer configuration."};
}

TokenizerError TokenizerError::malformedVocab() {
    return {Case::malformedVocab, "", "The vocabulary file is malformed or corrupted."};
}

TokenizerError TokenizerError::malformedVocab(const std::string& detail) {
    return {Case::malformedVocab, detail,
            "The vocabulary file is malformed or corrupted: " + detail};
}

}  // namespace vortil
