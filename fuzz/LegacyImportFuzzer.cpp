// The files of older releases that a first start imports: transcript.jsonl,
// sessions.json and notes.json, given as one input cut at
// fuzzing::kSeparator (an empty piece leaves its file out). The store is
// opened over them and its paragraphs and sessions are built.

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "FuzzSupport.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzzing::splitInput(data, size, 3);
    const std::filesystem::path folder = fuzzing::scratchFolder() / "legacy";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const char* const names[] = {"transcript.jsonl", "sessions.json", "notes.json"};
    for (int i = 0; i < 3; ++i)
        if (!parts[i].empty())
            fuzzing::writeScratchFile(std::string("legacy/") + names[i], parts[i]);

    verbolin::TranscriptStore store(folder);
    store.allBlocks();
    for (const auto& item : store.sessionItems()) {
        store.previewOf(item);
        store.rangeText(item);
    }
    store.days();
    store.sessionStartBlocks();
    return 0;
}
