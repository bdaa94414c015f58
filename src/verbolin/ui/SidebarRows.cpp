#include "verbolin/ui/SidebarRows.hpp"

#include <QCoreApplication>
#include <QRawFont>
#include <QStringList>
#include <utility>

namespace verbolin {

RowCut::RowCut(const QFont& font)
    : font_(font), metrics_(font), glyphs_(QRawFont::fromFont(font)) {}

void RowCut::set(const QFont& font, int width) {
    if (font == font_ && width == width_) return;
    if (font != font_) {
        font_ = font;
        metrics_ = QFontMetrics(font);
        glyphs_ = QRawFont::fromFont(font);
        ++fontGeneration_;
    }
    width_ = width;
    ++generation_;
}

bool RowCut::plain(const QString& text) const {
    int breaks = 0;
    for (auto it = text.cbegin(); it != text.cend(); ++it) {
        char32_t c = it->unicode();
        if (c == '\n') {
            ++breaks;
            continue;
        }
        if (it->isHighSurrogate() && std::next(it) != text.cend() &&
            std::next(it)->isLowSurrogate()) {
            c = QChar::surrogateToUcs4(*it, *std::next(it));
            ++it;
        }
        // Controls and line or paragraph separators break or pad lines of
        // their own; any glyph of another font may be taller.
        if (c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029) return false;
        if (!glyphs_.supportsCharacter(c)) return false;
    }
    return breaks == 1;
}

SessionRow::SessionRow(std::shared_ptr<const RowCut> cut, const QString& id)
    : cut_(std::move(cut)) {
    QListWidgetItem::setData(kIdRole, id);
}

void SessionRow::setTexts(const QString& full, bool current) {
    current_ = current;
    shownAt_ = plainAt_ = 0;
    QListWidgetItem::setData(kFullTextRole, full);
}

QVariant SessionRow::data(int role) const {
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != kPlainRole)
        return QListWidgetItem::data(role);
    const QString full = QListWidgetItem::data(kFullTextRole).toString();
    if (role == Qt::ToolTipRole) {
        if (!current_) return full;
        return QString(full + "\n" +
                       QCoreApplication::translate("verbolin::SidebarWidget", "Current session"));
    }
    if (role == Qt::DisplayRole) return cutText(full);
    if (cut_->width() < 0) return false;
    if (plainAt_ != cut_->fontGeneration()) {
        plain_ = cut_->plain(full);
        plainAt_ = cut_->fontGeneration();
    }
    return plain_;
}

QString SessionRow::cutText(const QString& full) const {
    if (cut_->width() < 0) return full;
    if (shownAt_ != cut_->generation()) {
        QStringList lines = full.split('\n');
        for (QString& line : lines)
            line = cut_->metrics().elidedText(line, Qt::ElideRight, cut_->width());
        shown_ = lines.join('\n');
        shownAt_ = cut_->generation();
    }
    return shown_;
}

SidebarRowDelegate::SidebarRowDelegate(std::shared_ptr<const RowCut> cut, QObject* parent)
    : QStyledItemDelegate(parent), cut_(std::move(cut)) {}

QSize SidebarRowDelegate::sizeHint(const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
    if (!index.data(SessionRow::kPlainRole).toBool())
        return QStyledItemDelegate::sizeHint(option, index);
    // Every plain row is as high as this one; its width, as any cut row's,
    // stays within the column, so the list is no wider for it.
    if (!plainSize_ || plainAt_ != cut_->generation() || plainFont_ != option.font) {
        plainSize_ = QStyledItemDelegate::sizeHint(option, index);
        plainAt_ = cut_->generation();
        plainFont_ = option.font;
    }
    return *plainSize_;
}

}  // namespace verbolin
