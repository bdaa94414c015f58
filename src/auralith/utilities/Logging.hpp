#pragma once
// The pipeline's view of the support library's logger: everything of
// vortil::Logging, plus per-stage loggers and signposters (subsystem
// "com.vortil.auralith") and the two operations that open and close a
// signpost interval. The ordinary level-filtered text logging stays
// Logging::debug/info/error.

#include <string>

#include "auralith/utilities/Logger.hpp"
#include "auralith/utilities/Signposter.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {

struct Logging : vortil::Logging {
    static constexpr const char* pipelineSubsystem = "com.vortil.auralith";

    // Each created once, on first use, from any thread; a signposter creates
    // its stage's logger first.
    struct AudioEncoding {
        static const Logger& logger();
        static Signposter& signposter();
    };
    struct FeatureExtractor {
        static const Logger& logger();
        static Signposter& signposter();
    };
    struct TranscribeTask {
        static const Logger& logger();
        static Signposter& signposter();
    };

    // Returns an open interval whether or not signposts are enabled; emits a
    // begin with an empty message only when they are.
    static SignpostIntervalState beginSignpost(const std::string& name, Signposter& signposter);

    // Does nothing while signposts are disabled. Otherwise marks the interval
    // ended and emits the end; ending it again emits a second end with the
    // message "[Error] Interval already ended".
    static void endSignpost(const std::string& name, SignpostIntervalState& interval,
                            Signposter& signposter);
};

}  // namespace auralith
