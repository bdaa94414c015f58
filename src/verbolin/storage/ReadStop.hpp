#pragma once
// Ends a read that runs on another thread's SQLite connection, at once:
// the flag that the read looks at between rows and in SQLite's progress
// handler, and an interrupt of the connection itself. Only the interrupt
// ends the one step of SQLite's that calls no progress handler, the quick
// check's walk over every page of the file, which a slow disk stretches to
// minutes; a quit would wait for all of it.

#include <atomic>
#include <mutex>

struct sqlite3;

namespace verbolin {

class ReadStop {
  public:
    // Sets the flag and interrupts the connection that reads, if one does.
    // SQLite forgets an interrupt that finds no statement running, so one
    // who waits for the read asks again while it waits.
    void request();
    bool requested() const { return flag_.load(std::memory_order_relaxed); }
    // The flag alone, for what looks at it between rows.
    const std::atomic<bool>& flag() const { return flag_; }

    // Names the connection that request() interrupts, for as long as it
    // lives: made once the connection is open, gone before it closes.
    class Reading {
      public:
        Reading(ReadStop& stop, sqlite3* db);
        ~Reading();
        Reading(const Reading&) = delete;
        Reading& operator=(const Reading&) = delete;

      private:
        ReadStop& stop_;
    };

  private:
    std::atomic<bool> flag_{false};
    // Held while the connection is named or interrupted: SQLite allows an
    // interrupt from another thread only while the connection stays open.
    std::mutex mutex_;
    sqlite3* reading_ = nullptr;
};

}  // namespace verbolin
