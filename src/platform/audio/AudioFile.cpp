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
// An honest header's length and the sum of its packets' durations differ by
// the codec's priming and end padding (up to 1024 + 1024 frames of AAC,
// 1105 + 1152 of MP3). Packets beyond that hold audio the header leaves out.
constexpr int64_t kPaddingFrames = 4096;

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

// An AIFF header whose "COMM" chunk claims more sample frames than the file
// could hold; the demuxer refuses such a file with a bare -1, which reads as
// "Operation not permitted". Returns what is wrong, naming the claim.
std::optional<std::string> overclaimingAiff(const std::string& path, uintmax_t fileSize) {
    std::ifstream in(path, std::ios::binary);
    char head[12];
    if (!in.read(head, sizeof head) || std::memcmp(head, "FORM", 4) != 0 ||
        (std::memcmp(head + 8, "AIFF", 4) != 0 && std::memcmp(head + 8, "AIFC", 4) != 0))
        return std::nullopt;
    auto bigEndian = [](const unsigned char* p, int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
        return v;
    };
    uintmax_t at = sizeof head;
    for (int chunk = 0; chunk < 1024 && at + 8 <= fileSize; ++chunk) {
        unsigned char header[16];
        if (!in.seekg(std::streamoff(at)) || !in.read(reinterpret_cast<char*>(header), 16)) break;
        const uint64_t size = bigEndian(header + 4, 4);
        if (std::memcmp(header, "COMM", 4) == 0) {
            const uint64_t channels = std::max<uint64_t>(bigEndian(header + 8, 2), 1);
            const uint64_t frames = bigEndian(header + 10, 4);
            const uint64_t frameBytes =
                channels * std::max<uint64_t>((bigEndian(header + 14, 2) + 7) / 8, 1);
            if (frames * frameBytes <= fileSize) return std::nullopt;
            return "its header claims " + std::to_string(frames) +
                   " frames of audio, more than the file's " + std::to_string(fileSize) +
                   " bytes hold";
        }
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}

// Why FFmpeg could not open the file. Some demuxers report a damaged header
// as a bare -1, whose text ("Operation not permitted") means nothing here.
std::string openFailureText(const std::string& path, uintmax_t fileSize, int rc) {
    if (rc == AVERROR(EPERM)) {
        if (const auto why = overclaimingAiff(path, fileSize)) return *why;
        return "the file is damaged: its header could not be read";
    }
    return avErrorText(rc);
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
    std::string path;
    int stream = -1;
    bool plainPcm = false;
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
    // No audio lies beyond the length but padding: the end has been met,
    // or every packet was counted. Otherwise reads and seeks that reach the
    // length look for audio beyond it.
    bool endKnown = false;
    int64_t primingLeft = 0;  // of the priming marked on a frame shorter than it
    uint64_t nonFinite = 0;   // samples delivered as 0

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
    // sample. The decoder marks the whole priming on the first frame, which
    // may be shorter (an MP3 at 16 kHz primes 1105 samples, its frames hold
    // 576): the rest is dropped from the frames after it. Returns how many
    // of the frame's samples were dropped.
    int trim(int samples) {
        const AVFrameSideData* side = av_frame_get_side_data(frame, AV_FRAME_DATA_SKIP_SAMPLES);
        const bool marked = side && side->size >= 8;
        if (marked && !afterSeek) primingLeft += int64_t(AV_RL32(side->data));
        const int64_t atEnd = marked ? int64_t(AV_RL32(side->data + 4)) : 0;
        const int64_t head = std::min<int64_t>(primingLeft, samples);
        primingLeft -= head;
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

    // Opens the demuxer (again), closing what was open; an FFmpeg error code
    // when it cannot be had.
    int openFormat() {
        avformat_close_input(&format);
        int rc = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
        if (rc >= 0) rc = avformat_find_stream_info(format, nullptr);
        return rc;
    }

    // Only our stream is read (a video's pictures need not be); a plain PCM
    // header's byte rate and frame size are mended. Plain PCM states them
    // twice: as fields of their own, and as rate x channels x sample size.
    // The demuxer cuts packets and seeks by the fields and names the frame
    // it lands on by them, so a header whose fields lie would split frames
    // between packets, put every seek on other frames than it names, and
    // read differently from the middle than straight through.
    void prepareStream() {
        for (unsigned i = 0; i < format->nb_streams; ++i)
            if (int(i) != stream) format->streams[i]->discard = AVDISCARD_ALL;
        AVCodecParameters* par = format->streams[stream]->codecpar;
        const int bits = av_get_exact_bits_per_sample(par->codec_id);
        if (plainPcm && bits > 0 && bits % 8 == 0) {
            par->bit_rate = int64_t(bits) * channels * rate;
            par->block_align = bits / 8 * channels;
        }
    }

    // A new decoder context (the priming to mark is counted from its opening,
    // so decoding from the start again needs a fresh one); an FFmpeg error
    // code when it cannot be had.
    int openCodec() {
        primingLeft = 0;
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
        primingLeft = 0;
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
    // The file is opened afresh: a seek back to the start would not give
    // what the first opening did. The demuxer marks the codec's priming on
    // the first packet only as it reads it from the start (an MP3's first
    // packet has time 0, and the seek lands on its start time, the priming's
    // end: a 16 kHz MP3 read again from the start lost its first frame and
    // all of its priming but that frame's).
    void rewind() {
        int rc = openFormat();
        if (rc >= 0 && (unsigned(stream) >= format->nb_streams ||
                        format->streams[stream]->codecpar->codec_id != decoder->id))
            rc = AVERROR_INVALIDDATA;  // the file changed under us
        if (rc < 0) throw AudioFileError("Cannot read " + path + " again: " + avErrorText(rc));
        prepareStream();
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

    // Whether another frame follows the next one read() would deliver; it
    // is decoded into `pending` to find out.
    bool moreAhead() { return pendingFrames() > 0 || decodeMore(); }

    // The length to start from. A header's length is a claim: believed as
    // far as the file's bytes could hold it (a few bytes can say "53
    // hours"), and, for a compressed stream, only when its packets do not
    // go on past it. A file cut or joined by simple tools keeps its first
    // part's header, a recording stopped abruptly an early one: their
    // packets are counted, and the header's timing, which seeks by the
    // claim (an MP3's table of contents) rely on, is not trusted either.
    // Plain PCM ends where its header says, as every player has it.
    int64_t settleLength(const std::string& path, int64_t claimed, int64_t holdable,
                         bool plainPcm) {
        const bool believable = claimed >= 0 && claimed <= holdable;
        if (believable && plainPcm) {
            endKnown = true;  // the demuxer stops where the header says
            return claimed;
        }
        const int64_t counted = countFrames(path);
        if (!believable) return counted;
        if (counted <= claimed + kPaddingFrames) return claimed;
        containerSeeks = false;
        return counted;
    }

    // The frames the packets of the stream say they hold, codec padding
    // included; the end is known unless a packet did not say. Counted
    // through a second opening of the file: seeking this one back to the
    // start would lose what the demuxer marks on the first packets only
    // (the priming to drop). 0 when the file cannot be opened again.
    int64_t countFrames(const std::string& path) {
        AVFormatContext* counting = nullptr;
        endKnown = false;
        if (avformat_open_input(&counting, path.c_str(), nullptr, nullptr) < 0) return 0;
        const std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> closing(
            &counting, avformat_close_input);
        if (avformat_find_stream_info(counting, nullptr) < 0 ||
            unsigned(stream) >= counting->nb_streams)
            return 0;
        for (unsigned i = 0; i < counting->nb_streams; ++i)
            if (int(i) != stream) counting->streams[i]->discard = AVDISCARD_ALL;
        const AVRational base = counting->streams[stream]->time_base;
        int64_t frames = 0;
        int64_t firstTime = AV_NOPTS_VALUE;
        endKnown = true;
        while (av_read_frame(counting, packet) >= 0) {
            if (packet->stream_index == stream) {
                if (firstTime == AV_NOPTS_VALUE) firstTime = packet->pts;
                if (packet->duration > 0)
                    frames += av_rescale_q(packet->duration, base, AVRational{1, rate});
                else
                    endKnown = false;
            }
            av_packet_unref(packet);
        }
        // Packets before the stream's start time hold the priming (an edit
        // list's, an MP3's), which is not part of the audio.
        if (firstTime != AV_NOPTS_VALUE && firstTime < startTime)
            frames -=
                std::min(frames, av_rescale_q(startTime - firstTime, base, AVRational{1, rate}));
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

    const uintmax_t fileSize = std::filesystem::file_size(path, ec);
    if (const auto why = oversizedWavChunk(path, fileSize); why && !ec) fail(*why);

    Decoder& d = *decoder_;
    d.path = path;
    int rc = d.openFormat();
    if (rc < 0) fail(openFailureText(path, ec ? 0 : fileSize, rc));
    const AVCodec* codec = nullptr;
    d.stream = av_find_best_stream(d.format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (d.stream < 0 || codec == nullptr)
        fail(d.stream == AVERROR_DECODER_NOT_FOUND ? "no decoder for its audio"
                                                   : "it holds no audio stream");
    AVStream* st = d.format->streams[d.stream];
    d.plainPcm = st->codecpar->codec_id >= AV_CODEC_ID_PCM_S16LE &&
                 st->codecpar->codec_id < AV_CODEC_ID_ADPCM_IMA_QT;
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
    d.prepareStream();
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
    const bool plainPcm = d.plainPcm;
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
    holdable_ = holdable;
    length_ = d.settleLength(path, claimed, holdable, plainPcm);
    fileFormat_ =
        PCMFormat{CommonFormat::pcmFormatFloat32, double(d.rate), uint32_t(d.channels), false};
    processingFormat_ = fileFormat_;
}

AudioFile::~AudioFile() = default;

uint64_t AudioFile::nonFiniteSamples() const { return decoder_->nonFinite; }

void AudioFile::setFramePosition(int64_t frame) {
    frame = std::clamp<int64_t>(frame, 0, holdable_);
    Decoder& d = *decoder_;
    if (frame > length_ && !d.endKnown) {
        // Past the length, where the audio may yet go on: look there.
        d.moveTo(frame);
        if (d.cursor() >= frame && d.moreAhead()) {
            length_ = std::max(length_, d.cursor() + d.pendingFrames());
        } else {
            length_ = std::min(d.cursor(), frame);
            d.endKnown = true;
        }
    }
    position_ = std::min(frame, length_);
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
        d.endKnown = true;
        if (position_ == 0) throw AudioFileError("No decodable audio in " + path_);
    } else if (position_ > length_) {
        length_ = position_;  // more than the packets said
    } else if (position_ == length_ && !d.endKnown) {
        // At the length, with the end not met: whether audio goes on is
        // found out now, so that a caller reading up to length() reads on.
        if (d.moreAhead()) {
            length_ = position_ + d.pendingFrames();
        } else {
            length_ = position_;
            d.endKnown = true;
        }
    }
    return got;
}

}  // namespace platform
