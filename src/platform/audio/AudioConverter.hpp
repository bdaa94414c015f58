#pragma once
// Converts one PCM buffer to another rate as a whole: the input is fed once
// and the converter is then drained, so every output frame the input yields
// comes out in one call. Float32 input of any channel count, interleaved or
// not; float32 mono non-interleaved output. Each call stands alone: no filter
// state carries over from one buffer to the next. Channels are averaged (see
// Resampler).

#include <memory>
#include <string>

#include "platform/audio/PCMBuffer.hpp"
#include "platform/audio/Resampler.hpp"

namespace platform {

class AudioConverter {
  public:
    enum class OutputStatus { haveData, endOfStream, error };

    // Null (with the reason) when either format cannot be converted.
    static std::unique_ptr<AudioConverter> create(const PCMFormat& input, const PCMFormat& output,
                                                  std::string* reason = nullptr);

    const PCMFormat& inputFormat() const { return input_; }
    const PCMFormat& outputFormat() const { return output_; }

    // Converts all of `input` (in inputFormat()) into `output` (in
    // outputFormat()), up to its capacity, and sets its frame length. An
    // input without frames just drains what is held. `error` receives the
    // library's message when the status is error.
    OutputStatus convert(PCMBuffer& output, const PCMBuffer& input, std::string* error = nullptr);

  private:
    AudioConverter(const PCMFormat& input, const PCMFormat& output,
                   std::unique_ptr<Resampler> resampler);

    PCMFormat input_;
    PCMFormat output_;
    std::unique_ptr<Resampler> resampler_;
    bool drained_ = false;
};

}  // namespace platform
