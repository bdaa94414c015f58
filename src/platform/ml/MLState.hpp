#pragma once
// What a stateful model keeps from one prediction to the next (the text
// decoder's key/value cache), held outside the model so that one loaded model
// serves any number of independent runs, each with a state of its own.
//
// A state is made by MLModel::makeState() and used only with models of the
// same feature layout. Predictions through one state run one at a time: a
// second one waits for the first, and so does a look at the state's arrays.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ml/MLMultiArray.hpp"

namespace platform::ml {

class MLModel;

class MLState {
  public:
    using Arrays = std::map<std::string, std::shared_ptr<MLMultiArray>>;

    // Takes the arrays the state starts with; MLModel::makeState() makes them.
    explicit MLState(Arrays arrays);
    MLState(const MLState&) = delete;
    MLState& operator=(const MLState&) = delete;

    std::vector<std::string> names() const;

    // Calls `body` with the named array while no prediction runs through this
    // state (so `body` must not predict through it). Throws MLModelError for a
    // name the state does not keep.
    void withMultiArray(const std::string& name, const std::function<void(MLMultiArray&)>& body);

  private:
    friend class MLModel;  // holds the lock for a whole prediction

    Arrays arrays_;  // fixed at construction; only the contents change
    std::mutex mutex_;
};

}  // namespace platform::ml
