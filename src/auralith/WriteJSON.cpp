#include "auralith/WriteJSON.hpp"

#include <nlohmann/json.hpp>

namespace auralith {

ResultWriting::WriteResult WriteJSON::write(const TranscriptionResult& result,
                                            const std::string& file,
                                            const std::optional<Options>&) {
    std::string content;
    try {
        nlohmann::ordered_json json;
        result.encode(json);
        content = json.dump(2);
    } catch (...) {
        // Text that is not UTF-8 cannot be encoded.
        return std::current_exception();
    }
    // Atomic like the subtitle writers: a failed write must not leave a
    // truncated file in place of a good one.
    return writeText(location(outputDir(), file, ".json"), content);
}

}  // namespace auralith
