#pragma once
// The timeline's text with its attributes, kept apart from Qt's document so
// that paragraph ids and separators can be read back reliably: Qt turns every
// "\n" into a block boundary whose formats cannot be queried like a
// character's. Positions are UTF-16 units, one for one with QTextDocument.

#include <QString>
#include <optional>
#include <vector>

#include "verbolin/ui/ColorRole.hpp"

namespace verbolin {

// Which part of a paragraph too long to show whole a character belongs to:
// the start that is shown, a break opportunity put into it, or the line
// saying so (see LongParagraph). `wrapWhole` is a break opportunity put into
// a long stretch without one of a paragraph shown whole, which stays the
// user's to change. Break opportunities are never the paragraph's text.
enum class CutPart : unsigned char { none, start, wrap, notice, wrapWhole };

inline bool isBreakMark(CutPart part) {
    return part == CutPart::wrap || part == CutPart::wrapWhole;
}

struct ParagraphStyle {
    double lineSpacing = 0;
    double spacingBefore = 0;
    friend bool operator==(const ParagraphStyle&, const ParagraphStyle&) = default;
};

struct TextAttributes {
    std::optional<QString> blockId;  // the paragraph's UUID text
    bool separator = false;          // the "\n" in front of a paragraph
    // On a separator: the id of the paragraph it opens, so that a paragraph
    // left without characters is still known, as the empty line after it.
    std::optional<QString> opens;
    CutPart cut = CutPart::none;     // shown in part: never the user's to change
    std::optional<double> fontSize;  // body font of this size
    // On a separator, the style of the paragraph it opens: what an empty
    // paragraph's line is laid out with.
    std::optional<ParagraphStyle> paragraph;
    std::optional<ColorRole> color;

    // How many attributes are present (a false flag is absent).
    int count() const;
    friend bool operator==(const TextAttributes&, const TextAttributes&) = default;
};

struct AttributedRun {
    int start = 0;
    int length = 0;
    TextAttributes attributes;
    int end() const { return start + length; }
    friend bool operator==(const AttributedRun&, const AttributedRun&) = default;
};

class AttributedText {
  public:
    AttributedText() = default;
    AttributedText(const QString& text, const TextAttributes& attributes);

    const QString& string() const { return text_; }
    int length() const { return int(text_.size()); }
    bool empty() const { return text_.isEmpty(); }

    void append(const QString& text, const TextAttributes& attributes);
    void append(const AttributedText& other);
    // Replaces [pos, pos + len) (clamped to the text) with `with`.
    void replace(int pos, int len, const AttributedText& with);
    AttributedText mid(int pos, int len) const;

    // The attributes of the character at `index`; null outside the text.
    const TextAttributes* attributesAt(int index) const;
    // Runs of equal attributes that overlap [pos, pos + len), cut to it.
    std::vector<AttributedRun> runs(int pos, int len) const;
    std::vector<AttributedRun> runs() const { return runs(0, length()); }
    // Calls f(start, length, attributes) for every run, without copying.
    template <class F>
    void forEachRun(F&& f) const {
        for (const Run& r : runs_) f(r.start, r.length, r.attributes);
    }
    // Sets the paragraph id and body font size on [pos, pos + len).
    void assignBlock(int pos, int len, const QString& blockId, double fontSize);

    friend bool operator==(const AttributedText& a, const AttributedText& b) {
        return a.text_ == b.text_ && a.runs() == b.runs();
    }

  private:
    struct Run {
        int length;
        TextAttributes attributes;
        int start = 0;  // kept up to date so that lookups can bisect
    };
    // Index of the run holding `pos` and the start of that run.
    std::pair<size_t, int> locate(int pos) const;
    // Splits so that a run boundary lies at `pos`; returns the index of the
    // run that starts there (runs_.size() at the end).
    size_t splitAt(int pos);
    void coalesce();
    void renumber(size_t from);

    QString text_;
    std::vector<Run> runs_;
};

}  // namespace verbolin
