#pragma once
// Where an array of paragraphs came from. The store extends its paragraphs on
// an append, keeping all but the last of the earlier array; an array made so
// records how many leading paragraphs it took over, so that a reader holding
// the earlier array knows them unchanged without visiting a year of them.
// The record travels with the array's shared pointer (in its deleter); an
// array made any other way carries none.

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "verbolin/storage/Block.hpp"

namespace verbolin::BlockLineage {

using Array = std::shared_ptr<const std::vector<Block>>;

// An array of `blocks` whose first `kept` paragraphs are copies of those of
// `previous` (so share their segments). `kept` is clamped to both sizes.
Array derived(std::vector<Block> blocks, const Array& previous, size_t kept);

// How many leading paragraphs `newer` took over from `older`, when `newer`
// was derived from it, directly or through the last few arrays derived in
// between (even those already freed); none when that is not known. `older`
// may be gone by now: a weak pointer still names it.
std::optional<size_t> takenOver(const std::weak_ptr<const std::vector<Block>>& older,
                                const Array& newer);

}  // namespace verbolin::BlockLineage
