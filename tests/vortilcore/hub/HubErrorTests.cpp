#include <gtest/gtest.h>

#include <filesystem>

#include "vortilcore/hub/EnvironmentError.hpp"
#include "vortilcore/hub/HubClientError.hpp"

using namespace vortil;

TEST(HubErrors, DescriptionsCarryTheirPayloads) {
    const platform::HttpError offline(platform::UrlErrorCode::notConnectedToInternet,
                                      "The Internet connection appears to be offline.");
    const std::filesystem::filesystem_error missing(
        "cannot open", "/x/config.json",
        std::make_error_code(std::errc::no_such_file_or_directory));
    struct Case {
        std::runtime_error error;
        std::string description;
    };
    const std::vector<Case> cases = {
        {Hub::HubClientError::httpStatusCode(500), "HTTP error with status code: 500"},
        {HubClientError::jsonSerialization("/x/a.json", "bad text at 3"), "bad text at 3"},
        {HubClientError::downloadError("timeout"), "Download failed: timeout"},
        {HubClientError::fileNotFound("config.json"), "File not found: config.json"},
        {HubClientError::networkError(offline),
         "Network error: The Internet connection appears to be offline."},
        {HubClientError::resourceNotFound("owner/name"), "Resource not found: owner/name"},
        {HubClientError::configurationMissing("tokenizer.json"),
         "Required configuration file missing: tokenizer.json"},
        {HubClientError::fileSystemError(std::make_exception_ptr(missing)),
         std::string("File system error: ") + missing.what()},
        {HubClientError::parseError("x"), "Parse error: x"},
        {HubClientError::authorizationRequired(),
         "Authentication required. Please provide a valid model hub token."},
        {HubClientError::parse(), "Failed to parse server response."},
        {HubClientError::unexpectedError(), "An unexpected error occurred."},
        {EnvironmentError::invalidMetadataError("m"), "Invalid metadata: m"},
        {EnvironmentError::offlineModeError("Repository not available locally"),
         "Offline mode error: Repository not available locally"},
        {EnvironmentError::fileIntegrityError("m"), "File integrity check failed: m"},
        {EnvironmentError::fileWriteError("m"), "Failed to write file: m"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.error.what(), c.description);
}
