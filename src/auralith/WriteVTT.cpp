#include "auralith/WriteVTT.hpp"

namespace auralith {

ResultWriting::WriteResult WriteVTT::write(const TranscriptionResult& result,
                                           const std::string& file, const std::optional<Options>&) {
    std::string content = "WEBVTT\n\n";
    try {
        forEachCue(result, [&](float start, float end, const std::string& text) {
            requireFiniteTimes(start, end);
            content += cue(defaultFormatTime(start, false, "."), defaultFormatTime(end, false, "."),
                           text, CueFormat::vtt);
        });
    } catch (...) {
        return std::current_exception();
    }
    return writeText(location(outputDir(), file, ".vtt"), content);
}

}  // namespace auralith
