#pragma once
// The plain text that copying a session or a day puts on the clipboard:
// paragraphs split at the usual gap, segment texts joined with one space,
// paragraphs separated by one blank line.

#include <string>
#include <vector>

#include "verbolin/storage/Segment.hpp"

namespace verbolin {

std::string paragraphText(const std::vector<Segment>& segments);

}  // namespace verbolin
