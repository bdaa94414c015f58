#pragma once
// The pipeline's entry to the model hub and to local model folders. The
// wrapper lives in the support library, below the tokenizer loader that
// takes it; the pipeline knows it under its own namespace.

#include "vortilcore/hub/HubApiWrapper.hpp"

namespace auralith {

using HubApiWrapper = vortil::HubApiWrapper;

}  // namespace auralith
