#include "verbolin/storage/StorageLog.hpp"

#include <mutex>
#include <utility>

#include "platform/system/Log.hpp"

namespace verbolin {
namespace {

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

StorageLogSink& sink() {
    static StorageLogSink s;
    return s;
}

}  // namespace

void logStorageError(const std::string& message) {
    StorageLogSink current;
    {
        std::lock_guard lock(sinkMutex());
        current = sink();
    }
    if (current) {
        current(message);
        return;
    }
    platform::writeLog("Verbolin", "storage", platform::LogType::error, message);
}

StorageLogSink setStorageLogSink(StorageLogSink s) {
    std::lock_guard lock(sinkMutex());
    return std::exchange(sink(), std::move(s));
}

}  // namespace verbolin
