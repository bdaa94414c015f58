#include "auralith/utilities/Logger.hpp"

#include <utility>

namespace auralith {

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(platform::LogType type, std::string_view message) const {
    platform::writeLog(subsystem_, category_, type, message);
}

}  // namespace auralith
