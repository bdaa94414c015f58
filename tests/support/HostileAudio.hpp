#pragma once
// Audio files whose headers claim far more (or far less) than they hold,
// written byte by byte at test time (the compressed ones from a short file
// ffmpeg makes, cut down and patched), and float WAV files holding any
// sample values.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/GeneratedAudio.hpp"
#include "support/TempDir.hpp"

namespace testsupport {

inline void appendLE(std::string& s, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s.push_back(char((v >> (8 * i)) & 0xff));
}

// 58 bytes of 16-bit mono PCM at 22.5 kHz whose "fact" and "data" chunks
// claim 2^32 - 1 frames (53 hours); one frame is there.
inline std::string wavClaiming53Hours() {
    const uint32_t rate = 22500;
    std::string s = "RIFF";
    appendLE(s, 50, 4);
    s += "WAVEfmt ";
    appendLE(s, 16, 4);
    appendLE(s, 1, 2);  // PCM
    appendLE(s, 1, 2);  // mono
    appendLE(s, rate, 4);
    appendLE(s, rate * 2, 4);
    appendLE(s, 2, 2);
    appendLE(s, 16, 2);
    s += "fact";
    appendLE(s, 4, 4);
    appendLE(s, 0xFFFFFFFFu, 4);
    s += "data";
    appendLE(s, 0xFFFFFFFFu, 4);
    s += std::string("\x10\x20", 2);
    return s;
}

// A WAV of 32-bit float samples (format 3), mono.
inline std::string floatWav(uint32_t rate, const std::vector<float>& samples) {
    const auto dataBytes = uint32_t(samples.size() * 4);
    std::string s = "RIFF";
    appendLE(s, 36 + dataBytes, 4);
    s += "WAVEfmt ";
    appendLE(s, 16, 4);
    appendLE(s, 3, 2);
    appendLE(s, 1, 2);
    appendLE(s, rate, 4);
    appendLE(s, rate * 4, 4);
    appendLE(s, 4, 2);
    appendLE(s, 32, 2);
    s += "data";
    appendLE(s, dataBytes, 4);
    for (float v : samples) {
        uint32_t bits = 0;
        std::memcpy(&bits, &v, 4);
        appendLE(s, bits, 4);
    }
    return s;
}

inline void putBE(std::string& s, size_t at, uint64_t v, int bytes) {
    if (at + size_t(bytes) > s.size()) throw std::runtime_error("header field past the end");
    for (int i = 0; i < bytes; ++i) s[at + size_t(i)] = char((v >> (8 * (bytes - 1 - i))) & 0xff);
}

inline uint64_t getBE(const std::string& s, size_t at, int bytes) {
    if (at + size_t(bytes) > s.size()) throw std::runtime_error("header field past the end");
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | uint8_t(s[at + size_t(i)]);
    return v;
}

// An MP3 whose Xing/Info header claims `frames` MP3 frames.
inline std::string mp3WithFrameCount(std::string s, uint32_t frames) {
    size_t tag = s.find("Info");
    if (tag == std::string::npos) tag = s.find("Xing");
    if (tag == std::string::npos || s.size() < tag + 12 || (s[tag + 7] & 1) == 0)
        throw std::runtime_error("no frame count in the MP3 info header");
    putBE(s, tag + 8, frames, 4);
    return s;
}

// A FLAC file (as ffmpeg writes it: the stream header first) whose stream
// header claims `samples` samples: the low 36 bits of its bytes 13..17.
inline std::string flacWithSampleCount(std::string s, uint64_t samples) {
    if (s.compare(0, 4, "fLaC") != 0 || (s[4] & 0x7f) != 0)
        throw std::runtime_error("not a FLAC file");
    const size_t info = 8;
    s[info + 13] = char((s[info + 13] & 0xF0) | ((samples >> 32) & 0x0F));
    putBE(s, info + 14, samples & 0xFFFFFFFFu, 4);
    return s;
}

// An MP4 file whose movie and media headers ("mvhd", "mdhd") claim a
// `divisor`th of their durations.
inline std::string mp4WithDurationsDividedBy(std::string s, uint64_t divisor) {
    int patched = 0;
    for (const char* box : {"mvhd", "mdhd"}) {
        for (size_t at = s.find(box); at != std::string::npos; at = s.find(box, at + 4)) {
            // version, flags, creation and modification times, time scale
            const bool wide = s.at(at + 4) == 1;
            const size_t field = at + 8 + (wide ? 16 : 8) + 4;
            const int bytes = wide ? 8 : 4;
            putBE(s, field, getBE(s, field, bytes) / divisor, bytes);
            ++patched;
        }
    }
    if (patched < 2) throw std::runtime_error("no movie and media headers in the MP4 file");
    return s;
}

// An AIFF file whose "COMM" chunk claims `frames` sample frames.
inline std::string aiffWithFrameCount(std::string s, uint32_t frames) {
    const size_t comm = s.find("COMM");
    if (s.compare(0, 4, "FORM") != 0 || comm == std::string::npos)
        throw std::runtime_error("not an AIFF file");
    putBE(s, comm + 10, frames, 4);
    return s;
}

// A 32 kbps 44.1 kHz mono MP3 of `seconds`, cut to its first `keepBytes`
// bytes (all when 0), whose info header claims `claimedFrames` MP3 frames of
// 1152 samples each.
inline std::string mp3Claiming(const std::filesystem::path& scratch, double seconds,
                               size_t keepBytes, uint32_t claimedFrames) {
    const auto made = makeAudio(scratch / "source.mp3", sine(440, 0.5), 44100, seconds,
                                "-ac 1 -c:a libmp3lame -b:a 32k -id3v2_version 0 -write_id3v1 0");
    std::string s = readFile(made);
    if (keepBytes > 0) s = s.substr(0, keepBytes);
    return mp3WithFrameCount(std::move(s), claimedFrames);
}

// What ffmpeg itself decodes from a file, as 16 kHz mono float: the reference
// the loaders are held to.
inline std::vector<float> ffmpegDecode(const std::filesystem::path& file,
                                       const std::filesystem::path& scratch) {
    const auto raw = scratch / "reference.f32";
    runTool("ffmpeg -nostdin -y -loglevel error -i '" + file.string() +
            "' -f f32le -ac 1 -ar 16000 '" + raw.string() + "'");
    const std::string bytes = readFile(raw);
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

// 16 kHz mono files whose headers claim a third of the audio they hold or
// less, as simple tools leave them: cut or joined MP3s keep the first part's
// info frame, recordings stopped abruptly an early FLAC stream header.
struct UnderclaimingFile {
    std::string name;
    std::string bytes;
    float tolerance;  // against ffmpeg's own decode: 0 for lossless codecs
};

inline std::vector<UnderclaimingFile> underclaimingFiles(const std::filesystem::path& scratch) {
    auto tone = [&](const char* name, double seconds, const std::string& codec) {
        return readFile(makeAudio(scratch / name, sine(440, 0.5), 16000, seconds, codec));
    };
    return {
        // 48,000 samples said to be 16,000.
        {"claims-1s-of-3.flac", flacWithSampleCount(tone("3s.flac", 3, "-c:a flac"), 16000), 0},
        // 86 MP3 frames said to be 10.
        {"claims-10-of-86-frames.mp3",
         mp3WithFrameCount(tone("3s.mp3", 3, "-c:a libmp3lame -b:a 32k"), 10), 1e-6f},
        {"claims-1s-of-3.m4a", mp4WithDurationsDividedBy(tone("3s.m4a", 3, "-c:a aac"), 3), 1e-6f},
        // As the fuzzer found it: 12,000 samples said to be 4,000.
        {"claims-4000-of-12000.flac",
         flacWithSampleCount(tone("0.75s.flac", 0.75, "-c:a flac"), 4000), 0},
    };
}

// 385 bytes of MP3 (its info frame and about two audio frames) whose info
// header claims two million frames (15 hours).
inline std::string mp3Claiming15Hours(const std::filesystem::path& scratch) {
    return mp3Claiming(scratch, 2, 385, 2000000);
}

// 56 bytes of FLAC: the stream header claiming 2^32 - 1 samples at 44.1 kHz
// (27 hours) and the first 14 bytes of a frame.
inline std::string flacClaiming27Hours(const std::filesystem::path& scratch) {
    const std::string f =
        readFile(makeAudio(scratch / "source.flac", sine(440, 0.5), 44100, 1, "-c:a flac"));
    if (f.compare(0, 4, "fLaC") != 0) throw std::runtime_error("not a FLAC file");
    size_t pos = 4;
    std::string streamInfo;
    for (bool last = false; !last;) {
        if (pos + 4 > f.size()) throw std::runtime_error("damaged FLAC metadata");
        last = (f[pos] & 0x80) != 0;
        const size_t length = (size_t(uint8_t(f[pos + 1])) << 16) |
                              (size_t(uint8_t(f[pos + 2])) << 8) | size_t(uint8_t(f[pos + 3]));
        if ((f[pos] & 0x7f) == 0) streamInfo = f.substr(pos + 4, length);
        pos += 4 + length;
    }
    if (streamInfo.size() != 34) throw std::runtime_error("no FLAC stream header");
    // The sample count is the low 36 bits of bytes 13..17.
    streamInfo[13] = char(streamInfo[13] & 0xF0);
    for (size_t i = 14; i < 18; ++i) streamInfo[i] = char(0xFF);
    std::string s = "fLaC";
    s += char(0x80);  // the last (and only) metadata block
    appendLE(s, 0, 2);
    s += char(34);
    return s + streamInfo + f.substr(pos, 14);
}

}  // namespace testsupport
