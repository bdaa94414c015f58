#include "auralith/WriteSRT.hpp"

namespace auralith {

ResultWriting::WriteResult WriteSRT::write(const TranscriptionResult& result,
                                           const std::string& file, const std::optional<Options>&) {
    std::string content;
    std::int64_t index = 1;
    try {
        // Cue numbers count cues, so word cues number on across segments.
        forEachCue(result, [&](float start, float end, const std::string& text) {
            requireFiniteTimes(start, end);
            content += std::to_string(index++) + "\n" +
                       cue(defaultFormatTime(start, true, ","), defaultFormatTime(end, true, ","),
                           text, CueFormat::srt);
        });
    } catch (...) {
        return std::current_exception();
    }
    return writeText(location(outputDir(), file, ".srt"), content);
}

}  // namespace auralith
