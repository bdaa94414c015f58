#pragma once
// Copies the transcript's WAL into the database file on a thread and a
// connection of its own. Done inside the commit that made the WAL long, as
// SQLite does by itself, the copy and its two syncs land on one key of the
// user's, and take a hundred milliseconds in a transcript of some years; the
// writer only asks for it here, and goes on. The copy never waits for the
// writer nor makes it wait (SQLite's passive checkpoint), so what it cannot
// copy yet is copied at the next request.

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

struct sqlite3;

namespace verbolin {

class WalCheckpointer {
  public:
    // Opens nothing yet: the connection is made on the thread, at the first
    // request, so that a transcript whose WAL stays short costs no file.
    explicit WalCheckpointer(std::filesystem::path file);
    // Waits for a copy under way, then closes the connection, so that the
    // writer's own close is the last and copies what is left. Says what
    // failed since the last request.
    ~WalCheckpointer();
    WalCheckpointer(const WalCheckpointer&) = delete;
    WalCheckpointer& operator=(const WalCheckpointer&) = delete;

    // Asks for a copy and returns at once; requests made while one is under
    // way are served by one more. Says (on the caller's thread, the
    // writer's) why an earlier copy failed, once for each reason.
    void request();
    // Whether the copy cannot be made here (the connection would not open):
    // the writer then copies the WAL itself, as SQLite would have.
    bool unavailable() const;

  private:
    void run(std::stop_token stop);
    // Opens the connection; false (with problem_ set) when it cannot.
    bool open();
    void checkpoint();
    // Says the problem the thread met, if any, on the caller's thread.
    void sayProblem();

    std::filesystem::path file_;
    sqlite3* db_ = nullptr;  // the thread's alone
    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    bool wanted_ = false;
    bool unavailable_ = false;
    std::optional<std::string> problem_;  // met on the thread, not said yet
    // The last problem said, so that a disk that keeps failing is not said
    // at every request.
    std::string said_;
    std::jthread thread_;  // last: it runs over the members above
};

}  // namespace verbolin
