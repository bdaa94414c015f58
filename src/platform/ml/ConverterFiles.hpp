#pragma once
// The converter's small files (configurations, tokenizer files), written
// whole or not at all, with errors that name the file and the system's
// reason ("No space left on device") rather than the library's bare
// "Input/output error" for a copy that ran out of room.

#include <filesystem>
#include <string_view>

namespace platform::ml {

// Throws std::runtime_error "Cannot write <to>: <reason>" (or "Cannot read").
void writeConverterFile(const std::filesystem::path& to, std::string_view text);
void copyConverterFile(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace platform::ml
