#pragma once
// The shared shape of the result writers: each knows the folder it writes
// into, writes one finished result as one file, and formats times and cues
// the way subtitle files expect them.
//
// write() never throws: a failure (encoding, missing folder, full disk) is
// returned as the error value. Files are replaced atomically, so a failed
// write leaves an existing file of that name as it was.

#include <any>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "auralith/core/TranscriptionResult.hpp"

namespace auralith {

class ResultWriting {
  public:
    // The written file's "file://" URL text, or the error.
    using WriteResult = std::variant<std::string, std::exception_ptr>;
    // Accepted and ignored by the writers here; subclasses may read it.
    using Options = std::map<std::string, std::any>;

    virtual ~ResultWriting() = default;

    virtual const std::string& outputDir() const = 0;

    // `file` is the base name; the writer appends its own extension. A
    // relative outputDir resolves against the current directory; the folder
    // is never created.
    virtual WriteResult write(const TranscriptionResult& result, const std::string& file,
                              const std::optional<Options>& options = std::nullopt) = 0;

    // Hours, minutes, seconds and milliseconds, each truncated in single
    // precision ("00:00:02,674" for 2.675 s). Hours appear when forced or
    // from one hour on, and grow past two digits as needed, up to four:
    // larger times, infinity included, print as 9999:59:59 and 999
    // milliseconds. NaN and negative times print as zero.
    virtual std::string formatTime(float seconds, bool alwaysIncludeHours,
                                   const std::string& decimalMarker) const;

    // An SRT cue: number, times with hours and ",", text, blank line.
    std::string formatSegment(std::int64_t index, float start, float end,
                              const std::string& text) const;
    // A VTT cue: times with "." and hours only when needed, text, blank line.
    std::string formatTiming(float start, float end, const std::string& text) const;

    // A text as a cue can hold it, kept as written where it is safe: bytes
    // that are not UTF-8 become U+FFFD; line breaks (CR, LF, CRLF) become LF
    // and blank lines of a text of several lines are dropped, since a blank
    // line ends a cue; in SRT a line holding "-->" right after a line of
    // digits reads "->", so that the pair cannot start a cue of its own; in
    // VTT, where cue text may not hold "-->" at all, every "-->" reads "->".
    enum class CueFormat { srt, vtt };
    static std::string cueText(const std::string& text, CueFormat format);

    static std::string defaultFormatTime(float seconds, bool alwaysIncludeHours,
                                         const std::string& decimalMarker);

  protected:
    // outputDir + "/" + file + extension, made absolute.
    static std::filesystem::path location(const std::string& outputDir, const std::string& file,
                                          const std::string& extension);
    // The "file://" URL of an absolute path, percent-encoded.
    static std::string fileURLString(const std::filesystem::path& path);
    // "start --> end", a line break, the text made safe for the format and a
    // blank line.
    static std::string cue(const std::string& start, const std::string& end,
                           const std::string& text, CueFormat format) {
        return start + " --> " + end + "\n" + cueText(text, format) + "\n\n";
    }
    // Subtitle files cannot show a time that is not a number, so the writers
    // refuse it as the JSON writer does. Throws std::domain_error.
    static void requireFiniteTimes(float start, float end);
    // Writes the text atomically and returns the URL, or the error.
    static WriteResult writeText(const std::filesystem::path& path, const std::string& content);
    // The cues of every segment: one per word when the segment has words,
    // else one for the segment, in order.
    template <class Cue>
    static void forEachCue(const TranscriptionResult& result, Cue&& cue) {
        for (const auto& segment : result.segments()) {
            if (segment.words && !segment.words->empty()) {
                for (const auto& word : *segment.words) cue(word.start, word.end, word.word);
            } else {
                cue(segment.start, segment.end, segment.text);
            }
        }
    }
};

// The writers' common base: the output folder, stored as given.
class FolderResultWriter : public ResultWriting {
  public:
    explicit FolderResultWriter(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }

  private:
    const std::string outputDir_;
};

}  // namespace auralith
