#pragma once
// Which recogniser a model load builds, and for which model pack. There is
// one kind today, the on-device pipeline (auralith); a second recogniser
// would add its own factory here and a kind to tell the two apart.

#include <utility>

#include "verbolin/listening/ModelPack.hpp"

namespace verbolin {

class EngineChoice {
  public:
    static EngineChoice auralith(ModelPack pack) { return EngineChoice(std::move(pack)); }

    const ModelPack& pack() const { return pack_; }

    friend bool operator==(const EngineChoice&, const EngineChoice&) = default;

  private:
    explicit EngineChoice(ModelPack pack) : pack_(std::move(pack)) {}
    ModelPack pack_;
};

}  // namespace verbolin
