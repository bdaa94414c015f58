#include "verbolin/listening/SpeechEngineFactory.hpp"

#include "verbolin/listening/AuralithEngine.hpp"

namespace verbolin {

std::shared_ptr<SpeechEngine> makeSpeechEngine(const EngineChoice& choice) {
    const auto& auralith = std::get<EngineChoice::Auralith>(choice.value());
    return std::make_shared<AuralithEngine>(auralith.pack);
}

}  // namespace verbolin
