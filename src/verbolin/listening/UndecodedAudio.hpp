#pragma once
// The audio of an utterance that could not be transcribed before the
// application quit, kept as a WAV file (16-bit PCM, 16 kHz mono) so that the
// words are not lost: the user can listen to it, or transcribe it later.

#include <filesystem>
#include <span>
#include <string>

#include "platform/system/Date.hpp"

namespace verbolin {

class UndecodedAudio {
  public:
    UndecodedAudio() = delete;

    // The folder, inside the data folder, that keeps such files.
    static constexpr const char* kFolderName = "Untranscribed audio";

    // The whole file: a 44-byte RIFF header, then the samples as DebugRecorder
    // writes them (clamped, scaled by 32767, little-endian).
    static std::string wav(std::span<const float> samples);

    // Writes the samples to "<folder>/utterance <UTC start>.wav", creating the
    // folder and never replacing a file (" 2", " 3"... are added instead).
    // Returns the file's path. Throws std::filesystem::filesystem_error.
    static std::filesystem::path keep(const std::filesystem::path& folder,
                                      std::span<const float> samples, platform::Date start);
};

}  // namespace verbolin
