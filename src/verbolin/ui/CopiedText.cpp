#include "verbolin/ui/CopiedText.hpp"

namespace verbolin {

void CopiedText::add(QStringView piece) {
    if (piece.isEmpty()) return;
    // One blank line between paragraphs, however many empty ones stand
    // between them, and none after a paragraph that already ends in one.
    if (between_ && !text_.isEmpty() && !text_.endsWith(QStringLiteral("\n\n")))
        text_ += QStringLiteral("\n\n");
    between_ = false;
    text_ += piece;
}

}  // namespace verbolin
