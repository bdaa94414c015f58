#pragma once
// The configuration from which the pipeline is created: where the models and
// the tokenizer are, whether and from where to download them, the compute units
// per model, audio input options, optional replacements for each pipeline
// stage, logging, and the prewarm, load and download switches.
//
// A plain holder: the constructor stores every argument unchanged, and the
// pipeline decides what an absent value means when it is created (an absent
// stage becomes its own implementation, absent compute options the defaults,
// an absent load flag "load when a model folder is given").

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/AudioEncoding.hpp"
#include "auralith/core/FeatureExtracting.hpp"
#include "auralith/core/ModelComputeOptions.hpp"
#include "auralith/core/TextDecoding.hpp"
#include "auralith/core/audio/AudioInputOptions.hpp"
#include "auralith/core/audio/AudioProcessing.hpp"
#include "auralith/core/audio/VoiceActivityDetector.hpp"
#include "auralith/core/text/LogitsFiltering.hpp"
#include "auralith/core/text/SegmentSeeking.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {

class AuralithConfig {
  public:
    using LogLevel = vortil::Logging::LogLevel;

    // One member per field, in field order; audioInputConfig fills
    // audioInputConfigStorage. Every member has an initializer, so designated
    // initializers name only what a caller sets:
    //   AuralithConfig({.modelFolder = folder, .verbose = false, .load = true})
    struct Arguments {
        std::optional<std::string> model = std::nullopt;
        std::optional<std::filesystem::path> downloadBase = std::nullopt;
        std::optional<std::string> modelRepo = std::nullopt;
        std::optional<std::string> modelToken = std::nullopt;
        std::optional<std::string> modelEndpoint = std::nullopt;
        std::optional<std::string> modelFolder = std::nullopt;
        std::optional<std::filesystem::path> tokenizerFolder = std::nullopt;
        std::optional<ModelComputeOptions> computeOptions = std::nullopt;
        std::optional<AudioInputOptions> audioInputConfig = std::nullopt;
        std::shared_ptr<AudioProcessing> audioProcessor = nullptr;
        std::shared_ptr<FeatureExtracting> featureExtractor = nullptr;
        std::shared_ptr<AudioEncoding> audioEncoder = nullptr;
        std::shared_ptr<TextDecoding> textDecoder = nullptr;
        std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters = std::nullopt;
        std::shared_ptr<SegmentSeeking> segmentSeeker = nullptr;
        std::shared_ptr<VoiceActivityDetector> voiceActivityDetector = nullptr;
        bool verbose = true;
        LogLevel logLevel = LogLevel::info;
        std::optional<bool> prewarm = std::nullopt;
        std::optional<bool> load = std::nullopt;
        bool download = true;
        bool useBackgroundDownloadSession = false;
    };

    // Stores every argument unchanged.
    explicit AuralithConfig(Arguments arguments);

    AuralithConfig(const AuralithConfig&) = default;
    AuralithConfig& operator=(const AuralithConfig&) = default;
    virtual ~AuralithConfig() = default;

    const std::optional<AudioInputOptions>& audioInputConfig() const {
        return audioInputConfigStorage;
    }
    void setAudioInputConfig(std::optional<AudioInputOptions> options) {
        audioInputConfigStorage = std::move(options);
    }

    // Model variant to fetch from the repository when no folder is given.
    std::optional<std::string> model;
    // Local base folder for hub downloads.
    std::optional<std::filesystem::path> downloadBase;
    // Hub repository of the models; absent means the pipeline's default.
    std::optional<std::string> modelRepo;
    std::optional<std::string> modelToken;
    // Hub endpoint; absent means the hub's default.
    std::optional<std::string> modelEndpoint;
    // Local folder holding the compiled models.
    std::optional<std::string> modelFolder;
    // Local folder searched for the tokenizer files.
    std::optional<std::filesystem::path> tokenizerFolder;
    std::optional<ModelComputeOptions> computeOptions;
    std::optional<AudioInputOptions> audioInputConfigStorage;
    // Replacements for the pipeline's own stages; null means the pipeline's own.
    std::shared_ptr<AudioProcessing> audioProcessor;
    std::shared_ptr<FeatureExtracting> featureExtractor;
    std::shared_ptr<AudioEncoding> audioEncoder;
    std::shared_ptr<TextDecoding> textDecoder;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters;
    std::shared_ptr<SegmentSeeking> segmentSeeker;
    // Detector used for voice-activity chunking.
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector;
    // False turns logging off; true applies logLevel.
    bool verbose;
    LogLevel logLevel;
    // Prewarm (specialize) the models before loading them.
    std::optional<bool> prewarm;
    // Load at creation; absent means load when modelFolder is given.
    std::optional<bool> load;
    // Download the models from the repository when no folder is given. The
    // tokenizer does not depend on it: one that is missing or does not load
    // from the local folders is fetched from the hub either way, and the hub
    // client's errors (offline mode included) reach the caller.
    bool download;
    bool useBackgroundDownloadSession;
};

}  // namespace auralith
