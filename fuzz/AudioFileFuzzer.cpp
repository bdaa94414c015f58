// An audio file a user opens: the first byte picks the file name's extension
// (the container probe sees it), the rest is the file. It is read whole as
// 16 kHz mono, the way the pipeline loads it, then frame by frame with seeks
// the way incremental loading does.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/audio/AudioFile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const char* const extensions[] = {".wav", ".flac", ".mp3", ".ogg", ".m4a", ".aiff", ""};
    const std::string name = std::string("audio") + extensions[data[0] % 7];
    const auto path = fuzzing::writeScratchFile(
        name, std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

    using auralith::AudioInputOptions;
    using auralith::AudioProcessor;
    try {
        AudioProcessor::loadAudioFromPath(path.string(),
                                          AudioInputOptions::ChannelMode::sumChannels());
        AudioProcessor::loadAudioFromPath(
            path.string(), AudioInputOptions::ChannelMode::specificChannel(3), 0.5, 2.0, 1024);
    } catch (const auralith::WhisperError&) {
    } catch (const platform::AudioFileError&) {
    }

    try {
        platform::AudioFile file(path.string());
        // Whatever a header claims, the position stays within the length.
        auto checkPosition = [&] {
            if (file.framePosition() < 0 || file.framePosition() > file.length()) __builtin_trap();
        };
        const auto& format = file.processingFormat();
        platform::PCMBuffer buffer(format, 4096);
        std::int64_t total = 0;
        while (const std::uint32_t n = file.read(buffer, 4096)) {
            checkPosition();
            total += n;
            if (total > (std::int64_t{1} << 26)) break;
        }
        checkPosition();
        file.setFramePosition(file.length() / 2);
        checkPosition();
        file.read(buffer, 4096);
        checkPosition();
        file.setFramePosition(-1);
        file.read(buffer, 1);
        checkPosition();
        file.setFramePosition(file.length() + 10);
        checkPosition();
        if (file.read(buffer, 16) != 0) __builtin_trap();  // past the end reads nothing
    } catch (const platform::AudioFileError&) {
    }
    return 0;
}
