// A compiled model folder from a pack: model.json and weights.safetensors,
// given as one input cut at fuzzing::kSeparator. The folder's name picks the
// kind the loader expects, as a pack's three folders do.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/ModelFactory.hpp"
#include "platform/ml/ModelFolder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzzing::splitInput(data, size, 2);
    const std::string folder = "Model.mlmodelc";
    fuzzing::writeScratchFile(folder + "/model.json", parts[0]);
    fuzzing::writeScratchFile(folder + "/weights.safetensors", parts[1]);
    try {
        const auto model = platform::ml::ModelFolder::read(fuzzing::scratchFolder() / folder);
        model.checkAgainstLayout();
    } catch (const platform::ml::MLModelError&) {
    }
    try {
        platform::ml::ModelFactory::load(fuzzing::scratchFolder() / folder);
    } catch (const platform::ml::MLModelError&) {
    }
    return 0;
}
