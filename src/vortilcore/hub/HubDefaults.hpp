#pragma once
// Defaults of the model hub that the hub client and the speech pipeline share,
// so that an absent endpoint means the same server on both sides.

#include <string_view>

namespace vortil {

// The public model hub, used when neither the caller nor the environment
// names an endpoint.
inline constexpr std::string_view kDefaultHubEndpoint = "https://huggingface.co";

}  // namespace vortil
