#pragma once
// The seam between listening and the recogniser. The transcription engine
// makes one recogniser per model load, prepares it, and shares it (by
// shared_ptr) with every listening session it starts.

#include <optional>
#include <span>
#include <string>

namespace verbolin {

class SpeechEngine {
  public:
    virtual ~SpeechEngine() = default;
    SpeechEngine(const SpeechEngine&) = delete;
    SpeechEngine& operator=(const SpeechEngine&) = delete;

    // A short name of the recogniser, for diagnostics.
    virtual std::string name() const = 0;

    // Blocking. Makes the recogniser ready; called once, right after creation.
    // Throws when the model cannot be loaded; the recogniser is then discarded.
    virtual void prepare() = 0;

    // Blocking. `samples` is one utterance or preview, 16 kHz mono float, at
    // most 28 s. `context` is the previous final text when it is recent. The
    // result may be empty and is neither trimmed nor filtered. Throws on
    // failure; what() is shown to the user after "Decode failed: ".
    //
    // Called from worker threads. One session never overlaps its own calls,
    // but two sessions can (a stopped one flushing its last utterance while a
    // new one starts), so implementations must accept concurrent calls.
    virtual std::string transcribe(std::span<const float> samples,
                                   const std::optional<std::string>& context) = 0;

  protected:
    SpeechEngine() = default;
};

}  // namespace verbolin
