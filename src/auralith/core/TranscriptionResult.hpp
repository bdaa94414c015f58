#pragma once
// The overall result of a transcription, shared between the pipeline's
// workers and callbacks (hold it by shared_ptr). Each of the five properties
// sits behind its own lock; there is no lock over the whole object, so a
// reader may see text and segments from different moments.
//
// The operations are virtual so that callers may subclass the result.

#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/TranscriptionSegment.hpp"
#include "auralith/core/TranscriptionTimings.hpp"
#include "auralith/core/WordTiming.hpp"
#include "vortilcore/core/PropertyLock.hpp"

namespace auralith {

class TranscriptionResult {
  public:
    TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments,
                        std::string language, TranscriptionTimings timings,
                        std::optional<float> seekTime = std::nullopt);

    // Decoding: all five keys are required; a null "seekTime" is absent.
    explicit TranscriptionResult(const nlohmann::json& in);
    explicit TranscriptionResult(const nlohmann::ordered_json& in);

    TranscriptionResult(const TranscriptionResult&) = delete;
    TranscriptionResult& operator=(const TranscriptionResult&) = delete;
    virtual ~TranscriptionResult() = default;

    virtual std::string text() const;
    virtual void setText(std::string value);
    virtual void modifyText(const std::function<void(std::string&)>& change);

    virtual std::vector<TranscriptionSegment> segments() const;
    virtual void setSegments(std::vector<TranscriptionSegment> value);
    virtual void modifySegments(
        const std::function<void(std::vector<TranscriptionSegment>&)>& change);

    virtual std::string language() const;
    virtual void setLanguage(std::string value);
    virtual void modifyLanguage(const std::function<void(std::string&)>& change);

    virtual TranscriptionTimings timings() const;
    virtual void setTimings(TranscriptionTimings value);
    virtual void modifyTimings(const std::function<void(TranscriptionTimings&)>& change);

    virtual std::optional<float> seekTime() const;
    virtual void setSeekTime(std::optional<float> value);
    virtual void modifySeekTime(const std::function<void(std::optional<float>&)>& change);

    // The words of every segment that has them, in segment order.
    std::vector<WordTiming> allWords() const;

    // One debug line per segment: "[Segment i] [start --> end] text", i counted
    // from 0 by position.
    virtual void logSegments() const;
    // The timings report, as one info-level message.
    virtual void logTimings() const;
    // The report logTimings() writes, without a trailing newline.
    std::string timingsReport() const;

    // Keys "text", "segments", "language", "timings", "seekTime" in that order,
    // each the bare value; an absent seekTime is written as null.
    virtual void encode(nlohmann::ordered_json& out) const;

  private:
    vortil::PropertyLock<std::string> text_;
    vortil::PropertyLock<std::vector<TranscriptionSegment>> segments_;
    vortil::PropertyLock<std::string> language_;
    vortil::PropertyLock<TranscriptionTimings> timings_;
    vortil::PropertyLock<std::optional<float>> seekTime_;
};

void to_json(nlohmann::json& out, const TranscriptionResult& value);
void to_json(nlohmann::ordered_json& out, const TranscriptionResult& value);

}  // namespace auralith
