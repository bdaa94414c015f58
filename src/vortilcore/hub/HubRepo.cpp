#include "vortilcore/hub/HubRepo.hpp"

#include <nlohmann/json.hpp>

namespace vortil {

std::string_view rawValue(HubRepoType type) {
    switch (type) {
        case HubRepoType::models:
            return "models";
        case HubRepoType::datasets:
            return "datasets";
        case HubRepoType::spaces:
            return "spaces";
    }
    return "models";
}

std::optional<HubRepoType> hubRepoTypeFromRawValue(std::string_view raw) {
    for (HubRepoType type : {HubRepoType::models, HubRepoType::datasets, HubRepoType::spaces}) {
        if (raw == rawValue(type)) return type;
    }
    return std::nullopt;
}

namespace {

const std::string& stringMember(const nlohmann::json& j, const char* key) {
    if (!j.is_object()) {
        throw RepoDecodingError(RepoDecodingError::Kind::typeMismatch,
                                "Expected a dictionary for a repository");
    }
    auto it = j.find(key);
    if (it == j.end()) {
        throw RepoDecodingError(RepoDecodingError::Kind::keyNotFound,
                                std::string("No value for key \"") + key + "\"");
    }
    if (!it->is_string()) {
        throw RepoDecodingError(RepoDecodingError::Kind::typeMismatch,
                                std::string("Expected a string for key \"") + key + "\"");
    }
    return it->get_ref<const std::string&>();
}

HubRepoType decodeType(const std::string& raw) {
    if (auto type = hubRepoTypeFromRawValue(raw)) return *type;
    throw RepoDecodingError(RepoDecodingError::Kind::dataCorrupted,
                            "Cannot initialize RepoType from invalid String value " + raw);
}

}  // namespace

void to_json(nlohmann::json& j, HubRepoType type) { j = std::string(rawValue(type)); }

void from_json(const nlohmann::json& j, HubRepoType& type) {
    if (!j.is_string())
        throw RepoDecodingError(RepoDecodingError::Kind::typeMismatch,
                                "Expected a string for RepoType");
    type = decodeType(j.get_ref<const std::string&>());
}

void to_json(nlohmann::json& j, const HubRepo& repo) {
    j = nlohmann::json::object();
    j["id"] = repo.id;
    j["type"] = std::string(rawValue(repo.type));
}

void from_json(const nlohmann::json& j, HubRepo& repo) {
    std::string id = stringMember(j, "id");
    repo.type = decodeType(stringMember(j, "type"));
    repo.id = std::move(id);
}

}  // namespace vortil
