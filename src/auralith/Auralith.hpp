#pragma once
// The speech-recognition pipeline: one object that owns the stages (audio
// processor, mel feature extractor, audio encoder, text decoder, segment
// seeker, optional voice-activity detector), the tokenizer, the model folder,
// the model state with its callback, and the timings of the current work.
//
// Made by create(), which runs the construction in two phases: the
// constructor takes the configuration's values and default stages, then the
// model set-up, prewarm and load run through the virtual operations, so a
// subclass made with create<Subclass>() has its own overrides called.
//
// Every "asynchronous" operation of the pipeline is a blocking call here; run
// it on a worker thread. Stored properties carry no lock of their own: one
// instance must not run two model operations or transcriptions at once.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "auralith/core/AudioEncoding.hpp"
#include "auralith/core/AuralithConfig.hpp"
#include "auralith/core/DecodingOptions.hpp"
#include "auralith/core/FeatureExtracting.hpp"
#include "auralith/core/ModelComputeOptions.hpp"
#include "auralith/core/ModelSupport.hpp"
#include "auralith/core/ModelSupportConfig.hpp"
#include "auralith/core/ModelVariant.hpp"
#include "auralith/core/TextDecoding.hpp"
#include "auralith/core/TranscriptionProgress.hpp"
#include "auralith/core/TranscriptionResult.hpp"
#include "auralith/core/TranscriptionSegment.hpp"
#include "auralith/core/TranscriptionState.hpp"
#include "auralith/core/TranscriptionTimings.hpp"
#include "auralith/core/WhisperTokenizer.hpp"
#include "auralith/core/audio/AudioInputOptions.hpp"
#include "auralith/core/audio/AudioProcessing.hpp"
#include "auralith/core/audio/IncrementalFileChunk.hpp"
#include "auralith/core/audio/VoiceActivityDetector.hpp"
#include "auralith/core/text/SegmentSeeking.hpp"
#include "auralith/utilities/RuntimeEnvironment.hpp"
#include "platform/system/AsyncThrowingStream.hpp"
#include "platform/system/Progress.hpp"
#include "vortilcore/core/ModelState.hpp"

namespace auralith {

class TranscribeTask;

class Auralith : public std::enable_shared_from_this<Auralith> {
  public:
    using ModelStateCallback = std::function<void(std::optional<vortil::ModelState> oldState,
                                                  vortil::ModelState newState)>;
    using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;
    using TranscriptionStateCallback = std::function<void(TranscriptionState)>;
    // Returns false to ask the decoder to stop early.
    using ProgressCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;
    using Results = std::vector<std::shared_ptr<TranscriptionResult>>;
    using DownloadProgressCallback = std::function<void(const platform::Progress&)>;
    // One item of a batch: its results, or what stopped it.
    using Outcome = std::variant<Results, std::exception_ptr>;
    using ChunkStream = platform::AsyncThrowingStream<IncrementalFileChunk>;
    struct DetectedLanguage {
        std::string language;
        std::map<std::string, float> langProbs;
    };

    static constexpr std::int64_t sampleRate = 16000;
    static constexpr std::int64_t hopLength = 160;
    static constexpr float secondsPerTimeToken = 0.02f;
    // Hub repository of the models when the configuration names none.
    static constexpr const char* defaultModelRepo = "vortilinc/auralith-coreml";

    // The machine's model identifier, the key of the device support table.
    static std::string deviceName();
    static constexpr bool isRunningOnSimulator() { return auralith::isRunningOnSimulator(); }
    // Replaces the machine facts behind deviceName(); an empty function
    // restores them. For tests of the device tables.
    static void setDeviceNameProvider(std::function<std::string()> provider);

    // Builds the pipeline and then, through the virtual operations of T, sets
    // up the model folder, prewarms and loads as the configuration asks. The
    // configuration is read, never kept. Throws the first error of those
    // steps; no instance is returned then.
    template <class T = Auralith, class... Extra>
    static std::shared_ptr<T> create(const AuralithConfig& config, Extra&&... extra) {
        auto pipeline = std::make_shared<T>(config, std::forward<Extra>(extra)...);
        pipeline->setUp(config);
        return pipeline;
    }

    // The first phase of construction only: values, default stages, timings
    // and log level. Use create() unless a subclass needs to run setUp itself.
    explicit Auralith(const AuralithConfig& config);
    // Stops the audio processor's recording before the stages go.
    virtual ~Auralith();

    Auralith(const Auralith&) = delete;
    Auralith& operator=(const Auralith&) = delete;

    // --- state -----------------------------------------------------------

    virtual ModelVariant modelVariant() const { return modelVariant_; }
    virtual void setModelVariant(ModelVariant variant) { modelVariant_ = variant; }

    virtual vortil::ModelState modelState() const { return modelState_; }
    // Every assignment, even of the current value, then calls the callback.
    virtual void setModelState(vortil::ModelState state);

    virtual const ModelComputeOptions& modelCompute() const { return modelCompute_; }
    virtual void setModelCompute(ModelComputeOptions options) { modelCompute_ = options; }

    // audioInputConfig is the same storage under its other name.
    virtual const AudioInputOptions& audioInputOptions() const { return audioInputOptions_; }
    virtual void setAudioInputOptions(AudioInputOptions options) {
        audioInputOptions_ = std::move(options);
    }
    const AudioInputOptions& audioInputConfig() const { return audioInputOptions(); }
    void setAudioInputConfig(AudioInputOptions options) {
        setAudioInputOptions(std::move(options));
    }

    virtual std::shared_ptr<WhisperTokenizer> tokenizer() const { return tokenizer_; }
    // Also hands the tokenizer to the text decoder.
    virtual void setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer);

    virtual std::shared_ptr<AudioProcessing> audioProcessor() const { return audioProcessor_; }
    virtual void setAudioProcessor(std::shared_ptr<AudioProcessing> stage) {
        audioProcessor_ = std::move(stage);
    }
    virtual std::shared_ptr<FeatureExtracting> featureExtractor() const {
        return featureExtractor_;
    }
    virtual void setFeatureExtractor(std::shared_ptr<FeatureExtracting> stage) {
        featureExtractor_ = std::move(stage);
    }
    virtual std::shared_ptr<AudioEncoding> audioEncoder() const { return audioEncoder_; }
    virtual void setAudioEncoder(std::shared_ptr<AudioEncoding> stage) {
        audioEncoder_ = std::move(stage);
    }
    virtual std::shared_ptr<TextDecoding> textDecoder() const { return textDecoder_; }
    virtual void setTextDecoder(std::shared_ptr<TextDecoding> stage) {
        textDecoder_ = std::move(stage);
    }
    virtual std::shared_ptr<SegmentSeeking> segmentSeeker() const { return segmentSeeker_; }
    virtual void setSegmentSeeker(std::shared_ptr<SegmentSeeking> stage) {
        segmentSeeker_ = std::move(stage);
    }
    virtual std::shared_ptr<VoiceActivityDetector> voiceActivityDetector() const {
        return voiceActivityDetector_;
    }
    virtual void setVoiceActivityDetector(std::shared_ptr<VoiceActivityDetector> vad) {
        voiceActivityDetector_ = std::move(vad);
    }

    virtual const TranscriptionTimings& currentTimings() const { return currentTimings_; }
    virtual void setCurrentTimings(TranscriptionTimings timings) { currentTimings_ = timings; }

    // Locked: the items of a batch replace the progress from their workers.
    virtual std::shared_ptr<platform::Progress> progress() const {
        std::lock_guard lock(progressMutex_);
        return progress_;
    }
    virtual void setProgress(std::shared_ptr<platform::Progress> progress) {
        std::lock_guard lock(progressMutex_);
        progress_ = std::move(progress);
    }

    virtual const std::optional<std::filesystem::path>& modelFolder() const { return modelFolder_; }
    virtual void setModelFolder(std::optional<std::filesystem::path> folder) {
        modelFolder_ = std::move(folder);
    }
    virtual const std::optional<std::filesystem::path>& tokenizerFolder() const {
        return tokenizerFolder_;
    }
    virtual void setTokenizerFolder(std::optional<std::filesystem::path> folder) {
        tokenizerFolder_ = std::move(folder);
    }
    virtual bool useBackgroundDownloadSession() const { return useBackgroundDownloadSession_; }
    virtual void setUseBackgroundDownloadSession(bool value) {
        useBackgroundDownloadSession_ = value;
    }

    // May be called from any thread.
    virtual const SegmentDiscoveryCallback& segmentDiscoveryCallback() const {
        return segmentDiscoveryCallback_;
    }
    virtual void setSegmentDiscoveryCallback(SegmentDiscoveryCallback cb) {
        segmentDiscoveryCallback_ = std::move(cb);
    }
    virtual const ModelStateCallback& modelStateCallback() const { return modelStateCallback_; }
    virtual void setModelStateCallback(ModelStateCallback cb) {
        modelStateCallback_ = std::move(cb);
    }
    virtual const TranscriptionStateCallback& transcriptionStateCallback() const {
        return transcriptionStateCallback_;
    }
    virtual void setTranscriptionStateCallback(TranscriptionStateCallback cb) {
        transcriptionStateCallback_ = std::move(cb);
    }

    // --- model folder, loading -------------------------------------------

    // A given folder is taken as is (not tested here); otherwise, with
    // download, the repository's variant (its recommended default when no
    // model is named) is downloaded and its folder taken. A failed download
    // throws WhisperError::modelsUnavailable "Model not found. ...".
    virtual void setupModels(const std::optional<std::string>& model,
                             const std::optional<std::filesystem::path>& downloadBase,
                             const std::optional<std::string>& modelRepo,
                             const std::optional<std::string>& modelToken,
                             const std::optional<std::string>& modelFolder, bool download,
                             const std::string& remoteConfigName, const std::string& endpoint);

    // loadModels(true).
    virtual void prewarmModels();
    // Checks that the three model files exist, then loads the mel extractor,
    // the text decoder and the audio encoder in that order, and (unless
    // prewarming, which loads and lets go) the tokenizer. Timings and state
    // follow each step; errors of the stages pass through unchanged.
    virtual void loadModels(bool prewarmMode = false);
    // Detects the variant from the loaded shapes and finds the tokenizer,
    // locally first, else on the hub. Does nothing when one is set.
    virtual void loadTokenizerIfNeeded();
    virtual void unloadModels();
    // Stops the audio processor's recording and resets the timings.
    virtual void clearState();
    // Installs (or with an empty function removes) the process-wide log sink.
    virtual void loggingCallback(std::function<void(const std::string&)> callback);

    // --- transcription ----------------------------------------------------

    // One array of 16 kHz mono samples. Runs one transcription task over the
    // whole array unless it is longer than one window and the options ask for
    // voice-activity chunking. The segment callback (or, without one, the
    // pipeline's segmentDiscoveryCallback) sees times moved by
    // audioArrayOffset samples; the returned results do not. A stop request
    // on the thread's task token (platform::TaskCancellation) ends the run
    // with CancellationError.
    virtual Results transcribe(const std::vector<float>& audioArray,
                               const std::optional<DecodingOptions>& decodeOptions,
                               ProgressCallback callback = {},
                               SegmentDiscoveryCallback segmentCallback = {});
    virtual Results transcribe(const std::vector<float>& audioArray, std::int64_t audioArrayOffset,
                               const std::optional<DecodingOptions>& decodeOptions,
                               ProgressCallback callback = {},
                               SegmentDiscoveryCallback segmentCallback = {});

    // A new task over exactly these values, with no segment callback.
    virtual std::shared_ptr<TranscribeTask> setupTranscribeTask(
        const TranscriptionTimings& currentTimings, std::shared_ptr<platform::Progress> progress,
        std::shared_ptr<AudioProcessing> audioProcessor,
        std::shared_ptr<AudioEncoding> audioEncoder,
        std::shared_ptr<FeatureExtracting> featureExtractor,
        std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
        std::shared_ptr<WhisperTokenizer> tokenizer);

    // One task over the whole array: loads the models first unless loaded.
    virtual Results runTranscribeTask(const std::vector<float>& audioArray,
                                      const std::optional<DecodingOptions>& decodeOptions,
                                      ProgressCallback callback = {},
                                      SegmentDiscoveryCallback segmentCallback = {});

    // --- language detection (AuralithLanguageDetection.cpp) -----------------

    // The spoken language of the first 30 s of the file, its channels summed.
    // Throws WhisperError::loadAudioFailed for a missing file.
    virtual DetectedLanguage detectLanguage(const std::string& audioPath);
    // The same for 16 kHz mono samples (padded or cut to one window). Loads
    // the models first unless loaded; needs a multilingual model.
    virtual DetectedLanguage detectLangauge(const std::vector<float>& audioArray);

    // --- batches (AuralithBatchTranscription.cpp) ----------------------------
    // None of these throws: each item gets its own outcome, in input order.
    // Items run concurrently in batches of the largest concurrentWorkerCount
    // among the options (all at once when that is 0); the pipeline is held
    // weakly, so items not started when it goes away fail.

    virtual std::vector<std::optional<Results>> transcribe(
        const std::vector<std::string>& audioPaths,
        const std::optional<AudioInputOptions>& audioInputOptions,
        const std::optional<DecodingOptions>& decodeOptions, ProgressCallback callback = {});
    virtual std::vector<Outcome> transcribeWithResults(
        const std::vector<std::string>& audioPaths,
        const std::optional<AudioInputOptions>& audioInputOptions,
        const std::optional<DecodingOptions>& decodeOptions, ProgressCallback callback = {});
    virtual std::vector<std::optional<Results>> transcribe(
        const std::vector<std::vector<float>>& audioArrays,
        const std::optional<DecodingOptions>& decodeOptions, ProgressCallback callback = {});
    virtual std::vector<Outcome> transcribeWithResults(
        const std::vector<std::vector<float>>& audioArrays,
        const std::optional<DecodingOptions>& decodeOptions, ProgressCallback callback = {});
    // Progress values reach the callback with windowId = the item's index;
    // with seekOffsets, live segments are moved by the item's offset (the
    // returned results are not).
    virtual std::vector<Outcome> transcribeWithOptions(
        const std::vector<std::vector<float>>& audioArrays,
        const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
        const std::optional<std::vector<std::int64_t>>& seekOffsets,
        ProgressCallback callback = {});

    // --- one file (AuralithFileTranscription.cpp) ----------------------------

    // Whole, or chunk by chunk in the incremental loading mode (the options
    // given, else the pipeline's). Chunk results come back on whole-file
    // times, sorted by seekTime.
    virtual Results transcribe(const std::string& audioPath,
                               const std::optional<AudioInputOptions>& audioInputOptions,
                               const std::optional<DecodingOptions>& decodeOptions,
                               ProgressCallback callback = {});

    // --- hub --------------------------------------------------------------

    // The built-in table's support for this machine; no network.
    static ModelSupport recommendedModels();
    // The repository's table (or the built-in one) for this machine; never throws.
    static ModelSupport recommendedRemoteModels(
        const std::string& repo, const std::optional<std::filesystem::path>& downloadBase,
        const std::optional<std::string>& token, const std::string& remoteConfigName,
        const std::string& endpoint);
    // The repository's support table, or the built-in one when it cannot be
    // had (logged); never throws.
    static ModelSupportConfig fetchModelSupportConfig(
        const std::string& repo, const std::optional<std::filesystem::path>& downloadBase,
        const std::optional<std::string>& token, const std::string& remoteConfigName,
        const std::string& endpoint);
    // The supported model folders of this machine that match any pattern,
    // in variant order.
    static std::vector<std::string> fetchAvailableModels(
        const std::string& repo, const std::vector<std::string>& patterns,
        const std::optional<std::filesystem::path>& downloadBase,
        const std::optional<std::string>& token, const std::string& remoteConfigName,
        const std::string& endpoint);
    // Downloads the one folder of the repository whose name ends in the
    // variant (preferring "openai" folders when the name is ambiguous) and
    // returns its local path.
    static std::filesystem::path download(const std::string& variant,
                                          const std::optional<std::filesystem::path>& downloadBase,
                                          bool useBackgroundSession, const std::string& repo,
                                          const std::optional<std::string>& token,
                                          const std::string& endpoint,
                                          DownloadProgressCallback progressCallback = {});

  protected:
    // The second phase of construction: model set-up, prewarm, load.
    void setUp(const AuralithConfig& config);

  protected:
    // Transcribes chunk after chunk, releasing each chunk once done. On any
    // failure the stream is finished, so that its loader stops and lets go of
    // the file, and earlier results are dropped.
    Results transcribeFileStream(ChunkStream& audioStream,
                                 const std::optional<DecodingOptions>& decodeOptions,
                                 ProgressCallback callback, bool emitStateCallbacks);
    void reportTranscriptionState(TranscriptionState state) const;
    // The pipeline's detector, or the default energy detector.
    std::shared_ptr<const VoiceActivityDetector> voiceActivityDetectorOrDefault() const;
    std::int64_t windowSamplesOrDefault() const;

  private:
    // The wrapper that moves reported segments by the sample offset.
    static SegmentDiscoveryCallback offsetting(SegmentDiscoveryCallback callback,
                                               std::int64_t offset);
    Results transcribeChunked(const std::vector<float>& audioArray, std::int64_t windowSamples,
                              const DecodingOptions& decodeOptions, ProgressCallback callback);

    ModelVariant modelVariant_ = ModelVariant::tiny;
    vortil::ModelState modelState_ = vortil::ModelState::unloaded;
    ModelComputeOptions modelCompute_;
    AudioInputOptions audioInputOptions_;
    std::shared_ptr<WhisperTokenizer> tokenizer_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector_;
    TranscriptionTimings currentTimings_;
    mutable std::mutex progressMutex_;
    std::shared_ptr<platform::Progress> progress_ = std::make_shared<platform::Progress>();
    std::optional<std::filesystem::path> modelFolder_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    bool useBackgroundDownloadSession_ = false;
    SegmentDiscoveryCallback segmentDiscoveryCallback_;
    ModelStateCallback modelStateCallback_;
    TranscriptionStateCallback transcriptionStateCallback_;
};

}  // namespace auralith
