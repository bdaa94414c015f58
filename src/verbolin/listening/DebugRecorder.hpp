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

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/system/Clock.hpp"
#include "platform/system/SerialExecutor.hpp"

namespace verbolin {

class DebugRecorder {
  public:
    // The process's recorder, made on first use from VERBOLIN_DEBUG_DIR;
    // null when the variable is unset or empty.
    static std::shared_ptr<DebugRecorder> shared();
    // A new recorder from the environment as it is now (what shared() keeps).
    static std::shared_ptr<DebugRecorder> fromEnvironment();
    // True exactly when VERBOLIN_AUTOSTART is "1".
    static bool autoStart();

    // Creates the directory (a failure is ignored; later writes then fail
    // silently). Event times are measured on `clock`, which must outlive the
    // recorder.
    explicit DebugRecorder(std::filesystem::path directory,
                           const platform::Clock& clock = platform::Clock::system());
    ~DebugRecorder();

    DebugRecorder(const DebugRecorder&) = delete;
    DebugRecorder& operator=(const DebugRecorder&) = delete;

    // Waits for the queue. The first call in the process opens (emptying)
    // "events.log" and "session.pcm" and restarts the time base; a later call
    // opens only those that could not be opened before (making the directory
    // again). Every call then logs "session_start" (first) or
    // "session_restart" (later ones) with the wall-clock time.
    void beginSession();

    // Logs "<seconds since start>\t<name>\t<detail>" without waiting; dropped
    // before the first session has begun.
    void event(std::string name, std::string detail);

    // Appends the samples to "session.pcm" without waiting, if it is open.
    void audio(std::span<const float> samples);

    // Waits for the queue, writes the samples to the next "utterance-N.pcm"
    // (N counts from 1 per process, replacing an old file; removed again when
    // not all of it could be written) and returns N.
    int64_t utterance(std::span<const float> samples);
    // Takes the next N without writing anything, so an utterance can carry
    // its number from its start; utterances that end empty leave a gap.
    int64_t nextUtteranceNumber();
    // Writes "utterance-<number>.pcm" (replacing an old file); returns number.
    int64_t utterance(std::span<const float> samples, int64_t number);

    // Waits until everything queued so far is written.
    void flush();

    const std::filesystem::path& directory() const { return directory_; }

    // The file form of a sample: non-finite values become 0, the rest are
    // clamped to [-1, 1], scaled by 32767 and truncated toward zero; each
    // result is two little-endian bytes.
    static std::vector<uint8_t> pcm16(std::span<const float> samples);

  private:
    struct File;
    void writeLine(const std::string& name, const std::string& detail);
    bool writeRecord(const std::string& name, const std::string& detail);
    void openMissingFiles();

    const std::filesystem::path directory_;
    const platform::Clock& clock_;
    // Everything below is touched only on queue_.
    std::unique_ptr<File> log_;
    std::unique_ptr<File> session_;
    platform::Date start_;
    int64_t utteranceCount_ = 0;
    bool began_ = false;
    // What a full disk kept out of the files since they last took a write.
    uint64_t droppedLines_ = 0;
    uint64_t droppedSamples_ = 0;
    platform::SerialExecutor queue_{"Verbolin.DebugRecorder"};
};

}  // namespace verbolin
