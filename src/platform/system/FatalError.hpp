#pragma once
// The one way library code stops the program on a broken precondition (a
// programming error, never bad input): logs "Fatal error: <message>" as a
// fault entry and aborts, so a crash report always carries the reason.

#include <string_view>

namespace platform {

[[noreturn]] void fatalError(std::string_view message);

}  // namespace platform
