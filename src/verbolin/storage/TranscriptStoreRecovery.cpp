// Changes that cannot be saved, kept as they are made outside the data
// folder (which may be the very thing that cannot be written), so that a
// crash or a kill loses none of them, and taken in by the next start that
// can write the transcript.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

#include "platform/system/FileMove.hpp"
#include "platform/system/JsonNesting.hpp"
#include "platform/system/Log.hpp"
#include "platform/system/OwnedFiles.hpp"
#include "platform/system/Paths.hpp"
#include "platform/system/WriteAll.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

// The folder of this user's own in the shared temporary folder, where what
// cannot be saved waits when the state folder cannot take it. Not the
// runtime folder: the system empties that at logout.
fs::path privateTemporaryFolder() {
    return platform::temporaryDirectory() / ("verbolin-" + std::to_string(::getuid()));
}

// The shared temporary folder itself, named as privateTemporaryFolder's
// parent so that the two compare equal however $TMPDIR is spelt.
fs::path sharedTemporaryFolder() { return privateTemporaryFolder().parent_path(); }

// Where an earlier version kept what could not be saved: straight in the
// shared temporary folder, under a name any user can predict and make
// first. Its text may be the user's only copy, so it is still taken in
// when it is the user's own, but never written.
fs::path earlierRecoveryFile(const fs::path& directory) {
    return sharedTemporaryFolder() / ("verbolin-" + std::to_string(::getuid()) + "-unsaved-" +
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
    logStorageError(file.problem() +
                    "; unsaved changes are neither read from it nor written to it");
}

// In the temporary folder, the folder of our own is checked before the
// file in it is opened, relative to it: another user may have made it
// first, or put a link under its name.
platform::OwnedFile openRecoveryFile(const fs::path& file, platform::OwnedAccess access) {
    if (file.parent_path() != privateTemporaryFolder())
        return platform::OwnedFile::open(file, access);
    platform::OwnedFile folder = platform::OwnedFile::privateFolder(file.parent_path(), access);
    if (!folder.isOpen()) return folder;
    return platform::OwnedFile::openIn(folder, file.filename().string(), access);
}

// Appends `text` whole or not at all: a write cut short (a full disk) is
// cut off again, so the file never ends in half a line. One that a kill cut
// short does; the text then starts on a line of its own, or the torn line
// would take its first record down with it.
bool appendWhole(const fs::path& file, const std::string& text) {
    // An earlier version's file, taken in at start, is only read: what
    // follows goes where no other user can reach.
    if (file.parent_path() == sharedTemporaryFolder()) return false;
    if (file.parent_path() != privateTemporaryFolder()) {
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
    }
    const platform::OwnedFile opened = openRecoveryFile(file, platform::OwnedAccess::append);
    if (opened.status() == platform::OwnedFile::Status::refused) sayRefused(opened);
    if (!opened.isOpen()) return false;
    const int fd = opened.fd();
    const off_t before = ::lseek(fd, 0, SEEK_END);
    char last = '\n';
    if (before > 0 && ::pread(fd, &last, 1, before - 1) != 1) last = '\n';
    const std::string whole = last == '\n' ? text : "\n" + text;
    const bool written =
        before >= 0 && platform::writeAll(fd, whole.data(), whole.size()) == 0 && ::fsync(fd) == 0;
    if (!written && before >= 0) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, before);
    }
    return written;
}

// Nothing when the file is not there; said when it is refused or cannot be
// read.
std::optional<std::string> readWhole(const fs::path& file) {
    const platform::OwnedFile opened = openRecoveryFile(file, platform::OwnedAccess::read);
    using Status = platform::OwnedFile::Status;
    if (opened.status() == Status::refused) sayRefused(opened);
    if (opened.status() == Status::failed) logStorageError(opened.problem());
    if (!opened.isOpen()) return std::nullopt;
    std::string text;
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(opened.fd(), block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            logStorageError("cannot read " + file.string() + ": " + std::strerror(errno));
            return std::nullopt;
        }
        if (n == 0) return text;
        text.append(block, size_t(n));
    }
}

constexpr const char* kDeletedSegment = "deletedSegment";
constexpr const char* kSession = "session";
constexpr const char* kDeletedSession = "deletedSession";

struct Recovered {
    TranscriptDB::Changes changes;
    size_t skipped = 0;
};

// The last state of each record the lines name. A line that cannot be read
// (torn by a crash, damaged) is skipped and counted.
Recovered readRecovered(const std::string& text) {
    std::vector<platform::Uuid> segmentOrder, sessionOrder;
    std::unordered_map<platform::Uuid, std::optional<Segment>> segmentsById;
    std::unordered_map<platform::Uuid, std::optional<SessionMarker>> sessionsById;
    auto note = [](auto& byId, auto& order, const platform::Uuid& id, auto record) {
        if (byId.find(id) == byId.end()) order.push_back(id);
        byId[id] = std::move(record);
    };
    auto idIn = [](const nlohmann::json& value) {
        const auto id = platform::Uuid::parse(value.get<std::string>());
        if (!id) throw std::invalid_argument("not an id");
        return *id;
    };
    Recovered out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        try {
            const nlohmann::json j = platform::parseJson(line);
            if (!j.is_object()) throw std::invalid_argument("not an object");
            if (j.contains(kDeletedSegment)) {
                note(segmentsById, segmentOrder, idIn(j.at(kDeletedSegment)), std::nullopt);
            } else if (j.contains(kDeletedSession)) {
                note(sessionsById, sessionOrder, idIn(j.at(kDeletedSession)), std::nullopt);
            } else if (j.contains(kSession)) {
                SessionMarker m = j.at(kSession).get<SessionMarker>();
                note(sessionsById, sessionOrder, m.id, std::optional(std::move(m)));
            } else {
                Segment s = j.get<Segment>();
                note(segmentsById, segmentOrder, s.id, std::optional(std::move(s)));
            }
        } catch (const std::exception&) {
            ++out.skipped;
        }
    }
    auto split = [](const auto& order, auto& byId, auto& written, auto& deleted) {
        for (const platform::Uuid& id : order) {
            if (auto& record = byId.at(id))
                written.push_back(std::move(*record));
            else
                deleted.push_back(id);
        }
    };
    split(segmentOrder, segmentsById, out.changes.segments, out.changes.deletedSegments);
    split(sessionOrder, sessionsById, out.changes.sessions, out.changes.deletedSessions);
    return out;
}

}  // namespace

std::vector<fs::path> TranscriptStore::recoveryFiles(const fs::path& directory) {
    const std::string name = "unsaved-" + platform::folderKey(directory) + ".jsonl";
    return {platform::stateDirectory() / "Verbolin" / name, privateTemporaryFolder() / name};
}

void TranscriptStore::journal(const TranscriptDB::Changes& changes) {
    for (const Segment& s : changes.segments) unjournaledSegments_.insert(s.id);
    unjournaledSegments_.insert(changes.deletedSegments.begin(), changes.deletedSegments.end());
    for (const SessionMarker& m : changes.sessions) unjournaledSessions_.insert(m.id);
    unjournaledSessions_.insert(changes.deletedSessions.begin(), changes.deletedSessions.end());
    if (unjournaledSegments_.empty() && unjournaledSessions_.empty()) return;
    // Each record as memory holds it now; one memory no longer has was
    // deleted.
    std::string lines;
    auto add = [&lines](const auto& unjournaled, const auto& memory, const char* wrapper,
                        const char* deletedKey) {
        auto missing = unjournaled;
        for (const auto& record : memory) {
            if (!missing.erase(record.id)) continue;
            nlohmann::json line = record;
            if (wrapper) line = nlohmann::json{{wrapper, std::move(line)}};
            lines += line.dump() + "\n";
        }
        for (const platform::Uuid& id : missing)
            lines += nlohmann::json{{deletedKey, id.string()}}.dump() + "\n";
    };
    add(unjournaledSegments_, segments.peek(), nullptr, kDeletedSegment);
    add(unjournaledSessions_, sessions.peek(), kSession, kDeletedSession);
    // The file written last first, so that the records of one run stay in
    // the order they were made.
    std::vector<fs::path> files = recoveryFiles(directory_);
    if (!journalFiles_.empty()) files.insert(files.begin(), journalFiles_.back());
    for (const fs::path& file : files) {
        if (!appendWhole(file, lines)) continue;
        unjournaledSegments_.clear();
        unjournaledSessions_.clear();
        if (std::find(journalFiles_.begin(), journalFiles_.end(), file) == journalFiles_.end())
            journalFiles_.push_back(file);
        journalFailing_ = false;
        return;
    }
    if (!std::exchange(journalFailing_, true))
        logStorageError("cannot write the unsaved changes to " + files.back().string() + " or to " +
                        files.front().string() + " either; they are kept in memory only");
}

void TranscriptStore::retireJournal() {
    unjournaledSegments_.clear();
    unjournaledSessions_.clear();
    for (const fs::path& file : std::exchange(journalFiles_, {})) {
        fs::path done = file;
        done += ".imported";
        try {
            platform::moveItem(file, done);
        } catch (const fs::filesystem_error& e) {
            // Stored already; reading it again later would undo later edits.
            std::error_code ec;
            fs::remove(file, ec);
            if (ec)
                logStorageError("cannot rename or remove " + file.string() + ": " +
                                e.code().message());
        }
    }
}

void TranscriptStore::importRecoveredText() {
    // An earlier version's file holds the oldest changes: taken in first, so
    // that later lines for the same records replace its.
    std::vector<fs::path> files = recoveryFiles(directory_);
    files.insert(files.begin(), earlierRecoveryFile(directory_));
    for (const fs::path& file : files) {
        const auto text = readWhole(file);
        if (!text) continue;
        Recovered recovered = readRecovered(*text);
        if (recovered.skipped)
            logStorageError("skipped " + std::to_string(recovered.skipped) +
                            " unreadable lines of " + file.string());
        auto take = [](auto& observable, const auto& written, const auto& deleted) {
            std::unordered_set<platform::Uuid> ids(deleted.begin(), deleted.end());
            for (const auto& record : written) ids.insert(record.id);
            observable.mutate([&](auto& list) {
                std::erase_if(list, [&](const auto& r) { return ids.count(r.id) > 0; });
                list.insert(list.end(), written.begin(), written.end());
                std::stable_sort(list.begin(), list.end(),
                                 [](const auto& a, const auto& b) { return a.start < b.start; });
            });
        };
        const TranscriptDB::Changes& c = recovered.changes;
        take(segments, c.segments, c.deletedSegments);
        take(sessions, c.sessions, c.deletedSessions);
        // Until stored, the file is what keeps these, and takes what
        // follows.
        journalFiles_.push_back(file);
        const size_t count = c.segments.size();
        if (!save(std::move(recovered.changes), true, true)) continue;
        platform::writeLog("Verbolin", "storage", platform::LogType::info,
                           "added " + std::to_string(count) +
                               (count == 1 ? " utterance" : " utterances") +
                               " that an earlier run could not save, from " + file.string());
    }
}

}  // namespace verbolin
