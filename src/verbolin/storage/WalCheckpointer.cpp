#include "verbolin/storage/WalCheckpointer.hpp"

#include <sqlite3.h>

#include <cstring>
#include <utility>

#include "verbolin/storage/StorageLog.hpp"

namespace verbolin {
namespace {

bool isBusy(int rc) { return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED; }

std::string reason(sqlite3* db, int rc) {
    std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int system = db ? sqlite3_system_errno(db) : 0;
    if (system != 0) text += std::string(" (") + std::strerror(system) + ")";
    return text;
}

}  // namespace

WalCheckpointer::WalCheckpointer(std::filesystem::path file) : file_(std::move(file)) {}

WalCheckpointer::~WalCheckpointer() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    thread_.join();
    sayProblem();
}

void WalCheckpointer::request() {
    sayProblem();
    {
        std::lock_guard lock(mutex_);
        wanted_ = true;
        if (!thread_.joinable())
            thread_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
    }
    wake_.notify_one();
}

bool WalCheckpointer::unavailable() const {
    std::lock_guard lock(mutex_);
    return unavailable_;
}

void WalCheckpointer::sayProblem() {
    std::optional<std::string> problem;
    {
        std::lock_guard lock(mutex_);
        problem = std::exchange(problem_, std::nullopt);
    }
    if (problem) logStorageError(*problem);
}

void WalCheckpointer::run(std::stop_token stop) {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, stop, [this] { return wanted_; });
            // The writer's close copies what is left.
            if (stop.stop_requested()) break;
            wanted_ = false;
        }
        if (!db_ && !open()) {
            std::lock_guard lock(mutex_);
            if (unavailable_) break;
            continue;  // held by another program for the moment: tried at the next request
        }
        checkpoint();
    }
    sqlite3_close(std::exchange(db_, nullptr));
}

bool WalCheckpointer::open() {
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(file_.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    // A connection finds the WAL beside the file at its first read; until
    // then it has none to copy.
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(handle, "PRAGMA schema_version", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        db_ = handle;
        return true;
    }
    const std::string why = reason(handle, rc);
    sqlite3_close(handle);
    std::lock_guard lock(mutex_);
    unavailable_ = !isBusy(rc);
    if (unavailable_)
        problem_ = "cannot open " + file_.string() + " a second time to copy its WAL into it (" +
                   why + "); each change that makes the WAL long copies it instead";
    return false;
}

void WalCheckpointer::checkpoint() {
    int walFrames = 0, copied = 0;
    const int rc =
        sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, &walFrames, &copied);
    std::lock_guard lock(mutex_);
    // Busy: another copy is under way (another program's), which does
    // this one's work.
    if (rc == SQLITE_OK || isBusy(rc)) {
        if (rc == SQLITE_OK) said_.clear();
        return;
    }
    std::string why = "copying " + file_.string() + "-wal into the transcript failed (" +
                      reason(db_, rc) + "); it is tried again as the WAL grows";
    if (why == said_) return;
    said_ = why;
    problem_ = std::move(why);
}

}  // namespace verbolin
