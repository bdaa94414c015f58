#pragma once
// A stage of the recognition pipeline. Turns mel-spectrogram features into the
// encoder's embeddings. The pipeline has its own implementation; a configuration may
// supply another one in its place (AuralithConfig::audioEncoder).

namespace auralith {

class AudioEncoding {
  public:
    virtual ~AudioEncoding() = 0;

  protected:
    AudioEncoding() = default;
    AudioEncoding(const AudioEncoding&) = default;
    AudioEncoding& operator=(const AudioEncoding&) = default;
};

inline AudioEncoding::~AudioEncoding() = default;

}  // namespace auralith
