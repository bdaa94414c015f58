#pragma once
// The process's limit of open files. Sessions start programs with a soft
// limit of 1024, or far fewer under some shells and services, below a hard
// limit many times that; a program that waits with poll() and never with
// select() loses nothing by taking the hard limit as its own, as many
// desktop programs do.

#include <cstdint>

namespace platform::OpenFileLimit {

// Raises the soft limit to the hard one, where the system lets it; returns
// the soft limit in effect afterwards.
std::uint64_t raiseToHard();

}  // namespace platform::OpenFileLimit
