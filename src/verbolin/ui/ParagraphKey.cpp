#include "verbolin/ui/ParagraphKey.hpp"

#include <string_view>

namespace verbolin {

bool ParagraphKey::matches(const Block& block) const {
    if (id != block.id) return false;
    std::string_view rest = text;
    for (size_t i = 0; i < block.segments.size(); ++i) {
        if (i) {
            if (rest.empty() || rest.front() != ' ') return false;
            rest.remove_prefix(1);
        }
        const std::string& t = block.segments[i].text;
        if (rest.substr(0, t.size()) != t) return false;
        rest.remove_prefix(t.size());
    }
    return rest.empty();
}

QString ParagraphKey::string() const {
    return QString::fromStdString(id.string()) + QLatin1Char('|') + QString::fromStdString(text);
}

}  // namespace verbolin
