#include "verbolin/storage/StorageLog.hpp"

#include <cstdio>
#include <mutex>
#include <utility>

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
    std::fprintf(stderr, "Verbolin storage: %s\n", message.c_str());
}

StorageLogSink setStorageLogSink(StorageLogSink s) {
    std::lock_guard lock(sinkMutex());
    return std::exchange(sink(), std::move(s));
}

}  // namespace verbolin
