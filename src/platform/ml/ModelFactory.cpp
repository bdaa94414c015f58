#include "platform/ml/ModelFactory.hpp"

#include <nlohmann/json.hpp>

#include "platform/ml/AudioEncoderModel.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/TextDecoderModel.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

namespace platform::ml {

std::shared_ptr<MLModel> ModelFactory::load(const std::filesystem::path& folder,
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

}  // namespace platform::ml
