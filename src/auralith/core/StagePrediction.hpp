#pragma once
// The prediction step the mel and encoder stages share: a cancellation check,
// then one prediction inside a signpost interval that is closed on every path.

#include <memory>
#include <string>

#include "auralith/utilities/Signposter.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/ml/MLFeatureProvider.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MLModelError.hpp"

namespace auralith::detail {

// Throws platform::CancellationError before anything else when the thread's
// task is cancelled (no interval is begun then); the model's errors pass
// through after the interval ends.
std::shared_ptr<const platform::ml::MLFeatureProvider> predictStage(
    const platform::ml::MLModel& model, const platform::ml::MLFeatureProvider& input,
    const std::string& signpostName, Signposter& signposter);

// Runs `read` on a prediction's output; a model that broke its output
// contract (the array missing or not a multi-array) becomes
// WhisperError::audioProcessingFailed rather than a runtime error.
template <class Read>
auto readStageOutput(Read&& read) {
    try {
        return read();
    } catch (const platform::ml::MLModelError& error) {
        throw WhisperError::audioProcessingFailed(error.what());
    }
}

}  // namespace auralith::detail
