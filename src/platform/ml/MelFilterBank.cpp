#include "platform/ml/MelFilterBank.hpp"

#include <algorithm>
#include <cmath>

namespace platform::ml {

namespace {
constexpr double kLinearHzPerMel = 200.0 / 3.0;
constexpr double kBreakHz = 1000.0;
constexpr double kBreakMel = kBreakHz / kLinearHzPerMel;
const double kLogStep = std::log(6.4) / 27.0;
}  // namespace

double MelFilterBank::hzToMel(double hz) {
    if (hz < kBreakHz) return hz / kLinearHzPerMel;
    return kBreakMel + std::log(hz / kBreakHz) / kLogStep;
}

double MelFilterBank::melToHz(double mel) {
    if (mel < kBreakMel) return mel * kLinearHzPerMel;
    return kBreakHz * std::exp(kLogStep * (mel - kBreakMel));
}

std::vector<float> MelFilterBank::make(int sampleRate, int nFft, int nMels) {
    const int bins = nFft / 2 + 1;
    std::vector<double> fftFreqs(bins);
    for (int b = 0; b < bins; ++b) fftFreqs[b] = static_cast<double>(b) * sampleRate / nFft;

    // nMels + 2 points evenly spaced in mel between 0 Hz and Nyquist.
    const double melMax = hzToMel(sampleRate / 2.0);
    std::vector<double> edges(nMels + 2);
    for (int i = 0; i < nMels + 2; ++i) edges[i] = melToHz(melMax * i / (nMels + 1));

    std::vector<float> weights(static_cast<std::size_t>(nMels) * bins);
    for (int m = 0; m < nMels; ++m) {
        const double lo = edges[m], mid = edges[m + 1], hi = edges[m + 2];
        const double norm = 2.0 / (hi - lo);
        for (int b = 0; b < bins; ++b) {
            const double rising = (fftFreqs[b] - lo) / (mid - lo);
            const double falling = (hi - fftFreqs[b]) / (hi - mid);
            weights[static_cast<std::size_t>(m) * bins + b] =
                static_cast<float>(std::max(0.0, std::min(rising, falling)) * norm);
        }
    }
    return weights;
}

}  // namespace platform::ml
