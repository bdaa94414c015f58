#pragma once
// The mel filter bank of Whisper's front end: triangular filters on the Slaney
// mel scale (linear below 1 kHz, logarithmic above), each scaled to unit area
// (Slaney normalisation), spanning 0 Hz to half the sample rate.

#include <cstdint>
#include <vector>

namespace platform::ml {

class MelFilterBank {
  public:
    // Row-major [nMels][nFft / 2 + 1] weights.
    static std::vector<float> make(int sampleRate, int nFft, int nMels);

    static double hzToMel(double hz);
    static double melToHz(double mel);
};

}  // namespace platform::ml
