// Verbolin: the dictation application. Until the editor window lands this
// opens the transcript store and reports where it lives.
#include <cstdio>

#include "platform/system/Paths.hpp"

int main() {
    auto dir = platform::applicationSupportDirectory() / "Verbolin";
    std::printf("Verbolin data folder: %s\n", dir.c_str());
    return 0;
}
