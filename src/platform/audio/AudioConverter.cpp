#include "platform/audio/AudioConverter.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace platform {

std::unique_ptr<AudioConverter> AudioConverter::create(const PCMFormat& input,
                                                       const PCMFormat& output,
                                                       std::string* reason) {
    auto fail = [&](std::string why) -> std::unique_ptr<AudioConverter> {
        if (reason) *reason = std::move(why);
        return nullptr;
    };
    if (input.commonFormat != CommonFormat::pcmFormatFloat32 ||
        output.commonFormat != CommonFormat::pcmFormatFloat32)
        return fail("only 32-bit float audio converts");
    if (output.channelCount != 1) return fail("the output must have one channel");
    if (!(output.sampleRate >= 1) || output.sampleRate > 1e9 ||
        output.sampleRate != std::floor(output.sampleRate))
        return fail("unsupported output rate");
    auto resampler = Resampler::create(AudioFormat{input.sampleRate, input.channelCount},
                                       int(output.sampleRate), reason);
    if (!resampler) return nullptr;
    return std::unique_ptr<AudioConverter>(new AudioConverter(input, output, std::move(resampler)));
}

AudioConverter::AudioConverter(const PCMFormat& input, const PCMFormat& output,
                               std::unique_ptr<Resampler> resampler)
    : input_(input), output_(output), resampler_(std::move(resampler)) {}

AudioConverter::OutputStatus AudioConverter::convert(PCMBuffer& output, const PCMBuffer& input,
                                                     std::string* error) {
    auto fail = [&](const char* why) {
        if (error) *error = why;
        return OutputStatus::error;
    };
    if (!(input.format() == input_) || !(output.format() == output_))
        return fail("buffer format does not match");
    const uint32_t frames = input.frameLength();
    const uint32_t channels = input_.channelCount;
    const float* interleaved = input.floatChannelData()[0];
    std::vector<float> packed;
    if (!input_.interleaved && channels > 1) {
        packed.resize(size_t(frames) * channels);
        for (uint32_t c = 0; c < channels; ++c) {
            const float* src = input.floatChannelData()[c];
            for (uint32_t f = 0; f < frames; ++f) packed[size_t(f) * channels + c] = src[f];
        }
        interleaved = packed.data();
    }
    if (drained_) {
        // A drained filter starts again from silence, like a new converter.
        auto fresh = Resampler::create(AudioFormat{input_.sampleRate, input_.channelCount},
                                       int(output_.sampleRate), error);
        if (!fresh) return OutputStatus::error;
        resampler_ = std::move(fresh);
        drained_ = false;
    }
    float* out = output.floatChannelData()[0];
    const size_t capacity = output.frameCapacity();
    long written = 0;
    // In blocks: the library copies whatever it is handed into buffers of
    // its own, so one call with a long read would hold it several times over.
    constexpr uint32_t kBlock = 32768;
    for (uint32_t at = 0; at < frames; at += kBlock) {
        const uint32_t n = std::min(kBlock, frames - at);
        const long got = resampler_->convert(interleaved + size_t(at) * channels, n, out + written,
                                             capacity - size_t(written));
        if (got < 0) return fail("the resampler failed");
        written += got;
    }
    const long drained = resampler_->flush(out + written, capacity - size_t(written));
    drained_ = true;
    if (drained < 0) return fail("the resampler failed");
    output.setFrameLength(uint32_t(written + drained));
    return frames > 0 ? OutputStatus::haveData : OutputStatus::endOfStream;
}

}  // namespace platform
