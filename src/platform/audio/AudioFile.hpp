#pragma once
// An audio file opened for reading through FFmpeg, delivering 32-bit float,
// non-interleaved frames whatever the file's own encoding. The read position
// is a frame index: exact for every container, because a position the
// decoder did not just reach is found by seeking before it and decoding (and
// discarding) up to the frame; where the container's timestamps cannot be
// trusted (WAV files of other codecs than PCM, or a seek that met the end
// before the length), by decoding from the start. The codec's priming and
// end padding are dropped the same way however the position was reached.
//
// A header's length is a claim, a hint for sizes and progress. Plain PCM
// ends where its header says. For other codecs the packets are counted once
// at open: the header's length is kept (exact for FLAC, Ogg, MP4 and MP3
// files with an info header) only when it is one the file's size could hold
// and the packets do not go on past it; otherwise the packets' count is the
// length, and the header's timing is not trusted for seeks either. Once a
// read meets the real end of the audio, length() reports the frames actually
// there; a read or a seek that reaches a length not known to be the end looks
// for audio beyond it, and length() grows by what it finds. Callers still
// size buffers as data arrives: a damaged file may decode to less than any
// header says.
//
// Samples that are not finite numbers (NaN or infinity in a float file) are
// delivered as 0 and counted.
//
// One object is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/audio/PCMBuffer.hpp"

namespace platform {

class AudioFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class AudioFile {
  public:
    // Throws AudioFileError naming the path and the reason: no such file, a
    // folder, not a media file, no audio stream, no decoder, or a header with
    // no channels, too many, no sample rate or one no recording uses.
    explicit AudioFile(const std::string& path);
    ~AudioFile();
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;

    const std::string& path() const { return path_; }
    // The file's own rate and channel count (float32 non-interleaved).
    const PCMFormat& fileFormat() const { return fileFormat_; }
    // The format read() delivers: float32, non-interleaved, the file's rate and channels.
    const PCMFormat& processingFormat() const { return processingFormat_; }
    int64_t length() const { return length_; }

    int64_t framePosition() const { return position_; }
    // Where the next read starts; clamped to [0, length()], after looking for
    // audio beyond a length not known to be the end (which may decode up to
    // there, and throw AudioFileError as read() does).
    void setFramePosition(int64_t frame);

    // Reads up to frameCount frames (at most the buffer's capacity) into the
    // buffer, replacing its contents, and returns how many arrived: fewer at
    // the end of the audio, 0 after it. The buffer must be float32,
    // non-interleaved, with the file's channel count. Throws AudioFileError
    // when the audio cannot be decoded. framePosition() stays within
    // [0, length()].
    uint32_t read(PCMBuffer& buffer, uint32_t frameCount);

    // Samples read so far that were not finite numbers and were delivered as 0.
    uint64_t nonFiniteSamples() const;

  private:
    struct Decoder;

    std::string path_;
    std::unique_ptr<Decoder> decoder_;
    PCMFormat fileFormat_;
    PCMFormat processingFormat_;
    int64_t length_ = 0;
    // The most frames the file's size could hold; no position lies beyond.
    int64_t holdable_ = 0;
    int64_t position_ = 0;
};

}  // namespace platform
