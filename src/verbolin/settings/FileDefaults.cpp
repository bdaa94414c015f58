#include "verbolin/settings/FileDefaults.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/system/AtomicWrite.hpp"
#include "platform/system/FileMove.hpp"
#include "platform/system/JsonNesting.hpp"
#include "platform/system/Log.hpp"
#include "platform/system/Paths.hpp"

namespace verbolin {
namespace {

void logError(const std::string& message) {
    platform::writeLog("Verbolin", "Defaults", platform::LogType::error, message);
}

struct ParseFailure {
    std::string where;   // "line 3, column 7" or "byte 513"; empty when not known
    std::string detail;  // the parser's whole account, where included
};

// The parser's text without its exception tag: "parse error at line 3,
// column 7: syntax error while parsing object key - ...".
ParseFailure describe(const nlohmann::json::parse_error& e) {
    std::string text = e.what();
    if (text.starts_with("[json.exception.")) {
        const auto tagEnd = text.find("] ");
        if (tagEnd != std::string::npos) text.erase(0, tagEnd + 2);
    }
    ParseFailure failure{"", text};
    constexpr std::string_view kAt = "parse error at ";
    if (text.starts_with(kAt)) {
        const auto colon = text.find(':', kAt.size());
        failure.where =
            text.substr(kAt.size(), colon == std::string::npos ? colon : colon - kAt.size());
    }
    return failure;
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
        noteReset(e.what());
        return;
    }
    nlohmann::json parsed;
    try {
        parsed = platform::parseJson(text);
    } catch (const nlohmann::json::parse_error& e) {
        // Where it fails, so that a hand edit can be mended there.
        const ParseFailure failure = describe(e);
        logError("Ignoring " + file_.string() + ": it does not parse as JSON (" + failure.detail +
                 ")");
        setAsideBeforeWrite_ = true;
        noteReset("it does not parse as JSON" +
                  (failure.where.empty() ? "" : " at " + failure.where));
        return;
    }
    if (!parsed.is_object()) {
        logError("Ignoring " + file_.string() + ": not a JSON object");
        setAsideBeforeWrite_ = true;
        noteReset("it holds no settings object");
        return;
    }
    values_ = std::move(parsed);
}

void FileDefaults::noteReset(const std::string& why) {
    std::string text = "Settings reset: " + file_.string() + " could not be read (" + why + ")";
    if (setAsideBeforeWrite_)
        text += "; it is kept, and set aside as " + file_.filename().string() +
                ".damaged when a setting changes";
    problem_ = text + ".";
}

std::optional<nlohmann::json> FileDefaults::value(std::string_view key) const {
    std::lock_guard lock(m_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

void FileDefaults::setValue(std::string_view key, nlohmann::json value) {
    {
        std::lock_guard lock(m_);
        values_[std::string(key)] = std::move(value);
        save();
    }
    changed(key);
}

void FileDefaults::remove(std::string_view key) {
    {
        std::lock_guard lock(m_);
        if (values_.erase(std::string(key)) == 0) return;
        save();
    }
    changed(key);
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
    try {
        platform::writeFileAtomically(file_, values_.dump(2) + "\n");
    } catch (const std::filesystem::filesystem_error& e) {
        logError(std::string(e.what()));
    }
}

// The base class only declares the process's settings: the file that backs
// them is this class's business.
Defaults& Defaults::standard() {
    static FileDefaults defaults(FileDefaults::standardPath());
    return defaults;
}

}  // namespace verbolin
