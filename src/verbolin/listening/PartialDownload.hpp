#pragma once
// What an interrupted download left behind, kept so that the next attempt can
// ask only for the rest: the bytes received so far ("<name>.partial") and,
// beside them, the URL and the server's validator of those bytes (an ETag,
// else a Last-Modified date) in "<name>.partial.json", replaced atomically.
//
// The validator is written only after the file has been emptied for a fresh
// start, so a crash at any point leaves either a pair that belongs together or
// one that is not resumed. Bytes are only ever appended; nothing here decides
// whether an answer's bytes belong at the end of the file, which is the
// caller's job.
//
// Not thread-safe; one install uses one PartialDownload.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/HttpClient.hpp"

namespace verbolin {

class PartialDownload {
  public:
    // `file` is the partial file; its folder must exist before begin().
    explicit PartialDownload(std::filesystem::path file);
    ~PartialDownload();
    PartialDownload(const PartialDownload&) = delete;
    PartialDownload& operator=(const PartialDownload&) = delete;

    const std::filesystem::path& file() const { return file_; }
    std::filesystem::path sidecar() const;

    // The server's validator of an answer, as If-Range takes it back: a strong
    // ETag, else Last-Modified. A weak ETag cannot validate a range.
    static std::optional<std::string> validatorOf(const platform::HttpHeaders& headers);

    // The bytes on disk and their validator, when they were fetched from
    // `url` and can be continued: nullopt for no file, an empty file, a
    // missing or unreadable sidecar, another URL or no validator.
    struct Resumable {
        int64_t size = 0;
        std::string validator;
        bool complete = false;  // the whole file arrived; only unpacking it failed
    };
    std::optional<Resumable> resumable(std::string_view url) const;

    // Opens the file for writing: emptied, with the validator of what follows
    // recorded (or none, then no later attempt resumes), or kept for
    // appending. Throws std::filesystem::filesystem_error.
    void beginFresh(std::string_view url, const std::optional<std::string>& validator);
    void beginAppend();

    // Throws std::filesystem::filesystem_error (a full disk among others).
    void append(std::string_view bytes);
    // Closes the file, reporting a failed close.
    void finish();
    // Records that the file on disk is the whole of what `url` served under
    // `validator`, so that an install stopped after the download (a full disk
    // while unpacking) unpacks it again instead of fetching it again.
    void markComplete(std::string_view url, const std::string& validator);

    // Removes the file and its sidecar; errors are ignored, as a leftover is
    // only a file the next attempt replaces.
    void discard() noexcept;

  private:
    void open(int extraFlags);
    void closeQuietly() noexcept;

    std::filesystem::path file_;
    int fd_ = -1;
};

}  // namespace verbolin
