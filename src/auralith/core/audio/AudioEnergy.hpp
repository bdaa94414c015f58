#pragma once
// The energy of one captured buffer.

namespace auralith {

// Root-mean-square, largest and smallest absolute sample value.
struct AudioEnergyStats {
    float avg = 0;
    float max = 0;
    float min = 0;
};

struct AudioEnergy {
    float rel = 0;  // against the quietest recent buffer, 0 to 1
    float avg = 0;
    float max = 0;
    float min = 0;

    bool operator==(const AudioEnergy&) const = default;
};

}  // namespace auralith
