#pragma once
// The support library's process-wide logger. Logging is off until a level
// other than none is set. Messages go to standard error, tagged with the
// subsystem "com.vortil.vortilcore" and category "Vortil", unless a callback is
// installed, which then receives every message instead.
//
// The level and the callback are read together under one lock, and nothing
// else happens under it: a callback may log again or change the level.
// The callback runs on whichever thread logs, possibly several at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/system/Log.hpp"

namespace vortil {

class Logging {
  public:
    // Raw values start at 1; ordered debug < info < error < none.
    enum class LogLevel : int { debug = 1, info = 2, error = 3, none = 4 };

    // The case for 1 to 4, nothing for any other integer.
    static std::optional<LogLevel> logLevelFromRawValue(int rawValue);

    // The system log's entry types. defaultType counts as info, fault as error.
    using LogType = platform::LogType;

    using Callback = std::function<void(const std::string&)>;

    static constexpr const char* subsystem = "com.vortil.vortilcore";
    static constexpr const char* category = "Vortil";

    static Logging& shared();

    Logging(const Logging&) = delete;
    Logging& operator=(const Logging&) = delete;

    LogLevel logLevel() const;
    void setLogLevel(LogLevel level);
    // Empty when no callback is installed.
    Callback loggingCallback() const;
    // An empty function restores the standard-error sink.
    void setLoggingCallback(Callback callback);

    // True unless the shared logger's level is none.
    static bool isLoggingEnabled();
    // True when the shared logger's level is not none and is at or below level.
    static bool isLoggingEnabled(LogLevel level);

    // Joins the items with the separator and appends the terminator when one is
    // given (no newline otherwise), then emits the message if the type passes
    // the configured level.
    void log(const std::vector<std::string>& items, std::string_view separator = " ",
             std::optional<std::string_view> terminator = std::nullopt,
             LogType type = LogType::defaultType);

    // Items are turned into text as string interpolation would: strings as they
    // are, numbers in their shortest round-trip form ("2.5", "2.0"), anything
    // else through operator<<. Joined with " ", no terminator.
    template <class... Items>
    static void debug(const Items&... items) {
        shared().emitItems(LogType::debug, items...);
    }
    template <class... Items>
    static void info(const Items&... items) {
        shared().emitItems(LogType::info, items...);
    }
    template <class... Items>
    static void error(const Items&... items) {
        shared().emitItems(LogType::error, items...);
    }

    static void updateLogLevel(LogLevel level);
    static void updateCallback(Callback callback);

    // The process's resident memory in whole mebibytes; 0 when unavailable.
    static uint64_t getMemoryUsage();
    // Logs at debug level: message + " - Memory usage: " + getMemoryUsage() + " MB".
    static void logCurrentMemoryUsage(const std::string& message);

    // time in seconds, runs as a count, totalDuration in milliseconds:
    // "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%".
    static std::string formatTimeWithPercentage(double time, double runs, double totalDuration);

    template <class T>
    static std::string describe(const T& item) {
        if constexpr (std::is_same_v<T, bool>) {
            return item ? "true" : "false";
        } else if constexpr (std::is_same_v<T, char>) {
            return std::string(1, item);
        } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
            return std::string(std::string_view(item));
        } else if constexpr (std::is_integral_v<T>) {
            return std::to_string(item);
        } else if constexpr (std::is_same_v<T, float>) {
            return describeFloat(item);
        } else if constexpr (std::is_floating_point_v<T>) {
            return describeDouble(static_cast<double>(item));
        } else {
            std::ostringstream os;
            os << item;
            return os.str();
        }
    }

    static std::string describeFloat(float value);
    static std::string describeDouble(double value);

  private:
    Logging() = default;

    template <class... Items>
    static std::string joined(const Items&... items) {
        std::string out;
        [[maybe_unused]] bool first = true;
        ((out += (first ? "" : " "), out += describe(items), first = false), ...);
        return out;
    }

    // Reads the level and callback under the lock; false when the type is
    // filtered out. Nothing is built for a filtered message.
    bool passes(LogType type, std::shared_ptr<const Callback>& callback) const;
    // Hands the finished message to the callback, or to standard error.
    static void deliver(LogType type, const std::string& message,
                        const std::shared_ptr<const Callback>& callback);

    template <class... Items>
    void emitItems(LogType type, const Items&... items) {
        std::shared_ptr<const Callback> callback;
        if (!passes(type, callback)) return;
        deliver(type, joined(items...), callback);
    }

    struct State {
        LogLevel logLevel = LogLevel::none;
        std::shared_ptr<const Callback> loggingCallback;
    };
    mutable std::mutex lock_;
    State state_;
};

}  // namespace vortil
