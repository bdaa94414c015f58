#include "auralith/utilities/Logging.hpp"

#include <memory>

namespace auralith {

namespace {

struct Stage {
    explicit Stage(const char* category)
        : logger(std::make_shared<const Logger>(Logging::pipelineSubsystem, category)),
          signposter(logger) {}
    std::shared_ptr<const Logger> logger;
    Signposter signposter;
};

Stage& audioEncoding() {
    static Stage stage("AudioEncoding");
    return stage;
}
Stage& featureExtractor() {
    static Stage stage("FeatureExtractor");
    return stage;
}
Stage& transcribeTask() {
    static Stage stage("TranscribeTask");
    return stage;
}

}  // namespace

const Logger& Logging::AudioEncoding::logger() { return *audioEncoding().logger; }
Signposter& Logging::AudioEncoding::signposter() { return audioEncoding().signposter; }
const Logger& Logging::FeatureExtractor::logger() { return *featureExtractor().logger; }
Signposter& Logging::FeatureExtractor::signposter() { return featureExtractor().signposter; }
const Logger& Logging::TranscribeTask::logger() { return *transcribeTask().logger; }
Signposter& Logging::TranscribeTask::signposter() { return transcribeTask().signposter; }

SignpostIntervalState Logging::beginSignpost(const std::string& name, Signposter& signposter) {
    SignpostIntervalState state;
    state.id = signposter.makeSignpostID();
    state.began = std::chrono::steady_clock::now();
    if (signposter.isEnabled())
        signposter.emit({SignpostEvent::Kind::begin, state.id, name, "", {}});
    return state;
}

void Logging::endSignpost(const std::string& name, SignpostIntervalState& interval,
                          Signposter& signposter) {
    if (!signposter.isEnabled()) return;
    const bool alreadyEnded = !interval.open;
    interval.open = false;
    signposter.emit({SignpostEvent::Kind::end, interval.id, name,
                     alreadyEnded ? "[Error] Interval already ended" : "",
                     std::chrono::steady_clock::now() - interval.began});
}

}  // namespace auralith
