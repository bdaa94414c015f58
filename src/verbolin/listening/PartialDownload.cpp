#include "verbolin/listening/PartialDownload.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "platform/system/AtomicWrite.hpp"
#include "platform/system/JsonNesting.hpp"
#include "platform/system/WriteAll.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

// A sidecar is a few hundred bytes; anything far larger is not ours.
constexpr std::streamsize kMaxSidecarBytes = 64 * 1024;

[[noreturn]] void throwErrno(int error, const char* what, const fs::path& path) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

std::optional<std::string> readSmallFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(static_cast<size_t>(kMaxSidecarBytes) + 1, '\0');
    in.read(text.data(), kMaxSidecarBytes + 1);
    const std::streamsize got = in.gcount();
    if (got > kMaxSidecarBytes || in.bad()) return std::nullopt;
    text.resize(static_cast<size_t>(got));
    return text;
}

}  // namespace

PartialDownload::PartialDownload(fs::path file) : file_(std::move(file)) {}

PartialDownload::~PartialDownload() { closeQuietly(); }

fs::path PartialDownload::sidecar() const {
    fs::path p = file_;
    p += ".json";
    return p;
}

std::optional<std::string> PartialDownload::validatorOf(const platform::HttpHeaders& headers) {
    if (auto etag = headers.value("ETag"); etag && !etag->empty() && !etag->starts_with("W/"))
        return etag;
    if (auto modified = headers.value("Last-Modified"); modified && !modified->empty())
        return modified;
    return std::nullopt;
}

std::optional<PartialDownload::Resumable> PartialDownload::resumable(std::string_view url) const {
    struct stat st {};
    // Only a regular file: a link or a folder in its place is not resumed.
    if (::lstat(file_.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
        return std::nullopt;
    const auto text = readSmallFile(sidecar());
    if (!text) return std::nullopt;
    try {
        const nlohmann::json json = platform::parseJson(*text);
        if (!json.is_object()) return std::nullopt;
        const auto u = json.find("url");
        const auto v = json.find("validator");
        if (u == json.end() || v == json.end() || !u->is_string() || !v->is_string())
            return std::nullopt;
        if (u->get<std::string>() != url) return std::nullopt;
        auto validator = v->get<std::string>();
        // It goes back out as a header field: nothing that could split it.
        if (validator.empty() ||
            validator.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            return std::nullopt;
        // Complete only for the size that was recorded complete.
        const auto size = json.find("completeSize");
        const bool complete = size != json.end() && size->is_number_integer() &&
                              size->get<std::int64_t>() == static_cast<std::int64_t>(st.st_size);
        return Resumable{static_cast<int64_t>(st.st_size), std::move(validator), complete};
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

void PartialDownload::open(int extraFlags) {
    closeQuietly();
    fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | extraFlags, 0644);
    if (fd_ < 0) throwErrno(errno, "cannot open the download file", file_);
}

void PartialDownload::beginFresh(std::string_view url,
                                 const std::optional<std::string>& validator) {
    // Emptied before the new validator is recorded: the old one must never
    // stand beside bytes of other content.
    open(O_TRUNC);
    if (validator) {
        nlohmann::json json = {{"url", std::string(url)}, {"validator", *validator}};
        platform::writeFileAtomically(sidecar(), json.dump());
    } else {
        std::error_code ec;
        fs::remove(sidecar(), ec);
        if (ec) throw fs::filesystem_error("cannot remove the download's sidecar", sidecar(), ec);
    }
}

void PartialDownload::beginAppend() { open(O_APPEND); }

void PartialDownload::append(std::string_view bytes) {
    if (fd_ < 0) throwErrno(EBADF, "cannot write the download file", file_);
    if (const int error = platform::writeAll(fd_, bytes.data(), bytes.size()))
        throwErrno(error, "cannot write the download file", file_);
}

void PartialDownload::finish() {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0) throwErrno(errno, "cannot write the download file", file_);
}

void PartialDownload::markComplete(std::string_view url, const std::string& validator) {
    struct stat st {};
    if (::lstat(file_.c_str(), &st) != 0) throwErrno(errno, "cannot read the download file", file_);
    nlohmann::json json = {{"url", std::string(url)},
                           {"validator", validator},
                           {"completeSize", static_cast<std::int64_t>(st.st_size)}};
    platform::writeFileAtomically(sidecar(), json.dump());
}

void PartialDownload::closeQuietly() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

void PartialDownload::discard() noexcept {
    closeQuietly();
    std::error_code ignored;
    fs::remove(file_, ignored);
    fs::remove(sidecar(), ignored);
}

}  // namespace verbolin
