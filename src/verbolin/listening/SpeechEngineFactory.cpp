#include "verbolin/listening/SpeechEngineFactory.hpp"

#include "verbolin/listening/AuralithEngine.hpp"

namespace verbolin {

std::shared_ptr<SpeechEngine> makeSpeechEngine(const EngineChoice& choice) {
    return std::make_shared<AuralithEngine>(choice.pack());
}

}  // namespace verbolin
