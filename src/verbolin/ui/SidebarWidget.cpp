#include "verbolin/ui/SidebarWidget.hpp"

#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/KeyShortcuts.hpp"
#include "verbolin/ui/Pasteboard.hpp"

namespace verbolin {

namespace {
constexpr int kRowRole = Qt::UserRole;           // index into rows_, or -1 for "All"
constexpr int kFullTextRole = Qt::UserRole + 1;  // the row's text before cutting
}  // namespace

SidebarWidget::SidebarWidget(TranscriptStore& store, std::string& scope, Pasteboard& pasteboard,
                             QWidget* parent)
    : QWidget(parent),
      store_(store),
      scope_(scope),
      pasteboard_(pasteboard),
      model_(store, scope),
      list_(new QListWidget(this)),
      empty_(new QLabel(tr("Nothing yet"), list_->viewport())),
      newSession_(new QPushButton(QIcon::fromTheme("list-add"), tr("New Session"), this)) {
    auto* column = new QVBoxLayout(this);
    column->setSpacing(0);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(list_, 1);
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    column->addWidget(divider);
    auto* buttonBox = new QVBoxLayout;
    buttonBox->setContentsMargins(10, 10, 10, 10);
    buttonBox->addWidget(newSession_);
    column->addLayout(buttonBox);

    empty_->setAlignment(Qt::AlignCenter);
    empty_->setEnabled(false);  // the tertiary style
    empty_->setAttribute(Qt::WA_TransparentForMouseEvents);
    // A long preview is cut, never scrolled to.
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setTextElideMode(Qt::ElideRight);
    list_->setWordWrap(false);
    list_->viewport()->installEventFilter(this);
    newSession_->setShortcut(KeyShortcuts::newSession());
    newSession_->setToolTip(
        tr("Start a new session: clears the view, keeps everything in history (%1)")
            .arg(KeyShortcuts::newSession().toString(QKeySequence::NativeText)));
    connect(newSession_, &QPushButton::clicked, this, [this] {
        if (onNewSession) onNewSession();
    });
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QListWidget::customContextMenuRequested, this, &SidebarWidget::showContextMenu);
    connect(list_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (reloading_ || !item) return;
        const int row = item->data(kRowRole).toInt();
        scope_ = row < 0 ? SidebarModel::kAllScope : rows_[size_t(row)].id;
        if (onScopeChanged) onScopeChanged();
    });
    const auto later = [this] {
        QMetaObject::invokeMethod(this, &SidebarWidget::reload, Qt::QueuedConnection);
    };
    segmentsToken_ = store_.segments.observe(later);
    sessionsToken_ = store_.sessions.observe(later);
    reload();
}

void SidebarWidget::reload() {
    reloading_ = true;
    list_->clear();
    rows_.clear();
    auto* all = new QListWidgetItem(QIcon::fromTheme("document-open-recent"), tr("All"), list_);
    all->setData(kRowRole, -1);
    if (scope_ == SidebarModel::kAllScope) list_->setCurrentItem(all);
    for (const auto& day : model_.sessionDays()) {
        auto* heading = new QListWidgetItem(
            QString::fromStdString(TranscriptStore::dayTitle(day.day, store_.calendar())), list_);
        heading->setFlags(Qt::NoItemFlags);  // not selectable
        auto font = heading->font();
        font.setBold(true);
        heading->setFont(font);
        for (const auto& item : day.items) {
            const auto row = model_.row(item);
            const QString text = QString::fromStdString(
                row.firstLine + (row.isCurrent ? "  ●" : "") + "\n" + row.secondLine);
            auto* entry = new QListWidgetItem(text, list_);
            entry->setData(kFullTextRole, text);
            entry->setToolTip(row.isCurrent ? text + "\n" + tr("Current session") : text);
            entry->setData(kRowRole, int(rows_.size()));
            rows_.push_back(item);
            if (scope_ == item.id) list_->setCurrentItem(entry);
        }
    }
    elideRows();
    empty_->setVisible(rows_.empty());
    placeEmptyOverlay();
    reloading_ = false;
}

bool SidebarWidget::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::Resize) {
        elideRows();
        placeEmptyOverlay();
    }
    return QWidget::eventFilter(watched, event);
}

void SidebarWidget::elideRows() {
    const QFontMetrics metrics = list_->fontMetrics();
    // The item's own margins, as the style draws them, and a little air.
    const int margin = 2 * (list_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1) + 4;
    const int width = std::max(0, list_->viewport()->width() - margin);
    for (int i = 0; i < list_->count(); ++i) {
        QListWidgetItem* item = list_->item(i);
        const QString full = item->data(kFullTextRole).toString();
        if (full.isEmpty()) continue;
        QStringList lines = full.split('\n');
        for (QString& line : lines) line = metrics.elidedText(line, Qt::ElideRight, width);
        item->setText(lines.join('\n'));
    }
}

void SidebarWidget::placeEmptyOverlay() {
    if (!rows_.empty()) return;  // hidden
    QRect free = list_->viewport()->rect();
    // Only "All" is listed; its place is known once the list is laid out.
    list_->doItemsLayout();
    if (list_->count() > 0) free.setTop(list_->visualItemRect(list_->item(0)).bottom() + 1);
    empty_->setGeometry(free);
}

void SidebarWidget::showContextMenu(const QPoint& pos) {
    auto* entry = list_->itemAt(pos);
    if (!entry || !(entry->flags() & Qt::ItemIsEnabled) || entry->data(kRowRole).toInt() < 0)
        return;
    const auto item = rows_[size_t(entry->data(kRowRole).toInt())];
    QMenu menu;
    for (const auto& title : model_.row(item).entries) {
        menu.addAction(QString::fromStdString(title), this, [this, item, title] {
            if (title == SidebarModel::kRename)
                rename(item);
            else if (title == SidebarModel::kMerge) {
                model_.merge(item);
                if (onScopeChanged) onScopeChanged();
            } else
                pasteboard_.clearAndSetString(QString::fromStdString(model_.copyText(item)));
        });
    }
    menu.exec(list_->viewport()->mapToGlobal(pos));
}

void SidebarWidget::rename(const SessionItem& item) {
    model_.beginRename(item);
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Rename Session"));
    auto* field = new QLineEdit(QString::fromStdString(model_.renameText), &dialog);
    field->setPlaceholderText(tr("Name"));
    auto* buttons = new QDialogButtonBox(&dialog);
    buttons->addButton(tr("Save"), QDialogButtonBox::AcceptRole);
    buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(field);
    layout->addWidget(buttons);
    if (dialog.exec() == QDialog::Accepted) {
        model_.renameText = field->text().toStdString();
        model_.saveRename();
    } else {
        model_.cancelRename();
    }
}

}  // namespace verbolin
