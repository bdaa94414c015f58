#pragma once
// Settings kept in a JSON file, one object of key and value. The file is read
// once, when the object is made; every change rewrites it whole through a
// temporary file in the same folder, so a crash leaves either the old or the
// new settings, never a torn file. A file that cannot be read or written is
// logged and the settings live on in memory.

#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>

#include "verbolin/settings/Defaults.hpp"

namespace verbolin {

class FileDefaults final : public Defaults {
  public:
    // "Verbolin/settings.json" in the user's configuration folder.
    static std::filesystem::path standardPath();

    explicit FileDefaults(std::filesystem::path file);

    std::optional<nlohmann::json> value(std::string_view key) const override;
    void setValue(std::string_view key, nlohmann::json value) override;
    void remove(std::string_view key) override;

    const std::filesystem::path& file() const { return file_; }
    // That the file could not be read, why, and where it is kept.
    std::optional<std::string> problem() const override { return problem_; }

  private:
    void load();
    void noteReset(const std::string& why);
    void save() const;  // with m_ held

    const std::filesystem::path file_;
    mutable std::mutex m_;
    nlohmann::json values_ = nlohmann::json::object();
    // A settings file that could not be read is set aside, never overwritten,
    // before the first write: it may be the user's only copy.
    mutable bool setAsideBeforeWrite_ = false;
    std::optional<std::string> problem_;
};

}  // namespace verbolin
