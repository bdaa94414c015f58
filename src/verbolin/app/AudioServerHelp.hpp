#pragma once
// How to start an audio server, said wherever none was found: by
// `verbolin --listen` before it gives up, and in the window's status.

namespace verbolin::AudioServerHelp {

// The start of the audio library's message when it finds no server.
inline constexpr const char* kNoServer = "Cannot connect to the audio server";

inline constexpr const char* kHowToStart =
    "Start one with \"pulseaudio --start\", or on a PipeWire desktop with \"systemctl --user "
    "start pipewire-pulse\" (PULSE_SERVER names another server)";

}  // namespace verbolin::AudioServerHelp
