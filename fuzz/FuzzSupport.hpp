#pragma once
// What the harnesses share: a scratch folder of their own for the parsers
// that only read from disk, and a way to cut one input into the several
// files a parser reads together.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzing {

// A folder under the temporary folder, one per process, emptied on exit.
const std::filesystem::path& scratchFolder();

// Writes the bytes to scratchFolder()/name, replacing the file; returns its path.
std::filesystem::path writeScratchFile(const std::string& name, std::string_view bytes);

// The input split at each kSeparator, into at most `parts` pieces (the last
// one keeps any further separators); missing pieces are empty.
inline constexpr std::string_view kSeparator = "\n#-#-#\n";
std::vector<std::string_view> splitInput(const std::uint8_t* data, std::size_t size,
                                         std::size_t parts);

}  // namespace fuzzing
