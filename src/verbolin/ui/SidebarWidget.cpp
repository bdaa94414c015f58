#include "verbolin/ui/SidebarWidget.hpp"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/KeyShortcuts.hpp"
#include "verbolin/ui/Pasteboard.hpp"

namespace verbolin {

namespace {
constexpr int kRowRole = Qt::UserRole;  // index into rows_, or -1 for "All"
}

SidebarWidget::SidebarWidget(TranscriptStore& store, std::string& scope, Pasteboard& pasteboard,
                             QWidget* parent)
    : QWidget(parent),
      store_(store),
      scope_(scope),
      pasteboard_(pasteboard),
      model_(store, scope),
      list_(new QListWidget(this)),
      empty_(new QLabel(tr("Nothing yet"), list_)),
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
            auto* entry = new QListWidgetItem(
                QString::fromStdString(row.firstLine + (row.isCurrent ? "  ●" : "") + "\n" +
                                       row.secondLine),
                list_);
            if (row.isCurrent) entry->setToolTip(tr("Current session"));
            entry->setData(kRowRole, int(rows_.size()));
            rows_.push_back(item);
            if (scope_ == item.id) list_->setCurrentItem(entry);
        }
    }
    empty_->setVisible(rows_.empty());
    empty_->resize(list_->size());
    reloading_ = false;
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
