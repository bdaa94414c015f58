// AudioProcessor's file operations: open and range-select a file, fold its
// channels to mono, resample in bounded reads, copy into a float array.

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <stdexcept>
#include <thread>

#include "auralith/core/Constants.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/utilities/AudioBufferExtensions.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/NumberText.hpp"
#include "platform/system/WorkerPool.hpp"

namespace auralith {
namespace {

constexpr double kTargetRate = 16000;
constexpr double kWholeFileWindowSeconds = 600;
constexpr float kMinMonoDivisor = 0.0001f;

std::string seconds2(double s) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", s);
    return buf;
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

platform::PCMFormat monoFormat(double rate) {
    return platform::PCMFormat{platform::CommonFormat::pcmFormatFloat32, rate, 1, false};
}

// Frame of a time, truncated toward zero; refuses what no file position can be.
int64_t frameOf(double seconds, double rate, const char* which) {
    if (!std::isfinite(seconds) || seconds < 0)
        throw WhisperError::loadAudioFailed(std::string("Invalid ") + which +
                                            " time: " + std::to_string(seconds));
    const double frame = seconds * rate;
    return frame >= double(std::numeric_limits<int64_t>::max())
               ? std::numeric_limits<int64_t>::max()
               : int64_t(frame);
}

// Output buffers start at most this large and grow by as much again as
// decoded audio arrives (about a minute at 16 kHz): a header's length is
// never trusted with memory before the samples are there.
constexpr uint32_t kGrowthFrames = 1u << 20;

// Makes room for `more` frames after those held, but never beyond `limit`.
void growFor(platform::PCMBuffer& buffer, uint32_t more, uint32_t limit) {
    const uint64_t needed = uint64_t(buffer.frameLength()) + more;
    if (needed <= buffer.frameCapacity() || buffer.frameCapacity() >= limit) return;
    // Steps of one block: the new room is cleared, so a larger step would
    // make memory resident that no audio may ever fill. Large buffers grow
    // in place, so the steps cost no copies.
    const uint64_t grown =
        std::max<uint64_t>(needed, uint64_t(buffer.frameCapacity()) + kGrowthFrames);
    buffer.reserveFrames(uint32_t(std::min<uint64_t>(grown, limit)));
}

// Where the 16 kHz mono frames of one range go as they are made: a buffer
// for the buffer entry points, the caller's array for whole files, where a
// window buffer in between would hold a second copy of every window.
class RangeSink {
  public:
    virtual ~RangeSink() = default;
    // Called before each stretch of the range (a range goes on in another
    // stretch when the file turns out longer than its header said), with the
    // most frames the stretch can give.
    virtual void open(const platform::PCMFormat& format, uint32_t capacity) = 0;
    // Appends the first channel's first `count` frames, shortened to the room
    // left. False when they cannot be taken.
    virtual bool append(const platform::PCMBuffer& piece, uint32_t count) = 0;
    virtual const platform::PCMFormat& format() const = 0;
    virtual uint32_t frames() const = 0;
};

class BufferSink final : public RangeSink {
  public:
    void open(const platform::PCMFormat& format, uint32_t capacity) override {
        if (!buffer_) buffer_.emplace(format, std::min(capacity, kGrowthFrames));
        limit_ = uint32_t(std::min<uint64_t>(uint64_t(buffer_->frameLength()) + capacity,
                                             std::numeric_limits<uint32_t>::max()));
    }
    bool append(const platform::PCMBuffer& piece, uint32_t count) override {
        growFor(*buffer_, count, limit_);
        return appendContents(*buffer_, piece, 0, count);
    }
    const platform::PCMFormat& format() const override { return buffer_->format(); }
    uint32_t frames() const override { return buffer_->frameLength(); }
    platform::PCMBuffer take() { return std::move(*buffer_); }

  private:
    uint32_t limit_ = 0;
    std::optional<platform::PCMBuffer> buffer_;
};

class ArraySink final : public RangeSink {
  public:
    explicit ArraySink(std::vector<float>& out) : out_(out) {}
    void open(const platform::PCMFormat& format, uint32_t capacity) override {
        format_ = format;
        room_ = capacity;
    }
    bool append(const platform::PCMBuffer& piece, uint32_t count) override {
        if (count > piece.frameLength() || piece.floatChannelData() == nullptr) return false;
        const uint32_t n = std::min(count, room_);
        const float* samples = piece.floatChannelData()[0];
        out_.insert(out_.end(), samples, samples + n);
        room_ -= n;
        frames_ += n;
        return true;
    }
    const platform::PCMFormat& format() const override { return format_; }
    uint32_t frames() const override { return frames_; }

  private:
    std::vector<float>& out_;
    platform::PCMFormat format_;
    uint32_t room_ = 0;
    uint32_t frames_ = 0;
};

// Reads up to n frames from the file's position, going on after short reads
// until the file ends.
void readFully(platform::AudioFile& file, uint32_t n, RangeSink& sink) {
    sink.open(file.processingFormat(), n);
    platform::PCMBuffer block(file.processingFormat(), std::max(std::min(n, kGrowthFrames), 1u));
    for (uint32_t done = 0; done < n;) {
        const uint32_t got = file.read(block, n - done);
        if (got == 0) break;
        if (!sink.append(block, got)) throw std::runtime_error("Failed to append audio chunk");
        done += got;
    }
}

// What the file held that could not be played, said once per load.
void reportNonFinite(const platform::AudioFile& file, uint64_t before) {
    const uint64_t zeroed = file.nonFiniteSamples() - before;
    if (zeroed > 0)
        Logging::error("Audio file " + file.path() + " holds " + std::to_string(zeroed) +
                       " samples that are not finite numbers; they were loaded as silence");
}

// Memory running out is the load's failure, told with the file it was for.
template <class Load>
auto reportingMemory(const std::string& path, Load&& load) {
    try {
        return load();
    } catch (const std::bad_alloc&) {
        throw WhisperError::loadAudioFailed("Not enough memory to load the audio of " + path);
    }
}

}  // namespace

platform::PCMBuffer AudioProcessor::loadAudioFromPath(
    const std::string& path, const AudioInputOptions::ChannelMode& channelMode,
    std::optional<double> startTime, std::optional<double> endTime,
    std::optional<uint32_t> maxReadFrameSize) {
    if (!fileExists(path))
        throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
    platform::AudioFile file(path);
    return loadAudioFromFile(file, channelMode, startTime, endTime, maxReadFrameSize);
}

namespace {

bool resampleInto(platform::AudioFile& file, double toSampleRate, uint32_t channelCount,
                  const AudioInputOptions::ChannelMode& channelMode,
                  std::optional<uint32_t> frameCount, uint32_t maxReadFrameSize, RangeSink& sink);

// Reads `frameCount` frames from the file's position into the sink as 16 kHz mono.
void readStretch(platform::AudioFile& file, uint32_t frameCount,
                 const AudioInputOptions::ChannelMode& channelMode,
                 std::optional<uint32_t> maxReadFrameSize, RangeSink& sink) {
    if (file.fileFormat().sampleRate == kTargetRate && file.fileFormat().channelCount == 1) {
        try {
            readFully(file, frameCount, sink);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            throw WhisperError::loadAudioFailed("Failed to read audio file: " +
                                                std::string(e.what()));
        }
    } else if (!resampleInto(file, kTargetRate, 1, channelMode, frameCount,
                             maxReadFrameSize.value_or(Constants::defaultAudioReadFrameSize),
                             sink)) {
        throw WhisperError::loadAudioFailed("Failed to process audio buffer");
    }
}

// A range is read in one piece of at most 2^32 - 1 frames, and made into
// one buffer of at most 2^32 - 1 frames at 16 kHz (74.6 hours): a longer one
// is refused up front, with its length, rather than failing part-way.
void checkLoadableLength(const platform::AudioFile& file, int64_t frames, double rate) {
    const double most = double(std::numeric_limits<uint32_t>::max());
    if (frames <= int64_t(most) && double(frames) / rate * kTargetRate <= most) return;
    auto hours = [](double seconds) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", seconds / 3600);
        return std::string(text);
    };
    throw WhisperError::loadAudioFailed(
        "The audio of " + file.path() +
        " is too long to load whole: " + hours(double(frames) / rate) + " hours, at most " +
        hours(std::min(most / rate, most / kTargetRate)) + " hours");
}

// loadAudioFromFile into a sink, without its reports.
void loadRange(platform::AudioFile& file, const AudioInputOptions::ChannelMode& channelMode,
               std::optional<double> startTime, std::optional<double> endTime,
               std::optional<uint32_t> maxReadFrameSize, RangeSink& sink) {
    if (maxReadFrameSize && *maxReadFrameSize == 0)
        throw WhisperError::loadAudioFailed("Read size must be greater than 0");
    const double rate = file.fileFormat().sampleRate;
    const uint32_t channels = file.fileFormat().channelCount;
    // Out-of-range times are clamped to the file; an end before the start
    // gives nothing rather than a huge unsigned count.
    const int64_t wantedEnd =
        endTime ? frameOf(*endTime, rate, "end") : std::numeric_limits<int64_t>::max();
    try {
        // Past a header's length the file may hold more: the position looks.
        file.setFramePosition(startTime ? frameOf(*startTime, rate, "start") : 0);
    } catch (const platform::AudioFileError& e) {
        throw WhisperError::loadAudioFailed("Failed to read audio file: " + std::string(e.what()));
    }
    const int64_t startFrame = file.framePosition();
    sink.open(monoFormat(kTargetRate), 0);
    int64_t total = 0;
    // A stretch up to the length; reading up to it finds out whether the
    // audio goes on (a header that said less than the file holds), and the
    // range goes on with it.
    for (int64_t from = startFrame, to;
         file.framePosition() == from && (to = std::min(wantedEnd, file.length())) > from;
         from = to) {
        total += to - from;
        checkLoadableLength(file, total, rate);
        readStretch(file, uint32_t(to - from), channelMode, maxReadFrameSize, sink);
    }
    if (Logging::isLoggingEnabled(Logging::LogLevel::debug)) {
        auto details = [](const char* what, double sampleRate, uint32_t channelCount,
                          int64_t frames) {
            return std::string(what) + " - Sample Rate: " + platform::numberText(sampleRate) +
                   " Hz, Channel Count: " + std::to_string(channelCount) +
                   ", Frame Length: " + std::to_string(frames) +
                   ", Duration: " + platform::numberText(double(frames) / sampleRate) + "s";
        };
        Logging::debug(details("Audio source details", rate, channels, file.length()));
        Logging::debug(details("Audio buffer details", sink.format().sampleRate,
                               sink.format().channelCount, sink.frames()));
        Logging::logCurrentMemoryUsage("After loadAudio function");
    }
}

}  // namespace

platform::PCMBuffer AudioProcessor::loadAudioFromFile(
    platform::AudioFile& file, const AudioInputOptions::ChannelMode& channelMode,
    std::optional<double> startTime, std::optional<double> endTime,
    std::optional<uint32_t> maxReadFrameSize) {
    const uint64_t nonFiniteBefore = file.nonFiniteSamples();
    auto buffer = reportingMemory(file.path(), [&] {
        BufferSink sink;
        loadRange(file, channelMode, startTime, endTime, maxReadFrameSize, sink);
        return sink.take();
    });
    reportNonFinite(file, nonFiniteBefore);
    return buffer;
}

std::optional<platform::PCMBuffer> AudioProcessor::resampleAudio(
    platform::AudioFile& file, double toSampleRate, uint32_t channelCount,
    const AudioInputOptions::ChannelMode& channelMode, std::optional<uint32_t> frameCount,
    uint32_t maxReadFrameSize) {
    BufferSink sink;
    if (!resampleInto(file, toSampleRate, channelCount, channelMode, frameCount, maxReadFrameSize,
                      sink))
        return std::nullopt;
    return sink.take();
}

namespace {

bool resampleInto(platform::AudioFile& file, double toSampleRate, uint32_t channelCount,
                  const AudioInputOptions::ChannelMode& channelMode,
                  std::optional<uint32_t> frameCount, uint32_t maxReadFrameSize, RangeSink& sink) {
    const double inRate = file.fileFormat().sampleRate;
    const int64_t start = file.framePosition();
    const int64_t n = frameCount ? int64_t(*frameCount) : file.length();
    const int64_t end = std::min(start + n, file.length());
    if (!(toSampleRate > 0) || channelCount == 0) {
        Logging::error("Failed to create output audio format");
        return false;
    }
    if (maxReadFrameSize == 0) {
        Logging::error("Failed to create read buffer");
        return false;
    }
    const platform::PCMFormat outFormat{platform::CommonFormat::pcmFormatFloat32, toSampleRate,
                                        channelCount, false};
    Logging::debug("Resampling " + seconds2(double(n) / inRate) + " seconds of audio");
    const double capacity = double(n) / inRate * toSampleRate;
    if (!(capacity >= 0) || capacity > double(std::numeric_limits<uint32_t>::max())) {
        Logging::error("Failed to create output buffer");
        return false;
    }
    // The capacity is what the range would give if the file holds it all;
    // the sink takes memory only as audio arrives.
    sink.open(outFormat, uint32_t(capacity));
    platform::PCMBuffer readBuffer(
        file.processingFormat(),
        uint32_t(std::clamp<int64_t>(end - start, 1, int64_t(maxReadFrameSize))));

    int64_t expected = start;
    while (expected < end) {
        const int64_t pos = file.framePosition();
        const uint32_t count = uint32_t(std::min<int64_t>(end - pos, maxReadFrameSize));
        expected = pos + count;
        Logging::debug("Resampling " + seconds2(double(pos) / inRate) + "s - " +
                       seconds2(double(pos + count) / inRate) + "s");
        try {
            file.read(readBuffer, count);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            Logging::error("Error reading audio file: " + std::string(e.what()));
            return false;
        }
        // The audio ended before the container said it would.
        if (readBuffer.frameLength() == 0) break;
        // A mono read is its own fold; skipping the copy keeps one read's
        // worth of memory out of every long load.
        std::optional<platform::PCMBuffer> folded;
        if (readBuffer.format().channelCount > 1) {
            folded = AudioProcessor::convertToMono(readBuffer, channelMode);
            if (!folded) {
                Logging::error("Failed to process audio channels");
                return false;
            }
        }
        auto piece = AudioProcessor::resampleAudio(folded ? *folded : readBuffer,
                                                   outFormat.sampleRate, outFormat.channelCount);
        if (!piece) {
            Logging::error("Failed to resample audio chunk");
            return false;
        }
        if (piece->frameLength() > 0 && !sink.append(*piece, piece->frameLength())) {
            Logging::error("Failed to append audio chunk");
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<platform::PCMBuffer> AudioProcessor::convertToMono(
    const platform::PCMBuffer& buffer, const AudioInputOptions::ChannelMode& mode) {
    const uint32_t channels = buffer.format().channelCount;
    if (channels < 2) return buffer;
    if (buffer.floatChannelData() == nullptr || buffer.format().interleaved) {
        Logging::error("Buffer did not contain floatChannelData.");
        return std::nullopt;
    }
    const uint32_t length = buffer.frameLength();
    platform::PCMBuffer mono(monoFormat(buffer.format().sampleRate), buffer.frameCapacity());
    mono.setFrameLength(length);
    float* out = mono.floatChannelData()[0];
    const float* const* in = buffer.floatChannelData();

    if (const auto* specific =
            std::get_if<AudioInputOptions::ChannelMode::SpecificChannel>(&mode.value)) {
        const int64_t c =
            specific->channel < 0 || specific->channel >= int64_t(channels) ? 0 : specific->channel;
        std::memcpy(out, in[c], size_t(length) * sizeof(float));
        return mono;
    }
    const auto& listed = std::get<AudioInputOptions::ChannelMode::SumChannels>(mode.value).channels;
    std::vector<int64_t> selected;
    if (!listed || listed->empty()) {
        for (uint32_t c = 0; c < channels; ++c) selected.push_back(c);
    } else {
        for (int64_t c : *listed)
            if (c >= 0 && c < int64_t(channels)) selected.push_back(c);
    }
    if (selected.empty()) {
        std::memcpy(out, in[0], size_t(length) * sizeof(float));
        Logging::debug("No valid channel indices provided, defaulting to first channel");
        return mono;
    }
    float peak = 0;
    for (int64_t c : selected)
        for (uint32_t i = 0; i < length; ++i) peak = std::max(peak, std::fabs(in[c][i]));
    std::memset(out, 0, size_t(length) * sizeof(float));
    for (int64_t c : selected)
        for (uint32_t i = 0; i < length; ++i) out[i] += in[c][i];
    float sumPeak = 0;
    for (uint32_t i = 0; i < length; ++i) sumPeak = std::max(sumPeak, std::fabs(out[i]));
    const float scale = peak / std::max(sumPeak, kMinMonoDivisor);
    for (uint32_t i = 0; i < length; ++i) out[i] *= scale;
    return mono;
}

std::optional<platform::PCMBuffer> AudioProcessor::resampleAudio(const platform::PCMBuffer& buffer,
                                                                 double toSampleRate,
                                                                 uint32_t channelCount) {
    if (!(toSampleRate > 0) || channelCount == 0) {
        Logging::error("Failed to create output audio format");
        return std::nullopt;
    }
    const platform::PCMFormat outFormat{platform::CommonFormat::pcmFormatFloat32, toSampleRate,
                                        channelCount, false};
    auto converter = platform::AudioConverter::create(buffer.format(), outFormat);
    if (!converter) {
        Logging::error("Failed to create audio converter");
        return std::nullopt;
    }
    try {
        return resampleBuffer(buffer, *converter);
    } catch (const std::exception& e) {
        Logging::error("Failed to resample buffer: " + std::string(e.what()));
        return std::nullopt;
    }
}

platform::PCMBuffer AudioProcessor::resampleBuffer(const platform::PCMBuffer& buffer,
                                                   platform::AudioConverter& converter) {
    double capacity = converter.outputFormat().sampleRate * double(buffer.frameLength()) /
                      converter.inputFormat().sampleRate;
    if (capacity != std::floor(capacity)) {
        const double rounded = std::max(std::nearbyint(capacity), 1.0);
        Logging::debug("Rounding buffer frame capacity from", capacity, "to", rounded,
                       "to better fit new sample rate");
        capacity = rounded;
    }
    if (!(capacity >= 0) || capacity > double(std::numeric_limits<uint32_t>::max()))
        throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
    platform::PCMBuffer output(converter.outputFormat(), uint32_t(capacity));
    std::string error;
    if (converter.convert(output, buffer, &error) == platform::AudioConverter::OutputStatus::error)
        throw WhisperError::audioProcessingFailed("Error converting audio: " + error);
    return output;
}

std::vector<float> AudioProcessor::convertBufferToArray(platform::PCMBuffer& buffer,
                                                        int64_t chunkSize) {
    std::vector<float> result;
    if (buffer.floatChannelData() == nullptr) return result;
    const int64_t length = buffer.frameLength();
    result.reserve(size_t(length));
    // A block size below 1 copies everything at once.
    const int64_t block = chunkSize > 0 ? chunkSize : std::max<int64_t>(length, 1);
    float* data = buffer.floatChannelData()[0];
    for (int64_t offset = 0; offset < length; offset += block) {
        const int64_t count = std::min(block, length - offset);
        result.insert(result.end(), data + offset, data + offset + count);
        std::memset(data + offset, 0, size_t(count) * sizeof(float));
    }
    return result;
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(
    const std::string& path, const AudioInputOptions::ChannelMode& channelMode,
    std::optional<double> startTime, std::optional<double> endTime) {
    if (!fileExists(path))
        throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
    platform::AudioFile file(path);
    const double rate = file.fileFormat().sampleRate;
    double t = startTime.value_or(0);
    if (!std::isfinite(t) || t < 0)
        throw WhisperError::loadAudioFailed("Invalid start time: " + std::to_string(t));
    if (endTime && (!std::isfinite(*endTime) || *endTime < 0))
        throw WhisperError::loadAudioFailed("Invalid end time: " + std::to_string(*endTime));
    double stop = 0;
    // The file's length so far: a header's claim may give way to more audio.
    auto settle = [&] {
        const double length = double(file.length()) / rate;
        stop = endTime ? std::min(*endTime, length) : length;
    };
    settle();
    // A start past the header's length looks for audio there.
    if (t >= stop && (!endTime || t < *endTime)) {
        file.setFramePosition(frameOf(t, rate, "start"));
        settle();
    }
    return reportingMemory(path, [&] {
        std::vector<float> result;
        // Room for the whole range at once: growing a vector holds the old
        // and the new copy together, nearly twice the output. The file's
        // length is bounded by its size, and untouched room costs no memory.
        if (t < stop) {
            try {
                result.reserve(size_t((stop - t) * kTargetRate) + 2);
            } catch (const std::bad_alloc&) {
                // Then it grows as the audio arrives.
            }
        }
        const uint64_t nonFiniteBefore = file.nonFiniteSamples();
        while (t < stop) {
            ArraySink sink(result);
            // The last window goes to the range's own end (the real end of
            // the audio when none is given), not to a length in seconds.
            if (t + kWholeFileWindowSeconds >= stop) {
                loadRange(file, channelMode, t, endTime, std::nullopt, sink);
                break;
            }
            loadRange(file, channelMode, t, t + kWholeFileWindowSeconds, std::nullopt, sink);
            t += kWholeFileWindowSeconds;
            settle();  // the audio may have ended before the header said
        }
        reportNonFinite(file, nonFiniteBefore);
        return result;
    });
}

std::vector<LoadAudioResult> AudioProcessor::loadAudioAt(
    const std::vector<std::string>& paths, const AudioInputOptions::ChannelMode& channelMode) {
    std::vector<LoadAudioResult> results(paths.size());
    if (paths.empty()) return results;
    platform::WorkerPool pool(
        std::min<size_t>(paths.size(), std::max(1u, std::thread::hardware_concurrency())));
    std::vector<std::future<void>> done;
    for (size_t i = 0; i < paths.size(); ++i) {
        done.push_back(pool.submit([&, i] {
            try {
                results[i] = loadAudioAsFloatArray(paths[i], channelMode, 0.0, std::nullopt);
            } catch (...) {
                results[i] = std::current_exception();
            }
        }));
    }
    for (auto& f : done) f.get();
    return results;
}

platform::PCMBuffer AudioProcessor::loadAudio(const std::string& path,
                                              const AudioInputOptions::ChannelMode& channelMode,
                                              std::optional<double> startTime,
                                              std::optional<double> endTime,
                                              std::optional<uint32_t> maxReadFrameSize) const {
    return loadAudioFromPath(path, channelMode, startTime, endTime, maxReadFrameSize);
}

std::vector<LoadAudioResult> AudioProcessor::loadAudio(
    const std::vector<std::string>& paths,
    const AudioInputOptions::ChannelMode& channelMode) const {
    return loadAudioAt(paths, channelMode);
}

std::future<platform::PCMBuffer> AudioProcessing::loadAudioAsync(const std::string& path) const {
    return std::async(std::launch::async, [path] {
        if (!fileExists(path))
            throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
        platform::AudioFile file(path);
        return AudioProcessor::loadAudioFromFile(
            file, AudioInputOptions::ChannelMode::sumChannels(), 0.0, std::nullopt, std::nullopt);
    });
}

std::optional<WaveformImage> AudioProcessing::createWaveformImage(const std::vector<float>& samples,
                                                                  double width, double height) {
    if (!std::isfinite(width) || !std::isfinite(height) || width < 1 || height < 1 ||
        width > double(std::numeric_limits<int32_t>::max()) ||
        height > double(std::numeric_limits<int32_t>::max()))
        return std::nullopt;
    const int64_t w = int64_t(width), h = int64_t(height);
    if (uint64_t(w) * uint64_t(h) > samples.size()) return std::nullopt;
    WaveformImage image;
    image.width = w;
    image.height = h;
    image.bytesPerRow = w * 4;
    image.pixels.resize(size_t(w * h) * 4);
    std::memcpy(image.pixels.data(), samples.data(), image.pixels.size());
    return image;
}

}  // namespace auralith
