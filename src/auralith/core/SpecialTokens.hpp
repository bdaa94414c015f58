#pragma once
// The ids of Whisper's control tokens, as one tokenizer resolves them.

#include <cstdint>

namespace auralith {

struct SpecialTokens {
    std::int64_t endToken;
    std::int64_t englishToken;
    std::int64_t noSpeechToken;
    std::int64_t noTimestampsToken;
    // Every id from here up is a control token; it is the end-of-text token itself.
    std::int64_t specialTokenBegin;
    std::int64_t startOfPreviousToken;
    std::int64_t startOfTranscriptToken;
    std::int64_t timeTokenBegin;
    std::int64_t transcribeToken;
    std::int64_t translateToken;
    std::int64_t whitespaceToken;

    bool operator==(const SpecialTokens&) const = default;
};

}  // namespace auralith
