#include "verbolin/storage/TranscriptSummary.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <unordered_map>

#include "platform/system/AppError.hpp"
#include "verbolin/storage/TranscriptCopy.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

// How each record of the transcript stands, by id, for counting only the
// lines of the recovery files that the next start takes in. Not known
// where the transcript could not be read whole: every line counts then, as
// that start may take them in once it can check them. With the marks of
// the lines the transcript dealt with, which no start takes in again.
struct Standing {
    bool known = false;
    std::unordered_map<platform::Uuid, TranscriptStore::Revision> segments, sessions;
    std::optional<TranscriptDB::RecoveryMarks> marks;
};

template <class Record>
void note(std::unordered_map<platform::Uuid, TranscriptStore::Revision>& revisions,
          const std::vector<Record>& written, const std::vector<platform::Uuid>& deleted) {
    for (const Record& record : written)
        revisions.insert_or_assign(record.id, TranscriptStore::revisionOf(record));
    for (const platform::Uuid& id : deleted) revisions.erase(id);
}

// Why a write would fail, asked of the system without writing: the folder
// too, since SQLite makes its journals beside the file.
std::string whyNotWritable(const fs::path& folder, const fs::path& file) {
    for (const fs::path& path : {folder, file})
        if (::access(path.c_str(), W_OK) != 0)
            return path.string() + " cannot be written to (" + std::strerror(errno) + ")";
    return "";
}

void count(TranscriptSummary& out, Standing& standing, const fs::path& file,
           TranscriptDB::Access access, const UserCalendar& calendar) {
    TranscriptDB db(file, access);
    const std::vector<Segment> segments = db.allSegments();
    standing.known = db.lastReadWhole();
    const std::vector<SessionMarker> sessions = db.allSessions();
    standing.marks = db.recoveryMarks();
    out.marksUnread = db.marksProblem();
    out.marksWayOut = db.marksWayOut();
    standing.known = standing.known && db.lastReadWhole() && out.newestUnread.empty() &&
                     standing.marks.has_value();
    out.segments = segments.size();
    out.sessions = TranscriptStore::sessionItems(segments, sessions, calendar).size();
    note(standing.segments, segments, {});
    note(standing.sessions, sessions, {});
}

void readTranscript(TranscriptSummary& out, Standing& standing, const fs::path& folder,
                    const UserCalendar& calendar) {
    const fs::path file = folder / "transcript.sqlite";
    std::error_code ec;
    out.exists = fs::exists(fs::symlink_status(file, ec));
    standing.known = !out.exists;  // none yet: the start makes it empty
    if (!out.exists) return;
    try {
        // Beside a connection that has it open, the journal and its index
        // are that connection's, kept valid by it, and read in place. One
        // left by a writer that was killed is read from a copy: in place its
        // index would be rebuilt, or the journal missed where the folder
        // cannot take the index. Without one, the file holds all there is.
        if (TranscriptCopy::openElsewhere(file)) {
            count(out, standing, file, TranscriptDB::Access::readOnly, calendar);
        } else if (!TranscriptCopy::hasJournal(file)) {
            count(out, standing, file, TranscriptDB::Access::asStored, calendar);
        } else {
            std::optional<TranscriptCopy> copy;
            try {
                copy.emplace(file);
            } catch (const std::runtime_error& e) {
                out.newestUnread = e.what();
            }
            count(out, standing, copy ? copy->file() : file,
                  copy ? TranscriptDB::Access::readOnly : TranscriptDB::Access::asStored, calendar);
        }
    } catch (const platform::AppError& e) {
        out.unreadable = e.what();
        return;
    }
    out.notWritable = whyNotWritable(folder, file);
}

// What `file` changes over `standing`, which then holds it too, as the next
// start takes the files in one after another.
TranscriptSummary::Waiting waitingIn(const fs::path& file, Standing& standing) {
    TranscriptSummary::Waiting waiting;
    waiting.file = file;
    std::optional<TranscriptStore::Recovered> recovered;
    const auto look = [](const auto& revisions) {
        return [&revisions](const platform::Uuid& id) {
            const auto at = revisions.find(id);
            return at == revisions.end() ? TranscriptStore::Prior()
                                         : TranscriptStore::Prior(at->second);
        };
    };
    const TranscriptStore::Standing asked{look(standing.segments), look(standing.sessions),
                                          standing.marks ? &*standing.marks : nullptr};
    try {
        recovered = TranscriptStore::readRecoveryFile(file, standing.known ? &asked : nullptr);
    } catch (const std::runtime_error& e) {
        waiting.unreadable = e.what();
        return waiting;
    }
    if (!recovered) return waiting;
    // As the start takes them in: a later copy of these lines adds nothing.
    if (standing.marks)
        for (const auto& [identity, line] : recovered->dealtWith)
            (*standing.marks)[identity] = std::max((*standing.marks)[identity], line);
    const TranscriptDB::Changes& c = recovered->changes;
    note(standing.segments, c.segments, c.deletedSegments);
    note(standing.sessions, c.sessions, c.deletedSessions);
    waiting.texts = c.segments.size();
    waiting.otherChanges = c.deletedSegments.size() + c.sessions.size() + c.deletedSessions.size();
    return waiting;
}

}  // namespace

TranscriptSummary TranscriptSummary::of(std::optional<fs::path> directory,
                                        const UserCalendar& calendar) {
    TranscriptSummary out;
    out.directory = directory ? *directory : TranscriptStore::defaultDirectory();
    // A folder of the earlier version that the next start takes over is
    // what that start shows.
    fs::path read = out.directory;
    std::error_code ec;
    if (!directory && !fs::exists(read, ec) && fs::exists(TranscriptStore::legacyDirectory(), ec))
        read = TranscriptStore::legacyDirectory();
    Standing standing;
    readTranscript(out, standing, read, calendar);
    for (const fs::path& file : TranscriptStore::recoveryFilesToTakeIn(out.directory)) {
        Waiting waiting = waitingIn(file, standing);
        if (waiting.texts || waiting.otherChanges || !waiting.unreadable.empty())
            out.waiting.push_back(std::move(waiting));
    }
    return out;
}

}  // namespace verbolin
