#include "verbolin/storage/BlockLineage.hpp"

#include <algorithm>

namespace verbolin::BlockLineage {
namespace {

// Ancestors are held weakly, so a long run of appends keeps no earlier array
// alive; each array lists several, so a reader that missed a few arrays still
// finds the one it holds. A weak pointer keeps its array's control block, so
// an ancestor is never confused with a later array at the same address.
struct Ancestor {
    std::weak_ptr<const std::vector<Block>> array;
    size_t kept = 0;  // leading paragraphs taken over from it
};

// Looking further back costs more than the comparison it would save.
constexpr size_t kGenerations = 8;

struct Lineage {
    // Nearest first. Let go with the array: a control block outlives its
    // array while weak pointers name it, and each one holding on to its own
    // ancestors would keep every array's record since the first append.
    mutable std::vector<Ancestor> ancestors;
    void operator()(const std::vector<Block>* blocks) const {
        std::default_delete<const std::vector<Block>>()(blocks);
        // Nobody can ask for this record any more: no pointer holds the array.
        ancestors.clear();
        ancestors.shrink_to_fit();
    }
};

bool same(const std::weak_ptr<const std::vector<Block>>& a,
          const std::weak_ptr<const std::vector<Block>>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

Array derived(std::vector<Block> blocks, const Array& previous, size_t kept) {
    Lineage lineage;
    if (previous) {
        kept = std::min({kept, previous->size(), blocks.size()});
        lineage.ancestors.push_back({previous, kept});
        if (const Lineage* earlier = std::get_deleter<Lineage>(previous)) {
            for (const Ancestor& a : earlier->ancestors) {
                if (lineage.ancestors.size() == kGenerations) break;
                lineage.ancestors.push_back({a.array, std::min(kept, a.kept)});
            }
        }
    }
    auto owned = std::make_unique<const std::vector<Block>>(std::move(blocks));
    return Array(owned.release(), std::move(lineage));
}

std::optional<size_t> takenOver(const std::weak_ptr<const std::vector<Block>>& older,
                                const Array& newer) {
    if (!newer) return std::nullopt;
    const Lineage* lineage = std::get_deleter<Lineage>(newer);
    if (!lineage) return std::nullopt;
    // An empty weak pointer names no array, and no ancestor is empty.
    for (const Ancestor& a : lineage->ancestors)
        if (same(a.array, older)) return a.kept;  // never more than the ancestor held
    return std::nullopt;
}

}  // namespace verbolin::BlockLineage
