#pragma once
// A block of PCM audio with a format, a fixed frame capacity and a current
// frame length. Only 32-bit float buffers hold sample storage; buffers of
// other sample formats exist so that formats can be told apart, and report no
// float channel data.
//
// Deinterleaved float buffers have one pointer per channel; an interleaved
// buffer has a single pointer to frames of channelCount samples.

#include <cstdint>
#include <vector>

namespace platform {

enum class CommonFormat {
    otherFormat,
    pcmFormatFloat32,
    pcmFormatFloat64,
    pcmFormatInt16,
    pcmFormatInt32
};

struct PCMFormat {
    CommonFormat commonFormat = CommonFormat::pcmFormatFloat32;
    double sampleRate = 16000;
    uint32_t channelCount = 1;
    bool interleaved = false;

    // Bytes of one frame in one buffer: all channels when interleaved, one
    // channel otherwise. 0 for otherFormat.
    uint32_t bytesPerFrame() const;

    friend bool operator==(const PCMFormat&, const PCMFormat&) = default;
};

class PCMBuffer {
  public:
    // Starts with frameLength 0. Throws std::invalid_argument for a format
    // without channels.
    PCMBuffer(PCMFormat format, uint32_t frameCapacity);
    // Copies hold their own samples; the channel pointers follow the storage.
    PCMBuffer(const PCMBuffer& other);
    PCMBuffer& operator=(const PCMBuffer& other);
    PCMBuffer(PCMBuffer&& other) noexcept = default;
    PCMBuffer& operator=(PCMBuffer&& other) noexcept = default;

    const PCMFormat& format() const { return format_; }
    uint32_t frameCapacity() const { return frameCapacity_; }
    uint32_t frameLength() const { return frameLength_; }
    // Throws std::out_of_range beyond the capacity.
    void setFrameLength(uint32_t length);

    // One pointer per buffer, or nullptr when the format is not 32-bit float.
    float* const* floatChannelData() { return channels_.empty() ? nullptr : channels_.data(); }
    const float* const* floatChannelData() const {
        return channels_.empty() ? nullptr : channels_.data();
    }

  private:
    void pointChannels();

    PCMFormat format_;
    uint32_t frameCapacity_;
    uint32_t frameLength_ = 0;
    std::vector<float> storage_;
    std::vector<float*> channels_;
};

}  // namespace platform
