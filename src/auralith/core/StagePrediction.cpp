#include "auralith/core/StagePrediction.hpp"

#include "auralith/utilities/Logging.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "vortilcore/core/MLModelExtensions.hpp"

namespace auralith::detail {

std::shared_ptr<const platform::ml::MLFeatureProvider> predictStage(
    const platform::ml::MLModel& model, const platform::ml::MLFeatureProvider& input,
    const std::string& signpostName, Signposter& signposter) {
    platform::TaskCancellation::checkCancellation();
    auto interval = Logging::beginSignpost(signpostName, signposter);
    std::shared_ptr<const platform::ml::MLFeatureProvider> output;
    try {
        output = vortil::asyncPrediction(model, input, platform::ml::MLPredictionOptions{});
    } catch (...) {
        Logging::endSignpost(signpostName, interval, signposter);
        throw;
    }
    Logging::endSignpost(signpostName, interval, signposter);
    return output;
}

}  // namespace auralith::detail
