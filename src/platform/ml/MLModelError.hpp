#pragma once
// Errors of the model runtime: loading a model folder, validating prediction
// inputs, running a prediction. The message names the file or feature at fault.

#include <stdexcept>
#include <string>

namespace platform::ml {

class MLModelError : public std::runtime_error {
  public:
    enum class Code { generic = 0, featureType = 1, io = 3 };

    MLModelError(Code code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    Code code() const noexcept { return code_; }

  private:
    Code code_;
};

}  // namespace platform::ml
