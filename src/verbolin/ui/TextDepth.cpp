#include "verbolin/ui/TextDepth.hpp"

#include <QFontMetricsF>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <QTextOption>
#include <algorithm>
#include <cmath>
#include <utility>

#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/UiFonts.hpp"

namespace verbolin {

namespace {

// Characters after which QTextCursor::insertText starts a new block.
bool startsBlock(QChar c) {
    const char16_t u = c.unicode();
    return u == u'\n' || u == u'\r' || u == 0x2029 || u == 0xFDD0 || u == 0xFDD1;
}

// The code point at `i` of `text`, moving `i` past it.
char32_t nextCodePoint(QStringView text, qsizetype& i) {
    const QChar c = text[i++];
    if (c.isHighSurrogate() && i < text.size() && text[i].isLowSurrogate())
        return QChar::surrogateToUcs4(c, text[i++]);
    return c.unicode();
}

// Whether `c` is set the same wherever it stands: a character of a script
// whose letters take no shape from their neighbours, or a fullwidth form.
bool setAlike(char32_t c) {
    if (c < 0x2E80 || c > 0xFFFF || (c >= 0xD800 && c < 0xF900)) return false;
    switch (QChar::category(c)) {
        case QChar::Letter_Other:
        case QChar::Letter_Uppercase:
        case QChar::Letter_Lowercase:
        case QChar::Letter_Modifier:
        case QChar::Number_DecimalDigit:
        case QChar::Number_Letter:
        case QChar::Number_Other:
        case QChar::Punctuation_Open:
        case QChar::Punctuation_Close:
        case QChar::Punctuation_Other:
        case QChar::Punctuation_Dash:
        case QChar::Punctuation_Connector:
        case QChar::Symbol_Other:
        case QChar::Symbol_Math:
        case QChar::Symbol_Currency:
            break;
        default:
            return false;
    }
    if (c >= 0xFF01 && c <= 0xFFEE) return true;  // full- and halfwidth forms
    switch (QChar::script(c)) {
        case QChar::Script_Han:
        case QChar::Script_Hiragana:
        case QChar::Script_Katakana:
        case QChar::Script_Hangul:
        case QChar::Script_Bopomofo:
        case QChar::Script_Yi:
            return true;
        case QChar::Script_Common:
            return c >= 0x3000 && c <= 0x33FF;  // CJK punctuation and symbols
        default:
            return false;
    }
}

// `a` as deep as the deeper of both.
CharExtent deeper(CharExtent a, const CharExtent& b) {
    a.ascent = std::max(a.ascent, b.ascent);
    a.descent = std::max(a.descent, b.descent);
    a.leading = std::max(a.leading, b.leading);
    return a;
}

}  // namespace

CharExtents::CharExtents(QFont font) : font_(std::move(font)) {
    const QFontMetricsF m(font_);
    plain_ = {0, m.ascent(), m.descent(), std::max(0.0, m.leading())};
}

CharExtents& CharExtents::body(double pixelSize) {
    static thread_local std::unordered_map<int, std::unique_ptr<CharExtents>> tables;
    // The body font takes whole pixel sizes.
    const QFont font = UiFonts::body(pixelSize);
    std::unique_ptr<CharExtents>& table = tables[font.pixelSize()];
    if (!table) table = std::make_unique<CharExtents>(font);
    return *table;
}

const CharExtent& CharExtents::of(char32_t c) {
    if (c < latin_.size()) {
        std::optional<CharExtent>& e = latin_[c];
        if (!e) e = measure(c);
        return *e;
    }
    if (const auto it = others_.find(c); it != others_.end()) return it->second;
    return others_.emplace(c, measure(c)).first->second;
}

void CharExtents::prepare(QStringView text) {
    std::vector<char16_t> unknown;
    for (const QChar c : text)
        if (c.unicode() >= 0x2E80 && setAlike(c.unicode()) && !others_.contains(c.unicode()))
            unknown.push_back(c.unicode());
    std::sort(unknown.begin(), unknown.end());
    unknown.erase(std::unique(unknown.begin(), unknown.end()), unknown.end());
    // A few dozen a layout: finding a place in a line costs what the line
    // holds before it.
    constexpr size_t kTogether = 64;
    for (size_t i = 0; i < unknown.size(); i += kTogether)
        measureTogether(std::span(unknown).subspan(i, std::min(kTogether, unknown.size() - i)));
}

void CharExtents::measureTogether(std::span<const char16_t> chars) {
    // Each followed by a space or a no-break space, in turn: its own
    // advance, and what either takes after it in the font Qt draws it in.
    // Each glyph shaped once: Qt loads a glyph's advance anew each time.
    QString s;
    for (size_t i = 0; i < chars.size(); ++i)
        s.append(QChar(chars[i])).append(i % 2 ? QChar(0xA0) : QChar(u' '));
    QTextLayout layout(s, font_);
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    if (!line.isValid()) {
        for (const char16_t c : chars) others_.emplace(c, measure(c));
        return;
    }
    // The deepest of them sets the depth of each, and the widest space
    // after any of them the space after each: no less than its own.
    const CharExtent deep = deeper(plain_, {0, line.ascent(), line.descent(), line.leading()});
    const auto x = [&](int at) { return line.cursorToX(at); };
    double space = 0;
    for (int at = 1; at < s.size(); at += 2) space = std::max(space, x(at + 1) - x(at));
    for (size_t i = 0; i < chars.size(); ++i) {
        const int at = int(i) * 2;
        CharExtent e = deep;
        e.advance = std::max(x(at + 1) - x(at), 0.0);
        e.spaceAfter = space;
        others_.emplace(chars[i], e);
    }
}

CharExtent CharExtents::measure(char32_t c) const {
    const QString s =
        QChar::requiresSurrogates(c) ? QString::fromUcs4(&c, 1) : QString(QChar(char16_t(c)));
    const QFontMetricsF m(font_);
    CharExtent e = plain_;
    e.advance = m.horizontalAdvance(s);
    // A mark can take room beside a letter that it does not alone (a box,
    // where the letter's font lacks it); a space after a character another
    // font draws is taken from that font.
    if (c >= 0x80) {
        const QString after = QStringLiteral("a") + s;
        e.advance = std::max(e.advance, m.horizontalAdvance(after) - m.horizontalAdvance(u'a'));
        const double alone = m.horizontalAdvance(s);
        for (const char16_t space : {u' ', char16_t(0xA0)})
            e.spaceAfter = std::max(e.spaceAfter, m.horizontalAdvance(s + QChar(space)) - alone);
    }
    // A tab reaches the next tab stop, a whole stop away at most; a soft
    // hyphen shows as a hyphen where the line breaks.
    if (c == u'\t') e.advance = std::max(e.advance, QTextOption().tabStopDistance());
    if (c == 0x00AD) e.advance = std::max(e.advance, m.horizontalAdvance(u'-'));
    e.advance = std::max(e.advance, 0.0);
    // The font Qt draws it in, a fallback where the body font lacks it, sets
    // the depth of its line.
    QTextLayout layout(s, font_);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    if (line.isValid()) e = deeper(e, {0, line.ascent(), line.descent(), line.leading()});
    return e;
}

// The line being filled: how many there are so far and how much of the last
// is taken, the spaces at its end included.
struct TextDepth::Line {
    int count = 1;
    double taken = 0;
    double spaceAfter = 0;  // what a space takes after the last other character
};

double TextDepth::advance(char32_t c, Line& line) const {
    const CharExtent& e = extents_.of(c);
    if (c == u' ' || c == 0xA0) return std::max(e.advance, line.spaceAfter);
    line.spaceAfter = e.spaceAfter;
    return e.advance;
}

TextDepth::TextDepth(double fontSize, double width, double spacing, double lineSpacing)
    : fontSize_(fontSize),
      width_(width),
      spacing_(spacing),
      lineSpacing_(lineSpacing),
      extents_(CharExtents::body(fontSize)) {}

double TextDepth::depth(QStringView text) const {
    extents_.prepare(text);
    CharExtent deepest = extents_.plain();
    for (qsizetype i = 0; i < text.size();)
        deepest = deeper(deepest, extents_.of(nextCodePoint(text, i)));
    // Qt rounds the line's height up to whole pixels before adding the spacing.
    const double line =
        std::ceil(deepest.ascent + deepest.descent + deepest.leading) + lineSpacing_;
    double total = 0;
    qsizetype from = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !startsBlock(text[i])) continue;
        total += spacing_ + line * lines(text.mid(from, i - from));
        from = i + 1;
    }
    return total;
}

int TextDepth::lines(QStringView block) const {
    Line line;
    if (block.isEmpty()) return line.count;
    QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, block);
    qsizetype from = 0;
    for (qsizetype at = breaks.toNextBoundary(); at > from; at = breaks.toNextBoundary()) {
        add(block.mid(from, at - from), line);
        // A line separator inside the block.
        if (at < block.size() && (breaks.boundaryReasons() & QTextBoundaryFinder::MandatoryBreak))
            ++line.count, line.taken = 0;
        from = at;
    }
    if (from < block.size()) add(block.mid(from), line);
    return line.count;
}

void TextDepth::add(QStringView word, Line& line) const {
    // Spaces after a word may hang past the column's end.
    qsizetype content = word.size();
    while (content > 0 && word[content - 1].isSpace()) --content;
    double wide = 0, spaces = 0;
    const double spaceBefore = line.spaceAfter;
    for (qsizetype i = 0; i < word.size();) {
        double& part = i < content ? wide : spaces;
        part += advance(nextCodePoint(word, i), line);
    }
    if (line.taken + wide <= width_) {
        line.taken += wide + spaces;
        return;
    }
    if (line.taken > 0) {
        ++line.count, line.taken = 0;
        if (wide <= width_) {
            line.taken = wide + spaces;
            return;
        }
    }
    const double spaceAfter = std::exchange(line.spaceAfter, spaceBefore);
    addAnywhere(word.first(content), line);
    line.taken += spaces;
    line.spaceAfter = spaceAfter;
}

void TextDepth::addAnywhere(QStringView word, Line& line) const {
    // A word wider than the column breaks between characters, as many on a
    // line as fit, one at least.
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, word);
    qsizetype from = 0;
    for (qsizetype at = characters.toNextBoundary(); at > from; at = characters.toNextBoundary()) {
        double wide = 0;
        for (qsizetype i = from; i < at;) wide += advance(nextCodePoint(word, i), line);
        if (line.taken > 0 && line.taken + wide > width_) ++line.count, line.taken = 0;
        line.taken += wide;
        from = at;
    }
}

double TextDepth::paragraph(const Block& block) {
    const auto it = remembered_.find(block.id);
    if (it != remembered_.end() && it->second.fromStore &&
        it->second.segments.sharesSegmentsWith(block.segments))
        return counted(it->second);
    // As the timeline shows it: a long one in part, with its break marks.
    QString shown = TimelineRenderer::body(QString::fromStdString(block.text()), {}).string();
    if (it != remembered_.end() && it->second.shown == shown) {
        it->second.segments = block.segments;
        it->second.fromStore = true;
        return counted(it->second);
    }
    const double d = depth(shown);
    return remember(block.id, {block.segments, true, std::move(shown), d});
}

double TextDepth::paragraph(const platform::Uuid& id, QStringView shown) {
    if (const auto it = remembered_.find(id); it != remembered_.end() && it->second.shown == shown)
        return counted(it->second);
    return remember(id, {{}, false, shown.toString(), depth(shown)});
}

double TextDepth::counted(Remembered& entry) const {
    if (!entry.depth) entry.depth = depth(entry.shown);
    return *entry.depth;
}

double TextDepth::remember(const platform::Uuid& id, Remembered entry) {
    if (remembered_.size() >= kRemembered && !remembered_.contains(id)) remembered_.clear();
    const double d = entry.depth.value_or(0);
    remembered_.insert_or_assign(id, std::move(entry));
    return d;
}

void TextDepth::rememberShownFrom(TextDepth&& other) {
    remembered_ = std::move(other.remembered_);
    for (auto& [id, entry] : remembered_) entry.depth.reset();
}

}  // namespace verbolin
