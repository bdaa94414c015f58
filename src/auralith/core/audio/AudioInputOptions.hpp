#pragma once
// How the pipeline reads audio input: how a multi-channel source is folded to
// mono, and whether a file is read whole or window by window. The pipeline's
// configuration holds one of these unchanged; the audio front end reads it.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <variant>
#include <vector>

namespace auralith {

struct AudioInputOptions {
    struct ChannelMode {
        // Take this one channel (zero-based); an index outside the source's
        // channels takes channel 0.
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

        static ChannelMode specificChannel(std::int64_t channel) {
            return {SpecificChannel{channel}};
        }
        // All channels.
        static ChannelMode sumChannels() { return {SumChannels{}}; }
        static ChannelMode sumChannels(std::optional<std::vector<std::int64_t>> channels) {
            // Built from the list itself: moving an empty optional upsets GCC's
            // uninitialised-use check in sanitizer builds.
            if (!channels) return sumChannels();
            return {SumChannels{std::optional<std::vector<std::int64_t>>(std::move(*channels))}};
        }

        // Case number (0 specific, 1 sum) first, then the payload; an absent
        // list feeds 0, a present one 1, its count and its elements.
        std::size_t hashValue() const;

        // {"specificChannel": {"_0": 2}}, {"sumChannels": {"_0": [0, 1]}}, and
        // {"sumChannels": {}} for an absent list.
        nlohmann::ordered_json toJSON() const;
        // Throws DecodingError: typeMismatch "Invalid number of keys found,
        // expected one." unless exactly one case key is present.
        static ChannelMode fromJSON(const nlohmann::ordered_json& json);
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

        static constexpr double defaultChunkDurationSeconds = 120.0;
        static constexpr std::int64_t defaultMaxBufferedChunks = 2;

        static AudioLoadingMode incremental(double chunkDurationSeconds,
                                            std::int64_t maxBufferedChunks) {
            return {Incremental{chunkDurationSeconds, maxBufferedChunks}};
        }
        // The incremental mode with the default duration and buffer count.
        static AudioLoadingMode defaultIncremental() {
            return incremental(defaultChunkDurationSeconds, defaultMaxBufferedChunks);
        }
        static AudioLoadingMode fullFile() { return {FullFile{}}; }
    };

    ChannelMode channelMode;
    AudioLoadingMode audioLoadingMode;
};

void to_json(nlohmann::ordered_json& json, const AudioInputOptions::ChannelMode& mode);
void from_json(const nlohmann::ordered_json& json, AudioInputOptions::ChannelMode& mode);

}  // namespace auralith

template <>
struct std::hash<auralith::AudioInputOptions::ChannelMode> {
    std::size_t operator()(const auralith::AudioInputOptions::ChannelMode& mode) const {
        return mode.hashValue();
    }
};
