#pragma once
// The application's installer of model packs: downloads a pack's zip archive
// (continuing an interrupted download of the same file where it stopped),
// unpacks it into a staging folder beside the models, finds the folder that
// holds the model and moves it into place. One downloader serves one install.
// Errors it makes carry the domain "ModelDownloader"; file-system errors are
// passed on as they come.
//
// Installs of one pack never overlap, across threads and processes: a second
// one waits, reporting the first one's download as its own progress, until
// the first has ended, then returns if the pack is in place or else carries
// on from what the first left. A process killed mid-install holds nothing up.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <variant>

#include "platform/system/FileLock.hpp"
#include "platform/system/HttpClient.hpp"
#include "verbolin/listening/ModelPack.hpp"
#include "verbolin/listening/PartialDownload.hpp"

namespace verbolin {

class ModelDownloader {
  public:
    static constexpr const char* errorDomain = "ModelDownloader";

    // 1 MB = 1,000,000 bytes, whole megabytes truncated.
    struct Downloading {
        double fraction = 0;
        int64_t receivedMB = 0;
        int64_t totalMB = 0;
        friend bool operator==(const Downloading&, const Downloading&) = default;
    };
    struct Installing {
        friend bool operator==(const Installing&, const Installing&) = default;
    };
    using Progress = std::variant<Downloading, Installing>;

    // Called on the installing thread; must be safe to call from any thread.
    using ProgressFn = std::function<void(const Progress&)>;

    struct Options {
        std::string serverRoot = std::string(ModelPack::defaultServerRoot);
        platform::HttpClient::Options http;
    };

    ModelDownloader();
    explicit ModelDownloader(Options options);
    ModelDownloader(const ModelDownloader&) = delete;
    ModelDownloader& operator=(const ModelDownloader&) = delete;

    // Blocking. Returns at once, without any request or progress, when the
    // pack is already installed (removing what an install killed after moving
    // the pack into place left: see removeLeftovers); otherwise downloads, unpacks and installs it,
    // first waiting for another install of the same pack to end. Throws
    // platform::AppError (domain "ModelDownloader"),
    // std::filesystem::filesystem_error, or whatever `progress` throws (also
    // while waiting, which is how a caller stops waiting).
    void install(const ModelPack& pack, ProgressFn progress = {});

    // For an installed pack: removes the archive and staging folder that an
    // install killed between moving the pack into place and tidying up left
    // beside it (the archive is as large as the pack, and nothing else would
    // ever remove it). Only when no install of the pack runs; never throws, as
    // a leftover costs only disk space. Cheap when there is nothing to remove.
    static void removeLeftovers(const ModelPack& pack) noexcept;

    // Safe from any thread: ends the running install() — its transfer, also a
    // stalled one, its wait for another install, or its unpacking — and every
    // later one with a download error (code 1). What was fetched stays for the
    // next install.
    void cancel() noexcept;

  private:
    // Beside the installed packs: what an install of `pack` works with.
    struct Files {
        std::filesystem::path partial;  // the archive as it arrives
        std::filesystem::path staging;  // the archive unpacked
        std::filesystem::path lock;     // held by the install that uses the two
    };
    static Files filesOf(const ModelPack& pack);

    void waitForOtherInstall(const ModelPack& pack, platform::FileLock& lock,
                             const std::filesystem::path& partialFile) const;

    // Fetches the pack's archive into `partial`, continuing what an earlier
    // attempt left there when the server agrees it is the same file.
    // Throws the install's errors for a transport failure or an answer
    // without the file.
    void download(const ModelPack& pack, const std::string& url, PartialDownload& partial) const;
    void reportDownload(const ModelPack& pack, int64_t written, int64_t expected) const;

    Options options_;
    ProgressFn onProgress_;
    mutable platform::HttpClient http_;  // its transfers; cancelled through cancel()
};

}  // namespace verbolin
