// The hub client's metadata side files, the content hash that checks a file
// against a SHA-256 etag, and where a repository and its side files live
// locally, with the listing of such a folder.

#include <fcntl.h>
#include <locale.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/AtomicWrite.hpp"
#include "platform/system/NumberText.hpp"
#include "platform/system/Text.hpp"
#include "vortilcore/core/Regex.hpp"
#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/hub/HubApi.hpp"
#include "vortilcore/hub/LocalDownloadFileMetadata.hpp"

namespace vortil {
namespace {

std::string trimmed(std::u16string_view piece) {
    return std::string(
        platform::text::trimmedScalars(unicode::toUtf8(piece), platform::text::isWhiteSpace));
}

bool isNewline(char16_t c) {
    switch (c) {
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x85:
        case 0x2028:
        case 0x2029:
            return true;
        default:
            return false;
    }
}

// Every newline character separates on its own, so CR LF leaves an empty
// piece between the two.
std::vector<std::u16string_view> splitAtNewlines(std::u16string_view text) {
    std::vector<std::u16string_view> pieces;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!isNewline(text[i])) continue;
        pieces.push_back(text.substr(start, i - start));
        start = i + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

// The C library's conversion in the C locale, which must take the whole text.
std::optional<double> parseSeconds(const std::string& text) {
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", locale_t(0));
    if (text.empty() || !cLocale) return std::nullopt;
    char* end = nullptr;
    const double value = ::strtod_l(text.c_str(), &end, cLocale);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

std::string fileURLText(const std::filesystem::path& path) {
    return "file://" + std::filesystem::absolute(path).string();
}

void logMetadataError(const std::string& message) { HubApi::logger().error(message); }

class InvalidSideFile : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

HubApi::LocalDownloadFileMetadata parseSideFile(const std::filesystem::path& metadataPath) {
    std::ifstream in(metadataPath, std::ios::binary);
    if (!in) throw std::runtime_error("The file couldn’t be opened.");
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw std::runtime_error("The file couldn’t be read.");
    if (!unicode::isValidUtf8(bytes))
        throw std::runtime_error(
            "The file couldn’t be opened because it isn’t in the correct format.");

    const std::u16string text = unicode::toUtf16(bytes);
    const auto pieces = splitAtNewlines(text);
    if (pieces.size() < 3) throw InvalidSideFile("Metadata file is missing required fields");

    HubApi::LocalDownloadFileMetadata metadata;
    metadata.commitHash = trimmed(pieces[0]);
    metadata.etag = trimmed(pieces[1]);
    const auto seconds = parseSeconds(trimmed(pieces[2]));
    if (!seconds) throw InvalidSideFile("Invalid timestamp format");
    metadata.timestamp = platform::dateFromSecondsSince1970(*seconds);

    std::string name = metadataPath.filename().string();
    for (size_t at; (at = name.find(".metadata")) != std::string::npos;) name.erase(at, 9);
    metadata.filename = name;
    return metadata;
}

}  // namespace

std::optional<HubApi::LocalDownloadFileMetadata> HubApi::readDownloadMetadata(
    const std::filesystem::path& metadataPath) {
    std::error_code ec;
    if (!std::filesystem::exists(metadataPath, ec)) return std::nullopt;
    try {
        return parseSideFile(metadataPath);
    } catch (const InvalidSideFile& e) {
        const EnvironmentError error = EnvironmentError::invalidMetadataError(e.what());
        logMetadataError("Invalid metadata file " + fileURLText(metadataPath) + ": " +
                         error.what() + ". Removing it from disk and continuing.");
    } catch (const std::exception& e) {
        logMetadataError("Error reading metadata file " + fileURLText(metadataPath) + ": " +
                         e.what() + ". Removing it from disk and continuing.");
    }
    std::filesystem::remove(metadataPath, ec);
    if (ec) {
        throw EnvironmentError::invalidMetadataError("Could not remove corrupted metadata file: " +
                                                     ec.message());
    }
    return std::nullopt;
}

void HubApi::writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                   const std::filesystem::path& metadataPath) {
    const double now = platform::secondsSince1970(std::chrono::system_clock::now());
    const std::string text = commitHash + "\n" + etag + "\n" + platform::numberText(now) + "\n";
    try {
        if (metadataPath.has_parent_path())
            std::filesystem::create_directories(metadataPath.parent_path());
        platform::writeFileAtomically(metadataPath, text);
    } catch (const std::filesystem::filesystem_error& e) {
        throw EnvironmentError::fileWriteError("Failed to write metadata to " +
                                               metadataPath.string() + ": " + e.code().message());
    }
}

bool HubApi::matchesPattern(const std::string& pattern, const std::string& text) {
    const auto regex = Regex::tryCompile(pattern);
    return regex && !regex->matchRanges(unicode::toUtf16(text)).empty();
}

std::string HubApi::computeFileHash(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw HubClientError::fileNotFound(file.filename().string());

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        ::close(fd);
        throw std::runtime_error("SHA-256 is not available");
    }
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            // The digest then covers a prefix only, so it cannot match.
            logMetadataError("Error reading " + file.string() +
                             " for its hash: " + std::strerror(errno));
            break;
        }
        if (n == 0) break;
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
    }
    ::close(fd);

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0xF];
    }
    return hex;
}

std::vector<std::filesystem::path> HubApi::getFileUrls(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec) return files;
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        // Unreadable folders are skipped; an enumeration that cannot advance ends.
        if (ec) break;
        const fs::path& path = it->path();
        if (path.filename().string().starts_with(".")) {
            if (it->is_directory(ec)) it.disable_recursion_pending();
            continue;
        }
        // Follows a link, as a regular-file test of the resolved item.
        const auto status = fs::status(path, ec);
        if (ec == std::errc::no_such_file_or_directory) continue;  // a dangling link
        if (ec) throw fs::filesystem_error("cannot read the attributes of", path, ec);
        if (fs::is_regular_file(status)) files.push_back(path);
    }
    return files;
}

std::filesystem::path HubApi::repoFolder(const Repo& repo) const {
    return downloadBase / std::string(rawValue(repo.type)) / repo.id;
}

std::filesystem::path HubApi::metadataFolder(const std::filesystem::path& repoFolder) {
    return repoFolder / ".cache" / "huggingface" / "download";
}

int64_t HubApi::progressUnits(double fraction) {
    // A fraction that is not finite (a total of 0 or unknown) counts as none.
    if (!std::isfinite(fraction)) return 0;
    return static_cast<int64_t>(std::clamp(fraction, 0.0, 1.0) * 100);
}

}  // namespace vortil
