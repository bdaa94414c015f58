#pragma once
// The base of voice-activity detectors: finds the stretches of an audio array
// that hold speech, so that long audio can be cut at silences before it is
// transcribed. A configuration may supply one for voice-activity chunking
// (AuralithConfig::voiceActivityDetector).

namespace auralith {

class VoiceActivityDetector {
  public:
    virtual ~VoiceActivityDetector() = 0;

  protected:
    VoiceActivityDetector() = default;
    VoiceActivityDetector(const VoiceActivityDetector&) = default;
    VoiceActivityDetector& operator=(const VoiceActivityDetector&) = default;
};

inline VoiceActivityDetector::~VoiceActivityDetector() = default;

}  // namespace auralith
