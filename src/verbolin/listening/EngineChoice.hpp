#pragma once
// Which recogniser a model load builds. There is one kind today, the
// on-device pipeline for a given model pack.

#include <utility>
#include <variant>

#include "verbolin/listening/ModelPack.hpp"

namespace verbolin {

class EngineChoice {
  public:
    struct Auralith {
        ModelPack pack;
        friend bool operator==(const Auralith&, const Auralith&) = default;
    };

    static EngineChoice auralith(ModelPack pack) { return EngineChoice(Auralith{std::move(pack)}); }

    const std::variant<Auralith>& value() const { return value_; }

    friend bool operator==(const EngineChoice&, const EngineChoice&) = default;

  private:
    explicit EngineChoice(std::variant<Auralith> value) : value_(std::move(value)) {}
    std::variant<Auralith> value_;
};

}  // namespace verbolin
