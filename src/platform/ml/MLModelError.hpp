#pragma once
// Errors of the model runtime: loading a model folder, validating prediction
// inputs, running a prediction. The message names the file or feature at fault.

#include <stdexcept>
#include <string>

#include "platform/system/FileRefusal.hpp"

namespace platform::ml {

class MLModelError : public std::runtime_error {
  public:
    enum class Code { generic = 0, featureType = 1, io = 3 };

    MLModelError(Code code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    // A file the system would not open, map or read: `systemError` is its
    // errno, and the message ends with the system's words for it.
    MLModelError(Code code, const std::string& message, int systemError)
        : std::runtime_error(message), code_(code), systemError_(systemError) {}
    Code code() const noexcept { return code_; }
    // The errno of the refusal behind the error; 0 when the fault lies in
    // what the files hold (or a feature or prediction) rather than in reaching them.
    int systemError() const noexcept { return systemError_; }
    // Whether the system refused to open, map or read a file that may well
    // be sound (out of descriptors or memory, no permission, an I/O error),
    // as against a file or folder that is not there at all.
    bool systemRefused() const noexcept { return isRefusal(systemError_); }
    static bool isRefusal(int systemError) noexcept { return platform::isRefusal(systemError); }

  private:
    Code code_;
    int systemError_ = 0;
};

}  // namespace platform::ml
