#include "verbolin/listening/SpeechEngineFactory.hpp"

#include "platform/system/AppError.hpp"

namespace verbolin {
namespace {

// Stands in for the on-device pipeline until this build carries it: it
// refuses to prepare, so the model load ends in the failed state with a
// message that says why, and no listening starts.
class UnavailableSpeechEngine final : public SpeechEngine {
  public:
    explicit UnavailableSpeechEngine(ModelPack pack) : pack_(std::move(pack)) {}

    std::string name() const override { return "unavailable:" + pack_.id; }

    void prepare() override {
        throw platform::AppError("AuralithEngine", 1,
                                 "Speech recognition is not available in this build.");
    }

    std::string transcribe(std::span<const float>, const std::optional<std::string>&) override {
        return "";
    }

  private:
    ModelPack pack_;
};

}  // namespace

std::shared_ptr<SpeechEngine> makeSpeechEngine(const EngineChoice& choice) {
    const auto& auralith = std::get<EngineChoice::Auralith>(choice.value());
    return std::make_shared<UnavailableSpeechEngine>(auralith.pack);
}

}  // namespace verbolin
