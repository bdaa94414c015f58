#include "verbolin/ui/LongParagraph.hpp"

#include <QLocale>
#include <algorithm>

namespace verbolin::LongParagraph {

namespace {

char32_t codePointAt(const QString& text, int i) {
    const QChar c = text[i];
    if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
        return QChar::surrogateToUcs4(c, text[i + 1]);
    return c.unicode();
}

// Whether a cut in front of `i` would part the character there from the
// one before it.
bool joinsPrevious(const QString& text, int i) {
    if (text[i].isLowSurrogate() || text[i - 1].unicode() == 0x200D) return true;  // ZWJ
    const char32_t c = codePointAt(text, i);
    if (c == 0x200D || (c >= 0x1F3FB && c <= 0x1F3FF)) return true;  // skin tones
    switch (QChar::category(c)) {
        case QChar::Mark_NonSpacing:
        case QChar::Mark_SpacingCombining:
        case QChar::Mark_Enclosing:
            return true;
        default:
            return false;
    }
}

// A run of combining marks has no place that keeps its characters
// together; shaping it whole costs the square of its length (a letter and
// 50,000 accents held the window for seconds a key). After this many units
// more it is broken where it is, as a cut would be.
constexpr int kMarkRunSlack = 32;

}  // namespace

int cutAt(const QString& text) {
    if (!tooLong(text)) return int(text.size());
    int at = std::min(kShown, int(text.size()));
    // A long run of marks has no better place: it is cut where it is.
    for (int back = 0; back < 32 && at > 1 && joinsPrevious(text, at); ++back) --at;
    if (text[at].isLowSurrogate()) --at;
    return at;
}

AttributedText shown(const QString& text, TextAttributes first) {
    TextAttributes part = first;
    part.cut = CutPart::start;
    AttributedText out = withBreaks(text.left(cutAt(text)), part, CutPart::wrap);
    out.append(noticeLine(text, first));
    return out;
}

bool hasLongStretch(const QString& text) {
    int unbroken = 0;
    for (const QChar c : text)
        if ((unbroken = c.isSpace() ? 0 : unbroken + 1) > kUnbrokenRun) return true;
    return false;
}

bool hasBreaks(const QString& text) { return text.size() > kPartFrom || hasLongStretch(text); }

namespace {

bool endsSentence(QChar c) { return QStringView(u".!?\u2026\u3002\uFF01\uFF1F").contains(c); }

}  // namespace

AttributedText withBreaks(const QString& start, TextAttributes part, CutPart mark) {
    AttributedText out;
    const bool parted = start.size() > kPartFrom;
    int from = 0, unbroken = 0, inPart = 0;
    const auto flush = [&](int to) {
        out.append(start.mid(from, to - from), part);
        from = to;
    };
    // Puts `c`, a mark, after start[i]; a line break ends a part.
    const auto markAfter = [&](int i, QChar c) {
        flush(i + 1);
        TextAttributes marked = part;
        marked.cut = mark;
        out.append(QString(c), marked);
        unbroken = 0;
        if (c != QLatin1Char('\n')) return;
        inPart = 0;
        if (part.paragraph) part.paragraph->spacingBefore = 0;
    };
    for (int i = 0; i < start.size(); ++i) {
        ++inPart;
        const QChar c = start[i];
        // Where a part may end after this character, and whether it ends here.
        const bool endsPart = parted && inPart >= kPart && i + 1 < start.size() &&
                              !start[i + 1].isSpace() && !joinsPrevious(start, i + 1);
        if (c == QLatin1Char('\n')) {
            unbroken = 0, inPart = 0;
            if (part.paragraph && part.paragraph->spacingBefore) {
                flush(i + 1);
                part.paragraph->spacingBefore = 0;
            }
        } else if (c.isSpace()) {
            unbroken = 0;
            if (endsPart && (inPart >= kPart + kPartSlack || (i > 0 && endsSentence(start[i - 1]))))
                markAfter(i, QLatin1Char('\n'));
        } else if (endsPart && c.unicode() >= 0x3000 && endsSentence(c)) {
            markAfter(i, QLatin1Char('\n'));  // a full stop of a script without spaces
        } else if (++unbroken >= kUnbrokenRun && i + 1 < start.size() &&
                   (!joinsPrevious(start, i + 1) ||
                    (unbroken >= kUnbrokenRun + kMarkRunSlack && !start[i + 1].isLowSurrogate()))) {
            markAfter(i, endsPart ? QChar(QLatin1Char('\n')) : QChar(0x200B));
        }
    }
    flush(int(start.size()));
    return out;
}

QString notice(qsizetype characters) {
    return QString::fromUtf8(kNotice).arg(QLocale().toString(qlonglong(characters)));
}

AttributedText noticeLine(const QString& text, TextAttributes first) {
    qsizetype characters = 0;
    for (const QChar c : text) characters += c.isLowSurrogate() ? 0 : 1;
    first.cut = CutPart::notice;
    first.color = ColorRole::secondaryLabel;
    if (first.paragraph) first.paragraph->spacingBefore = 0;
    return AttributedText(QLatin1Char('\n') + notice(characters), first);
}

bool touchesCut(const AttributedText& text, int pos, int len) {
    // A paragraph shown whole may hold break opportunities: it is not cut.
    const auto cut = [](const TextAttributes& a) {
        return a.cut != CutPart::none && a.cut != CutPart::wrapWhole;
    };
    if (len > 0) {
        for (const AttributedRun& r : text.runs(pos, len))
            if (cut(r.attributes)) return true;
        return false;
    }
    // As blockIdAt reads it: the paragraph at the caret, else the one it ends.
    const TextAttributes* a = text.attributesAt(pos);
    if ((!a || !a->blockId) && pos >= 1) a = text.attributesAt(std::min(pos, text.length()) - 1);
    return a && cut(*a);
}

bool isCut(const AttributedText& text, const ParagraphRange& range) {
    return range.length > 0 && touchesCut(text, range.location, range.length);
}

ParagraphKey keyOf(std::span<const ParagraphKey> shown, const platform::Uuid& id) {
    const auto it =
        std::find_if(shown.begin(), shown.end(), [&](const ParagraphKey& k) { return k.id == id; });
    return it == shown.end() ? ParagraphKey{id, {}} : *it;
}

}  // namespace verbolin::LongParagraph
