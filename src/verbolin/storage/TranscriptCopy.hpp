#pragma once
// A private copy of the transcript with the journal beside it, for reading
// what was committed without making or changing a file in the data folder:
// SQLite reading a WAL in place rebuilds its index file there (or, in a
// folder that cannot be written, reads the database file alone and misses
// what the WAL holds). The copy lies in a folder of mode 0700 in the
// temporary folder and is removed with the object. The folder is held (a
// platform::HeldTemporary: locked, and written to through its descriptor
// only once it is known to be the one made) for as long as the object
// lives, so that a run killed before it could remove it leaves a folder
// that no one holds, which the next run removes (removeLeftovers).
//
// Only for a process that holds no connection to the transcript itself:
// closing a file drops every lock the process holds on it.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class HeldTemporary;
}

namespace verbolin {

class TranscriptCopy {
  public:
    // Copies `file` and its "-wal" or "-journal". Throws std::runtime_error
    // saying why when that cannot be done, or when the files kept changing
    // while they were copied.
    explicit TranscriptCopy(const std::filesystem::path& file);
    ~TranscriptCopy();
    TranscriptCopy(const TranscriptCopy&) = delete;
    TranscriptCopy& operator=(const TranscriptCopy&) = delete;

    const std::filesystem::path& file() const { return file_; }

    // Whether a journal beside `file` may hold changes the file lacks.
    static bool hasJournal(const std::filesystem::path& file);
    // Whether a connection (of another process) has `file` open: each keeps
    // a shared lock on it while open in WAL mode, and while it reads in
    // rollback mode.
    static bool openElsewhere(const std::filesystem::path& file);

    // Removes the folders of copies that runs killed while they held them
    // left in the temporary folder: this user's, that no copy holds now.
    // Links are not followed, and another user's folder is left alone.
    // Returns what could not be removed, one text each.
    static std::vector<std::string> removeLeftovers();

  private:
    // Makes and holds the folder, again under another name when a run
    // removing leftovers took it before it was held.
    void makeFolder();

    std::unique_ptr<platform::HeldTemporary> folder_;
    std::filesystem::path file_;
};

}  // namespace verbolin
