#pragma once
// How deep text sets in the timeline's column at a size: lines wrapped where
// Qt wraps them, at its break opportunities and, where a word is wider than
// the column, between characters; each character as wide as it is set alone
// or after a letter, whichever is wider (a space as wide as the font of the
// character before it sets it); each line as deep as the deepest font its
// characters take. Kerning and ligatures only narrow what is set together,
// so the count comes out no shallower than Qt's layout of the same text, in
// any script, and what the window holds is bounded by the depth it really
// takes. Main thread only.

#include <QFont>
#include <QString>
#include <QStringView>
#include <array>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>

#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"

namespace verbolin {

// What one character takes set in a font: its advance and the depth of the
// font it is drawn in.
struct CharExtent {
    double advance = 0;
    double ascent = 0, descent = 0, leading = 0;
    double spaceAfter = 0;  // of a space that follows it, where that differs
};

// The extents of characters in one font, each measured once.
class CharExtents {
  public:
    explicit CharExtents(QFont font);
    // The table for the timeline's body font at `pixelSize`, kept for the
    // thread's life.
    static CharExtents& body(double pixelSize);

    const CharExtent& of(char32_t c);
    // Measures the characters of `text` not measured yet that take no shape
    // from their neighbours (ideographs, kana, hangul, fullwidth forms),
    // many in one layout: a page of Chinese holds thousands of them, and
    // one at a time they took seconds.
    void prepare(QStringView text);
    // The font's own line, which an empty block takes.
    const CharExtent& plain() const { return plain_; }
    const QFont& font() const { return font_; }

  private:
    CharExtent measure(char32_t c) const;
    void measureTogether(std::span<const char16_t> chars);

    QFont font_;
    CharExtent plain_;
    std::array<std::optional<CharExtent>, 256> latin_;
    std::unordered_map<char32_t, CharExtent> others_;
};

class TextDepth {
  public:
    // Text of the body font at `fontSize` pixels in a column `width` wide,
    // every block with `spacing` above it and `lineSpacing` added to each line.
    TextDepth(double fontSize, double width, double spacing, double lineSpacing);

    double fontSize() const { return fontSize_; }
    double width() const { return width_; }

    // The depth of `text`: each block (a line or paragraph break starts
    // one) its lines and the space above it.
    double depth(QStringView text) const;
    // The lines one block of `text` wraps into; none for text of many blocks.
    int lines(QStringView block) const;

    // The depth of a paragraph of the timeline as it shows it, remembered by
    // its id and text: an edit measures its own paragraph again, no other.
    double paragraph(const Block& block);
    // The same for text the view holds, `shown` being all of it.
    double paragraph(const platform::Uuid& id, QStringView shown);

    // Takes what `other` remembers of how paragraphs show, not their depths:
    // a new width counts each again, without rendering it again (finding
    // whether a long one is shown in part counts all of it).
    void rememberShownFrom(TextDepth&& other);

    // The most paragraphs remembered; past it the memory starts over.
    static constexpr size_t kRemembered = 4096;

  private:
    struct Line;
    double advance(char32_t c, Line& line) const;
    void add(QStringView word, Line& line) const;
    void addAnywhere(QStringView word, Line& line) const;
    struct Remembered {
        SegmentList segments;  // the paragraph's, while it comes from the store
        bool fromStore = false;
        QString shown;
        std::optional<double> depth;  // none: not counted in this column yet
    };
    // The entry's depth in this column, counted the first time it is asked.
    double counted(Remembered& entry) const;
    double remember(const platform::Uuid& id, Remembered entry);

    double fontSize_, width_, spacing_, lineSpacing_;
    CharExtents& extents_;
    std::unordered_map<platform::Uuid, Remembered> remembered_;
};

}  // namespace verbolin
