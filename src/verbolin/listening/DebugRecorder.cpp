#include "verbolin/listening/DebugRecorder.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/system/Date.hpp"
#include "platform/system/WriteAll.hpp"

namespace verbolin {

// An append-only file descriptor. Writes go straight to the kernel, so the
// log survives a crash of the process up to its last complete line.
struct DebugRecorder::File {
    int fd = -1;
    off_t size = 0;  // bytes of whole records written

    // Creates or empties the file, then opens it for writing; null when that
    // fails.
    static std::unique_ptr<File> create(const std::filesystem::path& path) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return nullptr;
        auto f = std::make_unique<File>();
        f->fd = fd;
        return f;
    }
    ~File() {
        if (fd >= 0) ::close(fd);
    }
    // Writes one record (a log line, a buffer of samples) whole or not at
    // all. A full disk cuts a write short at a block boundary; the part that
    // got through is taken back, or the next record written once there is
    // room again would be glued to it: a garbled log line, or the head of a
    // buffer run into later audio with nothing to show the gap. A failed
    // write is dropped, never retried: diagnostics must not hold up listening.
    bool write(const void* data, size_t bytes) {
        if (platform::writeAll(fd, data, bytes) == 0) {
            size += off_t(bytes);
            return true;
        }
        // Best effort: should the truncation fail too, the next record still
        // starts where this one began and overwrites its remains.
        [[maybe_unused]] const int truncated = ::ftruncate(fd, size);
        ::lseek(fd, size, SEEK_SET);
        return false;
    }
};

std::shared_ptr<DebugRecorder> DebugRecorder::shared() {
    static const std::shared_ptr<DebugRecorder> recorder = fromEnvironment();
    return recorder;
}

std::shared_ptr<DebugRecorder> DebugRecorder::fromEnvironment() {
    const char* dir = std::getenv("VERBOLIN_DEBUG_DIR");
    if (!dir || !*dir) return nullptr;
    return std::make_shared<DebugRecorder>(dir);
}

bool DebugRecorder::autoStart() {
    const char* v = std::getenv("VERBOLIN_AUTOSTART");
    return v && std::string_view(v) == "1";
}

DebugRecorder::DebugRecorder(std::filesystem::path directory, const platform::Clock& clock)
    : directory_(std::move(directory)), clock_(clock), start_(clock.now()) {
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
}

DebugRecorder::~DebugRecorder() { queue_.shutdown(); }

std::vector<uint8_t> DebugRecorder::pcm16(std::span<const float> samples) {
    std::vector<uint8_t> out(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        float x = samples[i];
        // NaN would make the integer conversion undefined; infinities are as
        // meaningless in a recording, so both are written as silence.
        if (!std::isfinite(x)) x = 0;
        x = std::min(1.0f, std::max(-1.0f, x));
        auto v = int16_t(x * 32767.0f);  // truncates toward zero
        out[2 * i] = uint8_t(uint16_t(v) & 0xFF);
        out[2 * i + 1] = uint8_t(uint16_t(v) >> 8);
    }
    return out;
}

void DebugRecorder::writeLine(const std::string& name, const std::string& detail) {
    if (!log_) return;
    // Lines lost while the disk was full are counted, and the count is the
    // first thing written once there is room again.
    if (droppedLines_ > 0 &&
        writeRecord("events_dropped", "lines=" + std::to_string(droppedLines_)))
        droppedLines_ = 0;
    if (!writeRecord(name, detail)) ++droppedLines_;
}

bool DebugRecorder::writeRecord(const std::string& name, const std::string& detail) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%8.3f", platform::secondsBetween(start_, clock_.now()));
    std::string line;
    line.reserve(name.size() + detail.size() + 16);
    line += seconds;
    line += '\t';
    line += name;
    line += '\t';
    line += detail;
    line += '\n';
    return log_->write(line.data(), line.size());
}

void DebugRecorder::openMissingFiles() {
    // Tried again at every session start: a directory or file that could not
    // be made (a full disk, a folder not yet mounted) is recorded into once
    // it can be. A file already open is never emptied again.
    if (log_ && session_) return;
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    if (!log_) log_ = File::create(directory_ / "events.log");
    if (!session_) session_ = File::create(directory_ / "session.pcm");
}

void DebugRecorder::beginSession() {
    queue_.call([this] {
        bool first = !began_;
        if (first) {
            began_ = true;
            start_ = clock_.now();
            utteranceCount_ = 0;
        }
        openMissingFiles();
        writeLine(first ? "session_start" : "session_restart",
                  "wallclock=" + platform::formatISO8601(clock_.now()));
    });
}

void DebugRecorder::event(std::string name, std::string detail) {
    queue_.post(
        [this, name = std::move(name), detail = std::move(detail)] { writeLine(name, detail); });
}

void DebugRecorder::audio(std::span<const float> samples) {
    queue_.post([this, bytes = pcm16(samples)] {
        if (!session_) return;
        const auto at = session_->size / 2;
        if (!session_->write(bytes.data(), bytes.size())) {
            droppedSamples_ += bytes.size() / 2;
            return;
        }
        // The recording resumes after a gap: the log says where and how long,
        // so a replay can keep its times.
        if (droppedSamples_ > 0) {
            writeLine("audio_dropped",
                      "samples=" + std::to_string(droppedSamples_) + " at=" + std::to_string(at));
            droppedSamples_ = 0;
        }
    });
}

int64_t DebugRecorder::utterance(std::span<const float> samples) {
    return utterance(samples, nextUtteranceNumber());
}

int64_t DebugRecorder::nextUtteranceNumber() {
    return queue_.call([this] { return ++utteranceCount_; });
}

int64_t DebugRecorder::utterance(std::span<const float> samples, int64_t number) {
    return queue_.call([this, samples, number] {
        auto bytes = pcm16(samples);
        const auto path = directory_ / ("utterance-" + std::to_string(number) + ".pcm");
        // A file holding part of an utterance would pass for all of it.
        if (auto f = File::create(path); f && !f->write(bytes.data(), bytes.size())) {
            f.reset();
            std::error_code ec;
            std::filesystem::remove(path, ec);
        }
        return number;
    });
}

void DebugRecorder::flush() {
    queue_.call([] {});
}

}  // namespace verbolin
