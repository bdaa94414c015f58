// Opening a long transcript in two: the newest part at once, so that the
// window shows years of dictation as soon as a day's, and the earlier part
// on a thread of its own, after SQLite's quick check of the whole file,
// which costs as much as the read itself. Nothing is written into the file
// before the check has passed: a change made meanwhile is kept as one that
// cannot be stored yet is, in memory and in the recovery file, and stored
// by the join.

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <iterator>
#include <system_error>
#include <utility>

#include "platform/system/AppError.hpp"
#include "verbolin/storage/KeyedStarts.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {

namespace fs = std::filesystem;

TranscriptStore::EarlierRead::Part TranscriptStore::EarlierRead::madeFrom(
    std::vector<Segment> read, const std::vector<Block>& newestParagraphs,
    const Index& newestIndex) {
    Part part{.segments = SegmentSequence(std::move(read))};
    // Sized once: whatever this thread lets go of stays in its own heap.
    std::vector<Block> earlier = blocks(part.segments, paragraphGap);
    part.paragraphs.reserve(earlier.size() + newestParagraphs.size());
    part.paragraphs.assign(std::make_move_iterator(earlier.begin()),
                           std::make_move_iterator(earlier.end()));
    part.paragraphs.insert(part.paragraphs.end(), newestParagraphs.begin(), newestParagraphs.end());
    const Index index =
        keyedStartsInOrder(part.segments.begin(), part.segments.size(), [](const Segment& s) {
            return KeyedStart{std::hash<platform::Uuid>{}(s.id), s.start};
        });
    part.index.reserve(index.size() + newestIndex.size());
    std::merge(index.begin(), index.end(), newestIndex.begin(), newestIndex.end(),
               std::back_inserter(part.index));
    return part;
}

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
        sessions.set(std::move(markers));
        segments.set(SegmentSequence(std::move(part)));
        std::shared_ptr<const std::vector<Block>> newest = allBlocks();
        read->from = it->start;
        read->newestParagraphs = newest->size();
        read->segmentWrites = segmentWrites();
        EarlierRead::Index newestIndex = startIndex();
        platform::MainExecutor* main = opening.main;
        // A process that may start no more threads reads the file whole.
        try {
            read->part =
                std::async(std::launch::async,
                           [file, from, main, &stop = read->stop, newest = std::move(newest),
                            newestIndex = std::move(newestIndex), alive = std::weak_ptr(alive_)] {
                               std::optional<EarlierRead::Part> earlier;
                               {
                                   TranscriptDB::EarlierPart read =
                                       TranscriptDB::readCheckedBefore(file, from, stop);
                                   if (read.sound && read.whole)
                                       earlier = EarlierRead::madeFrom(std::move(read.segments),
                                                                       *newest, newestIndex);
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
            segments.set({});
            sessions.set({});
            return false;
        }
        db_ = std::move(db);
        earlier_ = std::move(read);
        return true;
    }
    return false;
}

void TranscriptStore::joinReachingBack(platform::Date earliest) {
    if (earlier_ && earliest < earlier_->from) joinEarlierPart();
}

void TranscriptStore::joinEarlierPart() {
    if (!earlier_) return;
    // Taken first: an observer of the join that changes the store finds
    // it whole.
    const std::unique_ptr<EarlierRead> read = std::move(earlier_);
    std::optional<EarlierRead::Part> earlier = read->part.get();
    bool opened = false;
    if (earlier) {
        try {
            db_->finishOpening();
            opened = true;
        } catch (const platform::AppError&) {
            // Opened again below, as a start would, which says why once.
        }
    }
    if (!opened) return openAfterFailedRead();
    std::vector<SessionMarker> markers = std::move(read->markers);
    markers.insert(markers.end(), sessions.peek().begin(), sessions.peek().end());
    sessions.set(std::move(markers));
    // The paragraphs and the index of the whole, as a grouping of it would
    // make them: the newest part starts a paragraph, and a change made
    // meanwhile reached no further back (see joinReachingBack). Made on the
    // read's thread while nothing changed; the newest part's paragraphs are
    // taken as they stand now otherwise, and the index is made again.
    const bool changed = segmentWrites() != read->segmentWrites;
    std::vector<Block> paragraphs = std::move(earlier->paragraphs);
    if (changed) {
        paragraphs.erase(paragraphs.end() - std::ptrdiff_t(read->newestParagraphs),
                         paragraphs.end());
        const std::shared_ptr<const std::vector<Block>> newest = allBlocks();
        paragraphs.insert(paragraphs.end(), newest->begin(), newest->end());
    }
    earlier->segments.append(segments.peek());
    nextBlockCache_ = std::make_shared<const std::vector<Block>>(std::move(paragraphs));
    if (!changed) {
        startIndex_ = std::move(earlier->index);
        indexFollows_ = true;
    }
    segments.set(std::move(earlier->segments));
    finishStart();
    // What was changed meanwhile waits in the recovery file: stored now,
    // with its lines marked, and the file let go.
    if (needsRetry()) save({});
}

void TranscriptStore::openAfterFailedRead() {
    db_.reset();
    // What the window shows, with the changes made to it: they stay over
    // whatever the file holds, and where it cannot be read at all (it
    // failed its check) it stays shown as read, while the file is left as
    // it is.
    SegmentSequence shown = segments.peek();
    std::vector<SessionMarker> shownMarkers = sessions.peek();
    const std::uint64_t before = segmentWrites(), sessionsBefore = sessionWrites_;
    openDatabase();
    const bool read = segmentWrites() != before || sessionWrites_ != sessionsBefore;
    if (read && hasUnsavedChanges()) {
        std::vector<Segment> onDisk(segments.peek().begin(), segments.peek().end());
        std::vector<SessionMarker> markersOnDisk = sessions.peek();
        segments.set(std::move(shown));
        sessions.set(std::move(shownMarkers));
        joinFromDisk(std::move(onDisk), std::move(markersOnDisk));
    }
    finishStart();
    if (db_ && needsRetry()) save({});
}

}  // namespace verbolin
