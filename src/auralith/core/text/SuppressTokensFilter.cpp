#include "auralith/core/text/SuppressTokensFilter.hpp"

#include <algorithm>

#include "auralith/utilities/Logging.hpp"
#include "vortilcore/core/MLMultiArrayExtensions.hpp"

namespace auralith {

namespace {

std::vector<std::vector<std::int64_t>> indexesOf(const std::vector<std::int64_t>& ids) {
    std::vector<std::vector<std::int64_t>> indexes;
    indexes.reserve(ids.size());
    for (auto id : ids) indexes.push_back({0, 0, id});
    return indexes;
}

}  // namespace

SuppressTokensFilter::SuppressTokensFilter(std::vector<std::int64_t> suppressTokens)
    : suppressTokens(std::move(suppressTokens)),
      suppressTokenIndexes(indexesOf(this->suppressTokens)) {
    if (std::any_of(this->suppressTokens.begin(), this->suppressTokens.end(),
                    [](std::int64_t id) { return id < 0; }))
        Logging::debug(
            "SuppressTokensFilter: ignoring negative ids in suppressTokens; the -1 sentinel "
            "(suppress default non-speech tokens) is not supported");
}

std::shared_ptr<platform::ml::MLMultiArray> SuppressTokensFilter::filterLogits(
    std::shared_ptr<platform::ml::MLMultiArray> logits, const std::vector<std::int64_t>&) const {
    vortil::fill(*logits, suppressTokenIndexes, platform::ml::Float16::negativeInfinity());
    return logits;
}

}  // namespace auralith
