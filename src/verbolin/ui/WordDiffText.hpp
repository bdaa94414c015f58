#pragma once
// One line that shows how a paragraph's text changed, word by word: kept
// words in the secondary colour, removed ones red and struck through, added
// ones green. The diff is a longest-common-subsequence walk over words split
// at plain spaces only.

#include <QLabel>
#include <QString>
#include <QStringList>
#include <span>
#include <vector>

namespace verbolin {

class WordDiffText final : public QLabel {
    Q_OBJECT
  public:
    struct Op {
        enum class Kind { same, removed, added };
        Kind kind;
        QString word;
        friend bool operator==(const Op&, const Op&) = default;
    };

    WordDiffText(const QString& before, const QString& after, QWidget* parent = nullptr);

    // Splits at U+0020 and drops empty strings; tabs and line breaks stay inside words.
    static QStringList words(const QString& text);
    // Ties remove before they add; a kept word is written as in `a`. Words
    // compare exactly but canonically equivalent forms count as equal.
    // Costs (w + 1) * (v + 1) integers, w and v the words of each between
    // the common head and tail: a few words typed cost the same in any text.
    // Past kMaxTableCells (a long paragraph pasted over another) those
    // words are said as all removed, then all added, rather than have a
    // key ask for gigabytes.
    static constexpr size_t kMaxTableCells = size_t(1) << 25;
    static std::vector<Op> diff(const QStringList& a, const QStringList& b);
    // The styled line as rich text; every word, the last too, is followed by a space.
    static QString html(std::span<const Op> ops, const QPalette& palette);

    const QString& before() const { return before_; }
    const QString& after() const { return after_; }

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void refresh();
    const QString before_, after_;
};

}  // namespace verbolin
