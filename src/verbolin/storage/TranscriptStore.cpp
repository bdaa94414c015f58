#include "verbolin/storage/TranscriptStore.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>
#include <tuple>
#include <utility>

#include "platform/system/AppError.hpp"
#include "platform/system/FileMove.hpp"
#include "platform/system/Paths.hpp"
#include "platform/system/Text.hpp"
#include "verbolin/storage/BlockLineage.hpp"
#include "verbolin/storage/KeyedStarts.hpp"
#include "verbolin/storage/StorageLog.hpp"

namespace verbolin {
namespace {

using platform::Uuid;

// Case-insensitive under the locale's rules: both sides are case folded (with
// the dotted and dotless i kept apart for Turkish and Azerbaijani) and
// composed, so a precomposed letter matches its decomposed spelling.
class CaseInsensitiveMatcher {
  public:
    CaseInsensitiveMatcher(std::string_view query, const icu::Locale& locale) {
        std::string language = locale.getLanguage();
        rules_ = (language == "tr" || language == "az") ? platform::text::CaseRules::turkic
                                                        : platform::text::CaseRules::standard;
        UErrorCode status = U_ZERO_ERROR;
        nfc_ = icu::Normalizer2::getNFCInstance(status);
        if (U_FAILURE(status)) nfc_ = nullptr;
        query_ = fold(query);
    }

    bool matches(std::string_view text) const { return fold(text).indexOf(query_) >= 0; }

  private:
    icu::UnicodeString fold(std::string_view text) const {
        const std::u16string folded = platform::text::caseFolded(text, rules_);
        icu::UnicodeString s(folded.data(), int32_t(folded.size()));
        if (!nfc_) return s;
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString n = nfc_->normalize(s, status);
        return U_SUCCESS(status) ? n : s;
    }

    platform::text::CaseRules rules_ = platform::text::CaseRules::standard;
    const icu::Normalizer2* nfc_ = nullptr;
    icu::UnicodeString query_;
};

std::vector<Uuid> segmentIdsOf(const std::vector<Block>& blocks) {
    std::unordered_set<Uuid> set;
    for (const Block& b : blocks)
        for (const Segment& s : b.segments) set.insert(s.id);
    return {set.begin(), set.end()};
}

// Whether `changes` names a record of these ids.
bool touches(const TranscriptDB::Changes& changes, const std::unordered_set<Uuid>& segmentIds,
             const std::unordered_set<Uuid>& sessionIds) {
    const auto any = [](const auto& records, const auto& ids, const auto& idOf) {
        return std::any_of(records.begin(), records.end(),
                           [&](const auto& r) { return ids.count(idOf(r)) > 0; });
    };
    const auto recordId = [](const auto& record) { return record.id; };
    const auto itself = [](const Uuid& id) { return id; };
    return any(changes.segments, segmentIds, recordId) ||
           any(changes.deletedSegments, segmentIds, itself) ||
           any(changes.sessions, sessionIds, recordId) ||
           any(changes.deletedSessions, sessionIds, itself);
}

// Takes the records of these ids (the keys of `ids`) out of a change.
template <class Record, class Ids>
void leaveOut(std::vector<Record>& writes, std::vector<Uuid>& deletes, const Ids& ids) {
    std::erase_if(writes, [&](const Record& r) { return ids.count(r.id) > 0; });
    std::erase_if(deletes, [&](const Uuid& id) { return ids.count(id) > 0; });
}

template <class Map>
std::unordered_set<Uuid> keysOf(const Map& map) {
    std::unordered_set<Uuid> keys;
    for (const auto& [key, value] : map) keys.insert(key);
    return keys;
}

// Marks the records `written` and `deleted` name unjournaled, each with its
// prior where `priors` knows it. One already marked keeps what it stood
// as before the first of its changes that no file holds.
template <class Unjournaled, class Record, class Priors>
void markUnjournaled(Unjournaled& unjournaled, const std::vector<Record>& written,
                     const std::vector<Uuid>& deleted, const Priors& priors) {
    const auto mark = [&](const Uuid& id) {
        const auto prior = priors.find(id);
        if (prior == priors.end())
            unjournaled.try_emplace(id);
        else
            unjournaled.try_emplace(id, prior->second);
    };
    for (const Record& record : written) mark(record.id);
    for (const Uuid& id : deleted) mark(id);
}

// Whether `next` continues the paragraph that `last` ends: it starts less
// than `gap` seconds after. False for NaN, which starts a new paragraph.
bool continuesParagraph(const Segment& last, const Segment& next, double gap) {
    return platform::secondsBetween(last.end, next.start) < gap;
}

// How grouped() gives each paragraph its segments: read in place where they
// lie in one chunk of the list (a paragraph across two takes a copy), or a
// copy of its own.
enum class Segments { inPlace, copied };

// The paragraphs of the positions [first, last) of `list`.
std::vector<Block> grouped(const SegmentSequence& list, size_t first, size_t last, double gap,
                           Segments how) {
    std::vector<Block> out;
    if (first >= last) return out;
    // Counted first, so that years of paragraphs take no room to grow in.
    size_t count = 1;
    const auto end = list.begin() + std::ptrdiff_t(last);
    for (auto it = list.begin() + std::ptrdiff_t(first), next = it + 1; next != end; it = next++)
        count += !continuesParagraph(*it, *next, gap);
    out.reserve(count);
    size_t chunk = list.chunkOf(first);
    size_t start = first;
    auto close = [&](size_t end) {
        while (list.chunkStart(chunk + 1) <= start) ++chunk;
        const size_t chunkStart = list.chunkStart(chunk);
        SegmentList segments =
            how == Segments::inPlace && end <= list.chunkStart(chunk + 1)
                ? SegmentList(list.chunk(chunk), start - chunkStart, end - start)
                : SegmentList(std::vector<Segment>(list.begin() + std::ptrdiff_t(start),
                                                   list.begin() + std::ptrdiff_t(end)));
        // Read through the const list: a read through a changeable one
        // would give it segments of its own.
        const platform::Uuid id = std::as_const(segments).front().id;
        out.push_back(Block{id, std::move(segments)});
    };
    auto it = list.begin() + std::ptrdiff_t(first);
    const Segment* previous = &*it;
    ++it;
    for (size_t p = first + 1; p < last; ++p, ++it) {
        if (!continuesParagraph(*previous, *it, gap)) {
            close(p);
            start = p;
        }
        previous = &*it;
    }
    close(last);
    return out;
}

// A new paragraph equal to an old one is the old one, so that it goes on
// sharing its segments: walks both in order, as both are.
void keepEqualParagraphs(std::vector<Block>& made, std::vector<Block>::const_iterator old,
                         std::vector<Block>::const_iterator oldEnd) {
    for (Block& b : made) {
        while (old != oldEnd && old->segments.size() && b.segments.size() &&
               old->segments.front().start < std::as_const(b.segments).front().start)
            ++old;
        if (old == oldEnd) return;
        if (old->id == b.id && old->segments == b.segments) b = *old++;
    }
}

}  // namespace

TranscriptStore::TranscriptStore(std::optional<std::filesystem::path> directory,
                                 UserCalendar calendar, Opening opening)
    : calendar_(std::move(calendar)) {
    namespace fs = std::filesystem;
    segments.setWriteHook([this] {
        blockCache_ = std::exchange(nextBlockCache_, nullptr);
        blockEnds_ = std::exchange(nextBlockEnds_, {});
        if (!std::exchange(indexFollows_, false)) startIndex_.reset();
        ++generation_;
    });
    sessions.setWriteHook([this] {
        ++generation_;
        ++sessionWrites_;
    });
    // First of all observers, so that any reader after a change finds it owed.
    // Named spans serve one write: a save after it that joins what the disk
    // holds may change any.
    summariesOweSegments_ = segments.observe([this] {
        if (auto spans = std::exchange(touching_, std::nullopt))
            summaries_.oweSpans(*spans);
        else
            summaries_.oweAll();
    });
    summariesOweMarkers_ = sessions.observe([this] { summaries_.oweMarkers(); });

    const fs::path defaultFolder = defaultDirectory();
    const fs::path legacyFolder = legacyDirectory();
    std::error_code ec;
    if (!directory && !fs::exists(defaultFolder, ec) && fs::exists(legacyFolder, ec)) {
        try {
            platform::moveItem(legacyFolder, defaultFolder);
        } catch (const fs::filesystem_error& e) {
            logStorageError("cannot move " + legacyFolder.string() + " to " +
                            defaultFolder.string() + ": " + e.code().message());
        }
    }

    directory_ = directory ? *directory : defaultFolder;
    main_ = opening.main;
    whileReading_ = opening.whileReading;
    fs::create_directories(directory_, ec);
    if (ec) logStorageError("cannot create " + directory_.string() + ": " + ec.message());

    if (openNewestPart(opening)) return;
    // Nothing more is read for a process that is quitting (reopenable_
    // stays false, so nothing is written either).
    if (opening.quit && opening.quit->load()) return;
    openDatabase();
    finishStart();
}

void TranscriptStore::finishStart() {
    if (db_ && !db_->marksRepaired().empty()) logStorageError(db_->marksRepaired());
    // Recovered text first, so that the legacy import finds it in memory and
    // adds none of it again.
    importRecoveredText();
    importLegacyFiles();
    if (db_ && !db_->readOnly() && !hasUnsavedChanges()) removeImportedRecoveryFiles();
}

std::filesystem::path TranscriptStore::defaultDirectory() {
    return platform::applicationSupportDirectory() / "Verbolin";
}

std::filesystem::path TranscriptStore::legacyDirectory() {
    return platform::applicationSupportDirectory() / "Echovane";
}

void TranscriptStore::openDatabase(const std::function<std::unique_ptr<TranscriptDB>()>& open) {
    const auto file = directory_ / "transcript.sqlite";
    try {
        db_ = open ? open() : std::make_unique<TranscriptDB>(file);
        // Taken before the read: a commit meanwhile has it read again.
        seenVersion_ = db_->dataVersion();
        segments.set(db_->allSegments());
        readAgain_ = !db_->lastReadWhole();
        sessions.set(db_->allSessions());
        readAgain_ = readAgain_ || !db_->lastReadWhole();
        return;
    } catch (const platform::AppError& e) {
        db_.reset();
        // A damaged file stays closed; anything else (a full disk above
        // all) may pass, and the file is tried again with each retry.
        reopenable_ = e.code() != TranscriptDB::kDamaged;
        // What another program keeps from us is read once it lets go.
        const bool held = readAgain_ = e.code() == TranscriptDB::kBusy;
        // SQLite calls a full disk an I/O error; the system's reason beside
        // it tells the two apart.
        const bool full =
            std::string_view(e.what()).find(std::strerror(ENOSPC)) != std::string::npos;
        std::string why = full ? std::string("the disk that holds it is full (") + e.what() + ")"
                               : std::string(e.what());
        // The commonest cause, said plainly: the folder itself cannot be
        // written. SQLite then names a file beside the transcript that it
        // could not make, with a reason that is not the one that matters.
        // (A folder that is not there was said above, where making it failed.)
        std::error_code ec;
        if (reopenable_ && std::filesystem::is_directory(directory_, ec) &&
            ::access(directory_.c_str(), W_OK) != 0) {
            const int reason = errno;
            logStorageError("cannot open " + file.string() + " for writing: " + why);
            why = "the data folder " + directory_.string() + " cannot be written to (" +
                  std::strerror(reason) + ")";
        }
        saveProblem_ = file.string() + ": " + why;
        // Nothing is kept anywhere yet: the file that takes what is said is
        // named once it does.
        const std::string kept = keptFromStart();
        if (!reopenable_)
            logStorageError(
                "working from memory only; the transcript is left as it is, and what "
                "is said is " +
                kept + " (" + why + ")");
        else if (held || full) {
            // After the wait at opening, reading a held file waits no longer
            // than a write.
            const Reading read = openForReading(
                file, held ? TranscriptDB::kWriteBusyWaitMs : TranscriptDB::kOpenBusyWaitMs);
            const std::string start = read == Reading::shown ? "It is shown as it stands; what"
                                      : full && read == Reading::nothingThere
                                          ? "The transcript cannot be made yet; what"
                                          : "What";
            logStorageError(saveProblem_ + ". " + start + " is said is " + kept +
                            ", and written to it once " +
                            (full ? "there is room." : "the other program lets go of it."));
        } else if (openForReading(file, TranscriptDB::kOpenBusyWaitMs) == Reading::shown)
            logStorageError("the transcript can only be read: " + why +
                            ". It is shown as it stands; what is said is " + kept +
                            ", and written once the transcript can be.");
        else
            logStorageError("cannot open the transcript; what is said is " + kept +
                            " and written once it opens: " + why);
    }
    notSaved.set(true);
}

TranscriptStore::Reading TranscriptStore::openForReading(const std::filesystem::path& file,
                                                         int busyWaitMs) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return Reading::nothingThere;
    try {
        auto db = std::make_unique<TranscriptDB>(file, TranscriptDB::Access::readOnly, busyWaitMs);
        if (!db->holdsTranscript()) return Reading::nothingThere;
        seenVersion_ = db->dataVersion();
        segments.set(db->allSegments());
        readAgain_ = readAgain_ || !db->lastReadWhole();
        sessions.set(db->allSessions());
        readAgain_ = readAgain_ || !db->lastReadWhole();
        db_ = std::move(db);
        return Reading::shown;
    } catch (const platform::AppError& e) {
        logStorageError("cannot read " + file.string() + " either: " + e.what());
        // Read-only access finds damage the other did not get to.
        if (e.code() == TranscriptDB::kDamaged) reopenable_ = false;
        return Reading::failed;
    }
}

TranscriptStore::~TranscriptStore() {
    lastSave();
    earlier_.reset();
}

void TranscriptStore::lastSave() {
    if (std::exchange(lastSaveDone_, true)) return;
    // No turn of the loop joins a read set off from here on. One that
    // another program's commit set off is waited for: the file passed its
    // check, and what waits is stored over what it holds now.
    readHere_ = true;
    if (earlier_ && earlier_->running) joinEarlierPart();
    // A quit while the earlier part is read lets the read go: the file was
    // not checked, and is not written. What was changed meanwhile is in the
    // recovery file already, for the next start.
    const bool unchecked = earlier_ != nullptr;
    if (unchecked) {
        earlier_.reset();
        db_.reset();
    }
    // Observers may already be gone, so the status is left alone. Lines
    // held at start stay in their files for the next start.
    if (!needsRetry() || save({}, false) || !hasUnsavedChanges()) return;
    // What an earlier run left, taken in with the newest part and not
    // changed since, waits in its files as it did: not this run's to say.
    const auto earlierRuns = [this](const auto& ids) {
        return std::all_of(ids.begin(), ids.end(),
                           [this](const Uuid& id) { return takenAtOpenIds_.count(id) > 0; });
    };
    if (unchecked && earlierRuns(unsavedSegments_) && earlierRuns(unsavedSessions_)) return;
    // Each change went to the recovery file as it failed; what could not
    // be written there then is tried once more.
    journal();
    // The files that hold what memory holds unsaved: not one that holds
    // only others (lines held unread at start, or taken in long since).
    std::optional<std::string> kept;
    if (unjournaledSegments_.empty() && unjournaledSessions_.empty()) {
        std::vector<std::filesystem::path> holding;
        for (const std::filesystem::path& file : journalFiles_)
            if (holding_.count(file)) holding.push_back(file);
        if (!holding.empty()) kept = tried(holding);
    }
    std::vector<Segment> lost;
    for (const Segment& s : segments.peek())
        if (unsavedSegments_.count(s.id) && !takenAtOpenIds_.count(s.id)) lost.push_back(s);
    const std::string quitting =
        unchecked ? "quitting before the transcript was read and checked whole, with changes "
                    "made meanwhile"
                  : "quitting with changes that could not be saved";
    if (lost.empty()) {
        logStorageError((unchecked ? quitting
                                   : "quitting with deletions or session changes that could not "
                                     "be saved") +
                        "; " +
                        (kept ? "they are kept in " + *kept + nextStartTakes()
                              : std::string("they are lost.")));
        return;
    }
    // Memory is about to go: the words are said where the user can find
    // them (standard error, the journal) too.
    std::string text;
    for (const Segment& s : lost) text += "\n  " + s.text;
    logStorageError(quitting + "; " +
                    (kept ? "their text is kept in " + *kept + nextStartTakes() + ":"
                          : std::string("they are lost, with this text:")) +
                    text);
}

void TranscriptStore::append(const Segment& segment) {
    preview.set("");
    isSpeaking.set(false);
    if (segment.text.empty()) return;
    joinReachingBack(segment.start);
    // Any write drops the paragraphs, so any still held are those of the list
    // before this segment. The extended ones are in place before observers
    // hear of the change, so that they read them rather than a regrouping.
    if (blockCache_) {
        nextBlockCache_ = appended(blockCache_, segment);
        nextBlockEnds_ = blockEnds();
        if (nextBlockEnds_.size() == nextBlockCache_->size())
            ++nextBlockEnds_.back();
        else
            nextBlockEnds_.push_back(std::uint32_t(segments.peek().size() + 1));
    }
    indexFollows_ = true;
    const auto touch = touchingOnly({{segment.start, segment.start}});
    try {
        segments.mutate([&](auto& list) {
            list.push_back(segment);
            indexAdd(segment);
        });
    } catch (...) {
        forgetDerived();
        throw;
    }
    save({.segments = {segment}}, true, false, {.segments = {{segment.id, std::nullopt}}});
}

void TranscriptStore::retryUnsaved() {
    followOtherPrograms();
    // The join stores what waits: the file is not written before.
    if (earlier_) return;
    if (needsRetry()) save({});
}

void TranscriptStore::readWholeAgain() {
    auto onDisk = db_->allSegments();
    if (!db_->lastReadWhole()) return;
    auto markersOnDisk = db_->allSessions();
    if (!db_->lastReadWhole()) return;
    readAgain_ = false;
    joinFromDisk(std::move(onDisk), std::move(markersOnDisk));
}

bool TranscriptStore::reopen() {
    if (db_ && readAgain_) readWholeAgain();
    if (db_ && !db_->readOnly()) {
        try {
            // A writer adopted while another program wrote has not shown
            // that it can write: it does before it is trusted with a change.
            // While the other program still writes, the change waits as any
            // write does.
            db_->proveWritableNow();
            return true;
        } catch (const platform::AppError& e) {
            logStorageError(db_->url().string() + " cannot be written after all (" + e.what() +
                            "); it is opened again");
            reopenable_ = true;  // it opened, so it is not damaged
        }
    }
    if (!reopenable_) return false;
    // A file that could only be read stays so while its folder cannot be
    // written; checking that is far cheaper than opening it again.
    if (db_ && db_->readOnly() && ::access(directory_.c_str(), W_OK) != 0) return false;
    // The reader goes first: SQLite shares one WAL index per file within a
    // process, and a writer opened beside a reader that holds it read-only
    // (as it was made on a read-only disk) would fail every write for as
    // long as the process runs.
    const bool wasReading = db_ != nullptr;
    db_.reset();
    const auto file = directory_ / "transcript.sqlite";
    std::unique_ptr<TranscriptDB> db;
    std::vector<Segment> onDisk;
    std::vector<SessionMarker> markersOnDisk;
    try {
        std::error_code ec;
        std::filesystem::create_directories(directory_, ec);
        db = std::make_unique<TranscriptDB>(file, TranscriptDB::Access::readWrite,
                                            TranscriptDB::kWriteBusyWaitMs);
        seenVersion_ = db->dataVersion();
        onDisk = db->allSegments();
        const bool whole = db->lastReadWhole();
        markersOnDisk = db->allSessions();
        readAgain_ = !whole || !db->lastReadWhole();
    } catch (const platform::AppError& e) {
        reopenable_ = e.code() != TranscriptDB::kDamaged;
        // Still shown and searched as it stands, until the next retry.
        if (wasReading && reopenable_) {
            try {
                db_ = std::make_unique<TranscriptDB>(file, TranscriptDB::Access::readOnly,
                                                     TranscriptDB::kWriteBusyWaitMs);
                seenVersion_ = db_->dataVersion();
            } catch (const platform::AppError& again) {
                logStorageError("cannot read " + file.string() + " any more: " + again.what());
            }
        }
        return false;  // said at start; saying it at every retry would only repeat it
    }
    db_ = std::move(db);
    if (!db_->marksRepaired().empty()) logStorageError(db_->marksRepaired());
    joinFromDisk(std::move(onDisk), std::move(markersOnDisk));
    return true;
}

void TranscriptStore::joinFromDisk(std::vector<Segment> onDisk,
                                   std::vector<SessionMarker> markersOnDisk) {
    // What the file holds joins what was said meanwhile. Memory decides for
    // every record it changed, including those it deleted, which the file
    // still has.
    auto join = [](auto& observable, auto fromDisk, const std::unordered_set<Uuid>& changed) {
        observable.mutate([&](auto& held) {
            std::unordered_set<Uuid> known = changed;
            for (const auto& record : held) known.insert(record.id);
            std::erase_if(fromDisk, [&](const auto& r) { return known.count(r.id) > 0; });
            const auto byStart = [](const auto& a, const auto& b) { return a.start < b.start; };
            if (fromDisk.empty() && std::is_sorted(held.begin(), held.end(), byStart)) return;
            rearranged(held, [&](auto& list) {
                list.insert(list.begin(), fromDisk.begin(), fromDisk.end());
                std::stable_sort(list.begin(), list.end(), byStart);
            });
        });
    };
    join(segments, std::move(onDisk), unsavedSegments_);
    join(sessions, std::move(markersOnDisk), unsavedSessions_);
}

void TranscriptStore::addIds(const TranscriptDB::Changes& changes,
                             std::unordered_set<platform::Uuid>& segmentIds,
                             std::unordered_set<platform::Uuid>& sessionIds) {
    for (const Segment& s : changes.segments) segmentIds.insert(s.id);
    segmentIds.insert(changes.deletedSegments.begin(), changes.deletedSegments.end());
    for (const SessionMarker& m : changes.sessions) sessionIds.insert(m.id);
    sessionIds.insert(changes.deletedSessions.begin(), changes.deletedSessions.end());
}

bool TranscriptStore::save(TranscriptDB::Changes changes, bool report, bool journaled,
                           const Priors& priors) {
    // Marked before the earlier unsaved records join the batch below: those
    // are in the recovery file already, and appending them at every failed
    // save would grow it with the square of what waits.
    if (!journaled) {
        markUnjournaled(unjournaledSegments_, changes.segments, changes.deletedSegments,
                        priors.segments);
        markUnjournaled(unjournaledSessions_, changes.sessions, changes.deletedSessions,
                        priors.sessions);
    }
    // What another program committed meanwhile is taken in first, so that
    // this change is made to what it left, and stays over it.
    followOtherPrograms(&changes);
    // A record this run changes is its own from then on, before the join or
    // after it: one that cannot be stored is said lost at quitting, not left
    // to an earlier run's file that holds another text of it.
    for (const auto* ids : {&changes.deletedSegments, &changes.deletedSessions})
        for (const Uuid& id : *ids) takenAtOpenIds_.erase(id);
    for (const Segment& s : changes.segments) takenAtOpenIds_.erase(s.id);
    for (const SessionMarker& m : changes.sessions) takenAtOpenIds_.erase(m.id);
    if (earlier_) {
        // The file is not checked yet (or read again since another program
        // changed it): the change waits for the join in
        // memory and in the recovery file, as a change that cannot be
        // stored does, without being said to be unsaved. One that no
        // recovery file takes is not left in memory alone: it waits for
        // the read, and is stored with the join.
        addIds(changes, unsavedSegments_, unsavedSessions_);
        journal();
        if (!keeping.peek().memoryOnly) return false;
        joinEarlierPart();
        return !hasUnsavedChanges();
    }
    if (!reopen()) {
        addIds(changes, unsavedSegments_, unsavedSessions_);
        journal();
        return false;
    }
    // Checked now that the transcript is read whole, and stored with this.
    if (!heldLines_.empty() && !readAgain_) takeInHeld();
    // What an earlier write failed to store is written as memory has it now.
    auto addUnsaved = [](auto& unsaved, const auto& memory, auto& writes, auto& deletes) {
        if (unsaved.empty()) return;
        std::unordered_set<Uuid> covered(deletes.begin(), deletes.end());
        for (const auto& w : writes) covered.insert(w.id);
        auto pending = unsaved;
        for (const auto& record : memory) {
            if (!pending.count(record.id)) continue;
            pending.erase(record.id);
            if (!covered.count(record.id)) writes.push_back(record);
        }
        for (const Uuid& gone : pending)
            if (!covered.count(gone)) deletes.push_back(gone);
    };
    // A change is stored whole or not at all, and a commit lost after a
    // failed sync loses it whole: one that touches a record the recovery
    // files hold goes to them whole too, or a merged paragraph would come
    // back beside the segments it took in, or without them.
    if (!journalFiles_.empty() && touches(changes, heldSegments_, heldSessions_))
        addIds(changes, heldSegments_, heldSessions_);
    addUnsaved(unsavedSegments_, segments.peek(), changes.segments, changes.deletedSegments);
    addUnsaved(unsavedSessions_, sessions.peek(), changes.sessions, changes.deletedSessions);
    // The next start takes in the recovery files over what the transcript
    // holds: while one is kept, a record it holds is written there first,
    // and one that cannot be waits in memory, unstored.
    Unjournaled waitingSegments, waitingSessions;
    if (!journalFiles_.empty() && !journalHeld()) {
        std::tie(waitingSegments, waitingSessions) = heldNotJournaled();
        leaveOut(changes.segments, changes.deletedSegments, waitingSegments);
        leaveOut(changes.sessions, changes.deletedSessions, waitingSessions);
    }
    // The recovery lines dealt with are marked by the commit that stores
    // all they hold; not while some of it waits.
    const bool whole = waitingSegments.empty() && waitingSessions.empty();
    if (whole) {
        for (const auto& [identity, line] : unmarked_)
            changes.marks[identity] = std::max(changes.marks[identity], line);
        for (const auto& [key, line] : unmarkedRecords_)
            changes.records[key] = std::max(changes.records[key], line);
    }
    if (db_->apply(changes)) {
        if (whole) {
            unmarked_.clear();
            unmarkedRecords_.clear();
        }
        unsavedSegments_ = keysOf(waitingSegments);
        unsavedSessions_ = keysOf(waitingSessions);
        if (hasUnsavedChanges()) {
            // All else is stored: only these are still to be journaled.
            unjournaledSegments_ = std::move(waitingSegments);
            unjournaledSessions_ = std::move(waitingSessions);
            if (report) notSaved.set(true);
            return false;
        }
        retireJournal();
        saveProblem_.clear();
        if (report) notSaved.set(false);
        return true;
    }
    addIds(changes, unsavedSegments_, unsavedSessions_);
    unsavedSegments_.merge(keysOf(waitingSegments));
    unsavedSessions_.merge(keysOf(waitingSessions));
    saveProblem_ = db_->url().string() + ": " + db_->lastError();
    // Said when saving stops, with where the text is kept, rather than at
    // every write that fails.
    if (report && !notSaved.peek())
        news_ = "the transcript is not being saved (" + db_->lastError() + "); ";
    journal();
    if (!news_.empty()) logStorageError(std::exchange(news_, {}) + keptNow());
    if (report) notSaved.set(true);
    return false;
}

std::vector<Block> TranscriptStore::blocks(const SegmentSequence& segments, double gap) {
    return grouped(segments, 0, segments.size(), gap, Segments::inPlace);
}

std::shared_ptr<const std::vector<Block>> TranscriptStore::appended(
    const std::shared_ptr<const std::vector<Block>>& before, const Segment& segment) {
    // The paragraphs of the longer list differ only in the last one, or by
    // one more; the others are copied, which shares their segments.
    std::vector<Block> grown;
    grown.reserve(before->size() + 1);
    grown.assign(before->begin(), before->end());
    size_t kept = grown.size();
    // Read through the const array: a read through a changeable list would
    // give it segments of its own.
    const std::vector<Block>& old = *before;
    if (!old.empty() && !old.back().segments.empty() &&
        continuesParagraph(old.back().segments.back(), segment, paragraphGap)) {
        grown.back().segments.push_back(segment);
        --kept;
    } else {
        grown.push_back(Block{segment.id, {segment}});
    }
    return BlockLineage::derived(std::move(grown), before, kept);
}

std::shared_ptr<const std::vector<Block>> TranscriptStore::allBlocks() const {
    if (blockCache_) return blockCache_;
    blockCache_ = std::make_shared<const std::vector<Block>>(blocks(segments.get(), paragraphGap));
    blockEnds_.clear();
    // Made with the paragraphs, at a start, rather than at the first key.
    (void)blockEnds();
    (void)startIndex();
    return blockCache_;
}

std::vector<size_t> TranscriptStore::paragraphsHolding(const std::unordered_set<Uuid>& ids) const {
    const auto blocks = allBlocks();
    const Ends& ends = blockEnds();
    std::vector<size_t> found;
    for (size_t position : positionsOf(ids)) {
        const size_t paragraph =
            size_t(std::upper_bound(ends.begin(), ends.end(), position) - ends.begin());
        if (found.empty() || found.back() != paragraph) found.push_back(paragraph);
    }
    return found;
}

const TranscriptStore::Ends& TranscriptStore::blockEnds() const {
    if (!blockCache_ || blockEnds_.size() == blockCache_->size()) return blockEnds_;
    blockEnds_.clear();
    blockEnds_.reserve(blockCache_->size());
    size_t end = 0;
    for (const Block& b : *blockCache_)
        blockEnds_.push_back(std::uint32_t(end += b.segments.size()));
    return blockEnds_;
}

const TranscriptStore::StartIndex& TranscriptStore::startIndex() const {
    if (!startIndex_) {
        const auto& list = segments.peek();
        startIndex_ = keyedStartsInOrder(list.begin(), list.size(), [](const Segment& s) {
            return KeyedStart{std::hash<Uuid>{}(s.id), s.start};
        });
    }
    return *startIndex_;
}

void TranscriptStore::indexAdd(const Segment& segment) {
    if (!startIndex_) return;
    const StartIndex::value_type entry{std::hash<Uuid>{}(segment.id), segment.start};
    startIndex_->insert(std::upper_bound(startIndex_->begin(), startIndex_->end(), entry), entry);
}

void TranscriptStore::indexRemove(const Segment& segment) {
    indexRemove(StartIndex::value_type{std::hash<Uuid>{}(segment.id), segment.start});
}

void TranscriptStore::indexRemove(const StartIndex::value_type& entry) {
    if (!startIndex_) return;
    const auto at = std::lower_bound(startIndex_->begin(), startIndex_->end(), entry);
    if (at != startIndex_->end() && *at == entry) startIndex_->erase(at);
}

std::vector<size_t> TranscriptStore::positionsOf(const std::unordered_set<Uuid>& ids) const {
    const auto& list = segments.peek();
    std::vector<size_t> found;
    if (ids.empty()) return found;
    const StartIndex& index = startIndex();
    bool lost = false;
    for (const Uuid& id : ids) {
        const size_t key = std::hash<Uuid>{}(id);
        const auto [first, last] =
            std::equal_range(index.begin(), index.end(), StartIndex::value_type{key, {}},
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto entry = first; entry != last && !lost; ++entry) {
            bool there = false;
            for (auto at = std::lower_bound(
                     list.begin(), list.end(), entry->second,
                     [](const Segment&s, const platform::Date&t) { return s.start < t; });
                 at != list.end() && at->start == entry->second; ++at)
                if (at->id == id) {
                    found.push_back(size_t(at - list.begin()));
                    there = true;
                }
            // Memory out of start order, or a hash shared: walked for below.
            lost = !there;
        }
        if (lost) break;
    }
    if (!lost) {
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        return found;
    }
    found.clear();
    size_t i = 0;
    for (const Segment& s : list) {
        if (ids.count(s.id)) found.push_back(i);
        ++i;
    }
    return found;
}

TranscriptStore::Priors TranscriptStore::priorsAt(const std::vector<size_t>& positions,
                                                  const std::unordered_set<Uuid>& ids) const {
    Priors priors;
    for (const Uuid& id : ids) priors.segments.emplace(id, std::nullopt);
    const auto& list = segments.peek();
    for (size_t at : positions) {
        auto& prior = priors.segments[list[at].id];
        if (!prior) prior = revisionOf(list[at]);  // the first of a doubled id, as memory reads
    }
    return priors;
}

namespace {
// The most segments a change takes out and puts in that the index and the
// paragraphs follow, rather than being made again when next asked for.
constexpr size_t kFollowedAtMost = 256;
}  // namespace

void TranscriptStore::forgetDerived() {
    indexFollows_ = false;
    startIndex_.reset();
    blockCache_.reset();
    blockEnds_.clear();
    nextBlockCache_.reset();
    nextBlockEnds_.clear();
}

void TranscriptStore::splice(const std::vector<size_t>& erased, const std::vector<Segment>& added,
                             std::optional<size_t> at) {
    indexFollows_ = true;
    try {
        spliceKeeping(erased, added, at);
    } catch (...) {
        forgetDerived();  // a change left half made is read afresh
        throw;
    }
}

void TranscriptStore::spliceKeeping(const std::vector<size_t>& erased,
                                    const std::vector<Segment>& added, std::optional<size_t> at) {
    // Many at once (a selection of days deleted) are cheaper read afresh than
    // followed one by one.
    const bool many = erased.size() + added.size() > kFollowedAtMost;
    if (many) startIndex_.reset();
    segments.mutate([&](SegmentSequence& list) {
        const size_t oldSize = list.size();
        // An edit puts back a segment of the id and start it takes out: its
        // entry stays where it is, rather than the index being moved twice.
        std::vector<StartIndex::value_type> gone;
        if (startIndex_)
            for (size_t p : erased) gone.emplace_back(std::hash<Uuid>{}(list[p].id), list[p].start);
        list.eraseAt(erased);
        // Where each added segment ends up, as later ones move it.
        std::vector<size_t> placed;
        for (const Segment& s : added) {
            const size_t p =
                at ? std::min(*at, list.size())
                   : size_t(std::upper_bound(list.begin(), list.end(), s.start,
                                             [](const platform::Date& t, const Segment& other) {
                                                 return t < other.start;
                                             }) -
                            list.begin());
            if (!many) {
                for (size_t& q : placed) q += q >= p;
                placed.push_back(p);
            }
            list.insert(list.begin() + std::ptrdiff_t(p), s);
            const StartIndex::value_type entry{std::hash<Uuid>{}(s.id), s.start};
            if (const auto same = std::find(gone.begin(), gone.end(), entry); same != gone.end())
                gone.erase(same);
            else
                indexAdd(s);
        }
        for (const auto& entry : gone) indexRemove(entry);
        if (many) return;
        // Only positions from the first one changed to the last one changed differ.
        const size_t size = list.size();
        size_t first = oldSize, tail = std::min(oldSize, size);
        if (!erased.empty()) {
            first = erased.front();
            tail = std::min(tail, oldSize - 1 - erased.back());
        }
        for (size_t p : placed) {
            first = std::min(first, p);
            tail = std::min(tail, size - 1 - p);
        }
        first = std::min({first, oldSize, size});
        tail = std::min({tail, oldSize - first, size - first});
        if (blockCache_) regroupAround(list, oldSize, first, tail);
    });
}

void TranscriptStore::regroupAround(const SegmentSequence& list, size_t oldSize, size_t first,
                                    size_t unchangedTail) {
    const std::vector<Block>& old = *blockCache_;
    const Ends& ends = blockEnds();
    if (old.empty() || ends.size() != old.size() || ends.back() != oldSize) return;
    // The paragraph holding a position, by the segment counts.
    const auto paragraphOf = [&](size_t position) {
        return size_t(std::upper_bound(ends.begin(), ends.end(), position) - ends.begin());
    };
    // The paragraph before the change may take in what comes first, and the
    // one after it what comes last: both are grouped again with the change.
    const size_t from = paragraphOf(first > 0 ? first - 1 : 0);
    const size_t to = unchangedTail > 0 ? paragraphOf(oldSize - unchangedTail) : old.size() - 1;
    const size_t start = from > 0 ? ends[from - 1] : 0;
    const size_t stop = ends[to] + list.size() - oldSize;  // past the change: shifted alike
    // The few paragraphs made here take copies: reading the changed chunk in
    // place would make the next change copy it whole again, where a chunk
    // that the store alone holds changes in place. The paragraphs not made
    // again go on reading the chunks as they were when last grouped whole, so
    // that those live on beside the store's: at most one for each chunk
    // changed since, as the store copies a chunk only while it is shared.
    std::vector<Block> made = grouped(list, start, stop, paragraphGap, Segments::copied);
    keepEqualParagraphs(made, old.begin() + std::ptrdiff_t(from),
                        old.begin() + std::ptrdiff_t(to) + 1);
    size_t kept = from;
    while (kept - from < made.size() && kept <= to &&
           made[kept - from].segments.sharesSegmentsWith(old[kept].segments))
        ++kept;

    std::vector<Block> next;
    next.reserve(old.size() - (to + 1 - from) + made.size());
    next.insert(next.end(), old.begin(), old.begin() + std::ptrdiff_t(from));
    Ends nextEnds(ends.begin(), ends.begin() + std::ptrdiff_t(from));
    nextEnds.reserve(next.capacity());
    size_t end = start;
    for (Block& b : made) {
        nextEnds.push_back(std::uint32_t(end += b.segments.size()));
        next.push_back(std::move(b));
    }
    next.insert(next.end(), old.begin() + std::ptrdiff_t(to) + 1, old.end());
    for (size_t i = to + 1; i < ends.size(); ++i)
        nextEnds.push_back(std::uint32_t(ends[i] + list.size() - oldSize));
    nextBlockCache_ = BlockLineage::derived(std::move(next), blockCache_, kept);
    nextBlockEnds_ = std::move(nextEnds);
}

std::unordered_set<Uuid> TranscriptStore::search(std::string_view query) const {
    std::string_view trimmed = platform::text::trimmedScalars(query, platform::text::isBlank);
    if (trimmed.empty()) return {};
    if (db_ && unsavedSegments_.empty()) return db_->search(trimmed);
    std::unordered_set<Uuid> ids;
    if (db_) {
        // The file's index holds no unsaved text, and may hold text memory
        // has since changed or deleted: those segments are matched here,
        // each word of the query on its own.
        ids = db_->search(trimmed);
        for (const Uuid& id : unsavedSegments_) ids.erase(id);
        std::vector<CaseInsensitiveMatcher> words;
        for (const std::string_view word : TranscriptDB::queryWords(trimmed))
            words.emplace_back(word, calendar_.locale());
        for (const Segment& s : segments.get())
            if (unsavedSegments_.count(s.id) &&
                std::all_of(words.begin(), words.end(),
                            [&](const auto& w) { return w.matches(s.text); }))
                ids.insert(s.id);
        return ids;
    }
    CaseInsensitiveMatcher matcher(trimmed, calendar_.locale());
    for (const Segment& s : segments.get())
        if (matcher.matches(s.text)) ids.insert(s.id);
    return ids;
}

SessionMarker TranscriptStore::startSession(std::optional<std::string> name) {
    SessionMarker marker{Uuid::random(), calendar_.now(), std::move(name)};
    joinReachingBack(marker.start);
    sessions.mutate([&](auto& list) { list.push_back(marker); });
    save({.sessions = {marker}}, true, false, {.sessions = {{marker.id, std::nullopt}}});
    return marker;
}

// The id by value, and the name copied, before the join: either may be read
// from the markers, which the join replaces.
void TranscriptStore::rename(Uuid session, std::string_view name) {
    const std::string wanted(name);
    const auto find = [&] {
        const auto& list = sessions.peek();
        return std::find_if(list.begin(), list.end(),
                            [&](const SessionMarker& m) { return m.id == session; });
    };
    auto it = find();
    // One before the newest part is in memory once the earlier part is.
    if (it == sessions.peek().end() && earlier_) {
        joinEarlierPart();
        it = find();
    }
    const auto& list = sessions.peek();
    if (it == list.end()) return;
    size_t index = size_t(it - list.begin());
    const Priors priors{.sessions = {{session, revisionOf(*it)}}};
    std::string_view trimmed = platform::text::trimmedScalars(wanted, platform::text::isBlank);
    std::optional<std::string> newName;
    if (!trimmed.empty()) newName = std::string(trimmed);
    sessions.mutate([&](auto& markers) { markers[index].name = newName; });
    save({.sessions = {sessions.peek()[index]}}, true, false, priors);
}

void TranscriptStore::removeSession(Uuid session) {
    const auto& markers = sessions.peek();
    if (earlier_ && std::none_of(markers.begin(), markers.end(),
                                 [&](const SessionMarker& m) { return m.id == session; }))
        joinEarlierPart();
    const Priors priors = priorsOf({}, {session});
    sessions.mutate([&](auto& list) {
        std::erase_if(list, [&](const SessionMarker& m) { return m.id == session; });
    });
    save({.deletedSessions = {session}}, true, false, priors);
}

void TranscriptStore::deleteBlocks(const std::vector<Block>& blockList) {
    for (const StartSpan& span : spansOf(blockList)) joinReachingBack(span.first);
    std::vector<Uuid> ids = segmentIdsOf(blockList);
    const std::unordered_set<Uuid> idSet(ids.begin(), ids.end());
    const std::vector<size_t> positions = positionsOf(idSet);
    const Priors priors = priorsAt(positions, idSet);
    const auto touch = touchingOnly(spansOf(blockList));
    splice(positions, {});
    if (!ids.empty()) save({.deletedSegments = ids}, true, false, priors);
}

void TranscriptStore::replace(const Block& block, const std::string& text) {
    if (block.segments.empty())
        return;  // callers pass paragraphs built by blocks(); an empty one holds nothing
    joinReachingBack(spansOf({block}).front().first);
    std::string oldText = block.text();
    if (text == oldText) return;
    std::vector<Uuid> ids = segmentIdsOf({block});
    const std::unordered_set<Uuid> idSet(ids.begin(), ids.end());

    const std::vector<size_t> first = positionsOf({block.id});
    if (first.empty()) return;
    const std::vector<size_t> positions = positionsOf(idSet);
    const Priors priors = priorsAt(positions, idSet);
    const Segment merged = editedSegment(block, text);
    std::vector<StartSpan> spans = spansOf({block});
    spans.push_back({merged.start, merged.start});
    const auto touch = touchingOnly(std::move(spans));

    // The deletes and the merged segment go to disk in one transaction: a
    // crash between them would lose both the paragraph and the edit.
    if (platform::text::trimmedScalars(text, platform::text::isWhiteSpace)
            .empty()) {  // an emptied paragraph stays deleted
        splice(positions, {});
        save({.deletedSegments = ids}, true, false, priors);
        return;
    }

    splice(positions, {merged}, first.front());
    save({.segments = {merged}, .deletedSegments = ids}, true, false, priors);
}

std::vector<StartSpan> TranscriptStore::spansOf(const std::vector<Block>& blocks) {
    std::vector<StartSpan> spans;
    for (const Block& b : blocks)
        if (!b.segments.empty()) {
            const auto [first, last] = std::minmax_element(
                b.segments.begin(), b.segments.end(),
                [](const Segment& x, const Segment& y) { return x.start < y.start; });
            spans.push_back({first->start, last->start});
        }
    return spans;
}

Segment TranscriptStore::editedSegment(const Block& block, const std::string& text) {
    assert(!block.segments.empty());
    Segment merged;
    merged.id = block.id;
    merged.start = block.segments.front().start;
    merged.end = block.segments.back().end;
    merged.text = text;
    merged.edited = true;
    merged.original = block.original().value_or(block.text());
    return merged;
}

std::vector<Segment> TranscriptStore::segmentsWithIds(const std::vector<Uuid>& ids) const {
    std::vector<Segment> out;
    for (size_t at : positionsOf({ids.begin(), ids.end()})) out.push_back(segments.peek()[at]);
    return out;
}

void TranscriptStore::replaceSegments(const std::vector<Segment>& current,
                                      const std::vector<Segment>& replacement) {
    for (const auto* list : {&current, &replacement})
        for (const Segment& s : *list) joinReachingBack(s.start);
    std::unordered_set<Uuid> gone;
    for (const Segment& s : replacement) gone.insert(s.id);
    std::vector<Uuid> deleted;
    for (const Segment& s : current)
        if (gone.insert(s.id).second) deleted.push_back(s.id);
    if (gone.empty()) return;
    std::vector<StartSpan> spans;
    for (const auto* list : {&current, &replacement})
        for (const Segment& s : *list) spans.push_back({s.start, s.start});
    const auto touch = touchingOnly(std::move(spans));
    const std::vector<size_t> positions = positionsOf(gone);
    const Priors priors = priorsAt(positions, gone);
    splice(positions, replacement);
    save({.segments = replacement, .deletedSegments = std::move(deleted)}, true, false, priors);
}

}  // namespace verbolin
