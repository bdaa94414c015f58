#pragma once
// Puts plain text on the system clipboard, replacing whatever was there.

#include <string>

namespace verbolin {

void copyPlainText(const std::string& text);

}  // namespace verbolin
