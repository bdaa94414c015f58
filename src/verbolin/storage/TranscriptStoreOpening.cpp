// Opening a long transcript in two: the newest part at once, so that the
// window shows years of dictation as soon as a day's, and the earlier part
// on a thread of its own, after SQLite's quick check of the whole file,
// which costs as much as the read itself. Nothing is written into the file
// before the check has passed: every change joins the earlier part first.

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <system_error>
#include <utility>

#include "platform/system/AppError.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {

namespace fs = std::filesystem;

bool TranscriptStore::openNewestPart(const Opening& opening) {
    if (!opening.main || opening.newest == 0) return false;
    const fs::path file = directory_ / "transcript.sqlite";
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return false;
    for (const char* legacy : {"transcript.jsonl", "sessions.json", "notes.json"})
        if (fs::exists(directory_ / legacy, ec)) return false;
    for (const fs::path& recovery : recoveryFilesToTakeIn(directory_))
        if (fs::exists(fs::symlink_status(recovery, ec))) return false;

    std::unique_ptr<TranscriptDB> db;
    try {
        db = std::make_unique<TranscriptDB>(file, TranscriptDB::Unchecked{});
    } catch (const platform::AppError&) {
        return false;  // the whole read that follows opens it again, and says why
    }
    std::vector<SessionMarker> markers = db->allSessions();
    const std::optional<double> tooFew = db->startOfNewest(2 * opening.newest);
    const std::optional<double> enough = db->startOfNewest(opening.newest);
    if (!db->lastReadWhole() || db->wantedRepair() || !tooFew || !enough) return false;

    // The newest session that starts early enough whose first paragraph
    // begins with it: the paragraphs then stay the same when the earlier
    // part joins, and so does whatever the window made of them. (The
    // transcript's length only decides whether two reads are worth it.)
    constexpr int kTries = 8;
    int tries = 0;
    for (auto it = markers.rbegin(); it != markers.rend() && tries < kTries; ++it) {
        const double from = platform::secondsSince1970(it->start);
        if (from > *enough) continue;
        ++tries;
        std::vector<Segment> part = db->segmentsFrom(from);
        if (!db->lastReadWhole() || db->wantedRepair()) return false;
        const std::optional<Segment> before = db->lastSegmentBefore(from);
        if (part.empty() || !before) break;
        // As blocks() groups them.
        if (platform::secondsBetween(before->end, part.front().start) < paragraphGap) continue;

        auto read = std::make_unique<EarlierRead>();
        const auto firstNewer = std::lower_bound(
            markers.begin(), markers.end(), it->start,
            [](const SessionMarker& m, const platform::Date& start) { return m.start < start; });
        read->markers.assign(std::make_move_iterator(markers.begin()),
                             std::make_move_iterator(firstNewer));
        markers.erase(markers.begin(), firstNewer);
        platform::MainExecutor* main = opening.main;
        // A process that may start no more threads reads the file whole.
        try {
            read->part = std::async(std::launch::async, [file, from, main, &stop = read->stop,
                                                         alive = std::weak_ptr(alive_)] {
                std::optional<SegmentSequence> earlier;
                {
                    TranscriptDB::EarlierPart read =
                        TranscriptDB::readCheckedBefore(file, from, stop);
                    if (read.sound && read.whole) earlier.emplace(std::move(read.segments));
                }
                // What the read and its connection let go of stays in this
                // thread's own heap otherwise (tens of megabytes after years).
                malloc_trim(0);
                main->post([alive] {
                    if (auto self = alive.lock()) (*self)->joinEarlierPart();
                });
                return earlier;
            });
        } catch (const std::system_error&) {
            return false;
        }
        db_ = std::move(db);
        earlier_ = std::move(read);
        sessions.set(std::move(markers));
        segments.set(SegmentSequence(std::move(part)));
        return true;
    }
    return false;
}

void TranscriptStore::joinEarlierPart() {
    if (!earlier_) return;
    // Taken first: an observer of the join that changes the store finds
    // it whole.
    const std::unique_ptr<EarlierRead> read = std::move(earlier_);
    std::optional<SegmentSequence> earlier = read->part.get();
    bool opened = false;
    if (earlier) {
        try {
            db_->finishOpening();
            opened = true;
        } catch (const platform::AppError&) {
            // Opened again below, as a start would, which says why once.
        }
    }
    if (!opened) {
        db_.reset();
        if (!segments.peek().empty()) segments.set({});
        if (!sessions.peek().empty()) sessions.set({});
        openDatabase();
        finishStart();
        return;
    }
    std::vector<SessionMarker> markers = std::move(read->markers);
    markers.insert(markers.end(), sessions.peek().begin(), sessions.peek().end());
    sessions.set(std::move(markers));
    earlier->append(segments.peek());
    segments.set(std::move(*earlier));
    finishStart();
}

}  // namespace verbolin
