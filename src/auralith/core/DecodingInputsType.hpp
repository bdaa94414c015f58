#pragma once
// What the decoding loop and language detection need of a decoder state: the
// prompt, the token fed to the next step, the number of cache positions
// filled, and a reset before the state is decoded again. The one
// implementation is DecodingInputs; code that needs the caches and masks casts
// to it.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/ml/MLMultiArray.hpp"

namespace auralith {

class DecodingInputsType {
  public:
    virtual ~DecodingInputsType() = default;

    virtual const std::vector<std::int64_t>& initialPrompt() const = 0;
    virtual void setInitialPrompt(std::vector<std::int64_t> prompt) = 0;
    virtual const std::shared_ptr<platform::ml::MLMultiArray>& inputIds() const = 0;
    virtual void setInputIds(std::shared_ptr<platform::ml::MLMultiArray> array) = 0;
    virtual const std::shared_ptr<platform::ml::MLMultiArray>& cacheLength() const = 0;
    virtual void setCacheLength(std::shared_ptr<platform::ml::MLMultiArray> array) = 0;

    virtual void reset(std::int64_t maxTokenContext) = 0;

  protected:
    DecodingInputsType() = default;
    DecodingInputsType(const DecodingInputsType&) = default;
    DecodingInputsType& operator=(const DecodingInputsType&) = default;
};

}  // namespace auralith
