#pragma once
// A hub repository's identity: its id as written on the hub (owner/name) and
// its kind, whose raw value is the path word of listing addresses and of
// local cache folders.

#include <cstddef>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vortil {

enum class HubRepoType { models, datasets, spaces };

std::string_view rawValue(HubRepoType type);
// Exactly "models", "datasets" or "spaces"; nothing for any other text.
std::optional<HubRepoType> hubRepoTypeFromRawValue(std::string_view raw);

struct HubRepo {
    std::string id;
    HubRepoType type;

    friend bool operator==(const HubRepo&, const HubRepo&) = default;
};

// Why a repository could not be decoded.
class RepoDecodingError : public std::runtime_error {
  public:
    enum class Kind { keyNotFound, typeMismatch, dataCorrupted };
    RepoDecodingError(Kind kind, const std::string& description)
        : std::runtime_error(description), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// {"id": ..., "type": raw value}. Decoding throws RepoDecodingError.
void to_json(nlohmann::json& j, HubRepoType type);
void from_json(const nlohmann::json& j, HubRepoType& type);
void to_json(nlohmann::json& j, const HubRepo& repo);
void from_json(const nlohmann::json& j, HubRepo& repo);

}  // namespace vortil

template <>
struct std::hash<vortil::HubRepoType> {
    size_t operator()(vortil::HubRepoType type) const noexcept {
        return std::hash<std::string_view>()(vortil::rawValue(type));
    }
};

template <>
struct std::hash<vortil::HubRepo> {
    size_t operator()(const vortil::HubRepo& repo) const noexcept {
        const size_t h = std::hash<std::string>()(repo.id);
        return h ^ (std::hash<vortil::HubRepoType>()(repo.type) + 0x9e3779b97f4a7c15ull + (h << 6) +
                    (h >> 2));
    }
};
