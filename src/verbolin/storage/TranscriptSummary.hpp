#pragma once
// What the transcript of a data folder holds, for `verbolin --status`, read
// without changing anything on disk: no folder or file is made, nothing is
// locked, the database is opened for reading only (beside a run that is
// writing it; else a journal beside it is read from a private copy), and
// the recovery files are counted but neither stored nor removed. The
// earlier versions' transcript files are left to the next start. Not for a
// process that has the transcript open itself (see TranscriptCopy).

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "verbolin/storage/UserCalendar.hpp"

namespace verbolin {

struct TranscriptSummary {
    std::filesystem::path directory;  // the data folder the application uses
    bool exists = false;              // whether its transcript has been made
    std::string unreadable;           // why the transcript could not be read, when it could not
    std::string notWritable;          // why new text would not be written to it now
    // Why the journal beside the file, with the newest changes, could not be
    // read, when it could not: the counts are then of the file alone.
    std::string newestUnread;
    // Why the transcript's marks of the recovery lines taken in could not be
    // read, naming their table, when they could not: no start takes a
    // recovery file in until they can.
    std::string marksUnread;
    std::string marksWayOut;  // what makes them readable, as a start can follow it
    size_t segments = 0;
    size_t sessions = 0;  // as the sidebar lists them

    // A recovery file with changes that the next start that can write the
    // transcript stores.
    struct Waiting {
        std::filesystem::path file;
        size_t texts = 0;         // segments said or edited
        size_t otherChanges = 0;  // deletions, sessions started, renamed or removed
        std::string unreadable;   // why it could not be read, when it could not
    };
    std::vector<Waiting> waiting;

    // Of `directory`, or of the folder a store made without one uses.
    static TranscriptSummary of(std::optional<std::filesystem::path> directory = std::nullopt,
                                const UserCalendar& calendar = UserCalendar());
};

}  // namespace verbolin
