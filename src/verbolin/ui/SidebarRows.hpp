#pragma once
// The sidebar's session rows, cut to the column's width when they are read
// rather than when they are written: after years of dictation the column
// lists thousands of sessions, of which a screenful is ever drawn. Their
// heights are found once for all rows set in the list's own font alone,
// since Qt would otherwise lay out every row's text to place any of them.

#include <QFont>
#include <QFontMetrics>
#include <QListWidgetItem>
#include <QRawFont>
#include <QStyledItemDelegate>
#include <cstdint>
#include <memory>
#include <optional>

namespace verbolin {

// The width rows are cut to and the font they are measured in, shared by
// every row; each change of either is a new generation.
class RowCut {
  public:
    explicit RowCut(const QFont& font);

    void set(const QFont& font, int width);
    // -1 until the column has a width of its own: nothing is cut till then.
    int width() const { return width_; }
    const QFontMetrics& metrics() const { return metrics_; }
    std::uint64_t generation() const { return generation_; }
    // Changes with the font alone, which is all plain() depends on.
    std::uint64_t fontGeneration() const { return fontGeneration_; }
    // Whether `text` is two lines drawn in the font's own glyphs alone, so
    // that its row is as high as any other such row.
    bool plain(const QString& text) const;

  private:
    QFont font_;
    QFontMetrics metrics_;
    // The font's own glyphs, without the fallbacks Qt would draw others in.
    QRawFont glyphs_;
    int width_ = -1;
    std::uint64_t generation_ = 1;
    std::uint64_t fontGeneration_ = 1;
};

// A session's row: its text whole (first line, a line break, second line),
// shown cut with an ellipsis to the shared width.
class SessionRow : public QListWidgetItem {
  public:
    static constexpr int kIdRole = Qt::UserRole;            // the entry's id
    static constexpr int kFullTextRole = Qt::UserRole + 1;  // the text before cutting
    static constexpr int kPlainRole = Qt::UserRole + 2;     // as RowCut::plain

    SessionRow(std::shared_ptr<const RowCut> cut, const QString& id);

    // The view hears of one change, whatever changed.
    void setTexts(const QString& full, bool current);
    QVariant data(int role) const override;

  private:
    QString cutText(const QString& full) const;

    std::shared_ptr<const RowCut> cut_;
    bool current_ = false;
    // The text as last cut, and the generation it was cut at (0: none).
    mutable QString shown_;
    mutable std::uint64_t shownAt_ = 0;
    mutable bool plain_ = false;
    mutable std::uint64_t plainAt_ = 0;
};

// Sizes plain rows from one of them; any other row as Qt would.
class SidebarRowDelegate : public QStyledItemDelegate {
  public:
    SidebarRowDelegate(std::shared_ptr<const RowCut> cut, QObject* parent);
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  private:
    std::shared_ptr<const RowCut> cut_;
    mutable std::optional<QSize> plainSize_;
    mutable QFont plainFont_;
    mutable std::uint64_t plainAt_ = 0;
};

}  // namespace verbolin
