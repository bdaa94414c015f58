#include "platform/system/Log.hpp"

#include <cstdio>

namespace platform {

std::string_view logTypeName(LogType type) {
    switch (type) {
        case LogType::debug:
            return "debug";
        case LogType::info:
            return "info";
        case LogType::defaultType:
            return "default";
        case LogType::error:
            return "error";
        case LogType::fault:
            return "fault";
    }
    return "default";
}

std::string formatLogEntry(std::string_view subsystem, std::string_view category, LogType type,
                           std::string_view message) {
    std::string entry;
    entry.reserve(subsystem.size() + category.size() + message.size() + 16);
    entry += '[';
    entry += subsystem;
    entry += ':';
    entry += category;
    entry += "] [";
    entry += logTypeName(type);
    entry += "] ";
    entry += message;
    if (entry.back() != '\n') entry += '\n';
    return entry;
}

void writeLog(std::string_view subsystem, std::string_view category, LogType type,
              std::string_view message) {
    std::string entry = formatLogEntry(subsystem, category, type, message);
    std::fwrite(entry.data(), 1, entry.size(), stderr);
}

}  // namespace platform
