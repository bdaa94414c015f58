#pragma once
// A unified-log style logger bound to a subsystem and a category. Unlike the
// level-filtered Logging operations, its entries always reach the platform log
// sink (standard error), tagged "[subsystem:category]".

#include <string>
#include <string_view>

#include "platform/system/Log.hpp"

namespace auralith {

class Logger {
  public:
    Logger(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    void log(platform::LogType type, std::string_view message) const;
    void debug(std::string_view message) const { log(platform::LogType::debug, message); }

  private:
    std::string subsystem_;
    std::string category_;
};

}  // namespace auralith
