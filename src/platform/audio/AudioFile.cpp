#include "platform/audio/AudioFile.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
}

#include "platform/audio/AvErrorText.hpp"

namespace platform {
namespace {

// A position far ahead is reached by seeking; a near one by decoding on.
constexpr double kDecodeAheadSeconds = 10.0;
// Seeks land this far before the target so that the decoder has settled
// (bit reservoirs, overlapped transforms) by the time it gets there.
constexpr double kSeekPrerollSeconds = 0.5;
constexpr int kMaxChannels = 64;
// Above the highest rate of any audio recording format (768 kHz); a larger
// one is a damaged header, and would make every time in the file meaningless.
constexpr int kMaxSampleRate = 1536000;
// Below any rate that can carry speech (telephony uses 8 kHz). A lower one is
// a damaged header too, and converting it to 16 kHz would turn each of its
// samples into thousands: a few kilobytes of file into gigabytes of audio.
constexpr int kMinSampleRate = 1000;
// A compressed stream below this rate is unheard of; a length claim that
// would need less is not believed (the frames are then counted).
constexpr int64_t kMinBitsPerSecond = 1000;

// The WAV reader allocates and zeroes what a metadata chunk (LIST, id3, ...)
// claims before it reads the chunk: a 90-byte file whose LIST chunk claims
// 2.6 GB asks for 2.6 GB. A chunk other than the samples may not claim more
// than the file holds; the samples' own claim is bounded while decoding.
// Returns why the file is refused, or nothing for a file that is not a WAV.
std::optional<std::string> oversizedWavChunk(const std::string& path, uintmax_t fileSize) {
    std::ifstream in(path, std::ios::binary);
    char head[12];
    if (!in.read(head, sizeof head) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0)
        return std::nullopt;
    uintmax_t at = sizeof head;
    // Real files hold a handful of chunks; a bound keeps a hostile one cheap.
    for (int chunk = 0; chunk < 1024 && at + 8 <= fileSize; ++chunk) {
        char header[8];
        if (!in.seekg(std::streamoff(at)) || !in.read(header, sizeof header)) break;
        uint32_t size = 0;
        for (int i = 3; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(header[4 + i]);
        const bool samples = std::memcmp(header, "data", 4) == 0;
        if (at + 8 + size > fileSize) {
            if (samples) break;  // a recording cut short, or still being written
            std::string id;
            for (int i = 0; i < 4; ++i)
                id += std::isprint(static_cast<unsigned char>(header[i])) ? header[i] : '?';
            return "its \"" + id + "\" chunk claims " + std::to_string(size) +
                   " bytes, more than the file's " + std::to_string(fileSize);
        }
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}

template <class T>
float toFloat(T v);
template <>
float toFloat<uint8_t>(uint8_t v) {
    return (float(v) - 128.0f) / 128.0f;
}
template <>
float toFloat<int16_t>(int16_t v) {
    return float(v) / 32768.0f;
}
template <>
float toFloat<int32_t>(int32_t v) {
    return float(double(v) / 2147483648.0);
}
template <>
float toFloat<int64_t>(int64_t v) {
    return float(double(v) / 9223372036854775808.0);
}
template <>
float toFloat<float>(float v) {
    return v;
}
template <>
float toFloat<double>(double v) {
    return float(v);
}

// NaN or infinity would spread through every later stage (one NaN spoils a
// whole spectrogram window); silence in its place loses one sample.
size_t zeroNonFinite(float* samples, size_t n) {
    size_t zeroed = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!std::isfinite(samples[i])) {
            samples[i] = 0;
            ++zeroed;
        }
    }
    return zeroed;
}

template <class T>
size_t deinterleave(const AVFrame* frame, int channels, bool planar,
                    std::vector<std::vector<float>>& out) {
    const int n = frame->nb_samples;
    size_t zeroed = 0;
    for (int c = 0; c < channels; ++c) {
        auto& dst = out[size_t(c)];
        const size_t base = dst.size();
        dst.resize(base + size_t(n));
        if (planar) {
            const T* src = reinterpret_cast<const T*>(frame->extended_data[c]);
            for (int i = 0; i < n; ++i) dst[base + size_t(i)] = toFloat<T>(src[i]);
        } else {
            const T* src = reinterpret_cast<const T*>(frame->extended_data[0]) + c;
            for (int i = 0; i < n; ++i)
                dst[base + size_t(i)] = toFloat<T>(src[size_t(i) * size_t(channels)]);
        }
        if constexpr (std::is_floating_point_v<T>) zeroed += zeroNonFinite(&dst[base], size_t(n));
    }
    return zeroed;
}

}  // namespace

struct AudioFile::Decoder {
    AVFormatContext* format = nullptr;
    const AVCodec* decoder = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;
    int channels = 0;
    int rate = 0;
    AVRational timeBase{1, 1};
    int64_t startTime = 0;  // in timeBase

    // Decoded frames not yet handed out, per channel, from `pendingStart`.
    std::vector<std::vector<float>> pending;
    size_t pendingOffset = 0;
    int64_t pendingStart = 0;  // file frame of pending[c][0]
    int64_t nextDecoded = 0;   // file frame the next decoded frame starts at
    bool draining = false;     // the demuxer is done; the decoder is being emptied
    bool ended = false;
    bool positionKnown = true;  // false right after a seek, until a frame says where it is
    // Positions come from the container's timestamps since its last seek,
    // not from counting frames from the start.
    bool afterSeek = false;
    // Cleared once a seek by the container proved wrong (the audio "ended"
    // before where its timestamps said it was): a header that lies about the
    // byte rate, say. From then on positions are found from the start.
    bool containerSeeks = true;
    uint64_t nonFinite = 0;  // samples delivered as 0

    ~Decoder() {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }

    int64_t pendingFrames() const {
        return pending.empty() ? 0 : int64_t(pending[0].size() - pendingOffset);
    }
    // The file frame of the next frame read() would deliver.
    int64_t cursor() const { return pendingStart + int64_t(pendingOffset); }

    void clearPending() {
        for (auto& ch : pending) ch.clear();
        pendingOffset = 0;
    }

    void compactPending() {
        if (pendingOffset == 0) return;
        for (auto& ch : pending) ch.erase(ch.begin(), ch.begin() + std::ptrdiff_t(pendingOffset));
        pendingStart += int64_t(pendingOffset);
        pendingOffset = 0;
    }

    void appendFrame() {
        const auto fmt = AVSampleFormat(frame->format);
        const bool planar = av_sample_fmt_is_planar(fmt);
        if (!positionKnown) {
            const int64_t ts = frame->best_effort_timestamp;
            nextDecoded = ts == AV_NOPTS_VALUE
                              ? 0
                              : av_rescale_q(ts - startTime, timeBase, AVRational{1, rate});
            pendingStart = nextDecoded;
            positionKnown = true;
        }
        if (pendingFrames() == 0) {
            clearPending();
            pendingStart = nextDecoded;
        }
        switch (av_get_packed_sample_fmt(fmt)) {
            case AV_SAMPLE_FMT_U8:
                nonFinite += deinterleave<uint8_t>(frame, channels, planar, pending);
                break;
            case AV_SAMPLE_FMT_S16:
                nonFinite += deinterleave<int16_t>(frame, channels, planar, pending);
                break;
            case AV_SAMPLE_FMT_S32:
                nonFinite += deinterleave<int32_t>(frame, channels, planar, pending);
                break;
            case AV_SAMPLE_FMT_S64:
                nonFinite += deinterleave<int64_t>(frame, channels, planar, pending);
                break;
            case AV_SAMPLE_FMT_FLT:
                nonFinite += deinterleave<float>(frame, channels, planar, pending);
                break;
            case AV_SAMPLE_FMT_DBL:
                nonFinite += deinterleave<double>(frame, channels, planar, pending);
                break;
            default:
                throw AudioFileError("Unsupported sample format in audio stream");
        }
        nextDecoded += frame->nb_samples - trim(frame->nb_samples);
    }

    // The codec's own padding, which the decoder marks for the caller to drop
    // (the decoder is opened with AV_CODEC_FLAG2_SKIP_MANUAL): its priming
    // samples at the start, its padding at the end. Left to the decoder, the
    // priming was dropped from whatever frame came first after opening, so a
    // file sought into before it was decoded from the start was off by the
    // priming (312 frames for Opus), and one decoded from the start again
    // after that was off the other way. Priming is dropped only when decoding
    // from the start: after a seek the frame's time already names its first
    // sample. Returns how many of the frame's samples were dropped.
    int trim(int samples) {
        const AVFrameSideData* side = av_frame_get_side_data(frame, AV_FRAME_DATA_SKIP_SAMPLES);
        if (!side || side->size < 8) return 0;
        const int64_t atStart = afterSeek ? 0 : int64_t(AV_RL32(side->data));
        const int64_t atEnd = int64_t(AV_RL32(side->data + 4));
        const int64_t head = std::min<int64_t>(atStart, samples);
        const int64_t tail = std::min<int64_t>(atEnd, samples - head);
        if (head + tail == 0) return 0;
        for (auto& ch : pending) {
            const auto end = ch.end();
            const auto first = end - samples;
            ch.erase(end - tail, end);
            ch.erase(first, first + head);
        }
        return int(head + tail);
    }

    // A new decoder context (the priming to mark is counted from its opening,
    // so decoding from the start again needs a fresh one); an FFmpeg error
    // code when it cannot be had.
    int openCodec() {
        avcodec_free_context(&codec);
        codec = avcodec_alloc_context3(decoder);
        if (!codec) return AVERROR(ENOMEM);
        int rc = avcodec_parameters_to_context(codec, format->streams[stream]->codecpar);
        codec->flags2 |= AV_CODEC_FLAG2_SKIP_MANUAL;  // see trim()
        if (rc >= 0) rc = avcodec_open2(codec, decoder, nullptr);
        return rc;
    }

    // Decodes one more frame into `pending`; false at the end of the audio.
    bool decodeMore() {
        while (!ended) {
            int rc = avcodec_receive_frame(codec, frame);
            if (rc == 0) {
                // A frame whose channel count differs from the stream's
                // header cannot be stored per channel; skip it.
                const bool usable =
                    frame->ch_layout.nb_channels == channels && frame->nb_samples > 0;
                if (usable) appendFrame();
                av_frame_unref(frame);
                if (usable) return true;
                continue;
            }
            if (rc == AVERROR_EOF) {
                ended = true;
                break;
            }
            if (rc != AVERROR(EAGAIN)) {
                // A damaged stretch: the decoder resynchronises on later packets.
                if (draining) {
                    ended = true;
                    break;
                }
            }
            if (draining) {
                ended = true;
                break;
            }
            rc = av_read_frame(format, packet);
            if (rc < 0) {
                draining = true;
                avcodec_send_packet(codec, nullptr);
                continue;
            }
            if (packet->stream_index == stream) {
                // Damaged packets are skipped, as players do.
                avcodec_send_packet(codec, packet);
            }
            av_packet_unref(packet);
        }
        return false;
    }

    // Seeks the demuxer to before `target`, or, when it cannot (or landed
    // after it, or its seeks are not to be trusted), goes back to the start.
    void seekTo(int64_t target) {
        if (!containerSeeks) return rewind();
        const int64_t preroll = int64_t(kSeekPrerollSeconds * rate);
        const int64_t landing = std::max<int64_t>(target - preroll, 0);
        const int64_t ts = av_rescale_q(landing, AVRational{1, rate}, timeBase) + startTime;
        int rc = av_seek_frame(format, stream, ts, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(codec);
        clearPending();
        draining = ended = false;
        if (rc >= 0 && landing > 0) {
            positionKnown = false;
            afterSeek = true;
            if (decodeMore() && cursor() <= target) return;
        }
        rewind();
    }

    // The audio ended before where the container's timestamps since its
    // seek said it was: they were wrong there (a guess from a header's byte
    // rate, say), not the end. Counted from the start, an early end is the
    // real one.
    void distrustSeeks() {
        containerSeeks = false;
        rewind();
    }

    // Back to the start, to decode from there: slow but exact.
    void rewind() {
        int rc = avformat_seek_file(format, stream, std::numeric_limits<int64_t>::min(), startTime,
                                    startTime, 0);
        if (rc < 0)
            rc = av_seek_frame(format, stream, startTime, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
        if (rc < 0) throw AudioFileError("Cannot seek in audio file: " + avErrorText(rc));
        rc = openCodec();
        if (rc < 0) throw AudioFileError("Cannot open the audio decoder: " + avErrorText(rc));
        clearPending();
        draining = ended = false;
        positionKnown = true;
        afterSeek = false;
        pendingStart = nextDecoded = 0;
    }

    // Makes the next delivered frame the given one (or the end, if the audio
    // is shorter).
    void moveTo(int64_t target) {
        if (target == cursor()) return;
        if (target < cursor() || target - cursor() > int64_t(kDecodeAheadSeconds * rate))
            seekTo(target);
        for (;;) {
            while (cursor() < target) {
                if (pendingFrames() == 0 && !decodeMore()) break;
                const int64_t skip = std::min(target - cursor(), pendingFrames());
                pendingOffset += size_t(skip);
                if (pendingFrames() == 0) clearPending(), pendingStart = nextDecoded;
            }
            // (The target is within the length: this end is before it.)
            if (cursor() >= target || !afterSeek) return;
            distrustSeeks();
        }
    }

    int64_t countFrames() {
        int64_t frames = 0;
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == stream && packet->duration > 0)
                frames += av_rescale_q(packet->duration, timeBase, AVRational{1, rate});
            av_packet_unref(packet);
        }
        av_seek_frame(format, stream, startTime, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(codec);
        return frames;
    }
};

AudioFile::AudioFile(const std::string& path) : path_(path), decoder_(std::make_unique<Decoder>()) {
    // The library's own chatter about damaged input would go to stderr; what
    // matters reaches the caller as an error.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_FATAL); });
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) throw AudioFileError("No audio file at " + path);
    if (std::filesystem::is_directory(status))
        throw AudioFileError("Not an audio file but a folder: " + path);
    auto fail = [&](const std::string& why) {
        throw AudioFileError("Cannot read audio from " + path + ": " + why);
    };

    if (const auto why = oversizedWavChunk(path, std::filesystem::file_size(path, ec)); why && !ec)
        fail(*why);

    Decoder& d = *decoder_;
    int rc = avformat_open_input(&d.format, path.c_str(), nullptr, nullptr);
    if (rc < 0) fail(avErrorText(rc));
    rc = avformat_find_stream_info(d.format, nullptr);
    if (rc < 0) fail(avErrorText(rc));
    const AVCodec* codec = nullptr;
    d.stream = av_find_best_stream(d.format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (d.stream < 0 || codec == nullptr)
        fail(d.stream == AVERROR_DECODER_NOT_FOUND ? "no decoder for its audio"
                                                   : "it holds no audio stream");
    AVStream* st = d.format->streams[d.stream];
    d.channels = st->codecpar->ch_layout.nb_channels;
    d.rate = st->codecpar->sample_rate;
    if (d.channels <= 0) fail("its header reports no channels");
    // Beyond what any recording uses; a damaged header must not size buffers.
    if (d.channels > kMaxChannels)
        fail("its header reports " + std::to_string(d.channels) + " channels");
    if (d.rate <= 0) fail("its header reports no sample rate");
    if (d.rate < kMinSampleRate || d.rate > kMaxSampleRate)
        fail("its header reports a sample rate of " + std::to_string(d.rate) + " Hz");
    d.decoder = codec;
    rc = d.openCodec();
    if (rc == AVERROR(ENOMEM) && !d.codec) fail("out of memory");
    if (rc < 0) fail(avErrorText(rc));
    d.packet = av_packet_alloc();
    d.frame = av_frame_alloc();
    if (!d.packet || !d.frame) fail("out of memory");
    d.timeBase = st->time_base;
    d.startTime = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    d.pending.resize(size_t(d.channels));
    for (auto& ch : d.pending) ch.reserve(8192);

    const bool estimated = d.format->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE;
    int64_t claimed = -1;
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0 && !estimated)
        claimed = av_rescale_q(st->duration, d.timeBase, AVRational{1, d.rate});
    // A header is a claim: a few bytes can say "53 hours". Believed only as
    // far as the file's bytes could hold that much audio.
    const int64_t bytes = d.format->pb ? avio_size(d.format->pb) : -1;
    const int exactBits = av_get_exact_bits_per_sample(st->codecpar->codec_id);
    // Plain PCM states its byte rate and frame size twice: as fields of their
    // own, and as rate x channels x sample size. The demuxer cuts packets and
    // seeks by the fields and names the frame it lands on by them, so a
    // header whose fields lie would split frames between packets, put every
    // seek on other frames than it names, and read differently from the
    // middle than straight through.
    const bool plainPcm = st->codecpar->codec_id >= AV_CODEC_ID_PCM_S16LE &&
                          st->codecpar->codec_id < AV_CODEC_ID_ADPCM_IMA_QT;
    if (plainPcm && exactBits > 0 && exactBits % 8 == 0) {
        st->codecpar->bit_rate = int64_t(exactBits) * d.channels * d.rate;
        st->codecpar->block_align = exactBits / 8 * d.channels;
    }
    // A WAV file of another codec (ADPCM, GSM, G.729) has timestamps the
    // demuxer works out from the header's byte rate, which such a header
    // need not state exactly: a seek would land on other frames than it names
    // (measured: every frame wrong between 0.6 and 2 s into an ADPCM file
    // that ffmpeg itself wrote). Positions are found from the start instead.
    const std::string demuxer = d.format->iformat ? d.format->iformat->name : "";
    if (!plainPcm && (demuxer == "wav" || demuxer == "w64")) d.containerSeeks = false;
    int64_t holdable = std::numeric_limits<int64_t>::max();
    if (bytes >= 0 && exactBits > 0) {
        holdable = bytes * 8 / (int64_t(exactBits) * d.channels);
    } else if (bytes >= 0) {
        holdable = bytes * 8 / kMinBitsPerSecond * d.rate;
    }
    length_ = claimed >= 0 && claimed <= holdable ? claimed : d.countFrames();
    fileFormat_ =
        PCMFormat{CommonFormat::pcmFormatFloat32, double(d.rate), uint32_t(d.channels), false};
    processingFormat_ = fileFormat_;
}

AudioFile::~AudioFile() = default;

uint64_t AudioFile::nonFiniteSamples() const { return decoder_->nonFinite; }

void AudioFile::setFramePosition(int64_t frame) {
    position_ = std::clamp<int64_t>(frame, 0, length_);
}

uint32_t AudioFile::read(PCMBuffer& buffer, uint32_t frameCount) {
    if (!(buffer.format() == processingFormat_))
        throw AudioFileError("Read buffer does not match the file's processing format");
    Decoder& d = *decoder_;
    buffer.setFrameLength(0);
    const uint32_t wanted = std::min(frameCount, buffer.frameCapacity());
    if (wanted == 0) return 0;
    const int64_t from = position_;
    d.moveTo(from);
    uint32_t got = 0;
    float* const* out = buffer.floatChannelData();
    while (got < wanted) {
        if (d.pendingFrames() == 0) {
            d.compactPending();
            if (d.decodeMore()) continue;
            if (!d.afterSeek || d.cursor() >= length_) break;
            // An end before the length, met where the container's timestamps
            // put us: read again, counting from the start.
            d.distrustSeeks();
            d.moveTo(from);
            got = 0;
            continue;
        }
        const uint32_t take = uint32_t(std::min<int64_t>(wanted - got, d.pendingFrames()));
        for (int c = 0; c < d.channels; ++c)
            std::memcpy(out[c] + got, d.pending[size_t(c)].data() + d.pendingOffset,
                        size_t(take) * sizeof(float));
        d.pendingOffset += take;
        got += take;
    }
    if (d.pendingFrames() == 0) d.compactPending();
    position_ = d.cursor();
    buffer.setFrameLength(got);
    if (got < wanted) {
        // The real end: shorter (or longer) than the container said.
        length_ = position_;
        if (position_ == 0) throw AudioFileError("No decodable audio in " + path_);
    }
    return got;
}

}  // namespace platform
