#include "verbolin/ui/TimelineDocument.hpp"

#include <QTextBlock>
#include <QTextCursor>
#include <deque>

#include "verbolin/ui/UiFonts.hpp"

namespace verbolin::TimelineDocument {

namespace {

// Paragraph ids stay out of Qt's formats: nothing reads them there, and one
// format per paragraph would swell the document's format table. The few
// distinct looks are made once per write.
//
// A break opportunity put into a long stretch gets a format of its own: Qt
// shapes each run of one format apart, and a zero-width space alone does not
// part the run, so that a stretch of combining marks was shaped whole, at a
// cost that grows with the square of its length.
constexpr int kBreakMarkProperty = QTextFormat::UserProperty + 1;

class CharFormats {
  public:
    explicit CharFormats(const QPalette& palette) : palette_(palette) {}
    const QTextCharFormat& operator()(const TextAttributes& a) {
        const bool mark = isBreakMark(a.cut);
        for (const auto& [key, format] : made_)
            if (key.fontSize == a.fontSize && key.color == a.color && isBreakMark(key.cut) == mark)
                return format;
        QTextCharFormat f;
        if (a.fontSize) f.setFont(UiFonts::body(*a.fontSize));
        if (a.color) f.setForeground(colorFor(*a.color, palette_));
        if (mark) f.setProperty(kBreakMarkProperty, true);
        TextAttributes key;
        key.fontSize = a.fontSize;
        key.color = a.color;
        key.cut = a.cut;
        return made_.emplace_back(key, f).second;
    }

  private:
    const QPalette& palette_;
    std::deque<std::pair<TextAttributes, QTextCharFormat>> made_;
};

// The look of the block that starts at `position`.
QTextBlockFormat blockFormatAt(const AttributedText& text, int position) {
    QTextBlockFormat f;
    const TextAttributes* a = text.attributesAt(position);
    std::optional<ParagraphStyle> style = a ? a->paragraph : std::nullopt;
    // An empty block: a paragraph without text, right after the separator
    // that opens it and carries its style, or an empty line inside a
    // paragraph, which has no space above.
    const TextAttributes* before = text.attributesAt(position - 1);
    if (!a || a->separator) {
        if (before && before->separator)
            style = before->paragraph;
        else if (const TextAttributes* line = before ? before : a; line && line->paragraph)
            style = ParagraphStyle{line->paragraph->lineSpacing, 0};
    } else if (style && before) {
        // A line with text: the space above is the paragraph's on its first
        // line, which the separator in front carries, and none on a line
        // after a break of its own. The characters' own say may be out of
        // date: a Return typed into a line leaves the rest of it with the
        // first line's look.
        style->spacingBefore =
            before->separator && before->paragraph ? before->paragraph->spacingBefore : 0;
    }
    if (style) {
        f.setTopMargin(style->spacingBefore);
        f.setLineHeight(style->lineSpacing, QTextBlockFormat::LineDistanceHeight);
    }
    return f;
}

// Whether the document's characters in [start, end) all have format `want`.
// A block's break is no fragment of it: its format is the next block's own,
// which typing into that block, while empty, takes.
bool formatted(const QTextDocument& doc, int start, int end, const QTextCharFormat& want) {
    for (QTextBlock b = doc.findBlock(start); b.isValid() && b.position() < end; b = b.next()) {
        if (b.position() + b.length() - 1 < end && b.next().isValid() &&
            b.next().charFormat() != want)
            return false;
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            if (f.position() < end && f.position() + f.length() > start && f.charFormat() != want)
                return false;
        }
    }
    return true;
}

}  // namespace

void applyBlockFormats(QTextDocument& doc, const AttributedText& text, int start, int end) {
    for (QTextBlock b = doc.findBlock(start); b.isValid() && b.position() <= end; b = b.next()) {
        // A cursor placed by position finds its line's x, which shapes the
        // paragraph's text: only one with a format to change is made.
        if (QTextBlockFormat want = blockFormatAt(text, b.position()); b.blockFormat() != want)
            QTextCursor(b).setBlockFormat(want);
    }
}

void applyCharFormats(QTextDocument& doc, const AttributedText& text, int start, int end,
                      const QPalette& palette) {
    CharFormats formats(palette);
    for (const AttributedRun& r : text.runs(start, end - start)) {
        const QTextCharFormat& want = formats(r.attributes);
        if (formatted(doc, r.start, r.end(), want)) continue;
        QTextCursor c(&doc);
        c.setPosition(r.start);
        c.setPosition(r.end(), QTextCursor::KeepAnchor);
        c.setCharFormat(want);
    }
}

void write(QTextDocument& doc, const AttributedText& text, int start, int removed, int inserted,
           const QPalette& palette) {
    QTextCursor c(&doc);
    c.beginEditBlock();
    c.setPosition(start);
    if (removed > 0) {
        c.setPosition(start + removed, QTextCursor::KeepAnchor);
        c.removeSelectedText();
    }
    // Inside the same edit block: a format change after it would make Qt
    // relayout only the changed range and leave its lazy layout unfinished.
    if (QTextBlockFormat want = blockFormatAt(text, c.block().position()); c.blockFormat() != want)
        c.setBlockFormat(want);
    const QString& s = text.string();
    CharFormats formats(palette);
    for (const AttributedRun& r : text.runs(start, inserted)) {
        const QTextCharFormat& f = formats(r.attributes);
        int from = r.start;
        for (int i = r.start; i < r.end(); ++i) {
            if (s[i] != QLatin1Char('\n')) continue;
            if (i > from) c.insertText(s.mid(from, i - from), f);
            c.insertBlock(blockFormatAt(text, i + 1), f);
            from = i + 1;
        }
        if (r.end() > from) c.insertText(s.mid(from, r.end() - from), f);
    }
    c.endEditBlock();
}

void restyle(QTextDocument& doc, const AttributedText& text, int start, int end,
             const QPalette& palette) {
    QTextCursor c(&doc);
    // One edit: Qt lays the stretch out once, at its end.
    c.beginEditBlock();
    CharFormats formats(palette);
    const QTextCharFormat* format = nullptr;
    int from = start;
    const auto flush = [&](int to) {
        if (format && to > from) {
            c.setPosition(from);
            c.setPosition(to, QTextCursor::KeepAnchor);
            c.setCharFormat(*format);
        }
        from = to;
    };
    for (const AttributedRun& r : text.runs(start, end - start)) {
        const QTextCharFormat* f = &formats(r.attributes);
        if (f != format) flush(r.start), format = f;
    }
    flush(end);
    applyBlockFormats(doc, text, start, end);
    c.endEditBlock();
}

void writeAll(QTextDocument& doc, const AttributedText& text, const QPalette& palette) {
    // Not QTextDocument::clear(): that would also drop the root frame's margins.
    write(doc, text, 0, doc.characterCount() - 1, text.length(), palette);
}

QString characters(const QTextDocument& doc, int pos, int len) {
    QTextCursor c(const_cast<QTextDocument*>(&doc));
    c.setPosition(pos);
    c.setPosition(pos + len, QTextCursor::KeepAnchor);
    QString s = c.selectedText();
    // A block break is a stored line break; U+2028 inside a block is a
    // character of the user's text, kept as it came.
    s.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return s;
}

}  // namespace verbolin::TimelineDocument
