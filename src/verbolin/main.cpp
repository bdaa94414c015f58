// Verbolin: the dictation application. Until the editor window lands this
// opens the transcript store, reports where it lives and what it holds, and
// exits; listening comes with the window.
#include <cstdio>
#include <exception>

#include "verbolin/app/Defaults.hpp"
#include "verbolin/listening/ModelPack.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

int main() {
    try {
        verbolin::TranscriptStore store;
        std::printf("Verbolin data folder: %s\n", store.directory().c_str());
        std::printf("Transcript: %zu segments, %zu sessions%s\n", store.segments.peek().size(),
                    store.sessions.peek().size(),
                    !store.notSaved.peek()  ? ""
                    : store.db() ? " (not saved: writing to the database fails)"
                                 : " (not saved: the database could not be opened)");
        const verbolin::ModelPack pack =
            verbolin::ModelPack::named(verbolin::Defaults::standard()
                                           .string(verbolin::Defaults::kModelPack)
                                           .value_or("standard"));
        std::printf("Speech model: %s, %s\n", pack.title.c_str(),
                    pack.isInstalled() ? "installed" : "not installed");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "verbolin: %s\n", e.what());
        return 1;
    }
    return 0;
}
