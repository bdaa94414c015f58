// Changes that cannot be saved, kept as they are made outside the data
// folder (which may be the very thing that cannot be written), so that a
// crash or a kill loses none of them, and taken in by the next start that
// can write the transcript.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/system/JsonNesting.hpp"
#include "platform/system/Log.hpp"
#include "platform/system/OwnedFiles.hpp"
#include "platform/system/Paths.hpp"
#include "platform/system/WriteAll.hpp"
#include "verbolin/storage/Hashing.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

// No record comes near this: a longer line is damage (or a file that is not
// ours), and reading it whole would let one line take all memory.
constexpr size_t kMaxLine = size_t(16) << 20;
constexpr size_t kReadBlock = size_t(64) << 10;

std::string ownName() { return "verbolin-" + std::to_string(::getuid()); }

// The folder of this user's own in the shared temporary folder, where what
// cannot be saved waits when the state folder cannot take it. Not the
// runtime folder: the system empties that at logout.
fs::path privateTemporaryFolder() { return platform::temporaryDirectory() / ownName(); }

// Another user can make privateTemporaryFolder first; a start that then
// needs the temporary folder makes one of its own under a name nobody can
// take first (mkdtemp: "verbolin-<uid>-" and six letters or digits).
bool hasUniqueFolderName(const fs::path& folder) {
    const std::string name = folder.filename().string(), prefix = ownName() + "-";
    return name.size() == prefix.size() + 6 && name.starts_with(prefix) &&
           std::all_of(name.begin() + std::ptrdiff_t(prefix.size()), name.end(),
                       [](unsigned char c) { return std::isalnum(c); });
}

bool isUniqueFolder(const fs::path& folder) {
    return hasUniqueFolderName(folder) &&
           folder == platform::temporaryDirectory() / folder.filename();
}

// Where the file is open to other users' names: in the shared temporary
// folder, inside a folder that must be this user's alone.
bool inTemporaryFolder(const fs::path& file) {
    return file.parent_path() == privateTemporaryFolder() || isUniqueFolder(file.parent_path());
}

// The folders with unique names that earlier starts made, the least
// recently changed first, so that later lines for a record come later.
std::vector<fs::path> uniqueFolders() {
    std::vector<std::pair<fs::file_time_type, fs::path>> found;
    std::error_code ec;
    for (fs::directory_iterator it(platform::temporaryDirectory(), ec), end; !ec && it != end;
         it.increment(ec)) {
        if (!hasUniqueFolderName(it->path())) continue;
        std::error_code timeError;
        found.emplace_back(fs::last_write_time(it->path(), timeError), it->path());
    }
    std::sort(found.begin(), found.end());
    std::vector<fs::path> folders;
    for (auto& [time, folder] : found) folders.push_back(std::move(folder));
    return folders;
}

// Where an earlier version kept what could not be saved: straight in the
// shared temporary folder, under a name any user can predict and make
// first. Its text may be the user's only copy, so it is still taken in
// when it is the user's own, but never written.
fs::path earlierRecoveryFile(const fs::path& directory) {
    return platform::temporaryDirectory() /
           ("verbolin-" + std::to_string(::getuid()) + "-unsaved-" +
            platform::folderKey(directory) + ".jsonl");
}

// Every append and retry opens the files again: a refusal is said once a
// run, not at each of them.
void sayRefused(const platform::OwnedFile& file) {
    static std::mutex mutex;
    static std::set<std::string> said;
    {
        std::lock_guard lock(mutex);
        if (!said.insert(file.problem()).second) return;
    }
    const std::string refusal =
        file.problem() + "; unsaved changes are neither read from it nor written to it";
    // A unique name is never written to again: there is no place to win back.
    if (hasUniqueFolderName(file.path()) || isUniqueFolder(file.path().parent_path()))
        return logStorageError(refusal);
    // Outside the state folder (in the shared temporary folder) the name may
    // be another user's to move; TMPDIR then gives the fallback another place.
    const bool shared = file.path().parent_path() != platform::stateDirectory() / "Verbolin";
    logStorageError(refusal + ". Move it away" +
                    (shared ? " (or set TMPDIR to a folder of your own)" : "") +
                    " to let Verbolin keep them there again");
}

// In the temporary folder, the folder of our own is checked before the
// file in it is opened, relative to it: another user may have made it
// first, or put a link under its name.
platform::OwnedFile openRecoveryFile(const fs::path& file, platform::OwnedAccess access) {
    if (!inTemporaryFolder(file)) return platform::OwnedFile::open(file, access);
    platform::OwnedFile folder = platform::OwnedFile::privateFolder(file.parent_path(), access);
    if (!folder.isOpen()) return folder;
    return platform::OwnedFile::openIn(folder, file.filename().string(), access);
}

// Removes a recovery file that holds nothing, and the folder with a
// unique name that it leaves empty. Only the folder's owner can move it
// in the temporary folder, so its name still leads there. Quietly: what
// stays holds nothing to lose.
void removeEmptyRecoveryFile(const fs::path& file) {
    if (::unlink(file.c_str()) == 0 && isUniqueFolder(file.parent_path()))
        ::rmdir(file.parent_path().c_str());
}

// A folder with a unique name that holds nothing (a start that made it
// was killed before it wrote there) goes, once it is known to be this
// user's.
void removeUniqueFolderIfEmpty(const fs::path& folder) {
    if (isUniqueFolder(folder) &&
        platform::OwnedFile::privateFolder(folder, platform::OwnedAccess::read).isOpen())
        ::rmdir(folder.c_str());
}

// Appends `text` whole or not at all: a write cut short (a full disk) is
// cut off again, so the file never ends in half a line, and a file it made
// goes again, so no empty file is left to take in. One that a kill cut
// short does end in half a line; the text then starts on a line of its
// own, or the torn line would take its first record down with it. Says in
// `why` why it failed.
bool appendWhole(const fs::path& file, const std::string& text, std::string& why) {
    if (!inTemporaryFolder(file)) {
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
    }
    const platform::OwnedFile opened = openRecoveryFile(file, platform::OwnedAccess::append);
    if (opened.status() == platform::OwnedFile::Status::refused) sayRefused(opened);
    if (!opened.isOpen()) {
        why = opened.problem();
        return false;
    }
    const int fd = opened.fd();
    const off_t before = ::lseek(fd, 0, SEEK_END);
    char last = '\n';
    if (before > 0 && ::pread(fd, &last, 1, before - 1) != 1) last = '\n';
    const std::string whole = last == '\n' ? text : "\n" + text;
    int error = before < 0 ? errno : platform::writeAll(fd, whole.data(), whole.size());
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (error != 0 && before >= 0) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, before);
    }
    if (error != 0 && before == 0) removeEmptyRecoveryFile(file);
    if (error != 0) why = "cannot write " + file.string() + ": " + std::strerror(error);
    return error == 0;
}

// Whether the disk of `disk` has a block left to write to (one kept for
// root counts for root alone).
bool hasRoom(const struct statvfs& disk) {
    return (::geteuid() == 0 ? disk.f_bfree : disk.f_bavail) > 0;
}

// The mkdtemp pattern of a folder of this user's with a unique name.
std::string uniqueFolderPattern() {
    return (platform::temporaryDirectory() / (ownName() + "-XXXXXX")).string();
}

// Whether `file` could take a line now: it opens as appendWhole opens it,
// on a disk with room. One this made is removed again, so that a start
// that is never asked to keep anything leaves nothing behind.
bool couldAppend(const fs::path& file) {
    std::error_code ec;
    if (!inTemporaryFolder(file)) fs::create_directories(file.parent_path(), ec);
    const bool existed = fs::exists(fs::symlink_status(file, ec));
    const platform::OwnedFile opened = openRecoveryFile(file, platform::OwnedAccess::append);
    if (opened.status() == platform::OwnedFile::Status::refused) sayRefused(opened);
    if (!opened.isOpen()) return false;
    struct statvfs disk {};
    struct stat st {};
    const bool room = ::fstatvfs(opened.fd(), &disk) == 0 && hasRoom(disk);
    if (!existed && ::fstat(opened.fd(), &st) == 0 && st.st_size == 0)
        removeEmptyRecoveryFile(file);
    return room;
}

// Whether a folder with a unique name could be made in the temporary
// folder, on a disk with room, for the file journal() makes there last.
bool couldMakeUniqueFolder() {
    std::string made = uniqueFolderPattern();
    if (!::mkdtemp(made.data())) return false;
    struct statvfs disk {};
    const bool room = ::statvfs(made.c_str(), &disk) == 0 && hasRoom(disk);
    ::rmdir(made.c_str());
    return room;
}

// Hands each line of `fd` (without its line end, CR LF included) to
// `onLine`, holding one line at a time however long the file; a line longer
// than kMaxLine goes to `onOverlong` instead. Returns 0, or the errno of the
// read that failed.
template <class OnLine, class OnOverlong>
int forEachLine(int fd, const OnLine& onLine, const OnOverlong& onOverlong) {
    std::vector<char> block(kReadBlock);
    std::string line;
    bool overlong = false;
    const auto lineEnds = [&] {
        if (overlong) {
            onOverlong();
        } else {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            onLine(std::string_view(line));
        }
        line.clear();
        overlong = false;
    };
    for (;;) {
        const ssize_t n = ::read(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        std::string_view rest(block.data(), size_t(n));
        while (!rest.empty()) {
            const size_t end = rest.find('\n');
            const std::string_view piece = rest.substr(0, end);
            if (!overlong && piece.size() <= kMaxLine - line.size()) {
                line.append(piece);
            } else if (!overlong) {
                overlong = true;
                std::string().swap(line);
            }
            if (end == std::string_view::npos) break;
            lineEnds();
            rest.remove_prefix(end + 1);
        }
    }
    if (!line.empty() || overlong) lineEnds();  // the last line, without its line feed
    return 0;
}

constexpr const char* kDeletedSegment = "deletedSegment";
constexpr const char* kSession = "session";
constexpr const char* kDeletedSession = "deletedSession";
constexpr const char* kBefore = "before";
// Which file, and which line of it, by the run that wrote it: what the
// transcript marks as dealt with.
constexpr const char* kFile = "file";
constexpr const char* kLine = "line";

using Prior = TranscriptStore::Prior;

template <class Record>
Prior priorOf(const std::optional<Record>& record) {
    return record ? Prior(TranscriptStore::revisionOf(*record)) : std::nullopt;
}

// A line's "before": a revision as 16 hexadecimal digits, or null for no
// record. None when the line has none (an earlier version's); throws for
// anything else.
std::optional<Prior> beforeIn(const nlohmann::json& line) {
    const auto at = line.find(kBefore);
    if (at == line.end()) return std::nullopt;
    if (at->is_null()) return Prior();
    const std::string& digits = at->get_ref<const std::string&>();
    if (digits.size() != 16 || !std::all_of(digits.begin(), digits.end(), [](unsigned char c) {
            return std::isxdigit(c) && !std::isupper(c);
        }))
        throw std::invalid_argument("not a revision");
    return Prior(std::stoull(digits, nullptr, 16));
}

nlohmann::json beforeText(const Prior& prior) {
    if (!prior) return nullptr;
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016" PRIx64, *prior);
    return digits;
}

// The state each record comes to, in the order the records first appeared;
// a record held as nothing was deleted. With a way to ask how a record
// stands, a line counts only where the record stands as the line was made
// from or leaves it (see readRecoveryFile).
template <class Record>
class LatestById {
  public:
    using Standing = std::function<Prior(const platform::Uuid&)>;
    explicit LatestById(const Standing* standing) : standing_(standing) {}

    void note(const platform::Uuid& id, std::optional<Record> record, std::optional<Prior> before) {
        auto [at, added] = byId_.try_emplace(id);
        if (added) order_.push_back(id);
        Entry& entry = at->second;
        const bool checking = standing_ && *standing_;
        const Prior after = checking ? priorOf(record) : Prior();
        if (before && checking) {
            if (!entry.known) entry.now = (*standing_)(id);
            entry.known = true;
            if (*before != entry.now && after != entry.now) {
                ++entry.passedOver;
                return;
            }
        }
        entry = {std::move(record), after, checking, true, 0};
    }
    void split(std::vector<Record>& written, std::vector<platform::Uuid>& deleted) {
        for (const platform::Uuid& id : order_) {
            Entry& entry = byId_.at(id);
            if (!entry.counts) continue;
            if (entry.record)
                written.push_back(std::move(*entry.record));
            else
                deleted.push_back(id);
        }
    }
    // The lines passed over that no later line of their id made good.
    size_t passedOver() const {
        size_t lines = 0;
        for (const auto& [id, entry] : byId_) lines += entry.passedOver;
        return lines;
    }

  private:
    struct Entry {
        std::optional<Record> record;
        Prior now;  // how the record stands, once known
        bool known = false;
        bool counts = false;  // some line counts: `record` is what they leave
        size_t passedOver = 0;
    };
    const Standing* standing_;
    std::vector<platform::Uuid> order_;
    std::unordered_map<platform::Uuid, Entry> byId_;
};

platform::Uuid idIn(const nlohmann::json& value) {
    const auto id = platform::Uuid::parse(value.get<std::string>());
    if (!id) throw std::invalid_argument("not an id");
    return *id;
}

// The lines that record the records of these ids as memory holds them
// now, each with what it stood as before where that is known; one memory
// no longer has was deleted. Each is an object without its line end, to
// be numbered where it is written.
template <class Unjournaled>
std::vector<std::string> journalLines(const Unjournaled& segmentIds, const Unjournaled& sessionIds,
                                      const SegmentSequence& segments,
                                      const std::vector<SessionMarker>& sessions) {
    std::vector<std::string> lines;
    auto add = [&lines](const auto& ids, const auto& memory, const char* wrapper,
                        const char* deletedKey) {
        auto missing = ids;
        const auto end = [&](nlohmann::json line, const std::optional<Prior>& before) {
            if (before) line[kBefore] = beforeText(*before);
            lines.push_back(line.dump());
        };
        for (const auto& record : memory) {
            const auto at = missing.find(record.id);
            if (at == missing.end()) continue;
            nlohmann::json line = record;
            if (wrapper) line = nlohmann::json{{wrapper, std::move(line)}};
            end(std::move(line), at->second);
            missing.erase(at);
        }
        for (const auto& [id, before] : missing)
            end(nlohmann::json{{deletedKey, id.string()}}, before);
    };
    add(segmentIds, segments, nullptr, kDeletedSegment);
    add(sessionIds, sessions, kSession, kDeletedSession);
    return lines;
}

// The ids of the records journalLines() writes lines for.
template <class Unjournaled>
std::vector<platform::Uuid> idsOf(const Unjournaled& segmentIds, const Unjournaled& sessionIds) {
    std::vector<platform::Uuid> ids;
    for (const auto* set : {&segmentIds, &sessionIds})
        for (const auto& [id, prior] : *set) ids.push_back(id);
    return ids;
}

// `records` as the lines of the file of identity `file`, numbered on from
// `last`.
std::string numbered(const std::vector<std::string>& records, const platform::Uuid& file,
                     std::int64_t last) {
    std::string text;
    const std::string stamp =
        ",\"" + std::string(kFile) + "\":\"" + file.string() + "\",\"" + kLine + "\":";
    for (const std::string& record : records) {
        text.append(record, 0, record.size() - 1);  // without its closing brace
        text += stamp + std::to_string(++last) + "}\n";
    }
    return text;
}

// When a start takes `file` in among the files of `directory` (see
// recoveryFilesToTakeIn): an earlier version's first, then the state
// folder's, the temporary folder's, and those in folders with unique
// names, the least recently changed first.
std::pair<int, fs::file_time_type> readOrder(const fs::path& file, const fs::path& directory) {
    const std::vector<fs::path> files = TranscriptStore::recoveryFiles(directory);
    if (file == files[0]) return {1, {}};
    if (file == files[1]) return {2, {}};
    std::error_code ec;
    if (isUniqueFolder(file.parent_path())) return {3, fs::last_write_time(file.parent_path(), ec)};
    return {0, {}};
}

// Where lines go, in the order tried. The next start takes the files in
// their order, a later line for a record replacing earlier ones: a line
// goes to no file read before one that already holds lines of this store,
// which may hold an older version of its record. The file read last of
// those comes first, so that the records of one run stay together. An
// earlier version's file, taken in at start, is only read: what follows
// goes where no other user can reach.
std::vector<fs::path> journalPlaces(const fs::path& directory,
                                    const std::vector<fs::path>& journalFiles) {
    std::vector<fs::path> files = TranscriptStore::recoveryFiles(directory);
    for (const fs::path& file : journalFiles)
        if (isUniqueFolder(file.parent_path()) &&
            std::find(files.begin(), files.end(), file) == files.end())
            files.push_back(file);
    std::pair<int, fs::file_time_type> latest{0, fs::file_time_type::min()};
    for (const fs::path& file : journalFiles) latest = std::max(latest, readOrder(file, directory));
    std::erase_if(files, [&](const fs::path& f) { return readOrder(f, directory) < latest; });
    std::stable_sort(files.begin(), files.end(), [&](const fs::path& a, const fs::path& b) {
        return readOrder(a, directory) < readOrder(b, directory);
    });
    return files;
}

// Appends the text `textFor` gives for each place to the first of
// `places` that takes it whole, else (every place refused or unwritable:
// another user took the temporary folder's name first, say) to a folder
// nobody can take first, which the next start reads last. The file written,
// or nothing; `why` then says why the first place failed.
fs::path appendToJournal(const std::function<std::string(const fs::path&)>& textFor,
                         const std::vector<fs::path>& places, std::string& why) {
    std::string failed;
    for (const fs::path& file : places) {
        if (appendWhole(file, textFor(file), failed)) return file;
        if (why.empty()) why = failed;
    }
    std::string made = uniqueFolderPattern();
    if (::mkdtemp(made.data())) {
        const fs::path file = fs::path(made) / places.front().filename();
        if (appendWhole(file, textFor(file), failed)) return file;
        ::rmdir(made.c_str());  // no file was made in it: none is left behind either
    }
    if (why.empty()) why = failed.empty() ? "no folder can be made for it" : failed;
    return {};
}

// "1 line", "2 lines".
std::string counted(size_t n, const std::string& noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// Of the records a recovery file changes, how many memory does not hold
// (new) and how many it holds otherwise (changed, or deleted by the file).
template <class Record, class Memory>
std::pair<size_t, size_t> newAndChanged(const std::vector<Record>& written,
                                        const std::vector<platform::Uuid>& deleted,
                                        const Memory& memory) {
    std::unordered_map<platform::Uuid, Prior> held;
    for (const Record& r : written) held.emplace(r.id, std::nullopt);
    for (const platform::Uuid& id : deleted) held.emplace(id, std::nullopt);
    for (const Record& r : memory)
        if (const auto at = held.find(r.id); at != held.end())
            at->second = TranscriptStore::revisionOf(r);
    size_t added = 0, changed = 0;
    for (const Record& r : written) {
        const Prior& now = held.at(r.id);
        added += !now;
        changed += now && *now != TranscriptStore::revisionOf(r);
    }
    for (const platform::Uuid& id : deleted) changed += held.at(id).has_value();
    return {added, changed};
}

// What taking in `c` over memory does, as the start says it: new
// utterances apart from changes to paragraphs memory holds; nothing for
// what memory holds already.
std::string takenInWording(const TranscriptDB::Changes& c, const SegmentSequence& segments,
                           const std::vector<SessionMarker>& sessions) {
    const auto [added, restored] = newAndChanged(c.segments, c.deletedSegments, segments);
    const auto [newSessions, changedSessions] =
        newAndChanged(c.sessions, c.deletedSessions, sessions);
    std::vector<std::string> parts;
    if (added) parts.push_back("added " + counted(added, "utterance"));
    if (restored)
        parts.push_back("restored " + counted(restored, "change") +
                        (restored == 1 ? " to an existing paragraph" : " to existing paragraphs"));
    if (const size_t sessionChanges = newSessions + changedSessions)
        parts.push_back("took in " + counted(sessionChanges, "session change"));
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text;
}

// How the records of `memory` stand, by id, for a recovery file taken in
// over it: indexed at the first question, which a file of an earlier
// version's never asks.
template <class Records>
std::function<Prior(const platform::Uuid&)> standingOf(const Records& memory) {
    using Record = typename Records::value_type;
    auto index = std::make_shared<std::unordered_map<platform::Uuid, const Record*>>();
    auto built = std::make_shared<bool>(false);
    return [&memory, index, built](const platform::Uuid& id) {
        if (!std::exchange(*built, true))
            for (const Record& record : memory) index->emplace(record.id, &record);
        const auto at = index->find(id);
        return at == index->end() ? Prior() : Prior(TranscriptStore::revisionOf(*at->second));
    };
}

bool holdsNothing(const TranscriptDB::Changes& c) {
    return c.segments.empty() && c.deletedSegments.empty() && c.sessions.empty() &&
           c.deletedSessions.empty();
}

// Identities made, not random (UUIDs of version 8), so that none meets an
// identity a run gave a file.
platform::Uuid madeIdentity(std::uint64_t first, std::uint64_t second) {
    const std::uint64_t halves[] = {first, second};
    std::array<std::uint8_t, 16> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = std::uint8_t(halves[i / 8] >> (8 * (i % 8)));
    bytes[6] = std::uint8_t((bytes[6] & 0x0f) | 0x80);
    bytes[8] = std::uint8_t((bytes[8] & 0x3f) | 0x80);
    return platform::Uuid(bytes);
}

// The identity the release before this one gave an earlier version's
// lines: made of the file's first such line and its number. Two files
// that begin alike share it, so it only still keeps a file that release
// marked from being taken in again.
platform::Uuid firstLineIdentity(std::string_view firstLine, std::int64_t number) {
    const std::string at = std::to_string(number);
    return madeIdentity(
        StableHash().add(std::string_view("earlier lines")).add(firstLine).add(at).value(),
        StableHash().add(at).add(firstLine).add(std::string_view("of a recovery file")).value());
}

// The release before this one reads an earlier version's lines by
// firstLineIdentity alone: where this one deals with them, it raises
// that mark too, or that release would take them in again over every
// later change. Two files that begin alike share that identity, and this
// release tells them apart by the chain; so beside it, it keeps how far
// it raised it itself, and reads it as that release's only where it
// stands higher.
platform::Uuid raisedByThisRelease(const platform::Uuid& firstLine) {
    const std::string of = firstLine.string();
    return madeIdentity(
        StableHash().add(std::string_view("raised for the release before")).add(of).value(),
        StableHash().add(of).add(std::string_view("by this release")).value());
}

// An earlier version wrote its lines without an identity. Each gets one
// made of every line of its file up to it, in order, with their numbers:
// a file is only ever appended to, or emptied or removed whole, so a copy
// of it put back, or the file with lines appended, gives each line the
// same identity again, and a mark the transcript holds for it keeps it
// from being taken in twice; two files that part at some line (the same
// first change made twice, then others) part there in their identities
// too. A mark of a line's identity marks every line before it, which the
// same read dealt with first.
class LineChain {
  public:
    platform::Uuid next(std::string_view line, std::int64_t number) {
        const std::string at = std::to_string(number);
        const std::string was = std::to_string(first_) + ":" + std::to_string(second_);
        first_ =
            StableHash().add(std::string_view("earlier chain")).add(was).add(at).add(line).value();
        second_ = StableHash().add(at).add(line).add(was).add(std::string_view("chained")).value();
        return madeIdentity(first_, second_);
    }

  private:
    std::uint64_t first_ = 0, second_ = 0;
};

// An editor may put a byte order mark before a file's first line, or take
// it away; the line is the same (the parser passes over it), and so is
// the identity made of it.
std::string_view withoutByteOrderMark(std::string_view line) {
    constexpr std::string_view mark = "\xEF\xBB\xBF";
    return line.starts_with(mark) ? line.substr(mark.size()) : line;
}

// A line's file and line number, when it has them (lines of earlier
// versions have not); throws for anything else.
std::optional<std::pair<platform::Uuid, std::int64_t>> stampIn(const nlohmann::json& line) {
    const auto file = line.find(kFile), number = line.find(kLine);
    if (file == line.end() && number == line.end()) return std::nullopt;
    if (file == line.end() || number == line.end() || !number->is_number_unsigned())
        throw std::invalid_argument("not a line number");
    const auto value = number->get<std::uint64_t>();
    if (value == 0 || value > std::uint64_t(INT64_MAX)) throw std::invalid_argument("out of range");
    return std::pair(idIn(*file), std::int64_t(value));
}

// Whether a line ends as this version ends each of its lines (see
// numbered): its "file" and "line" then stand at its top level, before its
// last brace.
bool endsWithOwnStamp(std::string_view line) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.remove_suffix(1);
    if (!line.ends_with('}')) return false;
    line.remove_suffix(1);
    const size_t digits = line.find_last_not_of("0123456789");
    if (digits == std::string_view::npos || digits + 1 == line.size()) return false;
    line = line.substr(0, digits + 1);
    constexpr std::string_view between = "\",\"line\":", before = ",\"file\":\"";
    constexpr size_t kUuid = 36;
    if (!line.ends_with(between) || line.size() < between.size() + kUuid + before.size())
        return false;
    line.remove_suffix(between.size());
    const std::string_view uuid = line.substr(line.size() - kUuid);
    line.remove_suffix(kUuid);
    return line.ends_with(before) &&
           uuid.find_first_not_of("0123456789abcdefABCDEF-") == std::string_view::npos;
}

// Whether the reader takes a line as an earlier version's: an object
// without "file" and "line" at its top level. Only a line this version
// wrote is known without parsing it: "file" may stand in any other as a
// value (a session of that name) or deeper down.
bool isEarlierVersionLine(std::string_view line) {
    if (endsWithOwnStamp(line)) return false;
    try {
        const nlohmann::json j = platform::parseJson(line);
        return j.is_object() && !stampIn(j);
    } catch (const std::exception&) {
        return false;  // skipped by the reader as unreadable
    }
}

// The first pass over a file: the last of its earlier version's lines
// that the marks say were dealt with, by the identity of some line of the
// file (every line before it was dealt with in the same read), or by the
// identity the release before this one gave them.
class MarkedPrefix {
  public:
    explicit MarkedPrefix(const TranscriptDB::RecoveryMarks& marks) : marks_(marks) {}
    void line(std::string_view line) {
        ++number_;
        if (line.empty()) return;
        if (number_ == 1) line = withoutByteOrderMark(line);
        note(chain_.next(line, number_), number_);
        if (!firstSeen_ && isEarlierVersionLine(line)) {
            firstSeen_ = true;
            const platform::Uuid identity = firstLineIdentity(line, number_);
            const auto old = marks_.find(identity);
            const auto raised = marks_.find(raisedByThisRelease(identity));
            if (old != marks_.end() && (raised == marks_.end() || old->second > raised->second))
                upTo_ = std::max(upTo_, old->second);
        }
    }
    void overlong() { ++number_; }
    std::int64_t upTo() const { return upTo_; }

  private:
    void note(const platform::Uuid& identity, std::int64_t number) {
        const auto mark = marks_.find(identity);
        if (mark != marks_.end() && mark->second >= number) upTo_ = std::max(upTo_, number);
    }
    const TranscriptDB::RecoveryMarks& marks_;
    LineChain chain_;
    std::int64_t number_ = 0, upTo_ = 0;
    bool firstSeen_ = false;
};

// Reads the lines of one recovery file in order (see readRecoveryFile),
// after a MarkedPrefix has read them, whose upTo() is `earlierUpTo`.
class LineReader {
  public:
    using Standing = TranscriptStore::Standing;
    LineReader(const Standing* standing, std::int64_t earlierUpTo)
        : segments_(standing ? &standing->segment : nullptr),
          sessions_(standing ? &standing->session : nullptr),
          marks_(standing ? standing->marks : nullptr),
          named_(standing && standing->named ? &standing->named : nullptr),
          earlierUpTo_(earlierUpTo) {}

    void line(std::string_view line) {
        ++number_;
        if (line.empty()) return;
        const std::string_view bare = number_ == 1 ? withoutByteOrderMark(line) : line;
        const platform::Uuid chained = chain_.next(bare, number_);
        try {
            const nlohmann::json j = platform::parseJson(line);
            if (!j.is_object()) throw std::invalid_argument("not an object");
            auto stamp = stampIn(j);
            const bool earlier = !stamp;
            if (earlier && !firstEarlier_) firstEarlier_ = firstLineIdentity(bare, number_);
            if (earlier) stamp.emplace(chained, number_);
            bool takenBefore = false;
            if (marks_) {
                const auto mark = marks_->find(stamp->first);
                takenBefore = (earlier && number_ <= earlierUpTo_) ||
                              (!earlier && mark != marks_->end() && stamp->second <= mark->second);
            }
            // Marked by file alone where an earlier release took it in: its
            // record is marked too, so that what it did stays known
            // whatever becomes of the marks' table.
            const platform::Uuid record = takenBefore ? recordIn(j) : note(j, beforeIn(j));
            out_.takenBefore += takenBefore;
            if (earlier) {
                if (!takenBefore) lastEarlier_ = *stamp;
                earlierRecords_[record] = *stamp;
                return;
            }
            if (!takenBefore) {
                std::int64_t& dealt = out_.dealtWith[stamp->first];
                dealt = std::max(dealt, stamp->second);
            }
            std::int64_t& byRecord = out_.records[{record, stamp->first}];
            byRecord = std::max(byRecord, stamp->second);
        } catch (const std::exception&) {
            ++out_.skippedLines;  // torn by a kill, or damaged
        }
    }
    void overlong() {
        ++number_;
        ++out_.skippedLines;
    }
    // Lines counted in the file's numbering already, as empty ones.
    void overlongCounted(size_t lines) { out_.skippedLines += lines; }
    TranscriptStore::Recovered finish() && {
        segments_.split(out_.changes.segments, out_.changes.deletedSegments);
        sessions_.split(out_.changes.sessions, out_.changes.deletedSessions);
        out_.passedOverLines = segments_.passedOver() + sessions_.passedOver();
        if (lastEarlier_) {
            out_.dealtWith[lastEarlier_->first] = lastEarlier_->second;
            for (const platform::Uuid& identity :
                 {*firstEarlier_, raisedByThisRelease(*firstEarlier_)})
                out_.dealtWith[identity] = lastEarlier_->second;
        }
        for (const auto& [record, stamp] : earlierRecords_)
            out_.records[{record, stamp.first}] = stamp.second;
        return std::move(out_);
    }

  private:
    // The id of the record a line names.
    static platform::Uuid recordIn(const nlohmann::json& j) {
        for (const char* deleted : {kDeletedSegment, kDeletedSession})
            if (j.contains(deleted)) return idIn(j.at(deleted));
        return idIn(j.contains(kSession) ? j.at(kSession).at("id") : j.at("id"));
    }
    // The record's id.
    platform::Uuid note(const nlohmann::json& j, const std::optional<Prior>& before) {
        const auto named = [&](const platform::Uuid& id, bool session, bool deletes) {
            if (named_) (*named_)(id, session, deletes, before);
            return id;
        };
        if (j.contains(kDeletedSegment)) {
            const platform::Uuid id = idIn(j.at(kDeletedSegment));
            segments_.note(id, std::nullopt, before);
            return named(id, false, true);
        }
        if (j.contains(kDeletedSession)) {
            const platform::Uuid id = idIn(j.at(kDeletedSession));
            sessions_.note(id, std::nullopt, before);
            return named(id, true, true);
        }
        if (j.contains(kSession)) {
            SessionMarker m = j.at(kSession).get<SessionMarker>();
            const platform::Uuid id = m.id;
            sessions_.note(id, std::move(m), before);
            return named(id, true, false);
        }
        Segment s = j.get<Segment>();
        const platform::Uuid id = s.id;
        segments_.note(id, std::move(s), before);
        return named(id, false, false);
    }

    using Stamp = std::pair<platform::Uuid, std::int64_t>;
    LatestById<Segment> segments_;
    LatestById<SessionMarker> sessions_;
    const TranscriptDB::RecoveryMarks* marks_;
    const decltype(TranscriptStore::Standing::named)* named_;
    TranscriptStore::Recovered out_;
    std::int64_t number_ = 0;  // of the line read last, counting every line of the file
    std::int64_t earlierUpTo_;
    LineChain chain_;
    // The identity the release before gave this file's earlier version's
    // lines; the last of them dealt with, and that of each record.
    std::optional<platform::Uuid> firstEarlier_;
    std::optional<Stamp> lastEarlier_;
    std::unordered_map<platform::Uuid, Stamp> earlierRecords_;
};

// Whether a file opened for reading can be read: not when there is none,
// or when it is refused (said once); throws when it cannot be opened.
bool isReadable(const platform::OwnedFile& opened) {
    using Status = platform::OwnedFile::Status;
    if (opened.status() == Status::missing) return false;
    if (opened.status() == Status::refused) {
        sayRefused(opened);
        return false;
    }
    if (!opened.isOpen()) throw std::runtime_error(opened.problem());
    return true;
}

}  // namespace

// "a, b, c" for the messages that none of them could be written.
std::string TranscriptStore::tried(const std::vector<fs::path>& places) {
    std::string text;
    for (const fs::path& file : places) text += (text.empty() ? "" : ", ") + file.string();
    return text;
}

std::string TranscriptStore::nextStartTakes() const {
    // The commit that stores them marks them too: where the transcript
    // refuses the marks, no start stores them until that changes.
    if (db_ && db_->marksRefused())
        return ", which a start takes in only once the table named above can take the marks of "
               "the recovery lines taken in";
    return " and added to the transcript at the next start that can save it";
}

std::vector<fs::path> TranscriptStore::recoveryFiles(const fs::path& directory) {
    const std::string name = "unsaved-" + platform::folderKey(directory) + ".jsonl";
    return {platform::stateDirectory() / "Verbolin" / name, privateTemporaryFolder() / name};
}

std::vector<fs::path> TranscriptStore::recoveryFilesToTakeIn(const fs::path& directory) {
    // An earlier version's file holds the oldest changes: taken in first, so
    // that later lines for the same records replace its.
    std::vector<fs::path> files = recoveryFiles(directory);
    files.insert(files.begin(), earlierRecoveryFile(directory));
    for (const fs::path& folder : uniqueFolders()) files.push_back(folder / files[1].filename());
    return files;
}

// The id is left out: a line is compared with the record of its own id.
TranscriptStore::Revision TranscriptStore::revisionOf(const Segment& segment) {
    return StableHash().add(segment.text).add(segment.edited).add(segment.original).value();
}

TranscriptStore::Revision TranscriptStore::revisionOf(const SessionMarker& marker) {
    return StableHash().add(marker.name).value();
}

TranscriptStore::Priors TranscriptStore::priorsOf(
    const std::vector<platform::Uuid>& segmentIds,
    const std::vector<platform::Uuid>& sessionIds) const {
    Priors priors;
    // Stops once all are found: an edit asks about one paragraph's records.
    const auto look = [](const auto& ids, const auto& memory, auto& out) {
        std::unordered_set<platform::Uuid> pending(ids.begin(), ids.end());
        for (const platform::Uuid& id : ids) out.emplace(id, std::nullopt);
        for (auto record = memory.begin(); !pending.empty() && record != memory.end(); ++record)
            if (pending.erase(record->id)) out[record->id] = revisionOf(*record);
    };
    look(segmentIds, segments.peek(), priors.segments);
    look(sessionIds, sessions.peek(), priors.sessions);
    return priors;
}

std::optional<TranscriptStore::Recovered> TranscriptStore::readRecoveryFile(
    const fs::path& file, const Standing* standing) {
    const platform::OwnedFile opened = openRecoveryFile(file, platform::OwnedAccess::read);
    if (!isReadable(opened)) return std::nullopt;
    const auto failed = [&](int error) {
        return std::system_error(error, std::generic_category(), "cannot read " + file.string());
    };
    // Read twice where lines are checked: which of an earlier version's
    // lines were dealt with is known only from the last of them marked.
    std::int64_t earlierUpTo = 0;
    if (standing && standing->marks && !standing->marks->empty()) {
        MarkedPrefix prefix(*standing->marks);
        if (const int error = forEachLine(
                opened.fd(), [&](std::string_view line) { prefix.line(line); },
                [&] { prefix.overlong(); }))
            throw failed(error);
        if (::lseek(opened.fd(), 0, SEEK_SET) != 0) throw failed(errno);
        earlierUpTo = prefix.upTo();
    }
    LineReader reader(standing, earlierUpTo);
    if (const int error = forEachLine(
            opened.fd(), [&](std::string_view line) { reader.line(line); },
            [&] { reader.overlong(); }))
        throw failed(error);
    return std::move(reader).finish();
}

std::optional<TranscriptStore::HeldFile> TranscriptStore::holdRecoveryFile(const fs::path& file) {
    const platform::OwnedFile opened = openRecoveryFile(file, platform::OwnedAccess::read);
    if (!isReadable(opened)) return std::nullopt;
    HeldFile held{file, {}, 0};
    // Every line keeps its place, an overlong one as an empty line: an
    // earlier version's lines are known by their number in the file.
    const auto onLine = [&](std::string_view line) { held.lines.append(line).push_back('\n'); };
    const auto onOverlong = [&] {
        held.lines.push_back('\n');
        ++held.overlong;
    };
    if (const int error = forEachLine(opened.fd(), onLine, onOverlong))
        throw std::system_error(error, std::generic_category(), "cannot read " + file.string());
    return held;
}

TranscriptStore::Recovered TranscriptStore::readHeldFile(const HeldFile& held,
                                                         const Standing* standing) {
    const auto eachLine = [&held](const auto& onLine) {
        for (size_t at = 0, end; at < held.lines.size(); at = end + 1) {
            end = held.lines.find('\n', at);
            onLine(std::string_view(held.lines).substr(at, end - at));
        }
    };
    std::int64_t earlierUpTo = 0;
    if (standing && standing->marks && !standing->marks->empty()) {
        MarkedPrefix prefix(*standing->marks);
        eachLine([&](std::string_view line) { prefix.line(line); });
        earlierUpTo = prefix.upTo();
    }
    LineReader reader(standing, earlierUpTo);
    eachLine([&](std::string_view line) { reader.line(line); });
    reader.overlongCounted(held.overlong);
    return std::move(reader).finish();
}

void TranscriptStore::journal() {
    if (unjournaledSegments_.empty() && unjournaledSessions_.empty()) return;
    const std::vector<fs::path> places = journalPlaces(directory_, journalFiles_);
    std::string why;
    const fs::path file = appendLines(
        journalLines(unjournaledSegments_, unjournaledSessions_, segments.peek(), sessions.peek()),
        idsOf(unjournaledSegments_, unjournaledSessions_), places, why);
    if (!file.empty()) return journaled(file);
    keeping.set({keeping.peek().file, true});
    if (std::exchange(journalFailing_, true)) return;
    logStorageError(std::exchange(news_, {}) + "cannot write the unsaved changes to " +
                    tried(places) + ", or to a new folder in " +
                    platform::temporaryDirectory().string() + " either (" + why +
                    "); they are held in memory only, and lost if Verbolin stops");
}

fs::path TranscriptStore::appendLines(const std::vector<std::string>& records,
                                      const std::vector<platform::Uuid>& ids,
                                      const std::vector<fs::path>& places, std::string& why) {
    const auto textFor = [&](const fs::path& file) {
        const auto [at, added] = ownLines_.try_emplace(file, platform::Uuid::random(), 0);
        return numbered(records, at->second.first, at->second.second);
    };
    const fs::path file = appendToJournal(textFor, places, why);
    if (file.empty()) return file;
    holding_.insert(file);
    auto& [identity, last] = ownLines_.at(file);
    last += std::int64_t(records.size());
    unmarked_[identity] = last;
    for (const platform::Uuid& id : ids) unmarkedRecords_[{id, identity}] = last;
    return file;
}

std::string TranscriptStore::keptFromStart() {
    const std::vector<fs::path> places = recoveryFiles(directory_);
    if (std::any_of(places.begin(), places.end(), couldAppend) || couldMakeUniqueFolder())
        return "kept in memory and in a recovery file";
    // Said here, with the places tried, and not again at the first change.
    journalFailing_ = true;
    return "held in memory only (no recovery file can be written in " + tried(places) +
           " or a new folder in " + platform::temporaryDirectory().string() +
           ") and lost if Verbolin stops";
}

std::string TranscriptStore::keptNow() const {
    const Keeping& now = keeping.peek();
    if (now.memoryOnly)
        return "what is not saved is held in memory only, and lost if Verbolin stops";
    return "what is not saved is kept in memory" +
           (now.file.empty() ? std::string() : " and in " + now.file.string()) +
           " until the transcript can be written";
}

bool TranscriptStore::journalHeld() {
    const auto [segmentIds, sessionIds] = heldNotJournaled();
    if (segmentIds.empty() && sessionIds.empty()) return true;
    const std::vector<fs::path> places = journalPlaces(directory_, journalFiles_);
    std::string why;
    const fs::path file =
        appendLines(journalLines(segmentIds, sessionIds, segments.peek(), sessions.peek()),
                    idsOf(segmentIds, sessionIds), places, why);
    if (file.empty()) {
        const fs::path& older = journalFiles_.back();
        saveProblem_ = why + "; " + older.string() + " holds an older version of a change";
        keeping.set({keeping.peek().file, true});
        if (std::exchange(journalFailing_, true)) return false;
        std::vector<fs::path> others = places;
        std::erase(others, older);
        logStorageError("cannot add the newer version of a change to " + older.string() +
                        ", which holds an older one that the next start would take in, nor keep "
                        "it in " +
                        (others.empty() ? "" : tried(others) + " or ") + "a new folder in " +
                        platform::temporaryDirectory().string() + " (" + why +
                        "); the change is not stored until one of them takes it, and held in "
                        "memory only: it is lost if Verbolin stops");
        return false;
    }
    journalFailing_ = false;
    for (const auto& [id, prior] : segmentIds) unjournaledSegments_.erase(id);
    for (const auto& [id, prior] : sessionIds) unjournaledSessions_.erase(id);
    if (std::find(journalFiles_.begin(), journalFiles_.end(), file) == journalFiles_.end())
        journalFiles_.push_back(file);
    return true;
}

std::pair<TranscriptStore::Unjournaled, TranscriptStore::Unjournaled>
TranscriptStore::heldNotJournaled() const {
    Unjournaled segmentIds, sessionIds;
    for (const auto& entry : unjournaledSegments_)
        if (heldSegments_.count(entry.first)) segmentIds.insert(entry);
    for (const auto& entry : unjournaledSessions_)
        if (heldSessions_.count(entry.first)) sessionIds.insert(entry);
    return {std::move(segmentIds), std::move(sessionIds)};
}

void TranscriptStore::journaled(const fs::path& file) {
    for (const auto& [id, prior] : unjournaledSegments_) heldSegments_.insert(id);
    for (const auto& [id, prior] : unjournaledSessions_) heldSessions_.insert(id);
    unjournaledSegments_.clear();
    unjournaledSessions_.clear();
    if (std::find(journalFiles_.begin(), journalFiles_.end(), file) == journalFiles_.end())
        journalFiles_.push_back(file);
    journalFailing_ = false;
    // While the earlier part is read a change only waits for the join, and
    // is not said to be unsaved.
    if (keeping.peek().file != file && !earlier_)
        logStorageError(std::exchange(news_, {}) + "what is not saved is kept in memory and in " +
                        file.string() + " until the transcript can be written");
    keeping.set({file, false});
}

void TranscriptStore::retireJournal() {
    unjournaledSegments_.clear();
    unjournaledSessions_.clear();
    // A file whose lines are still held unread holds what is in no
    // transcript yet: it stays, and asks for no sync at every retry.
    const auto unread = [this](const fs::path& file) {
        return std::any_of(heldLines_.begin(), heldLines_.end(),
                           [&](const HeldFile& held) { return held.file == file; });
    };
    // The file may be the only copy on disk until the commit that stored it
    // is synced. Once a sync has failed, a later one proves nothing (the
    // system reports a page it could not write back once), so the files
    // stay for a start to store and sync again.
    if (!std::all_of(journalFiles_.begin(), journalFiles_.end(), unread) && !syncFailed_ && db_ &&
        !db_->syncCommitted()) {
        syncFailed_ = true;
        logStorageError("keeping " + tried(journalFiles_) +
                        " until a later start has stored and synced what it holds");
    }
    if (syncFailed_ && !journalFiles_.empty()) return keeping.set({});
    // Everything the files hold is in the transcript now. Left behind, a
    // file would bring back text the user deletes later, at the next start,
    // and keep it on disk meanwhile.
    std::vector<fs::path> stay;
    for (const fs::path& file : std::exchange(journalFiles_, {})) {
        if (unread(file)) {
            stay.push_back(file);
            continue;
        }
        std::error_code ec;
        if (fs::remove(file, ec) || !ec) {
            if (isUniqueFolder(file.parent_path())) ::rmdir(file.parent_path().c_str());
            continue;  // the folder stays while it holds another store's file
        }
        // A folder that no longer lets the file go: emptied, it brings
        // nothing back.
        const platform::OwnedFile opened = openRecoveryFile(file, platform::OwnedAccess::append);
        if (opened.isOpen() && ::ftruncate(opened.fd(), 0) == 0) {
            logStorageError("cannot remove " + file.string() + " (" + ec.message() +
                            "); it is left empty");
            continue;
        }
        // Its lines, an earlier version's too, are marked in the transcript:
        // it costs room, and a read at each start, but takes nothing in again.
        // A later release's transcript without the marks keeps none: this
        // version's starts leave such a file alone instead.
        logStorageError("cannot remove or empty " + file.string() + ": " + ec.message() +
                        (!db_ || db_->keepsMarks()
                             ? "; it stays, but the transcript marks what it holds as taken in, "
                               "and no start takes it in again"
                             : "; it stays, and as the transcript cannot mark its lines as taken "
                               "in, starts of this version leave it as it is"));
    }
    journalFiles_ = std::move(stay);
    holding_.clear();
    heldSegments_.clear();
    heldSessions_.clear();
    keeping.set({});
}

void TranscriptStore::removeImportedRecoveryFiles() {
    // Earlier versions kept each stored recovery file as "<name>.imported";
    // they hold only text the transcript has (or the user has deleted since).
    for (fs::path file : recoveryFilesToTakeIn(directory_)) {
        file += ".imported";
        std::error_code ec;
        if (fs::is_regular_file(fs::symlink_status(file, ec)) && !fs::remove(file, ec) && ec)
            logStorageError("cannot remove " + file.string() + ": " + ec.message());
    }
}

void TranscriptStore::importRecoveredText() {
    // Checked where the transcript and its marks were read whole. Held,
    // and checked when they can be read, where another program kept them
    // from being read (or no transcript can be made yet): a line taken in
    // unchecked could undo a change stored after it. Taken in unchecked,
    // as earlier versions took them, where the transcript will never be
    // written (damaged): they are shown, and stay in their files.
    // Held too, and kept, where the marks cannot be read at all: any line
    // may be one stored long since and changed after.
    // Older than anything this run changed, and stored before it.
    storeTakenAtOpen();
    std::optional<TranscriptDB::RecoveryMarks> marks;
    if (db_ && !readAgain_) marks = db_->recoveryMarks();
    const bool hold = !marks && (db_ || reopenable_);
    for (const fs::path& file : recoveryFilesToTakeIn(directory_)) {
        // What this run appended (changes made while the earlier part of
        // the transcript was read) it stores itself; what it took in with
        // the newest part it has.
        if (ownLines_.count(file) || takenAtOpen_.count(file)) continue;
        std::optional<Recovered> recovered;
        try {
            if (hold) {
                std::optional<HeldFile> held = holdRecoveryFile(file);
                if (held &&
                    (held->lines.find_first_not_of('\n') != std::string::npos || held->overlong)) {
                    journalFiles_.push_back(file);  // what follows goes after it
                    heldLines_.push_back(std::move(*held));
                    continue;
                }
                if (held) recovered.emplace();
            } else {
                const Standing standing{standingOf(segments.peek()), standingOf(sessions.peek()),
                                        marks ? &*marks : nullptr};
                recovered = readRecoveryFile(file, marks ? &standing : nullptr);
            }
        } catch (const std::runtime_error& e) {
            logStorageError(e.what());
            continue;
        }
        if (!recovered) {
            removeUniqueFolderIfEmpty(file.parent_path());
            continue;
        }
        if (!recovered->skippedLines && !recovered->passedOverLines && !recovered->takenBefore &&
            holdsNothing(recovered->changes)) {
            removeEmptyRecoveryFile(file);  // left by a write that failed, or a kill
            continue;
        }
        // A later file may hold a copy of these lines: they are taken in once.
        if (marks)
            for (const auto& [identity, line] : recovered->dealtWith)
                (*marks)[identity] = std::max((*marks)[identity], line);
        const std::string taken = takeIn(*recovered, file);
        if (save({}, true, true) && !taken.empty())
            platform::writeLog("Verbolin", "storage", platform::LogType::info, taken);
    }
    if (hold) sayMarksUnread();
}

bool TranscriptStore::takeInAtOpen(const TranscriptDB::RecoveryMarks& marksRead,
                                   platform::Date from) {
    // How each record stands as the newest part and the files read so far
    // leave it; a record named nowhere there may be one of the earlier part.
    std::unordered_map<platform::Uuid, Prior> segmentsNow, sessionsNow;
    for (const Segment& s : segments.peek()) segmentsNow.emplace(s.id, revisionOf(s));
    for (const SessionMarker& m : sessions.peek()) sessionsNow.emplace(m.id, revisionOf(m));
    const auto lookUp = [](const std::unordered_map<platform::Uuid, Prior>& now) {
        return [&now](const platform::Uuid& id) {
            const auto at = now.find(id);
            return at == now.end() ? Prior() : at->second;
        };
    };
    TranscriptDB::RecoveryMarks marks = marksRead;
    const platform::Date firstSegment =
        segments.peek().empty() ? from : std::max(from, segments.peek().front().start);
    std::vector<std::pair<fs::path, std::optional<Recovered>>> read;
    for (const fs::path& file : recoveryFilesToTakeIn(directory_)) {
        bool checkable = true;
        std::unordered_set<platform::Uuid> seen;
        const auto named = [&](const platform::Uuid& id, bool session, bool deletes,
                               const std::optional<Prior>& before) {
            // An earlier version's line is taken in unchecked, over
            // whatever the earlier part holds of its record.
            if (!before) checkable = false;
            if (!checkable || !seen.insert(id).second) return;
            // Only a record made anew is known not to be in the earlier
            // part where this part does not hold it.
            const auto& now = session ? sessionsNow : segmentsNow;
            if (!now.count(id) && (*before || deletes)) checkable = false;
        };
        const Standing standing{lookUp(segmentsNow), lookUp(sessionsNow), &marks, named};
        std::optional<Recovered> recovered;
        try {
            recovered = readRecoveryFile(file, &standing);
        } catch (const std::runtime_error&) {
            return false;  // the whole read that follows says why
        }
        if (!checkable) return false;
        if (recovered) {
            const TranscriptDB::Changes& c = recovered->changes;
            // The earlier part joins before any record of this part, whose
            // first segment starts a paragraph: none comes before that.
            const auto before = [](platform::Date first) {
                return [first](const auto& r) { return r.start < first; };
            };
            if (std::any_of(c.segments.begin(), c.segments.end(), before(firstSegment)) ||
                std::any_of(c.sessions.begin(), c.sessions.end(), before(from)))
                return false;
            for (const Segment& s : c.segments) segmentsNow[s.id] = revisionOf(s);
            for (const platform::Uuid& id : c.deletedSegments) segmentsNow[id] = Prior();
            for (const SessionMarker& m : c.sessions) sessionsNow[m.id] = revisionOf(m);
            for (const platform::Uuid& id : c.deletedSessions) sessionsNow[id] = Prior();
            // A later file may hold a copy of these lines: they are taken in once.
            for (const auto& [identity, line] : recovered->dealtWith)
                marks[identity] = std::max(marks[identity], line);
        }
        read.emplace_back(file, std::move(recovered));
    }
    for (auto& [file, recovered] : read) {
        if (!recovered) {
            removeUniqueFolderIfEmpty(file.parent_path());
            continue;
        }
        if (!recovered->skippedLines && !recovered->passedOverLines && !recovered->takenBefore &&
            holdsNothing(recovered->changes)) {
            removeEmptyRecoveryFile(file);
            continue;
        }
        takenAtOpen_.insert(file);
        addIds(recovered->changes, takenAtOpenIds_, takenAtOpenIds_);
        std::string taken = takeIn(*recovered, file);
        if (!taken.empty()) takenAtOpenSaid_.push_back(std::move(taken));
    }
    return true;
}

void TranscriptStore::storeTakenAtOpen() {
    if (takenAtOpen_.empty()) return;
    const std::vector<std::string> said = std::exchange(takenAtOpenSaid_, {});
    if (!save({}, true, true)) return;
    for (const std::string& taken : said)
        platform::writeLog("Verbolin", "storage", platform::LogType::info, taken);
}

void TranscriptStore::forgetTakenAtOpen() {
    if (takenAtOpen_.empty()) return;
    // Nothing else was changed yet: all that is unsaved came from them.
    takenAtOpen_.clear();
    takenAtOpenSaid_.clear();
    takenAtOpenIds_.clear();
    unsavedSegments_.clear();
    unsavedSessions_.clear();
    heldSegments_.clear();
    heldSessions_.clear();
    unmarked_.clear();
    unmarkedRecords_.clear();
    journalFiles_.clear();
    holding_.clear();
    keeping.set({});
}

void TranscriptStore::sayMarksUnread() {
    if (heldLines_.empty() || !db_ || db_->marksProblem().empty() || marksUnreadSaid_) return;
    marksUnreadSaid_ = true;
    std::vector<fs::path> files;
    for (const HeldFile& held : heldLines_) files.push_back(held.file);
    logStorageError(db_->marksProblem() + ": the lines of " + tried(files) +
                    " cannot be checked against the marks of those taken in before, so they are "
                    "not taken in, and stay where they are until a start can read them; " +
                    db_->marksWayOut());
}

void TranscriptStore::takeInHeld() {
    const std::optional<TranscriptDB::RecoveryMarks> marks = db_->recoveryMarks();
    if (!marks) return sayMarksUnread();
    for (const HeldFile& held : std::exchange(heldLines_, {})) {
        const Standing standing{standingOf(segments.peek()), standingOf(sessions.peek()), &*marks};
        Recovered recovered = readHeldFile(held, &standing);
        const std::string taken = takeIn(recovered, held.file);
        if (!taken.empty())
            platform::writeLog("Verbolin", "storage", platform::LogType::info, taken);
    }
}

std::string TranscriptStore::takeIn(Recovered& recovered, const fs::path& file) {
    if (const size_t lines = recovered.skippedLines)
        logStorageError("skipped " + counted(lines, "unreadable line") + " of " + file.string());
    if (const size_t lines = recovered.passedOverLines)
        logStorageError("passed over " + counted(lines, "line") + " of " + file.string() +
                        ": a change stored after " + (lines == 1 ? "it" : "them") +
                        " replaced what " + (lines == 1 ? "it was" : "they were") + " made from");
    const TranscriptDB::Changes& c = recovered.changes;
    const std::string said = takenInWording(c, segments.peek(), sessions.peek());
    auto take = [](auto& observable, const auto& written, const auto& deleted) {
        std::unordered_set<platform::Uuid> ids(deleted.begin(), deleted.end());
        for (const auto& record : written) ids.insert(record.id);
        if (ids.empty()) return;
        observable.mutate([&](auto& held) {
            rearranged(held, [&](auto& list) {
                std::erase_if(list, [&](const auto& r) { return ids.count(r.id) > 0; });
                list.insert(list.end(), written.begin(), written.end());
                std::stable_sort(list.begin(), list.end(),
                                 [](const auto& a, const auto& b) { return a.start < b.start; });
            });
        });
    };
    take(segments, c.segments, c.deletedSegments);
    take(sessions, c.sessions, c.deletedSessions);
    // Stored with what memory holds unsaved; until then the file is what
    // keeps these, and takes what follows.
    addIds(c, unsavedSegments_, unsavedSessions_);
    addIds(c, heldSegments_, heldSessions_);
    for (const auto& [identity, line] : recovered.dealtWith)
        unmarked_[identity] = std::max(unmarked_[identity], line);
    for (const auto& [key, line] : recovered.records)
        unmarkedRecords_[key] = std::max(unmarkedRecords_[key], line);
    if (std::find(journalFiles_.begin(), journalFiles_.end(), file) == journalFiles_.end())
        journalFiles_.push_back(file);
    if (!holdsNothing(c)) {
        holding_.insert(file);
        keeping.set({file, keeping.peek().memoryOnly});
    }
    return said.empty() ? said
                        : said + " that an earlier run could not save, from " + file.string();
}

}  // namespace verbolin
