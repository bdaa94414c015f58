#include "platform/ml/MLModel.hpp"

#include <nlohmann/json.hpp>

#include "platform/ml/AudioEncoderModel.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/TextDecoderModel.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

namespace platform::ml {

std::shared_ptr<MLModel> MLModel::load(const std::filesystem::path& folder,
                                       const MLModelConfiguration& configuration) {
    ModelFolder model = [&] {
        try {
            ModelFolder m = ModelFolder::read(folder);
            m.checkAgainstLayout();
            return m;
        } catch (const nlohmann::json::exception& e) {
            // A value of an unexpected JSON type that a check missed.
            throw MLModelError(MLModelError::Code::generic,
                               "Invalid model at " + folder.string() + ": " + e.what());
        }
    }();
    if (model.kind() == WhisperModelLayout::kMelSpectrogram)
        return std::make_shared<MelSpectrogramModel>(model, configuration);
    if (model.kind() == WhisperModelLayout::kAudioEncoder)
        return std::make_shared<AudioEncoderModel>(model, configuration);
    if (model.kind() == WhisperModelLayout::kTextDecoder)
        return std::make_shared<TextDecoderModel>(model, configuration);
    throw MLModelError(MLModelError::Code::generic, "Invalid model at " + folder.string() +
                                                        ": model kind \"" + model.kind() +
                                                        "\" cannot run here");
}

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& input,
                                                       const MLPredictionOptions&) const {
    Arrays inputs;
    for (const auto& [name, feature] : description_.inputDescriptionsByName) {
        auto value = input.featureValue(name);
        if (!value) {
            if (feature.isOptional) continue;
            throw MLModelError(MLModelError::Code::featureType,
                               "Required input feature \"" + name + "\" is missing");
        }
        const auto& array = value->multiArrayValue();
        if (feature.type != MLFeatureType::multiArray || !array)
            throw MLModelError(MLModelError::Code::featureType,
                               "Input feature \"" + name + "\" is not a multi-array");
        const auto& c = *feature.multiArrayConstraint;
        if (array->dataType() != c.dataType)
            throw MLModelError(MLModelError::Code::featureType,
                               "Input feature \"" + name + "\" is " +
                                   dataTypeName(array->dataType()) + " but the model takes " +
                                   dataTypeName(c.dataType));
        if (array->shape() != c.shape)
            throw MLModelError(MLModelError::Code::featureType,
                               "Input feature \"" + name + "\" has shape " +
                                   shapeText(array->shape()) + " but the model takes " +
                                   shapeText(c.shape));
        inputs[name] = array;
    }
    Arrays outputs = evaluate(inputs);
    for (const auto& [name, feature] : description_.outputDescriptionsByName) {
        auto it = outputs.find(name);
        if (it == outputs.end() || !it->second) {
            if (feature.isOptional) continue;
            throw MLModelError(MLModelError::Code::generic,
                               "The model produced no \"" + name + "\"");
        }
    }
    return std::make_shared<MLDictionaryFeatureProvider>(std::move(outputs));
}

}  // namespace platform::ml
