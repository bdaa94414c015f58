#include "auralith/Auralith.hpp"

#include <cstdio>
#include <limits>
#include <mutex>
#include <system_error>

#include "auralith/ModelUtilities.hpp"
#include "auralith/core/AudioEncoder.hpp"
#include "auralith/core/Constants.hpp"
#include "auralith/core/FeatureExtractor.hpp"
#include "auralith/core/TextDecoder.hpp"
#include "auralith/core/WhisperMLModel.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/text/SegmentSeeker.hpp"
#include "auralith/utilities/HubApiWrapper.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/MatrixKernels.hpp"
#include "platform/system/Clock.hpp"
#include "platform/system/FileRefusal.hpp"
#include "vortilcore/core/Logging.hpp"
#include "vortilcore/core/ProcessInfo.hpp"

namespace auralith {
namespace {

using vortil::Logging;
using vortil::ModelState;
namespace fs = std::filesystem;

std::mutex& deviceNameMutex() {
    static std::mutex m;
    return m;
}

std::function<std::string()>& deviceNameProvider() {
    static std::function<std::string()> provider;
    return provider;
}

double wallSeconds() { return platform::secondsSince1970(platform::Clock::system().now()); }

std::string twoDecimals(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

AudioInputOptions defaultAudioInputOptions() {
    return AudioInputOptions{AudioInputOptions::ChannelMode::sumChannels(),
                             AudioInputOptions::AudioLoadingMode::fullFile()};
}

// What the system said when it would not let the pipeline look at `path`
// (no permission, an I/O error): the files may be sound, and are not said
// to be missing or of another kind.
WhisperError refusal(const fs::path& path, const std::error_code& ec) {
    return WhisperError::refused(WhisperError::Kind::modelsUnavailable, path, ec.value());
}

// A model folder compiled for another runtime has the platform's own files
// but none of ours; loading it would fail deep in the runtime with a message
// that does not say what to do.
void requireOurFormat(const fs::path& modelPath) {
    std::error_code ec;
    const bool ours =
        fs::is_directory(modelPath, ec) && fs::is_regular_file(modelPath / "model.json", ec);
    if (ours) return;
    if (platform::isRefusal(ec.value())) throw refusal(modelPath / "model.json", ec);
    throw WhisperError::modelsUnavailable(
        "Model at " + modelPath.string() +
        " is not in this runtime's format (it has no model.json; it may be compiled for another "
        "runtime). Make the model folders from a Whisper checkpoint with `verbolin-models "
        "convert <checkpoint-dir> <out-dir>`.");
}

}  // namespace

std::string Auralith::deviceName() {
    std::function<std::string()> provider;
    {
        std::lock_guard lock(deviceNameMutex());
        provider = deviceNameProvider();
    }
    return provider ? provider() : vortil::ProcessInfo::hwModel();
}

void Auralith::setDeviceNameProvider(std::function<std::string()> provider) {
    std::lock_guard lock(deviceNameMutex());
    deviceNameProvider() = std::move(provider);
}

Auralith::Auralith(const AuralithConfig& config)
    : modelCompute_(config.computeOptions.value_or(ModelComputeOptions::pipelineDefaults())),
      audioInputOptions_(config.audioInputConfig().value_or(defaultAudioInputOptions())) {
    audioProcessor_ =
        config.audioProcessor ? config.audioProcessor : std::make_shared<AudioProcessor>();
    featureExtractor_ =
        config.featureExtractor ? config.featureExtractor : std::make_shared<FeatureExtractor>();
    audioEncoder_ = config.audioEncoder ? config.audioEncoder : std::make_shared<AudioEncoder>();
    textDecoder_ = config.textDecoder ? config.textDecoder : std::make_shared<TextDecoder>();
    if (config.logitsFilters) textDecoder_->setLogitsFilters(config.logitsFilters);
    segmentSeeker_ =
        config.segmentSeeker ? config.segmentSeeker : std::make_shared<SegmentSeeker>();
    voiceActivityDetector_ = config.voiceActivityDetector;
    tokenizerFolder_ = config.tokenizerFolder ? config.tokenizerFolder : config.downloadBase;
    useBackgroundDownloadSession_ = config.useBackgroundDownloadSession;
    currentTimings_ = TranscriptionTimings();
    // The level is process-wide: the pipeline made last decides it for all.
    Logging::updateLogLevel(config.verbose ? config.logLevel : Logging::LogLevel::none);
}

Auralith::~Auralith() {
    if (audioProcessor_) audioProcessor_->stopRecording();
}

void Auralith::setUp(const AuralithConfig& config) {
    setupModels(config.model, config.downloadBase, config.modelRepo, config.modelToken,
                config.modelFolder, config.download,
                std::string(Constants::defaultRemoteConfigName),
                config.modelEndpoint.value_or(std::string(Constants::defaultRemoteEndpoint)));
    if (config.prewarm.value_or(false)) {
        Logging::info("Prewarming models...");
        prewarmModels();
    }
    // An absent load flag loads only for a configured folder, not for one a
    // download has just found.
    if (config.load.value_or(config.modelFolder.has_value())) {
        Logging::info("Loading models...");
        loadModels(false);
    }
}

void Auralith::setModelState(ModelState state) {
    const ModelState old = modelState_;
    modelState_ = state;
    if (modelStateCallback_) modelStateCallback_(old, state);
}

void Auralith::setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer) {
    tokenizer_ = std::move(tokenizer);
    textDecoder_->setTokenizer(tokenizer_);
}

void Auralith::setupModels(const std::optional<std::string>& model,
                           const std::optional<fs::path>& downloadBase,
                           const std::optional<std::string>& modelRepo,
                           const std::optional<std::string>& modelToken,
                           const std::optional<std::string>& modelFolder, bool download,
                           const std::string& remoteConfigName, const std::string& endpoint) {
    if (modelFolder) {
        setModelFolder(fs::path(*modelFolder));
        return;
    }
    if (!download) return;
    const std::string repo = modelRepo.value_or(defaultModelRepo);
    try {
        const std::string variant = model ? *model
                                          : recommendedRemoteModels(repo, downloadBase, modelToken,
                                                                    remoteConfigName, endpoint)
                                                .defaultModel;
        setModelFolder(Auralith::download(variant, downloadBase, useBackgroundDownloadSession(),
                                          repo, modelToken, endpoint));
    } catch (const std::exception& e) {
        throw WhisperError::modelsUnavailable(
            std::string(
                "Model not found. Please check the model or repo name and try again.\nError: ") +
            e.what());
    }
}

void Auralith::prewarmModels() { loadModels(true); }

void Auralith::loadModels(bool prewarmMode) {
    setModelState(prewarmMode ? ModelState::prewarming : ModelState::loading);
    const double start = wallSeconds();
    const auto folder = modelFolder();
    if (!folder) throw WhisperError::modelsUnavailable("Model folder is not set.");
    Logging::debug("Loading models from " + folder->string() +
                   " with prewarmMode: " + (prewarmMode ? "true" : "false"));

    const fs::path melURL = ModelUtilities::detectModelURL(*folder, "MelSpectrogram");
    const fs::path encoderURL = ModelUtilities::detectModelURL(*folder, "AudioEncoder");
    const fs::path decoderURL = ModelUtilities::detectModelURL(*folder, "TextDecoder");
    for (const fs::path& url : {melURL, encoderURL, decoderURL}) {
        std::error_code ec;
        const bool found = fs::exists(url, ec);
        // One the system will not look at is not said to be missing.
        if (ec) throw refusal(url, ec);
        if (!found)
            throw WhisperError::modelsUnavailable("Model file not found at " + url.string());
    }
    for (const fs::path& url : {melURL, encoderURL, decoderURL}) requireOurFormat(url);

    const ModelComputeOptions compute = modelCompute();
    auto timings = currentTimings();
    if (auto* mel = dynamic_cast<WhisperMLModel*>(featureExtractor().get())) {
        Logging::debug("Loading feature extractor");
        mel->loadModel(melURL, compute.melCompute, prewarmMode);
        Logging::debug("Loaded feature extractor");
    }
    // The decoder and the encoder are timed; a prewarm records its times as
    // specialization, while the log line always prints the load time.
    auto timedLoad = [&](WhisperMLModel* stage, const char* name, const fs::path& url,
                         MLComputeUnits units, double TranscriptionTimings::*specialization,
                         double TranscriptionTimings::*load) {
        if (!stage) return;
        Logging::debug(std::string("Loading ") + name);
        const double t0 = wallSeconds();
        stage->loadModel(url, units, prewarmMode);
        timings.*(prewarmMode ? specialization : load) = wallSeconds() - t0;
        setCurrentTimings(timings);
        Logging::debug(std::string("Loaded ") + name + " in " + twoDecimals(timings.*load) + "s");
    };
    timedLoad(dynamic_cast<WhisperMLModel*>(textDecoder().get()), "text decoder", decoderURL,
              compute.textDecoderCompute, &TranscriptionTimings::decoderSpecializationTime,
              &TranscriptionTimings::decoderLoadTime);
    timedLoad(dynamic_cast<WhisperMLModel*>(audioEncoder().get()), "audio encoder", encoderURL,
              compute.audioEncoderCompute, &TranscriptionTimings::encoderSpecializationTime,
              &TranscriptionTimings::encoderLoadTime);

    if (prewarmMode) {
        setModelState(ModelState::prewarmed);
        timings = currentTimings();
        timings.prewarmLoadTime = wallSeconds() - start;
        setCurrentTimings(timings);
        return;
    }
    loadTokenizerIfNeeded();
    setModelState(ModelState::loaded);
    timings = currentTimings();
    timings.modelLoading = wallSeconds() - start + timings.prewarmLoadTime;
    setCurrentTimings(timings);
    Logging::info("Loaded models for whisper size: " + std::string(description(modelVariant())) +
                  " in " + twoDecimals(timings.modelLoading) + "s");
    Logging::debug("Matrix products: " + platform::ml::matrixKernelName() +
                   ", vector kernels: " + platform::ml::computeKernels().name);
}

void Auralith::loadTokenizerIfNeeded() {
    if (tokenizer()) {
        Logging::debug("Tokenizer already exists on Auralith, skipping load");
        return;
    }
    const auto decoder = textDecoder();
    const auto logitsSize = decoder->logitsSize();
    if (!logitsSize) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const auto embedSize = audioEncoder()->embedSize();
    if (!embedSize) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");

    decoder->setIsModelMultilingual(*logitsSize != 51864);
    setModelVariant(ModelUtilities::detectVariant(*logitsSize, *embedSize));
    Logging::debug("Loading tokenizer for " + std::string(description(modelVariant())));
    const double start = wallSeconds();

    std::vector<fs::path> searchPaths;
    if (const auto folder = modelFolder()) {
        const HubApiWrapper hub(*folder, std::nullopt, std::nullopt, false);
        searchPaths = {*folder, hub.localRepoLocation(HubApiWrapper::Repo{
                                    ModelUtilities::tokenizerNameForVariant(modelVariant()),
                                    HubApiWrapper::RepoType::models})};
    }
    // The hub is asked whether or not models may be downloaded: `download`
    // decides where the models come from, while a pack's tokenizer that is
    // missing or does not load is replaced by the hub's rather than leaving
    // the pipeline unusable.
    auto loaded = ModelUtilities::loadTokenizer(modelVariant(), tokenizerFolder(), searchPaths,
                                                useBackgroundDownloadSession());
    auto timings = currentTimings();
    timings.tokenizerLoadTime = wallSeconds() - start;
    setCurrentTimings(timings);
    setTokenizer(std::move(loaded));
    Logging::debug("Loaded tokenizer in " + twoDecimals(timings.tokenizerLoadTime) + "s");
}

void Auralith::unloadModels() {
    setModelState(ModelState::unloading);
    if (auto* mel = dynamic_cast<WhisperMLModel*>(featureExtractor().get())) mel->unloadModel();
    if (auto* encoder = dynamic_cast<WhisperMLModel*>(audioEncoder().get())) encoder->unloadModel();
    if (auto* decoder = dynamic_cast<WhisperMLModel*>(textDecoder().get())) decoder->unloadModel();
    setModelState(ModelState::unloaded);
    Logging::info("Unloaded all models");
}

void Auralith::clearState() {
    audioProcessor()->stopRecording();
    setCurrentTimings(TranscriptionTimings());
}

void Auralith::loggingCallback(std::function<void(const std::string&)> callback) {
    Logging::updateCallback(std::move(callback));
}

}  // namespace auralith
