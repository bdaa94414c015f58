// What an install that failed tells the user: the download's errors turned
// into the installer's codes and sentences, each saying why (no network, a
// host not found, the server's status, a full disk) and what to do instead.

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/system/CancellationError.hpp"
#include "platform/system/HttpClient.hpp"
#include "verbolin/listening/CheckpointDownload.hpp"
#include "verbolin/listening/ModelDownloader.hpp"
#include "vortilcore/hub/Downloader.hpp"
#include "vortilcore/hub/EnvironmentError.hpp"
#include "vortilcore/hub/HubClientError.hpp"

namespace verbolin {
namespace {

using platform::AppError;
using platform::UrlErrorCode;

constexpr int64_t kBytesPerMB = 1000000;

const char* const kDamaged = "The download was damaged. Please try again.";
const char* const kIncomplete = "The download was incomplete. Please try again.";

// "huggingface.co" of "https://huggingface.co:443/x".
std::string hostOf(std::string_view url) {
    if (const size_t scheme = url.find("://"); scheme != std::string_view::npos)
        url.remove_prefix(scheme + 3);
    url = url.substr(0, url.find_first_of("/?#"));
    if (const size_t at = url.rfind('@'); at != std::string_view::npos) url.remove_prefix(at + 1);
    if (!url.starts_with('[')) url = url.substr(0, url.find(':'));
    return std::string(url.empty() ? "the model hub" : url);
}

// Where the failure happened and what the user can do instead.
struct Source {
    std::string host;
    const char* offlineStep;
};

AppError notDownloaded(std::string reason, const Source& source) {
    // A reason that is a sentence of its own ends with the one period.
    if (reason.ends_with('.')) reason.pop_back();
    return AppError(
        ModelDownloader::errorDomain, 1,
        "The speech model could not be downloaded: " + reason + ". " + source.offlineStep);
}

AppError httpStatus(int64_t status, const Source& source) {
    return AppError(ModelDownloader::errorDomain, status,
                    "The speech model could not be downloaded (HTTP " + std::to_string(status) +
                        "). Check your connection and try again. " + source.offlineStep);
}

// The hub has nothing at the checkpoint's first file: the repository is not
// there (a mistyped mirror, a repository renamed), which trying again does not
// mend.
AppError nothingAtAddress(const std::string& endpoint, const std::string& repo,
                          const Source& source) {
    return AppError(ModelDownloader::errorDomain, 404,
                    "The speech model could not be downloaded: " + endpoint +
                        " has no repository " + repo + " (HTTP 404). " + source.offlineStep);
}

AppError transport(UrlErrorCode code, const std::string& description, const Source& source,
                   int systemError = 0) {
    const std::string& host = source.host;
    // This process could not open the socket (out of descriptors, say): the
    // host was never asked, and the system's reason is the one to tell.
    if (systemError)
        return notDownloaded("cannot open a connection to " + host + ": " +
                                 std::generic_category().message(systemError),
                             source);
    switch (code) {
        case UrlErrorCode::notConnectedToInternet:
            return notDownloaded("this computer has no network connection", source);
        case UrlErrorCode::cannotFindHost:
            return notDownloaded("the host " + host + " was not found", source);
        case UrlErrorCode::cannotConnectToHost:
            return notDownloaded(host + " refused the connection", source);
        case UrlErrorCode::timedOut:
            return notDownloaded(host + " did not answer in time", source);
        case UrlErrorCode::cancelled:
            return notDownloaded("the transfer was cancelled", source);
        default:
            return notDownloaded(description, source);
    }
}

// The errno of the socket a hub request could not open, or 0.
int systemErrorOf(const vortil::HubClientError& e) {
    if (!e.underlyingError()) return 0;
    try {
        std::rethrow_exception(e.underlyingError());
    } catch (const platform::HttpError& http) {
        return http.systemError();
    } catch (...) {
        return 0;  // another kind of failure: told by the error's own text
    }
}

AppError noRoom(const std::filesystem::path& folder, int64_t neededBytes, bool most) {
    const int64_t mb = (neededBytes + kBytesPerMB - 1) / kBytesPerMB;
    const std::string text = "There is not enough free disk space for the speech model: ";
    if (neededBytes > 0 && most)
        return AppError(ModelDownloader::errorDomain, 5,
                        text + "it may need up to " + std::to_string(mb) + " MB free in " +
                            folder.string() +
                            " (the most it can take: the server would not say what the "
                            "archive unpacks to).");
    return AppError(ModelDownloader::errorDomain, 5,
                    text + "it needs " +
                        (neededBytes > 0 ? std::to_string(mb) + " MB" : std::string("more room")) +
                        " free in " + folder.string() + ".");
}

}  // namespace

bool ModelDownloader::isDiskFull(const std::exception& e) {
    if (const auto* fsError = dynamic_cast<const std::filesystem::filesystem_error*>(&e))
        return fsError->code() == std::errc::no_space_on_device;
    // The converter's and writers' messages carry the system's reason.
    return std::string_view(e.what()).find(std::strerror(ENOSPC)) != std::string_view::npos;
}

std::optional<AppError> ModelDownloader::describeFailure(
    std::exception_ptr error, const std::string& endpoint, const std::filesystem::path& folder,
    int64_t neededBytes, const std::string& repo, bool neededIsMost) {
    const Source source{hostOf(endpoint), repo.empty() ? kOfflineStep : kHubOfflineStep};
    try {
        std::rethrow_exception(error);
    } catch (const AppError&) {
        return std::nullopt;
    } catch (const platform::CancellationError&) {
        return notDownloaded("the transfer was cancelled", source);
    } catch (const platform::HttpError& e) {
        return transport(e.code(), e.what(), source, e.systemError());
    } catch (const vortil::HubClientError& e) {
        using Case = vortil::HubClientError::Case;
        switch (e.errorCase()) {
            case Case::networkError:
                return transport(e.urlErrorCode().value_or(UrlErrorCode::unknown), e.what(), source,
                                 systemErrorOf(e));
            case Case::authorizationRequired:
                return httpStatus(401, source);
            case Case::fileNotFound:
                if (!repo.empty() && e.payload() == CheckpointDownload::files().front())
                    return nothingAtAddress(endpoint, repo, source);
                // The checkpoint on the hub lacks a file the pack is made from.
                return AppError(errorDomain, 4, kIncomplete);
            case Case::httpStatusCode:
                return httpStatus(e.statusCode().value_or(0), source);
            default:
                return notDownloaded(e.what(), source);
        }
    } catch (const vortil::EnvironmentError& e) {
        using Case = vortil::EnvironmentError::Case;
        if (e.errorCase() == Case::fileIntegrityError) return AppError(errorDomain, 2, kDamaged);
        if (e.errorCase() == Case::offlineModeError)
            return notDownloaded("this computer is offline, and no earlier download of it is kept",
                                 source);
        return notDownloaded(e.what(), source);
    } catch (const vortil::Downloader::DownloadError& e) {
        return notDownloaded(e.what(), source);
    } catch (const std::exception& e) {
        if (isDiskFull(e)) return noRoom(folder, neededBytes, neededIsMost);
        if (dynamic_cast<const std::filesystem::filesystem_error*>(&e)) return std::nullopt;
        return notDownloaded(e.what(), source);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace verbolin
