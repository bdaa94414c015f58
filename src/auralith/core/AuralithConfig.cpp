#include "auralith/core/AuralithConfig.hpp"

#include <utility>

namespace auralith {

AuralithConfig::AuralithConfig(Arguments a)
    : model(std::move(a.model)),
      downloadBase(std::move(a.downloadBase)),
      modelRepo(std::move(a.modelRepo)),
      modelToken(std::move(a.modelToken)),
      modelEndpoint(std::move(a.modelEndpoint)),
      modelFolder(std::move(a.modelFolder)),
      tokenizerFolder(std::move(a.tokenizerFolder)),
      computeOptions(std::move(a.computeOptions)),
      audioInputConfigStorage(std::move(a.audioInputConfig)),
      audioProcessor(std::move(a.audioProcessor)),
      featureExtractor(std::move(a.featureExtractor)),
      audioEncoder(std::move(a.audioEncoder)),
      textDecoder(std::move(a.textDecoder)),
      logitsFilters(std::move(a.logitsFilters)),
      segmentSeeker(std::move(a.segmentSeeker)),
      voiceActivityDetector(std::move(a.voiceActivityDetector)),
      verbose(a.verbose),
      logLevel(a.logLevel),
      prewarm(a.prewarm),
      load(a.load),
      download(a.download),
      useBackgroundDownloadSession(a.useBackgroundDownloadSession) {}

}  // namespace auralith
