#pragma once
// Audio files whose headers claim far more than they hold, written byte by
// byte at test time (the compressed ones from a short file ffmpeg makes, cut
// down and patched), and float WAV files holding any sample values.

#include <cstdint>
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

// A 32 kbps 44.1 kHz mono MP3 of `seconds`, cut to its first `keepBytes`
// bytes (all when 0), whose info header claims `claimedFrames` MP3 frames of
// 1152 samples each.
inline std::string mp3Claiming(const std::filesystem::path& scratch, double seconds,
                               size_t keepBytes, uint32_t claimedFrames) {
    const auto made = makeAudio(scratch / "source.mp3", sine(440, 0.5), 44100, seconds,
                                "-ac 1 -c:a libmp3lame -b:a 32k -id3v2_version 0 -write_id3v1 0");
    std::string s = readFile(made);
    if (keepBytes > 0) s = s.substr(0, keepBytes);
    size_t tag = s.find("Info");
    if (tag == std::string::npos) tag = s.find("Xing");
    if (tag == std::string::npos || s.size() < tag + 12 || (s[tag + 7] & 1) == 0)
        throw std::runtime_error("no frame count in the MP3 info header");
    for (int i = 0; i < 4; ++i)
        s[tag + 8 + size_t(i)] = char((claimedFrames >> (24 - 8 * i)) & 0xff);
    return s;
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
