#pragma once
// The hub client's protocol, file and parsing failures. Each case carries its
// payload and a user-readable description, which is also what() returns.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/system/HttpClient.hpp"

namespace vortil {

class HubClientError : public std::runtime_error {
  public:
    enum class Case {
        httpStatusCode,
        jsonSerialization,
        downloadError,
        fileNotFound,
        networkError,
        resourceNotFound,
        configurationMissing,
        fileSystemError,
        parseError,
        authorizationRequired,
        parse,
        unexpectedError,
    };

    static HubClientError httpStatusCode(int64_t status);
    // The description is the message itself.
    static HubClientError jsonSerialization(std::filesystem::path fileURL, std::string message);
    static HubClientError downloadError(std::string message);
    static HubClientError fileNotFound(std::string fileName);
    static HubClientError networkError(const platform::HttpError& error);
    static HubClientError resourceNotFound(std::string repoId);
    static HubClientError configurationMissing(std::string fileName);
    // Any error: its description is what() of a std::exception, else a
    // generic text. Pass std::current_exception() inside a catch block.
    static HubClientError fileSystemError(std::exception_ptr error);
    static HubClientError parseError(std::string message);
    static HubClientError authorizationRequired();
    static HubClientError parse();
    static HubClientError unexpectedError();

    Case errorCase() const { return case_; }
    // The text payload: message, file name or repository id; empty otherwise.
    const std::string& payload() const { return payload_; }
    // httpStatusCode only.
    std::optional<int64_t> statusCode() const { return status_; }
    // jsonSerialization only.
    const std::filesystem::path& fileURL() const { return fileURL_; }
    // networkError and fileSystemError: the wrapped error.
    std::exception_ptr underlyingError() const { return underlying_; }
    // networkError: the wrapped URL error's code.
    std::optional<platform::UrlErrorCode> urlErrorCode() const { return urlCode_; }

    std::optional<std::string> errorDescription() const { return std::string(what()); }

  private:
    HubClientError(Case c, const std::string& description)
        : std::runtime_error(description), case_(c) {}

    Case case_;
    std::string payload_;
    std::optional<int64_t> status_;
    std::filesystem::path fileURL_;
    std::exception_ptr underlying_;
    std::optional<platform::UrlErrorCode> urlCode_;
};

// The hub namespace under which callers also know the error.
namespace Hub {
using HubClientError = vortil::HubClientError;
}

}  // namespace vortil
