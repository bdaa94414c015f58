#include "auralith/WriteVTT.hpp"

namespace auralith {

ResultWriting::WriteResult WriteVTT::write(const TranscriptionResult& result,
                                           const std::string& file, const std::optional<Options>&) {
    std::string content = "WEBVTT\n\n";
    forEachCue(result, [&](float start, float end, const std::string& text) {
        content +=
            cue(defaultFormatTime(start, false, "."), defaultFormatTime(end, false, "."), text);
    });
    return writeText(location(outputDir(), file, ".vtt"), content);
}

}  // namespace auralith
