#pragma once
// How the pipeline reads audio input: how a multi-channel source is folded to
// mono, and whether a file is read whole or window by window. The pipeline's
// configuration holds one of these unchanged; the audio front end reads it.

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace auralith {

struct AudioInputOptions {
    struct ChannelMode {
        // Take this one channel (zero-based).
        struct SpecificChannel {
            std::int64_t channel = 0;
            bool operator==(const SpecificChannel&) const = default;
        };
        // Add the listed channels; absent or empty means all of them. Absent
        // and empty are different values.
        struct SumChannels {
            std::optional<std::vector<std::int64_t>> channels;
            bool operator==(const SumChannels&) const = default;
        };

        std::variant<SpecificChannel, SumChannels> value;
        bool operator==(const ChannelMode&) const = default;
    };

    struct AudioLoadingMode {
        // Read and transcribe the file as a stream of windows.
        struct Incremental {
            double chunkDurationSeconds = 0;
            std::int64_t maxBufferedChunks = 0;
        };
        // Read the whole file (or the requested range) into one array.
        struct FullFile {};

        std::variant<Incremental, FullFile> value;
    };

    ChannelMode channelMode;
    AudioLoadingMode audioLoadingMode;
};

}  // namespace auralith
