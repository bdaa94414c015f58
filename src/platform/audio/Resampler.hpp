#pragma once
// Converts interleaved float audio of any rate and channel count to 16 kHz
// mono float, with libswresample.
//
// Channels become mono by their plain average: every input channel gets the
// weight 1/N. A signal present in both channels of a stereo pair keeps its
// level; one present in a single channel comes out at half its level. (The
// library's default downmix would weight and normalise by channel position
// instead, which makes the level depend on the layout.)

#include <memory>
#include <string>

#include "platform/audio/AudioFormat.hpp"

struct SwrContext;

namespace platform {

class Resampler {
  public:
    static constexpr int kOutputRate = 16000;

    // Null when the input format cannot be converted (no channels, more
    // channels than the library mixes, a rate it does not take); `reason`
    // then says why.
    static std::unique_ptr<Resampler> create(const AudioFormat& input,
                                             std::string* reason = nullptr);
    // As create(), to another output rate (mono).
    static std::unique_ptr<Resampler> create(const AudioFormat& input, int outputRate,
                                             std::string* reason);
    ~Resampler();

    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // Converts `frames` interleaved input frames, writing at most `capacity`
    // output samples, and returns how many were written, or -1 on a library
    // error. Output that does not fit, and the filter's look-ahead, stay
    // buffered and come out with the next call.
    long convert(const float* input, size_t frames, float* output, size_t capacity);

    // Writes out what the filter still holds, as at the end of the input;
    // returns the samples written or -1.
    long flush(float* output, size_t capacity);

    // Output samples per input frame: output rate / input rate.
    double ratio() const { return ratio_; }
    const AudioFormat& inputFormat() const { return input_; }

  private:
    Resampler(SwrContext* ctx, const AudioFormat& input, int outputRate);

    SwrContext* ctx_;
    AudioFormat input_;
    double ratio_;
};

}  // namespace platform
