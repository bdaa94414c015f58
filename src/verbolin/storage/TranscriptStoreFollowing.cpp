// Another program may change the transcript while the store runs (the
// sqlite3 shell deleting rows, a sync tool putting back an older copy of a
// table). The store's own connection tells it so cheaply: the file's
// data version moves only when another connection commits. The file is then
// read whole again, as one state, off the window's thread, and memory
// becomes what the file holds with what this run has not stored laid over
// it, before anything more is written: a later change is made to what the
// other program left, and nothing it took away comes back.

#include <system_error>

#include "platform/system/AppError.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {

void TranscriptStore::followOtherPrograms(const TranscriptDB::Changes* pending) {
    if (earlier_ || !db_ || db_->unchecked()) return;
    const std::optional<std::int64_t> now = db_->dataVersion();
    if (!now || (seenVersion_ && *now == *seenVersion_)) return;
    if (pending) addIds(*pending, unsavedSegments_, unsavedSessions_);
    if (!main_ || readHere_) return followHere();
    // Tables of ours taken away or reshaped: nothing more goes into the
    // file, as at a start that finds it so.
    if (const std::optional<std::string> lost = db_->layoutLost()) return leaveDamaged(*lost);
    if (!followOnAThread(*now)) followHere();
}

bool TranscriptStore::followOnAThread(std::int64_t version) {
    auto read = std::make_unique<EarlierRead>();
    read->running = true;
    read->main = main_;
    read->whileReading = whileReading_;
    read->version = version;
    // A read of the whole, sessions and all: memory holds every part.
    read->rereads = 1;
    read->from = platform::Date::min();
    try {
        startReading(*read,
                     [file = db_->url(), &stop = read->stop, &hook = read->whileReading] {
                         return TranscriptDB::readOnItsOwn(file, std::nullopt, stop, [&] {
                             if (hook) hook(stop.flag());
                         });
                     },
                     std::make_shared<const std::vector<Block>>(), {});
    } catch (const std::system_error&) {
        return false;
    }
    earlier_ = std::move(read);
    return true;
}

void TranscriptStore::followHere() {
    // Also where the read on a thread failed: a table taken away since
    // reads as empty here, and is no deletion of every record.
    if (const std::optional<std::string> lost = db_->layoutLost()) return leaveDamaged(*lost);
    std::optional<std::int64_t> version;
    EarlierRead::Part whole;
    bool read = false;
    {
        const TranscriptDB::Snapshot state(*db_);
        version = state.version();
        whole.segments = SegmentSequence(db_->allSegments());
        read = db_->lastReadWhole();
        whole.sessions = db_->allSessions();
        read = read && db_->lastReadWhole();
    }
    // Another program holds the file: looked at again at the next write
    // or retry, which then waits for it as any write does.
    if (!version || !read) return;
    seenVersion_ = version;
    takeAsItIsNow(std::move(whole));
}

void TranscriptStore::leaveDamaged(const std::string& why) {
    db_.reset();
    reopenable_ = false;
    readAgain_ = false;
    saveProblem_ = (directory_ / "transcript.sqlite").string() + ": " + why;
    logStorageError(
        "working from memory only; the transcript is left as it is, and what is said is " +
        keptFromStart() + " (" + why + ")");
    notSaved.set(true);
}

}  // namespace verbolin
