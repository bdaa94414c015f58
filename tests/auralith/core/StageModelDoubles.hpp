#pragma once
// Model doubles for the mel and encoder stage tests: a model with a chosen
// description whose prediction runs a function of the test, counting calls.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/ml/MLModel.hpp"

namespace auralith::testing {

class ScriptedModel : public platform::ml::MLModel {
  public:
    using Evaluate = std::function<Arrays(const Arrays&)>;

    ScriptedModel(platform::ml::MLModelDescription description, Evaluate evaluate)
        : MLModel(std::move(description), {}), evaluate_(std::move(evaluate)) {}

    int calls() const { return calls_.load(); }

  protected:
    Arrays evaluate(const Arrays& inputs) const override {
        calls_.fetch_add(1);
        return evaluate_(inputs);
    }

  private:
    Evaluate evaluate_;
    mutable std::atomic<int> calls_{0};
};

inline platform::ml::MLFeatureDescription arrayFeature(
    const std::string& name, std::vector<std::int64_t> shape,
    platform::ml::MLMultiArrayDataType type = platform::ml::MLMultiArrayDataType::float32,
    bool optional = false) {
    return {name, platform::ml::MLFeatureType::multiArray, optional,
            platform::ml::MLMultiArrayConstraint{std::move(shape), type}};
}

}  // namespace auralith::testing
