#include "verbolin/ui/TimelineRenderer.hpp"

#include <cmath>

#include "platform/system/Date.hpp"
#include "verbolin/ui/CopiedText.hpp"
#include "verbolin/ui/LongParagraph.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"

namespace verbolin::TimelineRenderer {

TextAttributes bodyAttributes(double fontSize, const platform::Uuid& blockId,
                              double spacingBefore) {
    TextAttributes a;
    a.fontSize = fontSize;
    a.color = ColorRole::label;
    a.paragraph = ParagraphStyle{fontSize * kLineSpacingFactor, spacingBefore};
    a.blockId = QString::fromStdString(blockId.string());
    return a;
}

TextAttributes separatorAttributes(double fontSize, const platform::Uuid& opens,
                                   double spacingBefore) {
    TextAttributes a;
    a.fontSize = fontSize;
    a.separator = true;
    a.opens = QString::fromStdString(opens.string());
    a.paragraph = ParagraphStyle{fontSize * kLineSpacingFactor, spacingBefore};
    return a;
}

AttributedText render(std::span<const Block> blocks, const Block* previous, double fontSize,
                      const std::unordered_set<platform::Uuid>& sectionStarts) {
    AttributedText out;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const Block& block = blocks[i];
        const Block* p = i == 0 ? previous : &blocks[i - 1];
        double spacing = 0;
        if (p) {
            double gap =
                platform::secondsBetween(p->segments.back().end, block.segments.front().start);
            double factor = gap >= kLongGap || sectionStarts.contains(block.id) ? kSectionFactor
                                                                                : kParagraphFactor;
            spacing = fontSize * factor;
            out.append(QStringLiteral("\n"), separatorAttributes(fontSize, block.id, spacing));
        }
        const QString text = QString::fromStdString(block.text());
        out.append(body(text, bodyAttributes(fontSize, block.id, spacing)));
    }
    return out;
}

AttributedText body(const QString& text, TextAttributes first) {
    if (LongParagraph::tooLong(text)) return LongParagraph::shown(text, first);
    // Shown whole, a long stretch without a space still needs somewhere to
    // wrap, and a long paragraph is laid out in parts.
    if (LongParagraph::hasBreaks(text))
        return LongParagraph::withBreaks(text, first, CutPart::wrapWhole);
    return lines(text, first);
}

AttributedText lines(const QString& text, TextAttributes first) {
    const qsizetype lf = text.indexOf(QLatin1Char('\n'));
    if (lf < 0) return AttributedText(text, first);
    AttributedText out(text.left(lf + 1), first);
    if (first.paragraph) first.paragraph->spacingBefore = 0;
    out.append(text.mid(lf + 1), first);
    return out;
}

std::optional<AttributedText> resized(const AttributedText& text, double from, double to) {
    // Each value as rendering computes it, so that equal texts stay equal.
    const auto spacing = [&](double before) -> std::optional<double> {
        if (before == 0) return 0.0;
        for (const double factor : {kParagraphFactor, kSectionFactor})
            if (before == from * factor) return to * factor;
        return std::nullopt;
    };
    AttributedText out;
    bool known = true;
    text.forEachRun([&](int start, int length, TextAttributes a) {
        if (a.fontSize) {
            known = known && *a.fontSize == from;
            a.fontSize = to;
        }
        if (a.paragraph) {
            const std::optional<double> before = spacing(a.paragraph->spacingBefore);
            known = known && before && a.paragraph->lineSpacing == from * kLineSpacingFactor;
            a.paragraph = ParagraphStyle{to * kLineSpacingFactor, before.value_or(0)};
        }
        out.append(text.string().mid(start, length), a);
    });
    if (!known) return std::nullopt;
    return out;
}

std::string gapText(double seconds) {
    const long long minutes = static_cast<long long>(std::trunc(seconds / 60.0));
    if (minutes <= 59) return std::to_string(minutes) + " min later";
    const long long hours = minutes / 60, rest = minutes % 60;
    if (rest == 0) return std::to_string(hours) + " h later";
    return std::to_string(hours) + " h " + std::to_string(rest) + " min later";
}

QString plainText(const AttributedText& text, int pos, int len) {
    CopiedText collected;
    for (const AttributedRun& r : text.runs(pos, len)) {
        if (r.attributes.cut == CutPart::notice || isBreakMark(r.attributes.cut)) continue;
        if (r.attributes.separator)
            collected.separator();
        else
            collected.add(QStringView(text.string()).mid(r.start, r.length));
    }
    return collected.take();
}

}  // namespace verbolin::TimelineRenderer
