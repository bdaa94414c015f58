#include "auralith/core/MelSpectrogramOutput.hpp"

#include "auralith/core/FeatureProviderSupport.hpp"

namespace auralith {

using platform::ml::Float16;
using platform::ml::MLDictionaryFeatureProvider;
using platform::ml::MLMultiArray;
using platform::ml::MLShapedArray;

MelSpectrogramOutput::MelSpectrogramOutput(std::shared_ptr<MLMultiArray> melspectrogram_features)
    : provider(std::make_shared<MLDictionaryFeatureProvider>(
          std::map<std::string, std::shared_ptr<MLMultiArray>>{
              {kMelspectrogramFeatures, std::move(melspectrogram_features)}})) {}

std::shared_ptr<MLMultiArray> MelSpectrogramOutput::melspectrogramFeatures() const {
    return detail::requiredArray(*provider, kMelspectrogramFeatures);
}

MLShapedArray<Float16> MelSpectrogramOutput::melspectrogram_featuresShapedArray() const {
    return MLShapedArray<Float16>(melspectrogramFeatures());
}

}  // namespace auralith
