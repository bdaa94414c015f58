#include "verbolin/listening/DebugRecorder.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "platform/system/Date.hpp"
#include "platform/system/WriteAll.hpp"

namespace verbolin {

// An append-only file descriptor. Writes go straight to the kernel, so the
// log survives a crash of the process up to its last complete line.
struct DebugRecorder::File {
    int fd = -1;
    off_t size = 0;  // bytes of whole records written
    std::string name;
    const WriteHook* beforeWrite = nullptr;

    // Creates or empties the file, then opens it for writing; null when that
    // fails.
    static std::unique_ptr<File> create(const std::filesystem::path& path,
                                        const WriteHook& beforeWrite) {
        // The user's voice: theirs alone, whatever the umask.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return nullptr;
        auto f = std::make_unique<File>();
        f->fd = fd;
        f->name = path.filename().string();
        if (beforeWrite) f->beforeWrite = &beforeWrite;
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
        if (beforeWrite) (*beforeWrite)(name, bytes);
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

DebugRecorder::DebugRecorder(std::filesystem::path directory, const platform::Clock& clock,
                             DebugRecorderLimits limits, WriteHook beforeWrite)
    : directory_(std::move(directory)),
      clock_(clock),
      limits_(limits),
      beforeWrite_(std::move(beforeWrite)),
      start_(clock.now()) {
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
}

DebugRecorder::~DebugRecorder() { close(); }

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

namespace {

// Whether `bytes` more stay within `limit` on top of `queued`.
bool fits(size_t bytes, size_t queued, size_t limit) {
    return bytes <= limit - std::min(limit, queued);
}

}  // namespace

bool DebugRecorder::admit(Kind kind, size_t bytes) {
    switch (kind) {
        case Kind::line:
            if (backlog_.eventLines >= limits_.eventLines) return false;
            ++backlog_.eventLines;
            refusedLines_.reset();
            return true;
        case Kind::sessionAudio:
            if (!fits(bytes, backlog_.sessionAudioBytes, limits_.sessionAudioBytes)) return false;
            backlog_.sessionAudioBytes += bytes;
            refusedAudio_.reset();
            return true;
        case Kind::utterance:
            if (!fits(bytes, backlog_.utteranceBytes, limits_.utteranceBytes)) return false;
            backlog_.utteranceBytes += bytes;
            return true;
    }
    return false;
}

void DebugRecorder::refuse(Kind kind, uint64_t count) {
    // An utterance kept out has no file, as on a full disk; nothing to count.
    if (kind == Kind::utterance) return;
    std::shared_ptr<Refused>& run = kind == Kind::line ? refusedLines_ : refusedAudio_;
    if (!run) {
        // The marker sits after every record admitted before this refusal
        // and before every one admitted after it, which is where the gap is.
        run = std::make_shared<Refused>();
        queue_.post([this, run, kind] { takeRefused(run, kind); });
    }
    run->count += count;
}

void DebugRecorder::takeRefused(const std::shared_ptr<Refused>& run, Kind kind) {
    uint64_t count = 0;
    {
        std::lock_guard lock(mutex_);
        count = run->count;
        // Refusals from now on belong after whatever the writer takes next.
        if (refusedLines_ == run) refusedLines_.reset();
        if (refusedAudio_ == run) refusedAudio_.reset();
    }
    // Without a file to write into, the records would have been lost anyway,
    // uncounted (before the first session).
    if (kind == Kind::line) {
        if (!log_) return;
        droppedLines_ += count;
        reportDroppedLines();
    } else {
        if (!session_) return;
        droppedSamples_ += count;
        reportDroppedAudio();
    }
}

void DebugRecorder::written(Kind kind, size_t bytes) {
    std::lock_guard lock(mutex_);
    switch (kind) {
        case Kind::line:
            --backlog_.eventLines;
            break;
        case Kind::sessionAudio:
            backlog_.sessionAudioBytes -= bytes;
            break;
        case Kind::utterance:
            backlog_.utteranceBytes -= bytes;
            break;
    }
}

bool DebugRecorder::expired() const {
    std::lock_guard lock(mutex_);
    return backlog_.closing && clock_.now() >= deadline_;
}

DebugRecorder::Backlog DebugRecorder::backlog() const {
    std::lock_guard lock(mutex_);
    return backlog_;
}

void DebugRecorder::reportDroppedLines() {
    if (droppedLines_ > 0 && log_ &&
        writeRecord("events_dropped", "lines=" + std::to_string(droppedLines_)))
        droppedLines_ = 0;
}

void DebugRecorder::reportDroppedAudio() {
    // The log says where in the recording the gap is and how long, so a
    // replay can keep its times. A count whose line could not be written
    // stays for the next try.
    if (droppedSamples_ > 0 && session_ && logDroppedAudio(session_->size / 2)) droppedSamples_ = 0;
}

bool DebugRecorder::logDroppedAudio(off_t at) {
    return writeLine("audio_dropped",
                     "samples=" + std::to_string(droppedSamples_) + " at=" + std::to_string(at));
}

bool DebugRecorder::writeLine(const std::string& name, const std::string& detail,
                              std::optional<platform::Date> at) {
    if (!log_) return false;
    // Lines lost since the log last took a write are counted, and the count
    // is the first thing written once there is room again.
    reportDroppedLines();
    if (writeRecord(name, detail, at)) return true;
    ++droppedLines_;
    return false;
}

bool DebugRecorder::writeRecord(const std::string& name, const std::string& detail,
                                std::optional<platform::Date> at) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%8.3f",
                  platform::secondsBetween(start_, at ? *at : clock_.now()));
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
    if (!log_) log_ = File::create(directory_ / "events.log", beforeWrite_);
    if (!session_) session_ = File::create(directory_ / "session.pcm", beforeWrite_);
}

void DebugRecorder::beginSession() {
    std::lock_guard lock(mutex_);
    if (backlog_.closing) return;
    const bool first = !sessionBegun_;
    if (first) {
        sessionBegun_ = true;
        utteranceCount_ = 0;
    }
    // Whatever was refused before now is counted before the session's line.
    refusedLines_.reset();
    refusedAudio_.reset();
    // The time base and the wall-clock time are the moment of the call, not
    // of a write that a slow disk may hold up.
    queue_.post([this, first, now = clock_.now()] {
        if (first) {
            began_ = true;
            start_ = now;
        }
        openMissingFiles();
        writeLine(first ? "session_start" : "session_restart",
                  "wallclock=" + platform::formatISO8601(now), now);
    });
}

void DebugRecorder::event(std::string name, std::string detail) {
    std::lock_guard lock(mutex_);
    if (backlog_.closing) return;
    if (!admit(Kind::line, 0)) {
        refuse(Kind::line, 1);
        return;
    }
    queue_.post([this, name = std::move(name), detail = std::move(detail)] {
        if (!expired())
            writeLine(name, detail);
        else if (log_)
            ++droppedLines_;
        written(Kind::line, 0);
    });
}

void DebugRecorder::audio(std::span<const float> samples) {
    // Converted before taking the lock: callers on other threads never wait
    // for each other's conversion.
    std::vector<uint8_t> bytes = pcm16(samples);
    std::lock_guard lock(mutex_);
    if (backlog_.closing) return;
    if (!admit(Kind::sessionAudio, bytes.size())) {
        refuse(Kind::sessionAudio, samples.size());
        return;
    }
    queue_.post([this, bytes = std::move(bytes)] {
        writeAudio(bytes);
        written(Kind::sessionAudio, bytes.size());
    });
}

void DebugRecorder::writeAudio(const std::vector<uint8_t>& bytes) {
    if (!session_) return;
    if (expired() || !session_->write(bytes.data(), bytes.size())) {
        droppedSamples_ += bytes.size() / 2;
        return;
    }
    // The recording resumes after a gap: its count is logged at the place
    // where this buffer begins. Should that line fail, the count goes with
    // it (the line is counted instead): kept, it would be logged later at
    // the wrong place.
    if (droppedSamples_ > 0) {
        logDroppedAudio(session_->size / 2 - off_t(bytes.size() / 2));
        droppedSamples_ = 0;
    }
}

void DebugRecorder::runAndWait(std::function<void()> work) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> wait = done->get_future();
    {
        std::lock_guard lock(mutex_);
        if (backlog_.closing) return;
        queue_.post([work = std::move(work), done] {
            work();
            done->set_value();
        });
    }
    // Waited for outside the lock, which the writer takes for its bookkeeping.
    wait.get();
}

int64_t DebugRecorder::utterance(std::span<const float> samples) {
    const int64_t number = nextUtteranceNumber();
    // The caller waits for this one, so it never piles up: not bounded.
    runAndWait([this, bytes = pcm16(samples), number] { writeUtterance(bytes, number); });
    return number;
}

int64_t DebugRecorder::nextUtteranceNumber() {
    std::lock_guard lock(mutex_);
    return ++utteranceCount_;
}

int64_t DebugRecorder::utterance(std::span<const float> samples, int64_t number) {
    std::vector<uint8_t> bytes = pcm16(samples);
    std::lock_guard lock(mutex_);
    if (backlog_.closing) return number;
    if (!admit(Kind::utterance, bytes.size())) return number;
    queue_.post([this, bytes = std::move(bytes), number] {
        writeUtterance(bytes, number);
        written(Kind::utterance, bytes.size());
    });
    return number;
}

void DebugRecorder::writeUtterance(const std::vector<uint8_t>& bytes, int64_t number) {
    if (expired()) return;
    const auto path = directory_ / ("utterance-" + std::to_string(number) + ".pcm");
    // A file holding part of an utterance would pass for all of it.
    if (auto f = File::create(path, beforeWrite_); f && !f->write(bytes.data(), bytes.size())) {
        f.reset();
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
}

void DebugRecorder::flush() {
    runAndWait([] {});
}

void DebugRecorder::close() {
    {
        std::lock_guard lock(mutex_);
        if (!backlog_.closing) {
            backlog_.closing = true;
            deadline_ = clock_.now() +
                        std::chrono::duration_cast<platform::Date::duration>(limits_.exitAllowance);
            // After everything queued (refusal markers included): what could
            // not be written in time is still counted in the log.
            queue_.post([this] {
                reportDroppedAudio();
                reportDroppedLines();
            });
        }
    }
    queue_.shutdown();
}

}  // namespace verbolin
