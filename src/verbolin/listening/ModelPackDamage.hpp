#pragma once
// Tells a model pack whose own model files do not load (a weights file cut
// short, a model description that does not parse or does not fit its
// weights, a model folder gone) from the other ways a load can fail, among
// them the system refusing to open, map or read a file (out of descriptors
// or memory, no permission, an I/O error): installing the pack again mends
// the first kind only. A tokenizer that does not load is not counted: the
// load fetches the hub's in its place (or, for one the system will not read,
// fails naming it).

#include <exception>
#include <optional>
#include <string>

#include "verbolin/listening/ModelPack.hpp"

namespace verbolin {

// What is damaged, in the loader's words, with the pack's files named
// relative to its folder; none when `loadError` is no fault of the pack's
// model files.
std::optional<std::string> packDamage(const ModelPack& pack, std::exception_ptr loadError);

}  // namespace verbolin
