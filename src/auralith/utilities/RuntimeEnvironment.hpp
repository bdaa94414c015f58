#pragma once
// Facts about the machine the pipeline runs on that callers may branch on.

namespace auralith {

// Builds for a device simulator cannot run the speech models; no Linux build
// is one. The pipeline class answers its own isRunningOnSimulator() with this.
constexpr bool isRunningOnSimulator() { return false; }

}  // namespace auralith
