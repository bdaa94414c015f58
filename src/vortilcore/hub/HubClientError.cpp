#include "vortilcore/hub/HubClientError.hpp"

namespace vortil {

namespace {

std::string describe(const std::exception_ptr& error) {
    if (!error) return "An unknown error occurred.";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "An unknown error occurred.";
    }
}

}  // namespace

HubClientError HubClientError::httpStatusCode(int64_t status) {
    HubClientError e(Case::httpStatusCode,
                     "HTTP error with status code: " + std::to_string(status));
    e.status_ = status;
    return e;
}

HubClientError HubClientError::jsonSerialization(std::filesystem::path fileURL,
                                                 std::string message) {
    HubClientError e(Case::jsonSerialization, message);
    e.fileURL_ = std::move(fileURL);
    e.payload_ = std::move(message);
    return e;
}

HubClientError HubClientError::downloadError(std::string message) {
    HubClientError e(Case::downloadError, "Download failed: " + message);
    e.payload_ = std::move(message);
    return e;
}

HubClientError HubClientError::fileNotFound(std::string fileName) {
    HubClientError e(Case::fileNotFound, "File not found: " + fileName);
    e.payload_ = std::move(fileName);
    return e;
}

HubClientError HubClientError::networkError(const platform::HttpError& error) {
    HubClientError e(Case::networkError, std::string("Network error: ") + error.what());
    e.underlying_ = std::make_exception_ptr(error);
    e.urlCode_ = error.code();
    return e;
}

HubClientError HubClientError::resourceNotFound(std::string repoId) {
    HubClientError e(Case::resourceNotFound, "Resource not found: " + repoId);
    e.payload_ = std::move(repoId);
    return e;
}

HubClientError HubClientError::configurationMissing(std::string fileName) {
    HubClientError e(Case::configurationMissing,
                     "Required configuration file missing: " + fileName);
    e.payload_ = std::move(fileName);
    return e;
}

HubClientError HubClientError::fileSystemError(std::exception_ptr error) {
    HubClientError e(Case::fileSystemError, "File system error: " + describe(error));
    e.underlying_ = std::move(error);
    return e;
}

HubClientError HubClientError::parseError(std::string message) {
    HubClientError e(Case::parseError, "Parse error: " + message);
    e.payload_ = std::move(message);
    return e;
}

HubClientError HubClientError::authorizationRequired() {
    return HubClientError(Case::authorizationRequired,
                          "Authentication required. Please provide a valid model hub token.");
}

HubClientError HubClientError::parse() {
    return HubClientError(Case::parse, "Failed to parse server response.");
}

HubClientError HubClientError::unexpectedError() {
    return HubClientError(Case::unexpectedError, "An unexpected error occurred.");
}

}  // namespace vortil
