#include "verbolin/app/FileDefaults.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "platform/system/FileMove.hpp"
#include "platform/system/JsonNesting.hpp"
#include "platform/system/Log.hpp"
#include "platform/system/Paths.hpp"

namespace verbolin {
namespace {

void logError(const std::string& message) {
    platform::writeLog("Verbolin", "Defaults", platform::LogType::error, message);
}

std::string systemError(const std::string& what, const std::filesystem::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

// Writes all of `data` to `fd`; false with errno set on failure.
bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

}  // namespace

std::filesystem::path FileDefaults::standardPath() {
    return platform::configDirectory() / "Verbolin" / "settings.json";
}

FileDefaults::FileDefaults(std::filesystem::path file) : file_(std::move(file)) { load(); }

void FileDefaults::load() {
    std::error_code ec;
    const auto status = std::filesystem::status(file_, ec);
    if (!std::filesystem::exists(status)) return;
    std::string text;
    try {
        if (!std::filesystem::is_regular_file(status)) throw std::runtime_error("not a file");
        std::ifstream in(file_, std::ios::binary);
        if (!in) throw std::runtime_error(std::strerror(errno));
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception& e) {
        logError("Cannot read " + file_.string() + ": " + e.what());
        setAsideBeforeWrite_ = std::filesystem::is_regular_file(status);
        return;
    }
    nlohmann::json parsed;
    try {
        parsed = platform::parseJson(text);
    } catch (const nlohmann::json::exception&) {
        // handled below with every other file that holds no settings object
    }
    if (!parsed.is_object()) {
        logError("Ignoring " + file_.string() + ": not a JSON object");
        setAsideBeforeWrite_ = true;
        return;
    }
    values_ = std::move(parsed);
}

std::optional<nlohmann::json> FileDefaults::value(std::string_view key) const {
    std::lock_guard lock(m_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

void FileDefaults::setValue(std::string_view key, nlohmann::json value) {
    std::lock_guard lock(m_);
    values_[std::string(key)] = std::move(value);
    save();
}

void FileDefaults::remove(std::string_view key) {
    std::lock_guard lock(m_);
    if (values_.erase(std::string(key)) == 0) return;
    save();
}

void FileDefaults::save() const {
    if (setAsideBeforeWrite_) {
        auto aside = file_;
        aside += ".damaged";
        try {
            platform::moveItem(file_, aside);
            logError("Kept the unreadable settings as " + aside.string());
        } catch (const std::filesystem::filesystem_error& e) {
            if (e.code() != std::errc::no_such_file_or_directory) {
                logError("Not replacing " + file_.string() + ": it cannot be set aside (" +
                         e.code().message() + "); settings stay in memory");
                return;
            }
        }
        setAsideBeforeWrite_ = false;
    }
    const auto folder = file_.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        logError("Cannot create " + folder.string() + ": " + ec.message());
        return;
    }
    std::string pattern = (folder / (file_.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        logError(systemError("Cannot create a temporary file in", folder));
        return;
    }
    const std::string data = values_.dump(2) + "\n";
    bool ok = writeAll(fd, data) && ::fsync(fd) == 0;
    std::string failure = ok ? "" : systemError("Cannot write", pattern);
    ::close(fd);
    if (ok && ::rename(pattern.c_str(), file_.c_str()) != 0) {
        ok = false;
        failure = systemError("Cannot replace", file_);
    }
    if (!ok) {
        ::unlink(pattern.c_str());
        logError(failure);
        return;
    }
    // Make the rename itself durable.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace verbolin
