#include "verbolin/storage/ReadStop.hpp"

#include <sqlite3.h>

namespace verbolin {

void ReadStop::request() {
    flag_.store(true, std::memory_order_relaxed);
    const std::lock_guard lock(mutex_);
    if (reading_) sqlite3_interrupt(reading_);
}

ReadStop::Reading::Reading(ReadStop& stop, sqlite3* db) : stop_(stop) {
    const std::lock_guard lock(stop_.mutex_);
    stop_.reading_ = db;
}

ReadStop::Reading::~Reading() {
    const std::lock_guard lock(stop_.mutex_);
    stop_.reading_ = nullptr;
}

}  // namespace verbolin
