#include "auralith/ModelUtilities.hpp"

#include <algorithm>
#include <exception>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>

#include "auralith/core/Constants.hpp"
#include "auralith/core/WhisperTokenizerWrapper.hpp"
#include "auralith/utilities/HubApiWrapper.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/FileRefusal.hpp"
#include "platform/system/JsonNesting.hpp"
#include "vortilcore/core/Logging.hpp"
#include "vortilcore/hub/AutoTokenizerWrapper.hpp"
#include "vortilcore/hub/HubClientError.hpp"

namespace auralith {
namespace {

using vortil::Logging;
namespace fs = std::filesystem;

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

WhisperError refused(const fs::path& path, int systemError) {
    return WhisperError::refused(WhisperError::Kind::tokenizerUnavailable, path, systemError);
}

// The system's refusal to look at or read a tokenizer file, which the hub
// client hands on inside its file-system error; none for other failures.
std::optional<WhisperError> refusalIn(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const vortil::HubClientError& e) {
        if (e.errorCase() == vortil::HubClientError::Case::fileSystemError && e.underlyingError())
            return refusalIn(e.underlyingError());
    } catch (const fs::filesystem_error& e) {
        if (platform::isRefusal(e.code().value())) return refused(e.path1(), e.code().value());
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace

ModelVariant ModelUtilities::detectVariant(std::int64_t logitsDim, std::int64_t encoderDim) {
    switch (logitsDim) {
        case 51864:
            switch (encoderDim) {
                case 384:
                    return ModelVariant::tinyEn;
                case 768:
                    return ModelVariant::smallEn;
                case 1024:
                    return ModelVariant::mediumEn;
                default:
                    return ModelVariant::baseEn;
            }
        case 51865:
            switch (encoderDim) {
                case 384:
                    return ModelVariant::tiny;
                case 768:
                    return ModelVariant::small;
                case 1024:
                    return ModelVariant::medium;
                case 1280:
                    return ModelVariant::largev2;
                default:
                    return ModelVariant::base;
            }
        case 51866:
            return ModelVariant::largev3;
        default:
            Logging::error("Unrecognized vocabulary size: " + std::to_string(logitsDim) +
                           ", defaulting to base variant");
            return ModelVariant::base;
    }
}

std::string ModelUtilities::tokenizerNameForVariant(ModelVariant variant) {
    return "openai/whisper-" + std::string(description(variant));
}

std::shared_ptr<WhisperTokenizer> ModelUtilities::loadTokenizer(
    ModelVariant variant, const std::optional<fs::path>& tokenizerFolder,
    const std::vector<fs::path>& additionalSearchPaths, bool useBackgroundSession,
    bool allowDownload) {
    const std::string name = tokenizerNameForVariant(variant);
    const HubApiWrapper hubApi(tokenizerFolder, std::nullopt, std::nullopt, useBackgroundSession);
    const HubApiWrapper::Repo repo{name, HubApiWrapper::RepoType::models};
    const fs::path cache = hubApi.localRepoLocation(repo);

    std::vector<fs::path> candidates{cache};
    if (tokenizerFolder) candidates.push_back(*tokenizerFolder);
    candidates.insert(candidates.end(), additionalSearchPaths.begin(), additionalSearchPaths.end());

    auto hasTokenizer = [](const fs::path& folder) {
        const fs::path file = folder / "tokenizer.json";
        std::error_code ec;
        const bool found = fs::exists(file, ec);
        // A tokenizer the system will not look at is there all the same:
        // one fetched in its place would hide why it cannot be read.
        if (platform::isRefusal(ec.value())) throw refused(file, ec.value());
        Logging::debug("Checking for local tokenizer at " + file.string() + " - " +
                       (found ? "found" : "not found"));
        return found;
    };
    std::optional<fs::path> chosen;
    for (const auto& candidate : candidates) {
        if (hasTokenizer(candidate)) {
            chosen = candidate;
            Logging::debug("Found local tokenizer at " + candidate.string());
            break;
        }
    }
    if (!chosen) Logging::debug("No tokenizer found in any local search paths");

    if (chosen) {
        Logging::debug("Loading tokenizer from " + chosen->string());
        try {
            return std::make_shared<WhisperTokenizerWrapper>(
                vortil::AutoTokenizerWrapper::from(*chosen, hubApi, true), *chosen);
        } catch (const std::exception& e) {
            Logging::debug(std::string("Error loading local tokenizer: ") + e.what());
            // Files the system will not read may well be sound; a copy
            // fetched over them would meet the same refusal on the next load.
            if (auto refusal = refusalIn(std::current_exception())) throw *refusal;
            if (!allowDownload)
                throw WhisperError::tokenizerUnavailable("Cannot load the tokenizer: " +
                                                         tokenizerProblem(*chosen, e.what()));
        }
    }
    if (!allowDownload) {
        const fs::path where = tokenizerFolder ? *tokenizerFolder : candidates.back();
        throw WhisperError::tokenizerUnavailable(
            "Cannot load the tokenizer: " + (where / "tokenizer.json").string() +
            " is missing (downloading is off)");
    }
    Logging::debug("Downloading tokenizer from Hub at " + cache.string());
    return std::make_shared<WhisperTokenizerWrapper>(
        vortil::AutoTokenizerWrapper::fromPretrained(name, hubApi, true), cache);
}

std::string ModelUtilities::tokenizerProblem(const fs::path& folder, const std::string& error) {
    for (const char* name : {"tokenizer.json", "tokenizer_config.json"}) {
        const fs::path file = folder / name;
        std::error_code ec;
        if (!fs::exists(file, ec)) return file.string() + " is missing";
        std::ifstream in(file, std::ios::binary);
        if (!in) return file.string() + " cannot be read";
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        try {
            platform::checkJsonNesting(text);
        } catch (const nlohmann::json::parse_error&) {
            return file.string() + " nests arrays and objects deeper than " +
                   std::to_string(platform::kMaxJsonNesting) + " levels";
        }
        const auto json = nlohmann::json::parse(text, nullptr, false);
        if (json.is_discarded()) return file.string() + " is not valid JSON";
        if (!json.is_object()) return file.string() + " does not hold a JSON object";
    }
    return "the tokenizer in " + folder.string() + " cannot be loaded: " + error;
}

ModelSupport ModelUtilities::modelSupport(const std::string& deviceName,
                                          const std::optional<ModelSupportConfig>& config) {
    return (config ? *config : Constants::fallbackModelSupportConfig()).modelSupport(deviceName);
}

std::vector<std::string> ModelUtilities::formatModelFiles(const std::vector<std::string>& files) {
    std::vector<std::string> sizes;
    for (ModelVariant v : allModelVariants) sizes.emplace_back(description(v));
    std::vector<std::string> keys;
    for (const auto& size : sizes) keys.push_back(contains(size, "large") ? size : size + "/");

    std::set<std::string> seen;
    std::vector<std::string> folders;
    for (const auto& file : files) {
        const std::string candidate = file.substr(0, file.find('/')) + "/";
        const bool named = std::any_of(keys.begin(), keys.end(), [&](const std::string& key) {
            return contains(candidate, key);
        });
        if (!named || !seen.insert(candidate).second) continue;
        folders.push_back(candidate.substr(0, candidate.size() - 1));
    }
    // The first size a name contains; "tiny" comes before "tiny.en" and
    // "large" before "large-v3", so English-only and later large folders
    // share the key of their size.
    auto keyOf = [&](const std::string& name) {
        for (std::size_t i = 0; i < sizes.size(); ++i)
            if (contains(name, sizes[i])) return i;
        return sizes.size();
    };
    std::sort(folders.begin(), folders.end(), [&](const std::string& a, const std::string& b) {
        const auto ka = keyOf(a), kb = keyOf(b);
        return ka != kb ? ka < kb : a < b;
    });
    return folders;
}

}  // namespace auralith
