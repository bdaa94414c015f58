#pragma once
// What a rendered paragraph showed: its id and its text. Equal keys, font
// size and editability show the same text.

#include <QString>
#include <string>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"

namespace verbolin {

struct ParagraphKey {
    platform::Uuid id;
    std::string text;

    static ParagraphKey of(const Block& block) { return {block.id, block.text()}; }
    // Same as `*this == of(block)`, without building the text.
    bool matches(const Block& block) const;
    // "<UUID>|<text>"
    QString string() const;
    friend bool operator==(const ParagraphKey&, const ParagraphKey&) = default;
};

}  // namespace verbolin
