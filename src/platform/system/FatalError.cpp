#include "platform/system/FatalError.hpp"

#include <cstdlib>
#include <string>

#include "platform/system/Log.hpp"

namespace platform {

void fatalError(std::string_view message) {
    std::string text = "Fatal error: ";
    text += message;
    writeLog("", "", LogType::fault, text);
    std::abort();
}

}  // namespace platform
