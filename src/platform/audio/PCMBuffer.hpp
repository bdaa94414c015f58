#pragma once
// A block of PCM audio with a format, a fixed frame capacity and a current
// frame length. Only 32-bit float buffers hold sample storage; buffers of
// other sample formats exist so that formats can be told apart, and report no
// float channel data.
//
// Deinterleaved float buffers have one pointer per channel; an interleaved
// buffer has a single pointer to frames of channelCount samples.

#include <cstddef>
#include <cstdint>
#include <memory>
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

// Sample storage is zeroed when made, and the memory of a large buffer
// becomes resident only as frames are written, so an unused capacity costs
// address space, not memory.
class PCMBuffer {
  public:
    // Starts with frameLength 0. Throws std::invalid_argument for a format
    // without channels, std::bad_alloc when the storage cannot be had.
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
    // Raises the capacity (never lowers it), keeping the frames held; the new
    // room is zeroed. Large buffers grow in place where the system allows,
    // without a second copy of their samples. Channel pointers taken before
    // are invalid afterwards. Throws std::bad_alloc, leaving the buffer as it
    // was.
    void reserveFrames(uint32_t frameCapacity);

    // One pointer per buffer, or nullptr when the format is not 32-bit float.
    float* const* floatChannelData() { return channels_.empty() ? nullptr : channels_.data(); }
    const float* const* floatChannelData() const {
        return channels_.empty() ? nullptr : channels_.data();
    }

  private:
    struct Free {
        void operator()(float* p) const noexcept;
    };

    size_t buffers() const { return format_.interleaved ? 1 : format_.channelCount; }
    size_t floatsPerBuffer(uint32_t capacity) const;
    void pointChannels();

    PCMFormat format_;
    uint32_t frameCapacity_;
    uint32_t frameLength_ = 0;
    std::unique_ptr<float[], Free> storage_;
    size_t storageFloats_ = 0;
    std::vector<float*> channels_;
};

}  // namespace platform
