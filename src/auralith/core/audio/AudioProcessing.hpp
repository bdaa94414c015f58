#pragma once
// A stage of the recognition pipeline. Turns audio files and buffers into the 16 kHz
// mono windows the models read. The pipeline has its own implementation; a
// configuration may supply another one in its place (AuralithConfig::audioProcessor).

namespace auralith {

class AudioProcessing {
  public:
    virtual ~AudioProcessing() = 0;

  protected:
    AudioProcessing() = default;
    AudioProcessing(const AudioProcessing&) = default;
    AudioProcessing& operator=(const AudioProcessing&) = default;
};

inline AudioProcessing::~AudioProcessing() = default;

}  // namespace auralith
