#pragma once
// The application's one model of the transcript: every segment and session
// marker in memory, grouped into paragraphs for the timeline, searchable, and
// written through to the database at every change. It also carries the live
// fields of the utterance being spoken (preview, isSpeaking, level).
//
// Confined to the main thread. Observers hear of changes synchronously, on
// that thread, through the platform observation registrar.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/system/MainExecutor.hpp"
#include "platform/system/Observable.hpp"
#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"
#include "verbolin/storage/ReadStop.hpp"
#include "verbolin/storage/Segment.hpp"
#include "verbolin/storage/SegmentSequence.hpp"
#include "verbolin/storage/SessionItem.hpp"
#include "verbolin/storage/SessionMarker.hpp"
#include "verbolin/storage/SessionSummaries.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/storage/UserCalendar.hpp"

namespace verbolin {

// What each record of a change stood as before it, by id: its revision
// (TranscriptStore::revisionOf), or none where there was no such record. A
// record not named is written to the recovery file without its "before",
// and taken in unchecked, as an earlier version's line is.
struct ChangePriors {
    std::unordered_map<platform::Uuid, std::optional<std::uint64_t>> segments = {};
    std::unordered_map<platform::Uuid, std::optional<std::uint64_t>> sessions = {};
};

struct TranscriptOpening {
    platform::MainExecutor* main = nullptr;
    // Segments read at once, at least, from the start of a session on; a
    // transcript of fewer than twice as many is read whole at once.
    size_t newest = 4000;
    // For tests: runs on the reading thread once the file passed its check,
    // before the earlier part is read (and before each read of the whole
    // again), with the flag that ends the read (set when the store closes).
    std::function<void(const std::atomic<bool>& stop)> whileReading = {};
    // Set (from a signal handler, say) when the process is asked to quit
    // during the start: on a slow disk the newest part alone can take many
    // seconds. Its read then stops within a step of SQLite's, and the store
    // stays closed: the file is neither checked, read whole nor written,
    // and no recovery file is taken in; the next start does all of it.
    const std::atomic<bool>* quit = nullptr;
};

class TranscriptStore {
  public:
    static constexpr double paragraphGap =
        3.0;  // seconds between segments that start a new paragraph

    // Opens `directory`, or the default data folder ("Verbolin" in the
    // application data folder, taking over an older "Echovane" folder when
    // only that exists). A database that cannot be opened for writing is
    // read as it stands when it can be; otherwise the store starts empty.
    // Either way new changes live in memory and in the recovery file;
    // unless the file is damaged (or not a transcript), it is opened again
    // at the next change or retry, and what memory gained meanwhile is
    // written.
    //
    // With `opening.main`, a long transcript is read in two: its newest part
    // at once, the rest on a thread of its own after SQLite's check of the
    // whole file, joined on the main thread when read (see readWhole()).
    using Opening = TranscriptOpening;
    explicit TranscriptStore(std::optional<std::filesystem::path> directory = std::nullopt,
                             UserCalendar calendar = UserCalendar(), Opening opening = {});
    // Makes a last attempt to write what is still unsaved. Standard error
    // names the recovery file that holds what still cannot be written, with
    // its text; the next store of this folder that can write its transcript
    // takes it in.
    ~TranscriptStore();
    // What the destructor does, for a process that ends without unwinding
    // (a quit that leaves a decode running); once: a later call, and the
    // destructor after it, do nothing.
    void lastSave();
    TranscriptStore(const TranscriptStore&) = delete;
    TranscriptStore& operator=(const TranscriptStore&) = delete;

    platform::ObservationRegistrar registrar;
    // In ascending start order. Any write, even of an equal array, drops the
    // paragraph cache; do not replace the write hook (nor that of sessions).
    // The paragraphs read these very segments, in place (see SegmentSequence).
    platform::Observable<SegmentSequence> segments{registrar};
    platform::Observable<std::vector<SessionMarker>> sessions{registrar};
    // Goes up with every write of segments or sessions: what was derived
    // from them at one count holds while it stays.
    std::uint64_t generation() const { return generation_; }
    platform::Observable<std::string> preview{registrar};
    platform::Observable<bool> isSpeaking{registrar, false};
    platform::Observable<float> level{registrar, 0.0f};
    // True while some change lives only in memory: there is no database, or
    // a write failed (disk full, read-only or locked file). Changes that did
    // not reach the disk are written again with the next change and at
    // retryUnsaved(); this turns false once that succeeds.
    platform::Observable<bool> notSaved{registrar, false};

    // While notSaved holds: the file that could not be written, and why
    // (the system's reason where there is one). Empty while all is saved.
    const std::string& saveProblem() const { return saveProblem_; }

    // Where the changes that are not saved wait besides memory.
    struct Keeping {
        // The recovery file that holds them; empty while none does.
        std::filesystem::path file;
        // Some could be written to no recovery file at all: memory alone
        // holds them, and they are lost if Verbolin stops.
        bool memoryOnly = false;
        bool operator==(const Keeping&) const = default;
    };
    platform::Observable<Keeping> keeping{registrar};

    // Where each change that cannot be saved is kept, as it is made, for
    // the store of `directory`: "unsaved-<key>.jsonl" in
    // $XDG_STATE_HOME/Verbolin (~/.local/state), or, when that cannot be
    // written, in "verbolin-<uid>/" in the temporary folder, a folder of
    // mode 0700 that must be the user's own. When neither takes it (another
    // user made that folder first), a start makes a folder of its own there
    // with a unique name, "verbolin-<uid>-XXXXXX", and writes to that. A
    // file that is a link, has other hard links, belongs to another user or
    // can be written by others is neither read nor written, and said once.
    // One record per line, a later line for an id replacing earlier ones: a
    // segment as the transcript files of earlier versions held them,
    // {"deletedSegment": id}, {"session": marker} or {"deletedSession": id},
    // each with "before": the revision of the record the change was made
    // from, or null where there was none (see readRecoveryFile), and with
    // "file": the identity the run gave the file at its first line there
    // (random), and "line": the line's number under it, from 1 up. The
    // commit that stores what a line holds, or a start that passes it over,
    // marks the file's lines up to it in the transcript, and no start takes
    // a marked line in again, whatever became of the files around it.
    // Lines of an earlier version, without "file" and "line", are known by
    // an identity made of their file's bytes and their number in it, and
    // marked alike. Each change is appended once, when it is made; once it
    // is saved and synced the file is removed. After a sync of the
    // transcript failed in a run, the file stays until a later start has
    // stored and synced it, and a later change to a record it holds is
    // appended too, so that its last line for each record is the newest. A
    // file that can be neither removed nor emptied only stays on disk: its
    // lines are marked. One whose lines could not be checked against the
    // marks (the table cannot be read) stays as it is.
    static std::vector<std::filesystem::path> recoveryFiles(const std::filesystem::path& directory);
    // The files a start takes in, in order: an earlier version's
    // "verbolin-<uid>-unsaved-<key>.jsonl" straight in the temporary folder
    // (only read, never written), then recoveryFiles, then the file in each
    // folder with a unique name (held to the same checks), the least
    // recently changed first. An empty file goes quietly.
    static std::vector<std::filesystem::path> recoveryFilesToTakeIn(
        const std::filesystem::path& directory);

    // A record's content as a number that stays the same across runs: what
    // a recovery file's line was made from. Its id and times are left out:
    // a line is compared with the record of its own id, no change moves a
    // time alone, and a time read back from the transcript may differ from
    // the one memory had in its last nanoseconds.
    using Revision = std::uint64_t;
    static Revision revisionOf(const Segment& segment);
    static Revision revisionOf(const SessionMarker& marker);
    // What a record stood as before a change: its revision, or none where
    // there was no such record.
    using Prior = std::optional<Revision>;
    // How the records stand where a recovery file is taken in, by id.
    // With the marks of the lines the transcript dealt with already.
    struct Standing {
        std::function<Prior(const platform::Uuid&)> segment, session;
        const TranscriptDB::RecoveryMarks* marks = nullptr;
        // Told of each line read that is not left out as taken before: the
        // id it names, whether a session's, whether it deletes it, and its
        // "before" (none on an earlier version's line).
        std::function<void(const platform::Uuid& id, bool session, bool deletes,
                           const std::optional<Prior>& before)>
            named = {};
    };

    // What a recovery file holds: the state each record it names comes to,
    // read in one pass that holds one entry per id, so that memory follows
    // the number of records and not the file's length. With `standing`, a
    // line counts only where the record stands as the line was made from
    // (its "before"), or as the line leaves it; the state it comes to counts
    // for the next line of that id. Others are passed over, and counted
    // unless a later line of that id counts: a change stored after the line
    // was written has replaced what it was made from. Lines of earlier
    // versions, without a "before", always count. Lines that cannot be read
    // (torn by a kill, damaged, longer than any record) are skipped and
    // counted. A line at or below its file's mark in `standing` is left
    // out, and counted apart; a line of an earlier version's is numbered
    // by its place in the file, under an identity made of every line of the
    // file up to it, and left out at or below the last such line marked
    // (the file is then read twice). Nothing when there is no such file,
    // or when it is refused (a link, another user's, writable by others:
    // said once); throws std::runtime_error when it cannot be opened or
    // read to its end. Changes nothing on disk.
    struct Recovered {
        TranscriptDB::Changes changes;
        size_t skippedLines = 0;
        size_t passedOverLines = 0;
        size_t takenBefore = 0;  // at or below their file's mark
        // The highest line of each file identity that was read and not
        // left out: what the commit that stores `changes` marks.
        TranscriptDB::RecoveryMarks dealtWith;
        // The same for each record those lines named.
        TranscriptDB::RecordMarks records;
    };
    static std::optional<Recovered> readRecoveryFile(const std::filesystem::path& file,
                                                     const Standing* standing = nullptr);
    // The lines of a recovery file as a start read them where it could not
    // read the transcript to check them against: they are checked once it
    // can (readHeldFile, as readRecoveryFile reads). Holds the file's text,
    // an overlong line as an empty one (and counted), so that every line
    // keeps its number. Nothing and
    // throws as readRecoveryFile.
    struct HeldFile {
        std::filesystem::path file;
        std::string lines;  // each ending in a line feed
        size_t overlong = 0;
    };
    static std::optional<HeldFile> holdRecoveryFile(const std::filesystem::path& file);
    static Recovered readHeldFile(const HeldFile& held, const Standing* standing);

    // The data folder of a store made without one, and the folder of an
    // earlier version that it takes over while that one is not there yet.
    static std::filesystem::path defaultDirectory();
    static std::filesystem::path legacyDirectory();

    const std::filesystem::path& directory() const { return directory_; }
    TranscriptDB* db() const { return db_.get(); }  // null in memory-only mode
    const UserCalendar& calendar() const { return calendar_; }

    // Whether memory holds the whole transcript: not while the earlier part
    // of one opened in two is still read. Until then memory holds the
    // sessions and segments from a session's start on, whose paragraphs
    // are those of the whole, and nothing is written into the file. A
    // change made meanwhile waits for nothing: it is shown at once and
    // appended to the recovery file with what it was made from, as a change
    // that cannot be stored is, and stored when the earlier part joins (a
    // quit or a kill before leaves it for the next start to take in). Only
    // a change that reaches back before the newest part, or that no
    // recovery file takes, joins first, waiting for the read. False as well
    // while the file is read whole again since another program changed it
    // (see retryUnsaved), with memory holding every part meanwhile.
    bool readWhole() const { return earlier_ == nullptr; }
    // Joins the earlier part now (waiting for its read) and stores what was
    // changed meanwhile, or, where it could not be read whole or the file
    // failed its check, opens the file as a start that reads it whole
    // would, and says what it found. What memory showed stays shown where
    // the file cannot be read, and the changes made meanwhile stay over
    // whatever it holds, kept in the recovery file until they are stored.
    // Where another program changed the file since the newest part was
    // read, the file is read whole again (waited for too) as one state,
    // with those changes laid over it.
    void joinEarlierPart();

    // Stores one finished utterance; an empty text only ends the speaking state.
    void append(const Segment& segment);

    // Writes the changes that earlier writes could not store; for quitting,
    // for a retry the user asks for, and for the application's retry timer.
    // First it takes in what another program committed to the file since
    // memory read it (as every write does first): the file is read whole
    // again, as one state, on a thread of its own where the store was
    // opened with a loop to join on (here otherwise), and what this run has
    // not stored yet is laid over it. Until that joins, nothing is written
    // into the file, and a change made meanwhile waits as one made before
    // the start's join does. A file whose `segments` or `sessions` table
    // another program renamed, dropped or reshaped is left as it is, as a
    // start leaves it: the store runs from memory and the recovery file.
    void retryUnsaved();
    // Whether retryUnsaved() would look for another program's changes: a
    // transcript is open.
    bool followsFile() const { return db_ != nullptr; }
    // Whether some change failed to reach the database and waits for a retry.
    bool hasUnsavedChanges() const {
        return !unsavedSegments_.empty() || !unsavedSessions_.empty();
    }
    // Whether retryUnsaved() has work: unsaved changes, a transcript
    // that another program kept from being read whole, or recovery lines
    // held until it can be.
    bool needsRetry() const { return hasUnsavedChanges() || readAgain_ || !heldLines_.empty(); }

    // Consecutive segments whose gap is under `gap` seconds form one paragraph.
    // Trusts the input's order. A paragraph within one chunk of `segments`
    // reads its segments there, in place.
    static std::vector<Block> blocks(const SegmentSequence& segments, double gap);

    // All segments in paragraphs, built at most once per change of `segments`.
    // After an append, an edit or a deletion of the store's own, only the
    // paragraphs around the change are grouped anew; the others share their
    // segments with the previous array's (see BlockLineage). Paragraphs
    // grouped whole read the segments in the store's chunks; those grouped
    // anew around a change hold copies of their own, so that the chunk
    // changed goes on changing in place. The paragraphs left as they were
    // keep a changed chunk as it stood alive beside the store's: at most one
    // for each chunk changed since the paragraphs were last grouped whole.
    std::shared_ptr<const std::vector<Block>> allBlocks() const;

    // Word-prefix full-text search, or a case-insensitive substring search
    // when running from memory.
    std::unordered_set<platform::Uuid> search(std::string_view query) const;
    // Where in allBlocks() the paragraphs holding segments of these ids are,
    // ascending and each once: found by the segments' start times, without a
    // walk over every paragraph (a search's few hits in years of them).
    std::vector<size_t> paragraphsHolding(const std::unordered_set<platform::Uuid>& ids) const;
    // paragraphsHolding(search(query)), the file's hits placed in one walk
    // in time order, without a set of their ids, where memory holds just
    // what the file does: a short prefix finds most of the transcript.
    std::vector<size_t> paragraphsMatching(std::string_view query) const;
    // The newest of paragraphsMatching(query): every match among the
    // paragraphs from `from` on, reaching back only as far as it takes to
    // find `wanted` of them, so that a search's first page costs what the
    // stretch it reads holds, not what years of transcript do. `from` is 0
    // when the whole transcript was read (or memory holds what the file
    // lacks: then it is paragraphsMatching(query) itself).
    struct NewestMatches {
        std::vector<size_t> paragraphs;
        size_t from = 0;
    };
    NewestMatches newestParagraphsMatching(std::string_view query, size_t wanted) const;
    // The matches among the paragraphs [from, to) of allBlocks(), ascending,
    // read for their stretch alone; none where memory holds what the file
    // lacks, or the file's hits are not where memory has them (then
    // paragraphsMatching answers).
    std::optional<std::vector<size_t>> paragraphsMatchingAmong(std::string_view query, size_t from,
                                                               size_t to) const;
    // What search(query) finds among segmentsIn(item), and perhaps a few
    // beside it: read for the item's stretch alone where memory holds just
    // what the file does.
    std::unordered_set<platform::Uuid> searchWithin(std::string_view query,
                                                    const SessionItem& item) const;

    SessionMarker startSession(std::optional<std::string> name);
    // The id is taken by value: one read from `sessions` may be moved by
    // the change itself.
    void rename(platform::Uuid session, std::string_view name);
    void removeSession(platform::Uuid session);

    void deleteBlocks(const std::vector<Block>& blocks);
    // Applies the user's edit of one paragraph: its segments become one
    // edited segment that remembers the text before the first edit.
    void replace(const Block& block, const std::string& text);
    // The one edited segment that `block`'s segments become with `text`: the
    // paragraph's id and times, and its text before the first edit.
    static Segment editedSegment(const Block& block, const std::string& text);
    // The segments among `ids` that memory holds now, in transcript order:
    // a paragraph shown in part, or edited since it was shown, is asked
    // about by its own segments alone.
    std::vector<Segment> segmentsWithIds(const std::vector<platform::Uuid>& ids) const;
    // Replaces `current` by `replacement` in one write, for the user's
    // edits and their undo and redo: the segments of either list that
    // memory holds give way, and those of `replacement` are put in by their
    // start time, exactly as they are (times, text, edit mark and text
    // before the first edit). Nothing is ever doubled; segments of neither
    // list stay as they are.
    void replaceSegments(const std::vector<Segment>& current,
                         const std::vector<Segment>& replacement);

    // The session list, as the summaries hold it: read from segments and
    // sessions once, then again only where a change fell.
    // Days are the calendar days of the store's calendar; items are newest
    // first, sessions before days of equal start.
    std::vector<SessionItem> sessionItems() const;
    // Each session item with its first words and times, brought up to date
    // with every change made since the last call.
    const SessionSummaries& sessionSummaries() const;
    // The same for segments and markers in ascending start order.
    static std::vector<SessionItem> sessionItems(const SegmentSequence& segments,
                                                 const std::vector<SessionMarker>& markers,
                                                 const UserCalendar& calendar);
    std::optional<SessionItem> currentSession() const;
    std::vector<Segment> segmentsIn(const SessionItem& item) const;
    // The first and the last of segmentsIn(item), read in place (until the
    // next change), found by binary search while the segments are in time
    // order. Both null when the item holds none.
    std::pair<const Segment*, const Segment*> endsIn(const SessionItem& item) const;
    std::vector<Segment> segmentsOn(platform::Date day) const;
    std::vector<platform::Date> days() const;
    // The first paragraph of each session mapped to the session's title (its
    // name, or its start time when unnamed). Valid until the next call.
    const std::unordered_map<platform::Uuid, std::string>& sessionStartBlocks() const;
    // The same titles, shared: the very same map for as long as they stay
    // equal, so that a reader tells them unchanged without comparing them.
    using StartTitles = std::shared_ptr<const std::unordered_map<platform::Uuid, std::string>>;
    StartTitles sharedSessionStartBlocks() const;
    // The first ten words of the item's first segment (a few hundred bytes
    // at most), or "Nothing yet".
    std::string previewOf(const SessionItem& item) const;
    // "10:00 – 10:42", "10:00 – now", "Now", or the start alone.
    std::string rangeText(const SessionItem& item) const;
    // "Today", "Yesterday" or the abbreviated date.
    static std::string dayTitle(platform::Date date, const UserCalendar& calendar = UserCalendar());
    // dayTitle() for many days with one calendar and one formatter, the
    // day of "Today" taken once when made.
    class DayTitles {
      public:
        explicit DayTitles(const UserCalendar& calendar);
        std::string operator()(platform::Date date);

      private:
        UserCalendar::DayFinder days_;
        UserCalendar::DateFormatter dates_;
        platform::Date today_, yesterday_;
    };

    // "day:" and a day's start in seconds since 1970 ("day:1714521600.0").
    static std::string dayItemId(platform::Date dayStart);

  private:
    // Brings in the transcript files of earlier versions once, then renames
    // each to "<name>.imported".
    void importLegacyFiles();
    // Opens the database, or reads it when it cannot be written, and loads
    // what it holds; says why when it cannot be written. `open`, where
    // given, opens it for writing instead of a start's own open, and throws
    // as that does.
    void openDatabase(const std::function<std::unique_ptr<TranscriptDB>()>& open = {});
    // Reads the newest part of a long transcript and sets off the read of
    // the rest, where `opening` asks for it and the file allows it: one of
    // this layout, with no recovery files or files of earlier versions to
    // take in (those are checked against the transcript read whole), and a
    // session start there after which no paragraph goes on. False, having
    // changed nothing, otherwise.
    bool openNewestPart(const Opening& opening);
    // What a start does once memory holds the transcript.
    void finishStart();
    // Joins the earlier part first when a change reaches back to `earliest`,
    // before the newest part: memory does not hold what it changes.
    void joinReachingBack(platform::Date earliest);
    // Writes of `segments` so far.
    std::uint64_t segmentWrites() const { return generation_ - sessionWrites_; }
    struct EarlierRead {
        // Declared before the read, so that it outlives it.
        ReadStop stop;
        std::vector<SessionMarker> markers;  // those before the newest part
        platform::MainExecutor* main = nullptr;
        std::function<void(const std::atomic<bool>&)> whileReading;  // see TranscriptOpening
        // The file's dataVersion() on the store's connection when what
        // memory holds was read (none when it could not be read): where it
        // is the same at the join, nobody committed since, and the read's
        // thread saw that state too.
        std::optional<std::int64_t> version;
        // How often the file was read whole again, since it moved under the read.
        int rereads = 0;
        // The read of a running store that another program's commit set
        // off, not the start's: memory holds the whole transcript already.
        bool running = false;
        // Which of the store's reads this is, for the join it posts.
        std::uint64_t number = 0;
        platform::Date from;  // where the newest part starts
        // The newest part's paragraphs when it was read, and the count of
        // writes of the segments then: the join takes over the paragraphs
        // and index made on the read's thread only while nothing changed.
        size_t newestParagraphs = 0;
        std::uint64_t segmentWrites = 0;
        // The earlier segments, when the file passed its check and they
        // were read whole, with their paragraphs and start index (see
        // startIndex()), made on the read's thread too; or, read again
        // whole, every segment and session.
        struct Part {
            SegmentSequence segments = {};
            std::vector<Block> paragraphs = {};
            std::vector<std::pair<size_t, platform::Date>> index = {};
            std::optional<std::vector<SessionMarker>> sessions = {};  // read again whole
            // The paragraphs and index were made with the segments.
            bool grouped = false;
        };
        using Index = std::vector<std::pair<size_t, platform::Date>>;
        // What the read's thread makes of the segments it read and the
        // newest part's paragraphs and index, which nothing changes before
        // the join: the whole's, so that the join costs the window no more
        // than the newest part did.
        static Part madeFrom(std::vector<Segment> read, const std::vector<Block>& newestParagraphs,
                             const Index& newestIndex);
        // What the read's thread hands the join: the Part, where it could
        // make one; otherwise what its check of the whole file found, which
        // spares the open that follows the same walk over every page.
        struct Outcome {
            std::optional<Part> part = {};
            // The file passed the check; or failed it, and what SQLite said.
            bool passed = false;
            std::optional<std::vector<std::string>> damage = {};
        };
        std::future<Outcome> outcome;
        ~EarlierRead() {
            stop.request();
            if (!outcome.valid()) return;
            while (outcome.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
                stop.request();
        }
    };
    std::unique_ptr<EarlierRead> earlier_;
    // Sets off `how` on a thread of its own, which makes the Part of what
    // it read with `newest` (the paragraphs and index of what memory keeps)
    // and posts its join; throws std::system_error where no thread starts.
    void startReading(EarlierRead& read, std::function<TranscriptDB::EarlierPart()> how,
                      std::shared_ptr<const std::vector<Block>> newest,
                      EarlierRead::Index newestIndex);
    // The join the read's thread posted, unless a change joined it first.
    void joinPosted(std::uint64_t number);
    std::uint64_t readsStarted_ = 0;
    // Joins the read under way once it is done; or, where the file moved
    // since memory was read, reads it whole again (on a thread) instead.
    void joinRead();
    // The join of a file read whole again, since another program changed
    // it during the first read: the file as it is now, with what the user
    // changed meanwhile laid over it.
    void joinReadAgain(EarlierRead::Part whole);
    // Memory becomes the file as `whole` holds it, with what this run has
    // not stored laid over it (nothing waiting unstored is lost).
    void takeAsItIsNow(EarlierRead::Part whole);
    // Where reads of the whole post their join, and the tests' hook of
    // them (see TranscriptOpening).
    platform::MainExecutor* main_ = nullptr;
    std::function<void(const std::atomic<bool>&)> whileReading_;
    // The file's dataVersion() on db_ when memory last took in what it
    // holds: it moves only when another program commits.
    std::optional<std::int64_t> seenVersion_;
    // No turn of the loop comes any more (the last save): reads go on here.
    bool readHere_ = false;
    // Looks whether another program committed to the file since memory
    // read it, and where it did, reads it whole again (see retryUnsaved):
    // earlier_ holds a read on a thread; one made here is taken in at once.
    // The records `pending` names (a change about to be stored) count as
    // unsaved from then on, to be laid over what is read.
    void followOtherPrograms(const TranscriptDB::Changes* pending = nullptr);
    // Sets off the read of the whole on a thread, from `version` on; false,
    // having changed nothing, where no thread starts.
    bool followOnAThread(std::int64_t version);
    // Reads the whole here, as one state, and takes it in; where another
    // program holds the file, it is looked at again at the next write or
    // retry.
    void followHere();
    // Leaves a file whose tables another program took away or reshaped as
    // a start leaves a damaged one: untouched, saying why (`why`), while
    // the store runs from memory and the recovery file.
    void leaveDamaged(const std::string& why);
    // The join of a read that failed, or of a file that failed its check:
    // opened as a start would, but on the verdict of the read's own check
    // of the whole file where `checked` has one (it passed, or the damage
    // it found), rather than after a second walk over every page.
    void openAfterFailedRead(EarlierRead::Outcome checked);
    // Lets a join posted from the read's thread find the store still there.
    std::shared_ptr<TranscriptStore*> alive_ = std::make_shared<TranscriptStore*>(this);
    // Shows `file` as it stands, when it holds a transcript: not when there
    // is none yet, or only the empty file of a start that could not make
    // one. Says why it cannot be read.
    enum class Reading { shown, nothingThere, failed };
    Reading openForReading(const std::filesystem::path& file, int busyWaitMs);
    // Takes in the changes an earlier run could not save (see
    // recoveryFiles) into memory, and stores them when it can. A recovered
    // record replaces the one of the same id, being the later edit, where
    // memory (the transcript, read whole, and the files before) still holds
    // what its line was made from (see readRecoveryFile).
    void importRecoveredText();
    // Takes in the recovery files that wait while only the newest part
    // (from `from` on) is in memory, checked against that part and the
    // marks read with it, when every line they hold can be checked so: each
    // names a record of that part, or one it makes there, and none reaches
    // further back. Memory then shows what they leave, and a change made
    // before the join is made over it; the join stores them first. False,
    // taking nothing in, where one line cannot be checked so.
    bool takeInAtOpen(const TranscriptDB::RecoveryMarks& marks, platform::Date from);
    // Stores what takeInAtOpen took in, and says what it took once stored.
    void storeTakenAtOpen();
    // Lets go of what it took in, for a start that reads the file whole
    // after all and takes the files in then.
    void forgetTakenAtOpen();
    // The files takeInAtOpen took in, which the join does not read again,
    // and what their taking in says once it is stored.
    std::set<std::filesystem::path> takenAtOpen_;
    std::vector<std::string> takenAtOpenSaid_;
    // The records it took in that no change has touched since (ids are
    // unique across segments and sessions).
    std::unordered_set<platform::Uuid> takenAtOpenIds_;
    // Takes what `recovered` (read from `file`) holds into memory, to be
    // stored with the marks of the lines it dealt with, and says what was
    // skipped and passed over; the file then keeps these until they are
    // stored. What was taken in, as the message says it ("" for nothing).
    std::string takeIn(Recovered& recovered, const std::filesystem::path& file);
    // Checks the lines held at start against the transcript, read whole
    // since, and its marks, and takes in those that fit; the rest are
    // passed over and said, as at a start. Not while the marks cannot be
    // read.
    void takeInHeld();
    // Says once why lines are held where the marks table cannot be read.
    void sayMarksUnread();
    using Priors = ChangePriors;
    // The priors of these records as memory holds them now, for a change
    // about to be made to them.
    Priors priorsOf(const std::vector<platform::Uuid>& segmentIds,
                    const std::vector<platform::Uuid>& sessionIds = {}) const;
    // Unjournaled records by id, with what each stood as when it became
    // unjournaled (none: not known).
    using Unjournaled = std::unordered_map<platform::Uuid, std::optional<Prior>>;
    // Appends the records marked unjournaled, as memory now holds them, to
    // the recovery file; those it cannot write stay marked.
    void journal();
    // The same for those of them that the recovery files hold already, and
    // would otherwise bring back as they were at the next start. False
    // when no file takes them: they are then held in memory only (said
    // once), and must not be stored before a file holds them.
    bool journalHeld();
    // Appends `records` (one JSON object each) to the first of `places`
    // that takes them whole, else to a folder of its own, each numbered as
    // the next line this run writes there. The file written, or nothing
    // (`why` then says why).
    // `ids` are those of the records the lines name.
    std::filesystem::path appendLines(const std::vector<std::string>& records,
                                      const std::vector<platform::Uuid>& ids,
                                      const std::vector<std::filesystem::path>& places,
                                      std::string& why);
    // Those records: unjournaled, and held.
    std::pair<Unjournaled, Unjournaled> heldNotJournaled() const;
    // How the start's message says where what is said is kept: "kept in
    // memory and in a recovery file", or held in memory only when no place
    // can take one (and then not said again at the first change).
    std::string keptFromStart();
    // Where what is not saved is kept now, for the message that saving
    // stopped.
    std::string keptNow() const;
    // Notes that `file` now holds every unsaved change, and says so when
    // that is news.
    void journaled(const std::filesystem::path& file);
    // What a start can do with the files kept at quitting, as the quit
    // line says it after naming them.
    std::string nextStartTakes() const;
    // "a, b" for the files named in a message.
    static std::string tried(const std::vector<std::filesystem::path>& places);
    // Removes the recovery files once all they hold is stored.
    void retireJournal();
    // Removes the recovery files earlier versions kept as "*.imported".
    void removeImportedRecoveryFiles();

    // Writes `changes` together with everything still unsaved, in one
    // transaction, and keeps the ids of what failed. Only `changes` go to
    // the recovery file then, and not when `journaled` (the file has them
    // already): what is still unsaved from before went there when it was
    // made, each with its prior from `priors`. Returns whether it was
    // stored. `report` updates notSaved.
    bool save(TranscriptDB::Changes changes, bool report = true, bool journaled = false,
              const Priors& priors = {});
    // Adds the ids of the records `changes` names to the two sets.
    static void addIds(const TranscriptDB::Changes& changes,
                       std::unordered_set<platform::Uuid>& segmentIds,
                       std::unordered_set<platform::Uuid>& sessionIds);
    // Opens the database that could not be opened at start, joining what
    // it holds with what memory gained meanwhile. Whether one is open.
    bool reopen();
    // Adds to memory the records of the file that it does not know.
    void joinFromDisk(std::vector<Segment> onDisk, std::vector<SessionMarker> markersOnDisk);
    // Reads the file whole again, once no other program holds it.
    void readWholeAgain();

    // The paragraphs of the segments with `segment` after them, when
    // `before` holds the paragraphs of the segments alone.
    // It records what it took over from `before` (see BlockLineage).
    static std::shared_ptr<const std::vector<Block>> appended(
        const std::shared_ptr<const std::vector<Block>>& before, const Segment& segment);

    // The positions in memory of the segments of these ids that it holds,
    // ascending; found by their start times, without a walk over all.
    std::vector<size_t> positionsOf(const std::unordered_set<platform::Uuid>& ids) const;
    // Where in `segments` the file's hits are, ascending; none when one is
    // not where its start puts it.
    std::optional<std::vector<size_t>> positionsOfHits(
        std::vector<TranscriptDB::SearchHit> hits) const;
    // Each segment's start time under the hash of its id, in order: a
    // fraction of the memory a map by id would take. Rebuilt after a write
    // that did not keep it.
    using StartIndex = std::vector<std::pair<size_t, platform::Date>>;
    const StartIndex& startIndex() const;
    void indexAdd(const Segment& segment);
    void indexRemove(const Segment& segment);
    void indexRemove(const StartIndex::value_type& entry);
    // Takes the segments at `erased` (ascending positions) out of memory and
    // puts `added` in, each at `at` when given, else after those that start
    // no later, in one write. The paragraphs and the index follow the change.
    void splice(const std::vector<size_t>& erased, const std::vector<Segment>& added,
                std::optional<size_t> at = std::nullopt);
    void spliceKeeping(const std::vector<size_t>& erased, const std::vector<Segment>& added,
                       std::optional<size_t> at);
    // Drops the index and the paragraphs, for a write that failed half way.
    void forgetDerived();
    // The paragraphs of `list` (just changed) when only its positions
    // [first, list.size() - unchangedTail) differ from `oldSize` segments
    // grouped in blockCache_; installed by the write under way.
    void regroupAround(const SegmentSequence& list, size_t oldSize, size_t first,
                       size_t unchangedTail);
    // How many segments blockCache_'s paragraphs hold up to each one's end.
    // In 32 bits: years of segments count in millions, and the counts of
    // years of paragraphs are held in memory.
    using Ends = std::vector<std::uint32_t>;
    const Ends& blockEnds() const;
    // The priors of the segments at these positions, and none for the other ids.
    Priors priorsAt(const std::vector<size_t>& positions,
                    const std::unordered_set<platform::Uuid>& ids) const;

    mutable std::shared_ptr<const std::vector<Block>> blockCache_;
    // What the next write of `segments` installs as the paragraphs, when
    // the writer knows them; otherwise the write drops them.
    std::shared_ptr<const std::vector<Block>> nextBlockCache_;
    mutable Ends blockEnds_;  // of blockCache_, when not empty
    Ends nextBlockEnds_;
    mutable std::optional<StartIndex> startIndex_;
    // The write under way keeps startIndex_ right itself.
    bool indexFollows_ = false;
    std::uint64_t generation_ = 0;
    std::uint64_t sessionWrites_ = 0;
    // Each marker's title in sessionStartBlocks, made again only once the
    // sessions change: thousands of times formatted at every key would cost
    // more than all else the key does.
    mutable std::vector<std::string> markerTitles_;
    mutable std::optional<std::uint64_t> markerTitlesAt_;
    // The index of each marker's first paragraph in the array named: a
    // paragraph the next array took over from it is found there again.
    mutable std::vector<size_t> markerParagraphs_;
    // The id of that paragraph, none past the last one: the key each
    // marker's title went under.
    mutable std::vector<std::optional<platform::Uuid>> markerKeys_;
    mutable std::weak_ptr<const std::vector<Block>> markerParagraphsIn_;
    // What those made last: the window asks at every key, and a key in the
    // newest paragraph leaves them as they were.
    mutable StartTitles startTitles_;
    std::filesystem::path directory_;
    std::unique_ptr<TranscriptDB> db_;
    // Whether a database that could not be opened is tried again at the
    // next save or retry: not when it is damaged.
    bool reopenable_ = false;
    // Another program kept the file from being read whole: what it holds
    // joins memory at the next save or retry that can read it.
    bool readAgain_ = false;
    bool lastSaveDone_ = false;  // lastSave() has run
    UserCalendar calendar_;
    // The start times the next write of `segments` changes, when the writer
    // names them (touchingOnly, until that write or the end of its scope);
    // otherwise a write may change any.
    std::optional<std::vector<StartSpan>> touching_;
    class Touching {
      public:
        explicit Touching(TranscriptStore& store) : store_(store) {}
        ~Touching() { store_.touching_.reset(); }
        Touching(const Touching&) = delete;
        Touching& operator=(const Touching&) = delete;

      private:
        TranscriptStore& store_;
    };
    [[nodiscard]] Touching touchingOnly(std::vector<StartSpan> spans) {
        touching_ = std::move(spans);
        return Touching(*this);
    }
    static std::vector<StartSpan> spansOf(const std::vector<Block>& blocks);
    mutable SessionSummaries summaries_;
    platform::ObservationToken summariesOweSegments_, summariesOweMarkers_;
    // Ids whose row on disk differs from memory; written (or deleted, when
    // memory no longer has them) at the next save.
    std::unordered_set<platform::Uuid> unsavedSegments_;
    std::unordered_set<platform::Uuid> unsavedSessions_;
    // Unsaved changes that the recovery file does not hold yet: made while
    // it could not be written, or (held ones) waiting to be written there
    // before they are stored.
    Unjournaled unjournaledSegments_;
    Unjournaled unjournaledSessions_;
    // The recovery files holding changes not yet stored, the last the one
    // written to.
    std::vector<std::filesystem::path> journalFiles_;
    // Ids of the records those files hold, and of those changed together
    // with one of them: their later changes are written there first.
    std::unordered_set<platform::Uuid> heldSegments_;
    std::unordered_set<platform::Uuid> heldSessions_;
    bool journalFailing_ = false;  // said once, until a write works again
    // A sync of the transcript failed in this run: the files stay.
    bool syncFailed_ = false;
    // The marks could not be read at all: said once, naming the table.
    bool marksUnreadSaid_ = false;
    // Lines read at a start that could not read the transcript whole, in
    // the order of their files, until they can be checked against it.
    std::vector<HeldFile> heldLines_;
    // The marks that the next commit storing all that is unsaved writes:
    // of the lines taken in, and of those this run appended, by file and
    // by record.
    TranscriptDB::RecoveryMarks unmarked_;
    TranscriptDB::RecordMarks unmarkedRecords_;
    // The recovery files that hold a change memory holds unsaved: those
    // this run wrote to, and those it took changes in from.
    std::set<std::filesystem::path> holding_;
    // The identity this run gave each file it appends to, and the number
    // of its last line there.
    std::map<std::filesystem::path, std::pair<platform::Uuid, std::int64_t>> ownLines_;
    // The start of the line that says saving stopped, for the message that
    // names where the text is kept to complete.
    std::string news_;
    std::string saveProblem_;
};

}  // namespace verbolin
