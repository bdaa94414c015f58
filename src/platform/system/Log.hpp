#pragma once
// Our stand-in for the system's unified log: one entry per call, written to
// standard error with its subsystem, category and type, the message never
// redacted. Entry types follow the unified log's: debug, info, default,
// error and fault.

#include <string>
#include <string_view>

namespace platform {

enum class LogType { debug, info, defaultType, error, fault };

// "debug", "info", "default", "error", "fault".
std::string_view logTypeName(LogType type);

// The entry's text: "[subsystem:category] [type] message", ending in one newline.
std::string formatLogEntry(std::string_view subsystem, std::string_view category, LogType type,
                           std::string_view message);

// Writes the entry to standard error in a single write, so entries from
// several threads do not interleave.
void writeLog(std::string_view subsystem, std::string_view category, LogType type,
              std::string_view message);

}  // namespace platform
