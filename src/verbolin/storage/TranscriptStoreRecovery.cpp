// Text that could not be saved before quitting, kept outside the data
// folder (which may be the very thing that cannot be written) and taken in
// by the next start that can write the transcript.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unordered_map>

#include "platform/system/FileMove.hpp"
#include "platform/system/JsonNesting.hpp"
#include "platform/system/Log.hpp"
#include "platform/system/Paths.hpp"
#include "platform/system/WriteAll.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

// Appends `text` whole or not at all: a write cut short (a full disk) is
// cut off again, so the file never ends in half a line.
bool appendWhole(const fs::path& file, const std::string& text) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    const int fd =
        ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    const off_t before = ::lseek(fd, 0, SEEK_END);
    const bool written =
        before >= 0 && platform::writeAll(fd, text.data(), text.size()) == 0 && ::fsync(fd) == 0;
    if (!written && before >= 0) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, before);
    }
    ::close(fd);
    return written;
}

std::optional<std::string> readWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

}  // namespace

std::vector<fs::path> TranscriptStore::recoveryFiles(const fs::path& directory) {
    const std::string key = platform::folderKey(directory);
    return {platform::stateDirectory() / "Verbolin" / ("unsaved-" + key + ".jsonl"),
            platform::temporaryDirectory() /
                ("verbolin-" + std::to_string(::getuid()) + "-unsaved-" + key + ".jsonl")};
}

std::optional<fs::path> TranscriptStore::keepForRecovery(const std::vector<Segment>& lost) const {
    std::string lines;
    for (const Segment& s : lost) lines += nlohmann::json(s).dump() + "\n";
    for (const fs::path& file : recoveryFiles(directory_))
        if (appendWhole(file, lines)) return file;
    return std::nullopt;
}

void TranscriptStore::importRecoveredText() {
    if (!db_) return;  // kept for a start that can write it
    for (const fs::path& file : recoveryFiles(directory_)) {
        std::error_code ec;
        if (!fs::is_regular_file(fs::symlink_status(file, ec))) continue;
        const auto text = readWhole(file);
        if (!text) {
            logStorageError("cannot read " + file.string());
            continue;
        }
        // The last line written for an id is the latest text of it.
        std::vector<Segment> recovered;
        std::unordered_map<platform::Uuid, size_t> at;
        size_t skipped = 0;
        std::istringstream in(*text);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            try {
                Segment s = platform::parseJson(line).get<Segment>();
                if (const auto known = at.find(s.id); known != at.end())
                    recovered[known->second] = std::move(s);
                else
                    at.emplace(s.id, recovered.size()), recovered.push_back(std::move(s));
            } catch (const std::exception&) {
                ++skipped;
            }
        }
        if (skipped)
            logStorageError("skipped " + std::to_string(skipped) + " unreadable lines of " +
                            file.string());
        segments.mutate([&](auto& list) {
            std::erase_if(list, [&](const Segment& s) { return at.count(s.id) > 0; });
            list.insert(list.end(), recovered.begin(), recovered.end());
            std::stable_sort(list.begin(), list.end(),
                             [](const auto& a, const auto& b) { return a.start < b.start; });
        });
        if (!save({.segments = recovered})) continue;  // stays for the next start
        platform::writeLog("Verbolin", "storage", platform::LogType::info,
                           "added " + std::to_string(recovered.size()) +
                               " utterances that an earlier run could not save, from " +
                               file.string());
        fs::path done = file;
        done += ".imported";
        try {
            platform::moveItem(file, done);
        } catch (const fs::filesystem_error& e) {
            // Taken in once already; a second time would only repeat it.
            fs::remove(file, ec);
            if (ec)
                logStorageError("cannot rename or remove " + file.string() + ": " +
                                e.code().message());
        }
    }
}

}  // namespace verbolin
