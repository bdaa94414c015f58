#pragma once
// What a transcription is doing, for status displays.

#include <string>

namespace auralith {

enum class TranscriptionState { convertingAudio, transcribing, finished };

// "Converting Audio", "Transcribing", "Finished".
inline std::string description(TranscriptionState state) {
    switch (state) {
        case TranscriptionState::convertingAudio:
            return "Converting Audio";
        case TranscriptionState::transcribing:
            return "Transcribing";
        case TranscriptionState::finished:
            return "Finished";
    }
    return "";
}

}  // namespace auralith
