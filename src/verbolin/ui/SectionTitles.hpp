#pragma once
// Session titles by the id of each session's first paragraph, shared rather
// than copied: the pane hands the same titles to the text on every update.

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/system/Uuid.hpp"

namespace verbolin {

class SectionTitles {
  public:
    using Map = std::unordered_map<platform::Uuid, std::string>;

    SectionTitles() = default;
    // Implicit, so that a plain map of titles can be given where these are asked for.
    SectionTitles(Map titles)  // NOLINT
        : map_(std::make_shared<const Map>(std::move(titles))) {}
    // Titles held elsewhere, shared as they are.
    explicit SectionTitles(std::shared_ptr<const Map> titles) : map_(std::move(titles)) {}

    const Map& map() const {
        static const Map none;
        return map_ ? *map_ : none;
    }
    operator const Map&() const { return map(); }  // NOLINT
    // True when both are the very same titles, not merely equal ones.
    bool sharedWith(const SectionTitles& other) const { return map_ == other.map_; }

  private:
    std::shared_ptr<const Map> map_;
};

}  // namespace verbolin
