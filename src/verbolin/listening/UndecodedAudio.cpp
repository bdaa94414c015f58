#include "verbolin/listening/UndecodedAudio.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include "platform/system/AtomicWrite.hpp"
#include "verbolin/listening/DebugRecorder.hpp"

namespace verbolin {
namespace {

void put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF);
}
void put16(std::string& out, uint16_t v) {
    out += char(v & 0xFF);
    out += char(v >> 8);
}

}  // namespace

std::string UndecodedAudio::wav(std::span<const float> samples) {
    constexpr uint32_t kRate = 16000;
    const std::vector<uint8_t> pcm = DebugRecorder::pcm16(samples);
    const auto dataBytes = uint32_t(pcm.size());
    std::string out;
    out.reserve(44 + pcm.size());
    out += "RIFF";
    put32(out, 36 + dataBytes);
    out += "WAVEfmt ";
    put32(out, 16);         // format chunk size
    put16(out, 1);          // PCM
    put16(out, 1);          // mono
    put32(out, kRate);      // sample rate
    put32(out, kRate * 2);  // bytes per second
    put16(out, 2);          // bytes per frame
    put16(out, 16);         // bits per sample
    out += "data";
    put32(out, dataBytes);
    out.append(reinterpret_cast<const char*>(pcm.data()), pcm.size());
    return out;
}

std::filesystem::path UndecodedAudio::keep(const std::filesystem::path& folder,
                                           std::span<const float> samples, platform::Date start) {
    namespace fs = std::filesystem;
    fs::create_directories(folder);
    std::string stamp = platform::formatISO8601(start);
    std::replace(stamp.begin(), stamp.end(), ':', '-');  // file managers dislike colons
    const std::string bytes = wav(samples);
    for (int n = 1;; ++n) {
        const fs::path file =
            folder / ("utterance " + stamp + (n == 1 ? "" : " " + std::to_string(n)) + ".wav");
        // Claim the name first, so that a file kept earlier is never replaced.
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            throw fs::filesystem_error("cannot create", file,
                                       std::error_code(errno, std::generic_category()));
        }
        ::close(fd);
        try {
            platform::writeFileAtomically(file, bytes);
        } catch (...) {
            std::error_code ignored;
            fs::remove(file, ignored);
            throw;
        }
        return file;
    }
}

}  // namespace verbolin
