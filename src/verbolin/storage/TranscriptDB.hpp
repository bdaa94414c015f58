#pragma once
// The transcript on disk: one SQLite file with a full-text index over the
// segments' text. A thin synchronous wrapper; reads fail soft to empty
// results, writes log their failure and report it as false (the store keeps
// what did not reach the disk and tries again), and only opening throws.
// Used by one thread at a time: its statements are prepared once and reused.
// Opened for writing, it copies its WAL into the file on a thread of its own
// (WalCheckpointer), beside the writes.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Segment.hpp"
#include "verbolin/storage/SessionMarker.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace verbolin {

class TranscriptStore;
class ReadStop;
class WalCheckpointer;
struct IdRepair;

class TranscriptDB {
  public:
    // readWrite opens or creates the file and its schema, and proves that it
    // can write it; readOnly opens an existing file to show what it holds,
    // writing nothing (not even the files SQLite keeps beside it, when the
    // folder cannot take them); asStored reads the database file alone as
    // it stands, making and changing nothing, and misses what is still in a
    // journal beside it.
    enum class Access { readWrite, readOnly, asStored };
    // Throws platform::AppError of domain "TranscriptDB": code 1 "Cannot
    // open <path>" (with the system's reason when the file can be read but
    // not written), code 2 with SQLite's message when a pragma or the schema
    // fails, code 3 "<path> is damaged" (and why) when an existing file fails
    // SQLite's quick check or holds tables of another layout under our
    // names (a damaged file is not written to), code 4 with SQLite's message
    // when another program still held the file after `busyWaitMs`.
    explicit TranscriptDB(std::filesystem::path url, Access access = Access::readWrite,
                          int busyWaitMs = kOpenBusyWaitMs);
    // Opens a file of this layout for writing without SQLite's quick check,
    // which another connection runs (see readOnItsOwn): it reads at
    // once, and writes nothing, not even an id's repair, until
    // finishOpening(). Throws as above, and code 2 for a file of another
    // layout (brought up to date, or kept, by an open that checks it first).
    struct Unchecked {};
    TranscriptDB(std::filesystem::path url, Unchecked);
    // What opening for writing does after the quick check, once the file
    // passed it; throws as the constructor does, and the connection is
    // then closed.
    void finishOpening();
    // Opened Unchecked and not finished yet: only reads. Every write is
    // refused meanwhile (SQLite's query_only), in any build: apply() and
    // upsert() return false with lastError() saying why, writing nothing.
    bool unchecked() const { return unchecked_; }
    // What lastError() says of a write refused before the check.
    static constexpr const char* kNotYetChecked =
        "nothing is written before SQLite's check of the whole file has passed";
    // Says what SQLite's quick check of `url` found, line by line, and that
    // the file is left as it is, then throws kDamaged: what an open that
    // checks the file does when it fails, for a check run elsewhere.
    [[noreturn]] static void refuseDamaged(const std::filesystem::path& url,
                                           const std::vector<std::string>& found);
    // A read of an unchecked file met an id that needs its row rewritten.
    bool wantedRepair() const { return wantedRepair_; }
    // The code of a file that fails SQLite's check or is not a transcript.
    static constexpr long kDamaged = 3;
    // The code of a file another program holds: neither damaged nor read-only.
    static constexpr long kBusy = 4;
    // How SQLite's busy answer is worded wherever it is said.
    static constexpr const char* kHeldByAnotherProgram = "another program holds the transcript";
    // Readers beside us (a backup, the sqlite3 shell, --status) hold the
    // file's locks for moments: while they rebuild the journal's index, or
    // close. A start waits that long for them before it reports the file
    // busy.
    static constexpr int kOpenBusyWaitMs = 3000;
    // Once open, only another program writing the file makes a write busy.
    // Writes, and attempts to open the file again, run on the thread that
    // shows the transcript, and what they could not store is kept and
    // written at the next retry, so they wait less.
    static constexpr int kWriteBusyWaitMs = 100;
    // The WAL's length, in pages, past which a commit asks for it to be
    // copied into the file (SQLite's own default).
    static constexpr int kCheckpointPages = 1000;
    ~TranscriptDB();
    TranscriptDB(const TranscriptDB&) = delete;
    TranscriptDB& operator=(const TranscriptDB&) = delete;

    // Every segment / marker in ascending start order. A row whose id is not
    // a UUID is given a fresh one, and the row is rewritten under it so that
    // later edits and deletes reach it.
    std::vector<Segment> allSegments();
    std::vector<SessionMarker> allSessions();
    // The segments that start at `from` (seconds since 1970) or later, in
    // ascending start order; lastReadWhole() says whether it read them all.
    std::vector<Segment> segmentsFrom(double from);
    // The last segment in start order of those before `before`; none when
    // there is none or it cannot be read.
    std::optional<Segment> lastSegmentBefore(double before);
    // The start of the n-th newest segment; none when there are fewer, or
    // where the file holds no number there.
    std::optional<double> startOfNewest(size_t n);
    // What a start that read the newest part through an Unchecked
    // connection reads on a thread, on a read-only connection of its own.
    // With `before`: SQLite's quick check of the whole file, then the
    // segments that start before it (and any of no start). Without: every
    // segment and every session as one state of the file (one read
    // transaction), no check, for a file that passed it and that another
    // program changed while the start read it in two. Logs nothing, so that
    // the open that follows a failure says it once. `stop` ends the read
    // early (not whole; not sound when it ends the check), at once even in
    // the middle of the check; `ready` runs before the rows are read (once
    // the file passed its check, or the transaction began).
    struct EarlierPart {
        bool sound = false;  // passed the quick check
        bool whole = false;  // every row read, none needing its id repaired
        std::vector<Segment> segments;
        std::vector<SessionMarker> sessions;  // read by a read of the whole only
        // The check ran to its end and found the file damaged: what it said,
        // line by line (nothing where SQLite only refused to go on). None
        // where it passed, or could not run, or was cut short.
        std::optional<std::vector<std::string>> damage;
    };
    static EarlierPart readOnItsOwn(const std::filesystem::path& file, std::optional<double> before,
                                    ReadStop& stop, const std::function<void()>& ready = {});
    // A number that stays the same while nobody else commits to the file,
    // and changes when another connection does (or empties the WAL); none
    // when it cannot be read. Reads on this connection since it was taken
    // saw the file as it is now where it did not change.
    std::optional<std::int64_t> dataVersion();
    // Why the file is no transcript of this layout any more, where another
    // program renamed, dropped or reshaped a table of ours since it was
    // opened (a start would find it damaged; said in standard error as a
    // start says it); none while it still is one, or where the file could
    // not be looked at just now (another program holds it).
    std::optional<std::string> layoutLost();
    // Holds one read transaction on `db` for its life, so that its reads
    // see one state of the file whatever another program commits
    // meanwhile. Only reads go on within it.
    // While it lives, each statement on `db` ends as interrupted once
    // `*flag` is set (checked every few hundred of SQLite's steps, so
    // within one read of the disk however slowly it answers); nothing
    // with no flag.
    class StopWhen {
      public:
        StopWhen(TranscriptDB& db, const std::atomic<bool>* flag);
        ~StopWhen();
        StopWhen(const StopWhen&) = delete;
        StopWhen& operator=(const StopWhen&) = delete;

      private:
        TranscriptDB& db_;
        const std::atomic<bool>* flag_;
    };
    class Snapshot {
      public:
        explicit Snapshot(TranscriptDB& db);
        ~Snapshot();
        Snapshot(const Snapshot&) = delete;
        Snapshot& operator=(const Snapshot&) = delete;
        // dataVersion() of that state; none when it could not be taken.
        std::optional<std::int64_t> version() const { return version_; }

      private:
        sqlite3* db_;
        std::optional<std::int64_t> version_;
    };
    // False when the last of those two reads stopped early because another
    // program held the file: what it returned is only part.
    bool lastReadWhole() const { return lastReadWhole_; }
    // Whether the file has the segments table. Opened for reading, one that
    // a start could not finish making (on a full disk) has none; it reads
    // as empty.
    bool holdsTranscript() const { return hasSegments_; }

    // Whether a write was seen to work on this connection. Not when the
    // proof at opening met another program writing: such a writer is kept
    // and proves itself later.
    bool proven() const { return proven_; }
    // Proves it now, waiting for no other program: true once proven, false
    // while another program still writes. Throws code 1 when it cannot
    // write after all.
    bool proveWritableNow();

    // Each returns whether the row reached the database.
    bool upsert(const Segment& segment);
    bool upsert(const SessionMarker& marker);

    // For each recovery file's identity, the highest line number that a
    // commit has taken in or passed over: a line at or below it is never
    // taken in again.
    using RecoveryMarks = std::unordered_map<platform::Uuid, std::int64_t>;
    // The same kept by record: for each record a recovery line named and
    // each file identity, the highest line of that file dealt with when a
    // line about the record was. Kept apart from the marks, so that what a
    // line did stays known whatever becomes of their table, and kept when
    // the record is deleted, so that a line is never taken in again over
    // the deletion, nor over a record made anew under its id by an undo.
    using RecordMarks = std::map<std::pair<platform::Uuid, platform::Uuid>, std::int64_t>;

    // Rows to write and ids to delete, applied together, with the marks of
    // the recovery lines they deal with (a mark never goes down).
    struct Changes {
        std::vector<Segment> segments = {};
        std::vector<platform::Uuid> deletedSegments = {};
        std::vector<SessionMarker> sessions = {};
        std::vector<platform::Uuid> deletedSessions = {};
        RecoveryMarks marks = {};
        RecordMarks records = {};
        bool empty() const {
            return segments.empty() && deletedSegments.empty() && sessions.empty() &&
                   deletedSessions.empty() && marks.empty() && records.empty();
        }
    };
    // Deletes, then writes, in one transaction: all of it is stored or none
    // of it. Returns false (after logging why) when it was rolled back.
    bool apply(const Changes& changes);

    // The marks the file holds (none in a file of an earlier version's),
    // those kept by record among them: for each file identity the highest
    // of either. Nothing when another program kept them from being read,
    // or when a table of them cannot be read at all, or holds values of
    // another type, or when a later release made the file without them and
    // this one cannot keep them there (marksProblem() then says why).
    std::optional<RecoveryMarks> recoveryMarks();
    // Why the last recoveryMarks() found the marks unreadable, naming the
    // table; empty when they were read, or only held by another program.
    const std::string& marksProblem() const { return marksProblem_; }
    // What makes them readable again, as a start can follow it: "rename
    // that table, and the next start makes it anew", or what else.
    const std::string& marksWayOut() const { return marksWayOut_; }
    // Whether the file keeps the marks of the recovery lines taken in: not
    // one that a later release made without their table.
    bool keepsMarks() const { return hasMarks_; }
    // Whether the last apply() failed because a table of marks could not
    // take them (not because another program held the file).
    bool marksRefused() const { return marksRefused_; }
    // What a start that opened the file for writing did to make the marks
    // readable (a view or trigger under their table's name dropped), to be
    // said; empty when it did nothing.
    const std::string& marksRepaired() const { return marksRepaired_; }

    // Makes every commit so far survive a power cut or a system crash, not
    // only a crash of this process; false (logged) when the disk refused.
    bool syncCommitted();

    // Ids of the segments whose text holds every whitespace-separated word of
    // the query as a word prefix.
    std::unordered_set<platform::Uuid> search(std::string_view query);
    // A segment search() finds, with its start as the file keeps it.
    struct SearchHit {
        double start = 0;  // seconds since 1970
        platform::Uuid id;
    };
    // What search() finds, in the index's order; none when the query has no
    // words or the file could not be read (logged).
    std::vector<SearchHit> searchHits(std::string_view query);
    // What searchHits() finds that starts in [from, to] (seconds since
    // 1970): the index read only between the first and last rows of that
    // stretch, so that a stretch's hits cost what it holds rather than what
    // the whole transcript does. None when the file could not be read (logged).
    std::optional<std::vector<SearchHit>> searchHitsBetween(std::string_view query, double from,
                                                            double to);
    // The ids of what search() finds that start in [from, to) (seconds since
    // 1970): the index's rows matched with those of the stretch, without
    // reading every hit's row.
    std::unordered_set<platform::Uuid> searchBetween(std::string_view query, double from,
                                                     double to);

    // The match expression search() sends: each word quoted (inner quotes
    // doubled) as a prefix phrase, joined with spaces. Empty when the query
    // has no words.
    static std::string matchExpression(std::string_view query);
    // The words of a query: the pieces between Unicode white space.
    static std::vector<std::string_view> queryWords(std::string_view query);

    sqlite3* handle() const { return db_; }
    bool readOnly() const { return readOnly_; }
    const std::filesystem::path& url() const { return url_; }
    // Why the last write that failed did, as SQLite and the system said it.
    const std::string& lastError() const { return lastError_; }
    // The work this connection's statements did so far, in thousands of
    // SQLite's virtual machine operations: it grows with the rows read and
    // written whatever the machine's load, so it shows how a large write
    // scales where a clock could not.
    std::uint64_t thousandOperations() const {
        return thousandOperations_.load(std::memory_order_relaxed);
    }

    static const char* const schema;
    // The layout this code writes, kept in the file's user_version. Files
    // made before the layout was numbered read as 0 and hold version 1's
    // layout.
    static constexpr int schemaVersion = 1;

  private:
    friend class TranscriptStore;

    // Runs SQL text without a result callback; throws code 2 on failure.
    void exec(const std::string& sql);
    // After each commit to the WAL, which holds `pages` pages then.
    static int walCommitted(void* self, sqlite3* db, const char* name, int pages);
    // Builds the full-text index anew from the segments, merged whole.
    void rebuildIndex();
    // Sets the index to be merged a step at each commit (see apply) rather
    // than by its own means, unless it is so already.
    void mergeIndexStepwise();

    // The statement for `sql` (a string that outlives the connection),
    // prepared on first use and kept; none (logged) when it cannot be
    // prepared. Callers leave it reset.
    sqlite3_stmt* prepare(const char* sql, const char* operation);
    // The same, saying nothing: lastError_ holds why it failed.
    sqlite3_stmt* tryPrepare(const char* sql);
    void openReadOnly(bool asStored, int busyWaitMs);
    // Throws code 1 when the connection cannot write after all.
    void proveWritable();
    // Throws kDamaged when a table of ours is there in another shape (a
    // column missing, an index that is a plain table), when a file of a
    // numbered layout lacks its segments or sessions, or one of a later
    // layout its index: reading or writing it would only fail, or lose
    // what another program took away.
    // Says why first, unless `say` is false.
    void checkLayout(int version, bool say = true);
    // Brings a file of an older layout up to schemaVersion, and adds what is
    // missing of the current one, in one transaction.
    void upgradeSchema(int version);
    // Bind, step and reset one prepared statement; false (logged) on failure.
    // Logs a failure to write, unless it is the one said last.
    void sayWriteFailure(const std::string& message);
    bool write(sqlite3_stmt* statement, const Segment& segment);
    bool write(sqlite3_stmt* statement, const SessionMarker& marker);
    bool write(sqlite3_stmt* statement, const platform::Uuid& deletedId);
    // Raises the marks, and those kept by record; when a table cannot
    // take them (not held by another program), lastError_ names the table
    // and what to do.
    bool writeMarks(const RecoveryMarks& marks, const RecordMarks& records);
    // Whether the statement `held`, bound to the key and `line`, finds the
    // mark written as an integer of `line` or more.
    bool markHeld(const char* held, const std::vector<std::string>& key, std::int64_t line);
    // Reads the marks of one table into `marks`; false when it cannot
    // (marksProblem_ then says why, where it is not another program's hold).
    bool readMarks(const char* table, const char* sql, RecoveryMarks& marks);
    // Why `table` would not keep a mark as written: a key other than
    // `key` (its columns in order of name), a line of another type, a
    // check or a trigger of another program's; empty when it would.
    std::string whyMarksCannotBeKept(const char* table, const std::vector<std::string>& key);
    // Drops a view or trigger that another program made under the marks'
    // name, so that the table can be made there; said in marksRepaired_.
    void dropForeignMarks();
    // The index's terms that begin with `prefix`, in order; none when more
    // than `most` do, or when they cannot be listed (logged once).
    std::optional<std::vector<std::string>> termsStartingWith(std::string_view prefix, size_t most);
    // matchExpression(query) with each word of ASCII letters and digits,
    // which the tokenizer takes whole and only folds to lower case, spelled
    // out as the index's terms it begins (at most `most` of them each), the
    // other words left as they are. A prefix has the index read every row
    // it finds before a bound on rows applies; its terms, only those within
    // the bound. Empty when a word begins no term: nothing matches.
    std::string spelledOutExpression(std::string_view query, size_t most);
    // Past this many terms a word stays a prefix: each term is a read of its own.
    static constexpr size_t kMostSpelledOut = 64;
    // A step of the index's merging, in the transaction of a change to it.
    bool mergeStep();
    // False, saying why (lastError_), while the file is not checked yet.
    bool writable();
    // Runs `sql` once per item, preparing it once.
    template <class Items>
    bool writeAll(const char* sql, const Items& items);
    bool passesQuickCheck();
    // The opening for writing before and after the quick check.
    void connectForWriting(int busyWaitMs);
    void finishWriting(int version);
    // Rewrites the rows of these ids through `update` (id, rowid), saying
    // `what` failed where one does; not in a file opened to read, nor
    // before the file was checked.
    void repair(std::vector<IdRepair>& repairs, const char* update, const char* what);
    // The file's schema version, once it has passed the quick check and its
    // tables have our layout; throws the damage otherwise, writing nothing.
    int checkedVersion();

    sqlite3* db_ = nullptr;
    std::filesystem::path url_;
    // Opened for writing: copies the WAL into the file beside the writes.
    std::unique_ptr<WalCheckpointer> checkpointer_;
    // Why this connection's own last copy of the WAL failed, as said.
    std::string checkpointSaid_;
    // The last failure to write that was said, until a write gets through.
    std::string writeSaid_;
    std::unordered_map<std::string_view, sqlite3_stmt*> statements_;
    std::string lastError_;
    // Whether the index's terms can be listed (see termsStartingWith); not
    // yet known before the first try.
    std::optional<bool> termsListed_;
    std::string marksProblem_;
    bool readOnly_ = false;
    std::atomic<std::uint64_t> thousandOperations_{0};
    bool lastReadWhole_ = true;
    bool proven_ = false;
    // The tables checkLayout found; those opened for writing are made.
    bool hasSegments_ = true;
    bool hasSessions_ = true;
    bool hasMarks_ = true;
    bool hasRecords_ = true;
    // What another program made under the marks' name, where that is no
    // table ("view"): no mark is read or written there.
    std::string marksNotATable_;
    const char* notATableName_ = "recovery_marks";  // the table of the two it stands for
    std::string marksWayOut_;
    std::string marksRepaired_;
    bool marksRefused_ = false;
    bool unchecked_ = false;
    bool wantedRepair_ = false;
    // The layout the file says it has.
    int version_ = 0;
};

}  // namespace verbolin
