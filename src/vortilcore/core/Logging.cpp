#include "vortilcore/core/Logging.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/system/NumberText.hpp"
#include "platform/system/SysInfo.hpp"

namespace vortil {

namespace {

Logging::LogLevel levelOf(Logging::LogType type) {
    switch (type) {
        case Logging::LogType::debug:
            return Logging::LogLevel::debug;
        case Logging::LogType::info:
            return Logging::LogLevel::info;
        case Logging::LogType::error:
        case Logging::LogType::fault:
            return Logging::LogLevel::error;
        case Logging::LogType::defaultType:
            break;
    }
    return Logging::LogLevel::info;
}

}  // namespace

std::optional<Logging::LogLevel> Logging::logLevelFromRawValue(int rawValue) {
    if (rawValue < 1 || rawValue > 4) return std::nullopt;
    return static_cast<LogLevel>(rawValue);
}

Logging& Logging::shared() {
    static Logging instance;
    return instance;
}

Logging::LogLevel Logging::logLevel() const {
    std::lock_guard<std::mutex> guard(lock_);
    return state_.logLevel;
}

void Logging::setLogLevel(LogLevel level) {
    std::lock_guard<std::mutex> guard(lock_);
    state_.logLevel = level;
}

Logging::Callback Logging::loggingCallback() const {
    std::shared_ptr<const Callback> callback;
    {
        std::lock_guard<std::mutex> guard(lock_);
        callback = state_.loggingCallback;
    }
    return callback ? *callback : Callback();
}

void Logging::setLoggingCallback(Callback callback) {
    std::shared_ptr<const Callback> next;
    if (callback) next = std::make_shared<const Callback>(std::move(callback));
    std::lock_guard<std::mutex> guard(lock_);
    // The previous callback is released when `next` leaves scope, outside the lock.
    state_.loggingCallback.swap(next);
}

bool Logging::isLoggingEnabled() { return shared().logLevel() != LogLevel::none; }

bool Logging::isLoggingEnabled(LogLevel level) {
    LogLevel configured = shared().logLevel();
    return configured != LogLevel::none && configured <= level;
}

void Logging::log(const std::vector<std::string>& items, std::string_view separator,
                  std::optional<std::string_view> terminator, LogType type) {
    std::shared_ptr<const Callback> callback;
    if (!passes(type, callback)) return;
    std::string message;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) message += separator;
        message += items[i];
    }
    if (terminator) message += *terminator;
    deliver(type, message, callback);
}

bool Logging::passes(LogType type, std::shared_ptr<const Callback>& callback) const {
    std::lock_guard<std::mutex> guard(lock_);
    LogLevel configured = state_.logLevel;
    if (configured == LogLevel::none) return false;
    if (static_cast<int>(levelOf(type)) < static_cast<int>(configured)) return false;
    callback = state_.loggingCallback;  // retained; called after the lock is released
    return true;
}

void Logging::deliver(LogType type, const std::string& message,
                      const std::shared_ptr<const Callback>& callback) {
    if (callback) {
        (*callback)(message);
        return;
    }
    platform::writeLog(subsystem, category, type, message);
}

void Logging::updateLogLevel(LogLevel level) { shared().setLogLevel(level); }

void Logging::updateCallback(Callback callback) {
    shared().setLoggingCallback(std::move(callback));
}

uint64_t Logging::getMemoryUsage() { return platform::residentMemoryBytes() >> 20; }

void Logging::logCurrentMemoryUsage(const std::string& message) {
    std::string line = message + " - Memory usage: " + std::to_string(getMemoryUsage()) + " MB";
    shared().log({line}, " ", std::nullopt, LogType::debug);
}

std::string Logging::formatTimeWithPercentage(double time, double runs, double totalDuration) {
    double milliseconds = time * 1000;
    double perRun = runs > 0 ? milliseconds / runs : 0;
    double percentage = milliseconds / totalDuration * 100;
    // 0/0 carries the sign bit on x86, which glibc prints as "-nan"; the
    // report shows a not-a-number share as plain "nan".
    if (std::isnan(percentage)) percentage = std::numeric_limits<double>::quiet_NaN();
    static const char* format = "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%";
    // The widths are minimums: a large figure widens the line, so size it first.
    int length = std::snprintf(nullptr, 0, format, milliseconds, runs, perRun, percentage);
    if (length <= 0) return std::string();
    std::string line(size_t(length) + 1, '\0');
    std::snprintf(line.data(), line.size(), format, milliseconds, runs, perRun, percentage);
    line.resize(size_t(length));
    return line;
}

std::string Logging::describeFloat(float value) { return platform::numberText(value); }

std::string Logging::describeDouble(double value) { return platform::numberText(value); }

}  // namespace vortil
