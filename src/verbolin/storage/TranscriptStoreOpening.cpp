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
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/system/AppError.hpp"
#include "verbolin/storage/KeyedStarts.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {

namespace fs = std::filesystem;

TranscriptStore::EarlierRead::Part TranscriptStore::EarlierRead::madeFrom(
    std::vector<Segment> read, const std::vector<Block>& newestParagraphs,
    const Index& newestIndex) {
    Part part{.segments = SegmentSequence(std::move(read)), .grouped = true};
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
    if (!opening.main || opening.newest == 0 || (opening.quit && opening.quit->load()))
        return false;
    const fs::path file = directory_ / "transcript.sqlite";
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return false;
    for (const char* legacy : {"transcript.jsonl", "sessions.json", "notes.json"})
        if (fs::exists(directory_ / legacy, ec)) return false;
    const std::vector<fs::path> recovery = recoveryFilesToTakeIn(directory_);
    const bool waiting = std::any_of(recovery.begin(), recovery.end(), [&](const fs::path& f) {
        return fs::exists(fs::symlink_status(f, ec));
    });

    std::unique_ptr<TranscriptDB> db;
    try {
        db = std::make_unique<TranscriptDB>(file, TranscriptDB::Unchecked{});
    } catch (const platform::AppError&) {
        return false;  // the whole read that follows opens it again, and says why
    }
    // Interrupted reads count as reads cut short: the start falls through
    // to the constructor's own look at the flag.
    const TranscriptDB::StopWhen stopWhen(*db, opening.quit);
    // Every read of the newest part sees one state of the file, whose
    // version the join compares with the file's then.
    auto snapshot = std::make_optional<TranscriptDB::Snapshot>(*db);
    std::vector<SessionMarker> markers = db->allSessions();
    const std::optional<double> tooFew = db->startOfNewest(2 * opening.newest);
    const std::optional<double> enough = db->startOfNewest(opening.newest);
    if (!db->lastReadWhole() || db->wantedRepair() || !tooFew || !enough) return false;
    // The marks of the recovery lines taken in, as the newest part is read:
    // what waits is checked against both at once (see takeInAtOpen).
    std::optional<TranscriptDB::RecoveryMarks> marks;
    if (waiting && !(marks = db->recoveryMarks())) return false;

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
        read->main = opening.main;
        read->whileReading = opening.whileReading;
        read->version = snapshot->version();
        snapshot.reset();
        sessions.set(std::move(markers));
        segments.set(SegmentSequence(std::move(part)));
        read->from = it->start;
        const auto readWholeInstead = [this] {
            forgetTakenAtOpen();
            segments.set({});
            sessions.set({});
            return false;
        };
        if (marks && !takeInAtOpen(*marks, it->start)) return readWholeInstead();
        read->newestParagraphs = allBlocks()->size();
        read->segmentWrites = segmentWrites();
        // A process that may start no more threads reads the file whole.
        try {
            startReading(
                *read,
                [file, from, &stop = read->stop, &hook = read->whileReading] {
                    return TranscriptDB::readOnItsOwn(file, from, stop, [&] {
                        if (hook) hook(stop.flag());
                    });
                },
                allBlocks(), startIndex());
        } catch (const std::system_error&) {
            return readWholeInstead();
        }
        db_ = std::move(db);
        earlier_ = std::move(read);
        return true;
    }
    return false;
}

void TranscriptStore::startReading(EarlierRead& read,
                                   std::function<TranscriptDB::EarlierPart()> how,
                                   std::shared_ptr<const std::vector<Block>> newest,
                                   EarlierRead::Index newestIndex) {
    const std::uint64_t number = read.number = ++readsStarted_;
    read.outcome = std::async(
        std::launch::async, [how = std::move(how), main = read.main, rereads = read.rereads, number,
                             newest = std::move(newest), newestIndex = std::move(newestIndex),
                             alive = std::weak_ptr(alive_)] {
            EarlierRead::Outcome earlier;
            {
                TranscriptDB::EarlierPart read = how();
                earlier.passed = read.sound;
                earlier.damage = std::move(read.damage);
                if (read.sound && read.whole) {
                    earlier.part =
                        EarlierRead::madeFrom(std::move(read.segments), *newest, newestIndex);
                    if (rereads > 0) earlier.part->sessions = std::move(read.sessions);
                }
            }
            // What the read and its connection let go of stays in this
            // thread's own heap otherwise (tens of megabytes after years).
            malloc_trim(0);
            main->post([alive, number] {
                if (auto self = alive.lock()) (*self)->joinPosted(number);
            });
            return earlier;
        });
}

void TranscriptStore::joinPosted(std::uint64_t number) {
    // A change joined the read this was posted for already.
    if (earlier_ && earlier_->number == number) joinRead();
}

void TranscriptStore::joinReachingBack(platform::Date earliest) {
    if (earlier_ && earliest < earlier_->from) joinEarlierPart();
}

void TranscriptStore::joinEarlierPart() {
    // Waits as well for a read of the whole begun again meanwhile.
    while (earlier_) joinRead();
}

void TranscriptStore::joinRead() {
    // Taken first: an observer of the join that changes the store finds
    // it whole.
    std::unique_ptr<EarlierRead> read = std::move(earlier_);
    EarlierRead::Outcome outcome = read->outcome.get();
    std::optional<EarlierRead::Part>& earlier = outcome.part;
    // Another program committed since memory was read: the two reads may
    // show two states of the file (a segment moved across their boundary
    // twice or not at all), and memory one that is gone, which a change
    // would write back over the other program's; and what the read's
    // check found may no longer hold.
    const std::optional<std::int64_t> now = db_->dataVersion();
    const bool moved = !now || !read->version || *now != *read->version;
    // Not taken in as read: opened as a start would, on the check's verdict
    // while that is of the file as it is; a running store's is read here.
    if (!earlier && read->running) return followHere();
    if (!earlier) return openAfterFailedRead(moved ? EarlierRead::Outcome{} : std::move(outcome));
    if (moved) {
        // The file is read whole again, on a thread, as one state; a file
        // that keeps moving is opened again as a start would.
        constexpr int kMostRereads = 3;
        if (read->rereads < kMostRereads) {
            try {
                read->version = now;
                ++read->rereads;
                const std::filesystem::path file = db_->url();
                startReading(*read,
                             [file, &stop = read->stop, &hook = read->whileReading] {
                                 return TranscriptDB::readOnItsOwn(file, std::nullopt, stop, [&] {
                                     if (hook) hook(stop.flag());
                                 });
                             },
                             std::make_shared<const std::vector<Block>>(), {});
                earlier_ = std::move(read);
                return;
            } catch (const std::system_error&) {
                // No thread to read it on: read here, as a start would.
            }
        }
        return read->running ? followHere() : openAfterFailedRead({});
    }
    seenVersion_ = now;
    if (read->running) {
        takeAsItIsNow(std::move(*earlier));
        if (needsRetry()) save({});
        return;
    }
    try {
        db_->finishOpening();
    } catch (const platform::AppError&) {
        // Opened again, as a start would, which says why once.
        return openAfterFailedRead({});
    }
    if (earlier->sessions) return joinReadAgain(std::move(*earlier));
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

void TranscriptStore::joinReadAgain(EarlierRead::Part whole) {
    takeAsItIsNow(std::move(whole));
    finishStart();
    if (needsRetry()) save({});
}

void TranscriptStore::takeAsItIsNow(EarlierRead::Part whole) {
    // Another program changed the file, and it was read whole again as one
    // state. What memory showed is that program's no longer; only what the
    // user changed meanwhile (waiting in the recovery file, or unsaved) is
    // laid over the file as it is now.
    const auto overlay = [](auto fromDisk, const auto& held,
                            const std::unordered_set<platform::Uuid>& changed) {
        std::unordered_map<platform::Uuid, size_t> at;
        for (size_t i = 0; i < held.size(); ++i)
            if (changed.count(held[i].id) > 0) at.emplace(held[i].id, i);
        std::erase_if(fromDisk, [&](const auto& r) { return changed.count(r.id) > 0; });
        for (const auto& [id, i] : at) fromDisk.push_back(held[i]);
        const auto byStart = [](const auto& a, const auto& b) { return a.start < b.start; };
        std::stable_sort(fromDisk.begin(), fromDisk.end(), byStart);
        return fromDisk;
    };
    const bool overlaid = hasUnsavedChanges();
    std::vector<SessionMarker> markers =
        overlay(std::move(*whole.sessions), sessions.peek(), unsavedSessions_);
    sessions.set(std::move(markers));
    if (overlaid) {
        std::vector<Segment> onDisk(whole.segments.begin(), whole.segments.end());
        const SegmentSequence& held = segments.peek();
        std::vector<Segment> shown(held.begin(), held.end());
        segments.set(SegmentSequence(overlay(std::move(onDisk), shown, unsavedSegments_)));
    } else {
        // Grouped on the read's thread, as the file holds it.
        if (whole.grouped) {
            nextBlockCache_ =
                std::make_shared<const std::vector<Block>>(std::move(whole.paragraphs));
            startIndex_ = std::move(whole.index);
            indexFollows_ = true;
        }
        segments.set(std::move(whole.segments));
    }
    // All the file holds is in memory now.
    readAgain_ = false;
}

void TranscriptStore::openAfterFailedRead(EarlierRead::Outcome checked) {
    // What the window shows, with the changes made to it: they stay over
    // whatever the file holds, and where it cannot be read at all (it
    // failed its check) it stays shown as read, while the file is left as
    // it is.
    SegmentSequence shown = segments.peek();
    std::vector<SessionMarker> shownMarkers = sessions.peek();
    const std::uint64_t before = segmentWrites(), sessionsBefore = sessionWrites_;
    // The read's thread walked every page of the file to check it, which a
    // slow disk stretches past the time the window may go unanswered: its
    // verdict stands, and the walk is not made again on this thread.
    const std::filesystem::path file = directory_ / "transcript.sqlite";
    std::function<std::unique_ptr<TranscriptDB>()> open;
    if (checked.damage) {
        open = [&]() -> std::unique_ptr<TranscriptDB> {
            TranscriptDB::refuseDamaged(file, *checked.damage);
        };
    } else if (checked.passed) {
        // The connection the newest part was read on, finished as the join
        // of a whole read finishes it.
        open = [&] {
            std::unique_ptr<TranscriptDB> db = std::move(db_);
            try {
                db->finishOpening();
                return db;
            } catch (const platform::AppError&) {
                // Closed by then; opened as a start would, with its wait.
                return std::make_unique<TranscriptDB>(file);
            }
        };
    }
    if (!checked.passed) db_.reset();
    openDatabase(open);
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
