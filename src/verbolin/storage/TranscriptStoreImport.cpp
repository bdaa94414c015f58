// The one-time import of the transcript files that earlier versions kept in
// the data folder. Each file that was read is renamed to "<name>.imported"
// so it is not read again; one that could not be read or decoded stays and
// is tried again at the next start.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <unordered_set>

#include "platform/system/FileMove.hpp"
#include "platform/system/JsonNesting.hpp"
#include "platform/system/Log.hpp"
#include "platform/system/Text.hpp"
#include "verbolin/storage/LegacyNote.hpp"
#include "verbolin/storage/RecordDecodingError.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

constexpr size_t kProgressLines = 50000;  // a progress line every this many lines

// The whole file, or nothing when it is missing or any read fails: a file
// read only in part must not be imported and moved aside as if complete.
std::optional<std::string> readFile(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return std::nullopt;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
    std::string content;
    if (in) {
        char buffer[1 << 16];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) content.append(buffer, n);
    }
    if (!in || std::ferror(in.get())) {
        logStorageError("cannot read " + path.string());
        return std::nullopt;
    }
    return content;
}

// Lines end at a line feed; a carriage return just before it belongs to the
// line end, so files written with CR LF import as well.
std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view line =
            text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) out.push_back(line);
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    return out;
}

template <class Record>
std::optional<std::vector<Record>> decodeArray(const std::string& text, const fs::path& path) {
    try {
        auto j = platform::parseJson(text);
        if (!j.is_array()) throw RecordDecodingError("expected an array");
        return j.get<std::vector<Record>>();
    } catch (const std::exception& e) {
        logStorageError("not importing " + path.string() + ": " + e.what());
        return std::nullopt;
    }
}

void moveAside(const fs::path& path) {
    fs::path target = path;
    target += ".imported";
    try {
        platform::moveItem(path, target);
    } catch (const fs::filesystem_error& e) {
        logStorageError("cannot rename " + path.string() + " to " + target.filename().string() +
                        ": " + e.code().message());
    }
}

}  // namespace

void TranscriptStore::importLegacyFiles() {
    // Each file is stored in one transaction: all of it or, when that
    // fails, none, and the file stays to be read again at the next start.
    // What reached memory is still written with the next change.
    auto finish = [this](const fs::path& path, TranscriptDB::Changes changes, size_t count) {
        // Only records memory did not hold are imported: none stood before.
        Priors priors;
        for (const Segment& s : changes.segments) priors.segments.emplace(s.id, std::nullopt);
        for (const SessionMarker& m : changes.sessions) priors.sessions.emplace(m.id, std::nullopt);
        const bool saved = save(std::move(changes), true, false, priors);
        // With a transcript that will not open, the recovery file holds the
        // records once they are written there; reading the file again at
        // every start would only add them there again.
        const bool journaled =
            !db_ && !reopenable_ && unjournaledSegments_.empty() && unjournaledSessions_.empty();
        if (saved || journaled) {
            platform::writeLog(
                "Verbolin", "storage", platform::LogType::info,
                "imported " + std::to_string(count) + " records from " + path.string());
            moveAside(path);
        }
    };

    // Segments, one JSON object per line.
    fs::path transcript = directory_ / "transcript.jsonl";
    if (auto text = readFile(transcript)) {
        if (!platform::text::isValidUtf8(*text)) {
            logStorageError("not importing " + transcript.string() + ": it is not UTF-8 text");
        } else {
            std::unordered_set<platform::Uuid> known;
            for (const Segment& s : segments.peek()) known.insert(s.id);
            std::vector<std::string_view> all = lines(*text);
            std::vector<Segment> added;
            size_t skipped = 0;
            for (size_t i = 0; i < all.size(); ++i) {
                if (i > 0 && i % kProgressLines == 0)
                    platform::writeLog("Verbolin", "storage", platform::LogType::info,
                                       "importing " + transcript.string() + ": line " +
                                           std::to_string(i) + " of " + std::to_string(all.size()));
                Segment s;
                try {
                    s = platform::parseJson(all[i]).get<Segment>();
                } catch (const std::exception&) {
                    ++skipped;
                    continue;
                }
                if (!known.insert(s.id).second) continue;
                added.push_back(std::move(s));
            }
            if (skipped)
                logStorageError("skipped " + std::to_string(skipped) + " unreadable " +
                                (skipped == 1 ? "line" : "lines") + " of " + transcript.string());
            size_t count = added.size();
            segments.mutate(
                [&](auto& list) { list.insert(list.end(), added.begin(), added.end()); });
            finish(transcript, {.segments = std::move(added)}, count);
        }
    }

    // Session markers, one JSON array; one bad element rejects the file.
    fs::path sessionsFile = directory_ / "sessions.json";
    if (auto text = readFile(sessionsFile)) {
        if (auto markers = decodeArray<SessionMarker>(*text, sessionsFile)) {
            std::unordered_set<platform::Uuid> known;
            for (const SessionMarker& m : sessions.peek()) known.insert(m.id);
            std::vector<SessionMarker> added;
            for (const SessionMarker& m : *markers)
                if (known.insert(m.id).second) added.push_back(m);
            size_t count = added.size();
            sessions.mutate(
                [&](auto& list) { list.insert(list.end(), added.begin(), added.end()); });
            finish(sessionsFile, {.sessions = std::move(added)}, count);
        }
    }

    // Notes become one-second segments. A note already in the transcript
    // (same start, same text) is not added again: when the rename below
    // fails, the file is read at every start.
    fs::path notesFile = directory_ / "notes.json";
    if (auto text = readFile(notesFile)) {
        if (auto notes = decodeArray<LegacyNote>(*text, notesFile)) {
            std::set<std::pair<double, std::string>> present;
            for (const Segment& s : segments.peek())
                present.insert({platform::secondsSince1970(s.start), s.text});
            std::vector<Segment> added;
            for (const LegacyNote& note : *notes) {
                if (note.text.empty()) continue;
                if (present.count({platform::secondsSince1970(note.createdAt), note.text}))
                    continue;
                Segment s;
                s.start = note.createdAt;
                // A note in the clock's last second ends with the clock.
                s.end = note.createdAt <= platform::Date::max() - std::chrono::seconds(1)
                            ? note.createdAt + std::chrono::seconds(1)
                            : platform::Date::max();
                s.text = note.text;
                added.push_back(std::move(s));
            }
            size_t count = added.size();
            segments.mutate(
                [&](auto& list) { list.insert(list.end(), added.begin(), added.end()); });
            finish(notesFile, {.segments = std::move(added)}, count);
        }
    }

    auto byStart = [](const auto& a, const auto& b) { return a.start < b.start; };
    // What was read from the database comes in order: a sort of it would
    // move every segment for nothing, and a write of it would drop the
    // paragraphs and the index made with it.
    if (!std::is_sorted(segments.peek().begin(), segments.peek().end(), byStart))
        segments.mutate([&](SegmentSequence& list) {
            list.rearrange([&](auto& all) { std::stable_sort(all.begin(), all.end(), byStart); });
        });
    if (!std::is_sorted(sessions.peek().begin(), sessions.peek().end(), byStart))
        sessions.mutate([&](auto& list) { std::stable_sort(list.begin(), list.end(), byStart); });
}

}  // namespace verbolin
