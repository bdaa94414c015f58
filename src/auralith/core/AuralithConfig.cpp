#include "auralith/core/AuralithConfig.hpp"

#include <utility>

namespace auralith {

AuralithConfig::AuralithConfig(
    std::optional<std::string> model, std::optional<std::filesystem::path> downloadBase,
    std::optional<std::string> modelRepo, std::optional<std::string> modelToken,
    std::optional<std::string> modelEndpoint, std::optional<std::string> modelFolder,
    std::optional<std::filesystem::path> tokenizerFolder,
    std::optional<ModelComputeOptions> computeOptions,
    std::optional<AudioInputOptions> audioInputConfig,
    std::shared_ptr<AudioProcessing> audioProcessor,
    std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<TextDecoding> textDecoder,
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters,
    std::shared_ptr<SegmentSeeking> segmentSeeker,
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector, bool verbose, LogLevel logLevel,
    std::optional<bool> prewarm, std::optional<bool> load, bool download,
    bool useBackgroundDownloadSession)
    : model(std::move(model)),
      downloadBase(std::move(downloadBase)),
      modelRepo(std::move(modelRepo)),
      modelToken(std::move(modelToken)),
      modelEndpoint(std::move(modelEndpoint)),
      modelFolder(std::move(modelFolder)),
      tokenizerFolder(std::move(tokenizerFolder)),
      computeOptions(std::move(computeOptions)),
      audioInputConfigStorage(std::move(audioInputConfig)),
      audioProcessor(std::move(audioProcessor)),
      featureExtractor(std::move(featureExtractor)),
      audioEncoder(std::move(audioEncoder)),
      textDecoder(std::move(textDecoder)),
      logitsFilters(std::move(logitsFilters)),
      segmentSeeker(std::move(segmentSeeker)),
      voiceActivityDetector(std::move(voiceActivityDetector)),
      verbose(verbose),
      logLevel(logLevel),
      prewarm(prewarm),
      load(load),
      download(download),
      useBackgroundDownloadSession(useBackgroundDownloadSession) {}

}  // namespace auralith
