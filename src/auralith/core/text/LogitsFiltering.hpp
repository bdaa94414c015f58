#pragma once
// A stage of the recognition pipeline. Edits one decoder step's logits before a token
// is sampled. The pipeline has its own implementation; a configuration may supply
// another one in its place (AuralithConfig::logitsFilters).

namespace auralith {

class LogitsFiltering {
  public:
    virtual ~LogitsFiltering() = 0;

  protected:
    LogitsFiltering() = default;
    LogitsFiltering(const LogitsFiltering&) = default;
    LogitsFiltering& operator=(const LogitsFiltering&) = default;
};

inline LogitsFiltering::~LogitsFiltering() = default;

}  // namespace auralith
