// A transcript file that is not the one we wrote: another program's SQLite
// file, one of an older or newer layout, tables missing or columns of other
// types. The first input byte picks how the file is made: odd, the rest is
// the file's bytes; even, the rest is SQL run on an empty database, so the
// fuzzer varies tables and values rather than pages. The store is then
// opened over it and used the way the window uses it.

#include <sqlite3.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "FuzzSupport.hpp"
#include "platform/system/AppError.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace {

void makeFromSql(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) == SQLITE_OK)
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::filesystem::path folder = fuzzing::scratchFolder() / "store";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto file = folder / "transcript.sqlite";
    if (data[0] & 1)
        fuzzing::writeScratchFile("store/transcript.sqlite", rest);
    else
        makeFromSql(file, rest);

    try {
        verbolin::TranscriptDB db(file);
        db.allSegments();
        db.allSessions();
        db.search("a b\"");
    } catch (const platform::AppError&) {
    }

    verbolin::TranscriptStore store(folder);
    const auto blocks = store.allBlocks();
    for (const auto& item : store.sessionItems()) {
        store.previewOf(item);
        store.rangeText(item);
        store.segmentsIn(item);
    }
    store.days();
    store.sessionStartBlocks();
    store.search("the");
    verbolin::Segment s;
    s.start = std::chrono::system_clock::now();
    s.end = s.start + std::chrono::seconds(1);
    s.text = "fuzz";
    store.append(s);
    if (!blocks->empty()) {
        store.replace(blocks->front(), "edited text");
        store.deleteBlocks({blocks->back()});
    }
    store.startSession("named");
    return 0;
}
