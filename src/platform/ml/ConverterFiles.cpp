#include "platform/ml/ConverterFiles.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "platform/system/AtomicWrite.hpp"

namespace platform::ml {

void writeConverterFile(const std::filesystem::path& to, std::string_view text) {
    try {
        platform::writeFileAtomically(to, text);
    } catch (const std::filesystem::filesystem_error& e) {
        throw std::runtime_error("Cannot write " + to.string() + ": " + e.code().message());
    }
}

void copyConverterFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in) throw std::runtime_error("Cannot read " + from.string() + ": " + std::strerror(errno));
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw std::runtime_error("Cannot read " + from.string());
    writeConverterFile(to, bytes);
}

}  // namespace platform::ml
