#pragma once
// A stage of the recognition pipeline. Edits one decoder step's logits before a token
// is sampled: a filter forbids tokens by writing half-precision negative infinity
// into their scores, in place, and never raises a score. The pipeline has its own
// filters; a configuration may add more (AuralithConfig::logitsFilters), which run
// before the built-in ones.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/ml/MLMultiArray.hpp"

namespace auralith {

class LogitsFiltering {
  public:
    virtual ~LogitsFiltering() = 0;

    // `logits` is a float16 array of shape [1, 1, V]; token id t is element [0, 0, t].
    // `tokens` is the whole sequence of the window so far (prompt, then sampled tokens);
    // its count is the position of the token about to be chosen. Returns the array it
    // was given. Filters hold only constants, so one instance may serve any number of
    // concurrent calls on different arrays.
    virtual std::shared_ptr<platform::ml::MLMultiArray> filterLogits(
        std::shared_ptr<platform::ml::MLMultiArray> logits,
        const std::vector<std::int64_t>& tokens) const = 0;

  protected:
    LogitsFiltering() = default;
    LogitsFiltering(const LogitsFiltering&) = default;
    LogitsFiltering& operator=(const LogitsFiltering&) = default;
};

inline LogitsFiltering::~LogitsFiltering() = default;

}  // namespace auralith
