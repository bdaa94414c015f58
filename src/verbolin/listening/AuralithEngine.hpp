#pragma once
// The application's recogniser: the on-device pipeline over one model pack,
// with decoding fixed for English dictation. The previous final text is fed
// to the decoder as a prompt, and segments that look unreliable (repetitive,
// improbable, or probably silence) are dropped before the rest are joined
// into one line.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "auralith/Auralith.hpp"
#include "auralith/core/AuralithConfig.hpp"
#include "auralith/core/DecodingOptions.hpp"
#include "auralith/core/TranscriptionSegment.hpp"
#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/listening/ModelPack.hpp"
#include "verbolin/listening/SpeechEngine.hpp"

namespace verbolin {

class AuralithEngine final : public SpeechEngine {
  public:
    // Builds and loads a pipeline; the default is auralith::Auralith::create.
    using PipelineFactory =
        std::function<std::shared_ptr<auralith::Auralith>(const auralith::AuralithConfig&)>;

    // How many user-perceived characters of the previous text make the prompt.
    static constexpr std::size_t kContextCharacters = 200;

    explicit AuralithEngine(ModelPack pack, PipelineFactory makePipeline = {},
                            std::shared_ptr<DebugRecorder> recorder = DebugRecorder::shared());

    std::string name() const override { return "auralith:" + pack_.id; }

    // Builds a pipeline over the pack's folder (prewarmed, then loaded, no
    // download). Its errors pass through unchanged; a failure keeps the
    // pipeline of an earlier successful call.
    void prepare() override;

    // "" before a successful prepare(). Otherwise the kept segments' trimmed
    // texts, joined by single spaces. Pipeline errors pass through unchanged.
    std::string transcribe(std::span<const float> samples,
                           const std::optional<std::string>& context) override;

    const ModelPack& pack() const { return pack_; }
    const auralith::DecodingOptions& options() const { return options_; }

    // The configuration prepare() builds.
    auralith::AuralithConfig configuration() const;

    // The three screens, each on the 32-bit value; NaN fails.
    static bool keeps(const auralith::TranscriptionSegment& segment);
    // " " followed by the last kContextCharacters grapheme clusters of `context`.
    static std::string promptText(std::string_view context);
    // "cr=... logprob=... nospeech=... text=...".
    static std::string droppedDetail(const auralith::TranscriptionSegment& segment);

  private:
    const ModelPack pack_;
    const PipelineFactory makePipeline_;
    const std::shared_ptr<DebugRecorder> recorder_;
    const auralith::DecodingOptions options_;
    // The pipeline runs one transcription at a time (its stages and progress
    // are unguarded), but two listening sessions may overlap briefly.
    mutable std::mutex pipelineMutex_;
    std::shared_ptr<auralith::Auralith> pipeline_;
    std::mutex runMutex_;
};

}  // namespace verbolin
