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
#include <memory>

#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/KeyShortcuts.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/SidebarRows.hpp"

namespace verbolin {

namespace {
constexpr int kRowRole = SessionRow::kIdRole;  // the entry's id, empty for "All"
}  // namespace

SidebarWidget::SidebarWidget(TranscriptStore& store, std::string& scope, Pasteboard& pasteboard,
                             QWidget* parent)
    : QWidget(parent),
      store_(store),
      scope_(scope),
      pasteboard_(pasteboard),
      model_(store, scope),
      list_(new QListWidget(this)),
      cut_(std::make_shared<RowCut>(list_->font())),
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
    list_->setItemDelegate(new SidebarRowDelegate(cut_, list_));
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
        const QString id = item->data(kRowRole).toString();
        scope_ = id.isEmpty() ? std::string(SidebarModel::kAllScope) : id.toStdString();
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
    if (!all_) {
        all_ = new QListWidgetItem(QIcon::fromTheme("document-open-recent"), tr("All"), list_);
        all_->setData(kRowRole, QString());
    }
    const std::uint64_t stamp = ++reloads_;
    // Titled with one calendar and formatter for the whole reload.
    dayTitles_.reset();
    titleDays();
    const auto& summaries = store_.sessionSummaries();
    const auto& entries = summaries.entries();
    const auto changed = seenRevision_ ? summaries.changedSince(*seenRevision_) : std::nullopt;
    std::vector<std::string> gone;
    if (changed) {
        // Only what changed since the last reload, and the kept entry.
        for (const auto& id : *changed)
            if (const auto at = summaries.indexOf(id))
                showEntry(entries[*at].item, entries[*at].revision, entries[*at].day);
            else
                gone.push_back(id);
        if (keptId_ && !summaries.indexOf(*keptId_)) gone.push_back(*keptId_);
    } else {
        for (const auto& entry : entries) showEntry(entry.item, entry.revision, entry.day);
        for (const auto& [id, shown] : shown_)
            if (shown.seen != stamp) gone.push_back(id);
    }
    seenRevision_ = summaries.latestRevision();
    keptId_.reset();
    if (auto kept = model_.keptItem()) {
        keptId_ = kept->id;
        showEntry(*kept, 0, model_.keptDay(*kept));
    }
    for (const auto& id : gone)
        if (id != keptId_ && shown_.count(id)) {
            unplace(id);
            shown_.erase(id);
        }
    selectScope();
    empty_->setVisible(shown_.empty());
    placeEmptyOverlay();
    reloading_ = false;
}

void SidebarWidget::showEntry(const SessionItem& item, std::uint64_t revision, platform::Date day) {
    auto [it, added] = shown_.try_emplace(item.id);
    Shown& shown = it->second;
    shown.seen = reloads_;
    if (!added && revision != 0 && shown.revision == revision) return;
    // A new start or day moves the row; anything else is written in place.
    if (!added && (shown.day != day || shown.item.start != item.start)) unplace(item.id);
    shown.item = item;
    shown.revision = revision;
    shown.day = day;
    if (!shown.entry) place(item.id);
    write(item.id);
}

void SidebarWidget::place(const std::string& id) {
    Shown& shown = shown_.at(id);
    auto [day, added] = days_.try_emplace(shown.day);
    // The row just above the next older day's heading, or the last.
    const auto rowAfterDay = [&] {
        const auto older = std::next(day);
        return older == days_.end() ? list_->count() : list_->row(older->second.heading);
    };
    if (added) {
        const int at = rowAfterDay();
        if (!dayTitles_) dayTitles_.emplace(store_.calendar());
        auto* heading = new QListWidgetItem(QString::fromStdString((*dayTitles_)(shown.day)));
        heading->setFlags(Qt::NoItemFlags);  // not selectable
        auto font = heading->font();
        font.setBold(true);
        heading->setFont(font);
        list_->insertItem(at, heading);
        day->second.heading = heading;
    }
    // Newest first; of equal starts, in the transcript's order, the kept
    // entry last.
    const auto& summaries = store_.sessionSummaries();
    const auto rank = [&](const std::string& entryId) {
        return summaries.indexOf(entryId).value_or(SIZE_MAX);
    };
    const auto before = [&](const std::string& a, const std::string& b) {
        const auto& x = shown_.at(a).item;
        const auto& y = shown_.at(b).item;
        return x.start > y.start || (x.start == y.start && rank(a) < rank(b));
    };
    auto& ids = day->second.ids;
    const auto at = std::find_if(ids.begin(), ids.end(),
                                 [&](const std::string& other) { return before(id, other); });
    const int row = at == ids.end() ? rowAfterDay() : list_->row(shown_.at(*at).entry);
    ids.insert(at, id);
    shown.entry = new SessionRow(cut_, QString::fromStdString(id));
    list_->insertItem(row, shown.entry);
}

void SidebarWidget::unplace(const std::string& id) {
    Shown& shown = shown_.at(id);
    if (!shown.entry) return;
    const std::unique_ptr<QListWidgetItem> entry(list_->takeItem(list_->row(shown.entry)));
    shown.entry = nullptr;
    const auto day = days_.find(shown.day);
    if (day == days_.end()) return;
    std::erase(day->second.ids, id);
    if (!day->second.ids.empty()) return;
    const std::unique_ptr<QListWidgetItem> heading(
        list_->takeItem(list_->row(day->second.heading)));
    days_.erase(day);
}

void SidebarWidget::write(const std::string& id) {
    const Shown& shown = shown_.at(id);
    const auto row = model_.row(shown.item);
    const QString text = QString::fromStdString(row.firstLine + (row.isCurrent ? "  ●" : "") +
                                                "\n" + row.secondLine);
    // Cut when read, at the width the column has then.
    shown.entry->setTexts(text, row.isCurrent);
    ++rowsWritten_;
}

void SidebarWidget::titleDays() {
    const auto today = store_.calendar().startOfDay(store_.calendar().now());
    if (titledOn_ == today) return;
    titledOn_ = today;
    if (!dayTitles_) dayTitles_.emplace(store_.calendar());
    for (const auto& [day, rows] : days_)
        rows.heading->setText(QString::fromStdString((*dayTitles_)(day)));
}

void SidebarWidget::selectScope() {
    QListWidgetItem* chosen = nullptr;
    if (scope_ == SidebarModel::kAllScope)
        chosen = all_;
    else if (const auto it = shown_.find(scope_); it != shown_.end())
        chosen = it->second.entry;
    if (list_->currentItem() != chosen) list_->setCurrentItem(chosen);
}

bool SidebarWidget::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::Resize) {
        // Until it is shown the list has no width of its own: rows are cut
        // once it first takes one.
        cut_->set(list_->font(), elisionWidth());
        placeEmptyOverlay();
    }
    return QWidget::eventFilter(watched, event);
}

int SidebarWidget::elisionWidth() const {
    // The item's own margins, as the style draws them, and a little air.
    const int margin = 2 * (list_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1) + 4;
    return std::max(0, list_->viewport()->width() - margin);
}

void SidebarWidget::placeEmptyOverlay() {
    if (!shown_.empty()) return;  // hidden
    QRect free = list_->viewport()->rect();
    // Only "All" is listed; its place is known once the list is laid out.
    list_->doItemsLayout();
    if (list_->count() > 0) free.setTop(list_->visualItemRect(list_->item(0)).bottom() + 1);
    empty_->setGeometry(free);
}

void SidebarWidget::showContextMenu(const QPoint& pos) {
    auto* entry = list_->itemAt(pos);
    if (!entry || !(entry->flags() & Qt::ItemIsEnabled)) return;
    const auto shown = shown_.find(entry->data(kRowRole).toString().toStdString());
    if (shown == shown_.end()) return;  // "All"
    const auto item = shown->second.item;
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
