#include "vortilcore/hub/LanguageModelConfigurationFromHub.hpp"

#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <fstream>
#include <iterator>
#include <system_error>

#include "vortilcore/core/Unicode.hpp"

namespace vortil {
namespace fs = std::filesystem;

namespace {

bool itemExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec)) && !ec;
}

// As itemExists, but one the system will not look at (its folder may not be
// searched, an I/O error) is not taken for missing: the system's error is
// thrown, with its errno and the path.
bool itemThere(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec && status.type() != fs::file_type::not_found)
        throw fs::filesystem_error("cannot look at", path, ec);
    return fs::exists(status);
}

// The text of "chat_template.jinja", else the string chat template of
// "chat_template.json"; nothing when neither gives one. A .jinja file that
// cannot be read as UTF-8 ends the search.
std::optional<std::string> chatTemplate(const fs::path& folder) {
    const fs::path jinja = folder / "chat_template.jinja";
    if (itemExists(jinja)) {
        std::ifstream in(jinja, std::ios::binary);
        if (!in) return std::nullopt;
        std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (in.bad() || !unicode::isValidUtf8(text)) return std::nullopt;
        return text;
    }
    const fs::path json = folder / "chat_template.json";
    if (!itemExists(json)) return std::nullopt;
    try {
        return HubApi::configuration(json).get("chatTemplate").stringValue();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

const std::vector<std::string>& LanguageModelConfigurationFromHub::requestedFiles() {
    static const std::vector<std::string> files = {"config.json", "tokenizer_config.json",
                                                   "chat_template.jinja", "chat_template.json",
                                                   "tokenizer.json"};
    return files;
}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(std::string modelName,
                                                                     std::string revision,
                                                                     HubApiWrapper hubApi)
    : configPromise_(std::async(
          std::launch::async,
          [name = std::move(modelName), rev = std::move(revision), hub = std::move(hubApi)] {
              try {
                  const fs::path folder =
                      hub.snapshot(HubApiWrapper::Repo{name, HubApiWrapper::RepoType::models}, rev,
                                   requestedFiles());
                  return loadConfig(folder, hub);
              } catch (...) {
                  std::rethrow_exception(mapFetchError(std::current_exception(), name));
              }
          })) {}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(fs::path modelFolder,
                                                                     HubApiWrapper hubApi)
    : configPromise_(std::async(std::launch::async,
                                [folder = std::move(modelFolder), hub = std::move(hubApi)] {
                                    return loadConfig(folder, hub);
                                })) {}

LanguageModelConfigurationFromHub::Configurations LanguageModelConfigurationFromHub::loadConfig(
    const fs::path& modelFolder, const HubApiWrapper&) {
    try {
        Configurations result;
        if (const fs::path file = modelFolder / "config.json"; itemThere(file)) {
            result.modelConfig = HubApi::configuration(file);
        }
        const fs::path tokenizerFile = modelFolder / "tokenizer.json";
        if (!itemThere(tokenizerFile)) throw HubClientError::configurationMissing("tokenizer.json");
        result.tokenizerData = HubApi::configuration(tokenizerFile);
        if (const fs::path file = modelFolder / "tokenizer_config.json"; itemThere(file)) {
            result.tokenizerConfig = HubApi::configuration(file);
        }
        if (std::optional<std::string> chat = chatTemplate(modelFolder)) {
            if (result.tokenizerConfig && result.tokenizerConfig->dictionaryValue()) {
                result.tokenizerConfig->set("chat_template", Config(*chat));
            } else {
                result.tokenizerConfig = Config{{"chat_template", Config(*chat)}};
            }
        }
        return result;
    } catch (const HubClientError&) {
        throw;
    } catch (...) {
        throw HubClientError::fileSystemError(std::current_exception());
    }
}

std::exception_ptr LanguageModelConfigurationFromHub::mapFetchError(std::exception_ptr error,
                                                                    const std::string& modelName) {
    try {
        std::rethrow_exception(error);
    } catch (const platform::HttpError& e) {
        if (e.code() == platform::UrlErrorCode::resourceUnavailable) {
            return std::make_exception_ptr(HubClientError::resourceNotFound(modelName));
        }
        return std::make_exception_ptr(HubClientError::networkError(e));
    } catch (...) {
        return error;
    }
}

const LanguageModelConfigurationFromHub::Configurations&
LanguageModelConfigurationFromHub::configurations() const {
    return configPromise_.get();
}

std::optional<std::string> LanguageModelConfigurationFromHub::modelType() const {
    const Configurations& configs = configurations();
    if (!configs.modelConfig) return std::nullopt;
    return configs.modelConfig->get("modelType").stringValue();
}

std::optional<Config> LanguageModelConfigurationFromHub::tokenizerConfig() const {
    const Configurations& configs = configurations();
    if (!configs.tokenizerConfig) return std::nullopt;
    const Config& config = *configs.tokenizerConfig;
    if (config.get("tokenizerClass").stringValue()) return config;
    const std::optional<std::string> type = modelType();
    if (!type) return config;
    Config withClass = config;  // a non-object becomes an object with just this key
    withClass.set("tokenizer_class", Config(capitalized(*type) + "Tokenizer"));
    return withClass;
}

std::string LanguageModelConfigurationFromHub::capitalized(const std::string& text) {
    const std::u16string utf16 = unicode::toUtf16(text);
    std::string out;
    bool inWord = false;
    for (size_t i = 0; i < utf16.size();) {
        UChar32 c;
        U16_NEXT(utf16.data(), i, utf16.size(), c);
        const bool wordChar = u_isalnum(c);
        const UChar32 mapped = wordChar ? (inWord ? u_tolower(c) : u_toupper(c)) : c;
        inWord = wordChar;
        std::u16string piece;
        if (U_IS_BMP(mapped)) {
            piece.push_back(static_cast<char16_t>(mapped));
        } else {
            piece.push_back(static_cast<char16_t>(U16_LEAD(mapped)));
            piece.push_back(static_cast<char16_t>(U16_TRAIL(mapped)));
        }
        out += unicode::toUtf8(piece);
    }
    return out;
}

}  // namespace vortil
