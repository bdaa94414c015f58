#include "platform/audio/Resampler.hpp"

#include <climits>
#include <cmath>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "platform/audio/AvErrorText.hpp"

namespace platform {
namespace {

// The library mixes at most this many channels (SWR_CH_MAX).
constexpr uint32_t kMaxChannels = 64;

}  // namespace

std::unique_ptr<Resampler> Resampler::create(const AudioFormat& input, std::string* reason) {
    return create(input, kOutputRate, reason);
}

std::unique_ptr<Resampler> Resampler::create(const AudioFormat& input, int outputRate,
                                             std::string* reason) {
    auto fail = [&](std::string why) -> std::unique_ptr<Resampler> {
        if (reason) *reason = std::move(why);
        return nullptr;
    };
    if (input.channels == 0 || input.channels > kMaxChannels)
        return fail("unsupported channel count " + std::to_string(input.channels));
    if (!(input.sampleRate >= 1) || input.sampleRate > INT_MAX ||
        input.sampleRate != std::floor(input.sampleRate))
        return fail("unsupported sample rate");
    if (outputRate < 1) return fail("unsupported output rate");

    AVChannelLayout inLayout, outLayout;
    av_channel_layout_default(&inLayout, int(input.channels));
    av_channel_layout_default(&outLayout, 1);
    SwrContext* ctx = nullptr;
    int rc = swr_alloc_set_opts2(&ctx, &outLayout, AV_SAMPLE_FMT_FLT, outputRate, &inLayout,
                                 AV_SAMPLE_FMT_FLT, int(input.sampleRate), 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (rc < 0 || !ctx) {
        swr_free(&ctx);
        return fail(avErrorText(rc));
    }
    if (input.channels > 1) {
        std::vector<double> weights(input.channels, 1.0 / double(input.channels));
        rc = swr_set_matrix(ctx, weights.data(), int(input.channels));
        if (rc < 0) {
            swr_free(&ctx);
            return fail(avErrorText(rc));
        }
    }
    rc = swr_init(ctx);
    if (rc < 0) {
        swr_free(&ctx);
        return fail(avErrorText(rc));
    }
    return std::unique_ptr<Resampler>(new Resampler(ctx, input, outputRate));
}

Resampler::Resampler(SwrContext* ctx, const AudioFormat& input, int outputRate)
    : ctx_(ctx), input_(input), ratio_(double(outputRate) / input.sampleRate) {}

Resampler::~Resampler() { swr_free(&ctx_); }

long Resampler::convert(const float* input, size_t frames, float* output, size_t capacity) {
    if (frames > size_t(INT_MAX) || capacity > size_t(INT_MAX)) return -1;
    auto* out = reinterpret_cast<uint8_t*>(output);
    auto* in = reinterpret_cast<const uint8_t*>(input);
    int n = swr_convert(ctx_, &out, int(capacity), &in, int(frames));
    return n < 0 ? -1 : long(n);
}

long Resampler::flush(float* output, size_t capacity) {
    if (capacity > size_t(INT_MAX)) return -1;
    auto* out = reinterpret_cast<uint8_t*>(output);
    int n = swr_convert(ctx_, &out, int(capacity), nullptr, 0);
    return n < 0 ? -1 : long(n);
}

}  // namespace platform
