#pragma once
// Builds the recogniser a model load asks for. The transcription engine calls
// this for every load unless it was given another factory (tests give a fake).

#include <functional>
#include <memory>

#include "verbolin/listening/EngineChoice.hpp"
#include "verbolin/listening/SpeechEngine.hpp"

namespace verbolin {

using SpeechEngineFactory = std::function<std::shared_ptr<SpeechEngine>(const EngineChoice&)>;

// The recogniser for the choice; never null. Creating it cannot fail: a pack
// that cannot be used shows up when the recogniser is prepared.
std::shared_ptr<SpeechEngine> makeSpeechEngine(const EngineChoice& choice);

}  // namespace verbolin
