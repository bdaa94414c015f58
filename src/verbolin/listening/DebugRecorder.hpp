#pragma once
// Optional diagnostics for the listening pipeline. When VERBOLIN_DEBUG_DIR
// names a directory, the process writes there a timestamped event log
// ("events.log"), the raw session audio ("session.pcm") and one raw file per
// finished utterance ("utterance-N.pcm"), all as 16-bit little-endian mono
// 16 kHz PCM, so a session can be replayed offline. All file work runs on the
// recorder's own serial executor, in call order.
//
// A write that fails (a full disk) is dropped at once and never retried, so
// diagnostics never hold up listening; a file holds whole lines and whole
// sample buffers only. Once writes go through again, "events_dropped" and
// "audio_dropped" lines in the log count what was lost, and an utterance
// that could not be written whole has no file.
//
// A disk that is slow rather than full (a network mount, a USB stick, a disk
// under load) must not hold up listening either, nor grow the process: what
// waits for the disk is bounded (DebugRecorderLimits). A record that would
// go over its bound is dropped at once and counted the same way, so the
// session recording's gaps stay exact: "audio_dropped samples=N at=S" says
// that N samples are missing from "session.pcm" before its sample S.
//
// Thread contract: every call may come from any thread. event(), audio(),
// nextUtteranceNumber(), utterance(samples, number) and beginSession() never
// wait for the disk; utterance(samples) and flush() do.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/system/Clock.hpp"
#include "platform/system/SerialExecutor.hpp"

namespace verbolin {

// How much may wait for the disk. Audio comes from the capture thread at
// 16 kHz whatever the disk does, so a disk slower than that would otherwise
// queue it without end.
struct DebugRecorderLimits {
    static constexpr size_t kAudioBytesPerSecond = 16000 * 2;

    // "session.pcm" bytes waiting: ten seconds rides out a disk that stalls
    // for a moment without dropping anything.
    size_t sessionAudioBytes = 10 * kAudioBytesPerSecond;
    // "utterance-N.pcm" bytes waiting: room for the longest utterance the
    // segmenter cuts (28 s) on top of a short one still being written.
    size_t utteranceBytes = 32 * kAudioBytesPerSecond;
    // "events.log" lines waiting: the pipeline logs a handful of lines a
    // second, so this is minutes of them (and a few hundred kB at most).
    size_t eventLines = 2048;
    // How long close() goes on writing what is queued. Within the bounds
    // above about 1.5 MB waits at most, which a disk writing 160 kB/s (five
    // times the audio rate) gets through in time; on a slower one the rest
    // is dropped and counted rather than holding up the exit.
    std::chrono::nanoseconds exitAllowance = std::chrono::seconds(10);
};

class DebugRecorder {
  public:
    // The process's recorder, made on first use from VERBOLIN_DEBUG_DIR;
    // null when the variable is unset or empty.
    static std::shared_ptr<DebugRecorder> shared();
    // A new recorder from the environment as it is now (what shared() keeps).
    static std::shared_ptr<DebugRecorder> fromEnvironment();
    // True exactly when VERBOLIN_AUTOSTART is "1".
    static bool autoStart();

    // Called on the writer thread before each write with the file's name
    // ("events.log", "session.pcm", "utterance-N.pcm") and the record's size.
    // Tests slow or hold the writer with it.
    using WriteHook = std::function<void(const std::string& file, size_t bytes)>;

    // What is queued and not yet written (the record being written counts).
    struct Backlog {
        size_t sessionAudioBytes = 0;
        size_t utteranceBytes = 0;
        size_t eventLines = 0;
        bool closing = false;  // close() has begun
    };

    // Creates the directory (a failure is ignored; later writes then fail
    // silently). Event times and the exit allowance are measured on `clock`,
    // which must outlive the recorder.
    explicit DebugRecorder(std::filesystem::path directory,
                           const platform::Clock& clock = platform::Clock::system(),
                           DebugRecorderLimits limits = {}, WriteHook beforeWrite = {});
    // close()s.
    ~DebugRecorder();

    DebugRecorder(const DebugRecorder&) = delete;
    DebugRecorder& operator=(const DebugRecorder&) = delete;

    // Queues, without waiting: the first call in the process opens
    // (emptying) "events.log" and "session.pcm", restarts the time base and
    // the utterance numbers; a later call opens only those that could not be
    // opened before (making the directory again). Every call then logs
    // "session_start" (first) or "session_restart" (later ones) with the
    // wall-clock time. Records made after it are written after it.
    void beginSession();

    // Logs "<seconds since start>\t<name>\t<detail>" without waiting; dropped
    // before the first session has begun, counted when over the bound.
    void event(std::string name, std::string detail);

    // Appends the samples to "session.pcm" without waiting, if it is open;
    // counted as a gap when over the bound.
    void audio(std::span<const float> samples);

    // Waits until the samples are written to the next "utterance-N.pcm"
    // (N counts from 1 per process, replacing an old file; removed again when
    // not all of it could be written) and returns N.
    int64_t utterance(std::span<const float> samples);
    // Takes the next N without waiting, so an utterance can carry its number
    // from its start; utterances that end empty leave a gap.
    int64_t nextUtteranceNumber();
    // Queues "utterance-<number>.pcm" (replacing an old file) and returns
    // number at once; over the bound the utterance gets no file.
    int64_t utterance(std::span<const float> samples, int64_t number);

    // Waits until everything queued so far is written; returns at once after
    // close().
    void flush();

    // Ends recording: writes what is queued until it is all written or the
    // exit allowance has passed, drops and counts the rest, logs what was
    // dropped and stops the writer. Records made after it are ignored. Waits
    // at most the allowance plus the writes already under way; must not be
    // called concurrently with itself.
    void close();

    Backlog backlog() const;

    const std::filesystem::path& directory() const { return directory_; }

    // The file form of a sample: non-finite values become 0, the rest are
    // clamped to [-1, 1], scaled by 32767 and truncated toward zero; each
    // result is two little-endian bytes.
    static std::vector<uint8_t> pcm16(std::span<const float> samples);

  private:
    struct File;
    // Records refused at the bound in a row, counted in a marker queued where
    // the first of them would have been, so the count lands at the right
    // place in the files.
    struct Refused {
        uint64_t count = 0;
    };
    enum class Kind { line, sessionAudio, utterance };

    // Under mutex_: whether a record of `bytes` fits its bound; if so it is
    // counted in the backlog and the refusal run of its kind ends.
    bool admit(Kind kind, size_t bytes);
    void refuse(Kind kind, uint64_t count);
    // On the writer, once a record has been written (or dropped).
    void written(Kind kind, size_t bytes);
    // On the writer: true once close()'s allowance has passed.
    bool expired() const;

    // A line is timed when it is written unless `at` says otherwise.
    bool writeLine(const std::string& name, const std::string& detail,
                   std::optional<platform::Date> at = std::nullopt);
    bool writeRecord(const std::string& name, const std::string& detail,
                     std::optional<platform::Date> at = std::nullopt);
    void writeAudio(const std::vector<uint8_t>& bytes);
    void writeUtterance(const std::vector<uint8_t>& bytes, int64_t number);
    // Runs `work` on the writer after everything queued before it and waits
    // for it; nothing once the recorder is closing.
    void runAndWait(std::function<void()> work);
    void reportDroppedAudio();
    // Logs the samples dropped so far as missing before sample `at` of
    // "session.pcm"; true when the line was written.
    bool logDroppedAudio(off_t at);
    void reportDroppedLines();
    void takeRefused(const std::shared_ptr<Refused>& run, Kind kind);
    void openMissingFiles();

    const std::filesystem::path directory_;
    const platform::Clock& clock_;
    const DebugRecorderLimits limits_;
    const WriteHook beforeWrite_;

    // Guards what callers touch; never held while writing. Posting to
    // queue_ happens under it, so the order of admissions and refusals is the
    // order of the queue.
    mutable std::mutex mutex_;
    Backlog backlog_;
    std::shared_ptr<Refused> refusedLines_;
    std::shared_ptr<Refused> refusedAudio_;
    int64_t utteranceCount_ = 0;
    bool sessionBegun_ = false;
    platform::Date deadline_;

    // Everything below is touched only on queue_.
    std::unique_ptr<File> log_;
    std::unique_ptr<File> session_;
    platform::Date start_;
    bool began_ = false;
    // What was kept out of the files (a full disk, a bound, the exit) and not
    // yet logged.
    uint64_t droppedLines_ = 0;
    uint64_t droppedSamples_ = 0;
    platform::SerialExecutor queue_{"Verbolin.DebugRecorder"};
};

}  // namespace verbolin
