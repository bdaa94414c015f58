#include "verbolin/ui/EditorWindow.hpp"

#include <QAction>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QSplitter>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <unordered_set>
#include <utility>

#include "platform/system/BackgroundRelease.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/ui/KeyShortcuts.hpp"
#include "verbolin/ui/LevelMeter.hpp"
#include "verbolin/ui/QtWindowHost.hpp"
#include "verbolin/ui/SidebarWidget.hpp"
#include "verbolin/ui/StatusBarWidget.hpp"
#include "verbolin/ui/SymbolIcon.hpp"
#include "verbolin/ui/TimelinePane.hpp"
#include "verbolin/ui/TimelineTextView.hpp"
#include "verbolin/ui/UiFonts.hpp"

namespace verbolin {
namespace {
constexpr int kCopiedMs = int(StatusBarModel::kCopiedSeconds * 1000);

// A button given the icon it already has would be laid out and painted
// again at every refresh, each new segment's included.
void setIconOf(QToolButton* button, const QIcon& icon) {
    if (button->icon().cacheKey() != icon.cacheKey()) button->setIcon(icon);
}
}  // namespace

EditorWindow::EditorWindow(AppModel& model, platform::MainExecutor& main, Pasteboard& pasteboard,
                           QWidget* parent)
    : QMainWindow(parent),
      model_(model),
      main_(main),
      editor_(model),
      host_(std::make_shared<QtWindowHost>(this)) {
    setWindowTitle(QStringLiteral("Verbolin"));
    setObjectName(QStringLiteral("editor"));
    setAttribute(Qt::WA_DeleteOnClose);
    // Set before the first show: changing it later makes a new native window,
    // and the states asked of the window manager would go with the old one.
    setWindowFlag(Qt::WindowStaysOnTopHint, editor_.alwaysOnTop());
    editor_.onAppear();

    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setChildrenCollapsible(false);
    sidebar_ = new SidebarWidget(model_.store(), editor_.scope, pasteboard, splitter_);
    sidebar_->setMinimumWidth(kSidebarWidth);
    sidebar_->setMaximumWidth(320);
    sidebar_->onNewSession = [this] { newSession(); };
    sidebar_->onScopeChanged = [this] { scheduleRefresh(); };
    sidebar_->model().kept = [this] { return editor_.keptItem(); };

    auto* detail = new QWidget(splitter_);
    auto* column = new QVBoxLayout(detail);
    column->setSpacing(0);
    column->setContentsMargins(0, 0, 0, 0);
    contentLayout_ = new QVBoxLayout;
    contentLayout_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(contentLayout_, 1);

    placeholder_ = new QWidget(detail);
    auto* empty = new QVBoxLayout(placeholder_);
    empty->setContentsMargins(40, 40, 40, 40);
    empty->setSpacing(10);
    empty->addStretch(1);
    placeholderIcon_ = new QLabel(placeholder_);
    placeholderIcon_->setPixmap(SymbolIcon::icon("waveform").pixmap(40, 40));
    placeholderIcon_->setAlignment(Qt::AlignCenter);
    placeholderText_ = new QLabel(placeholder_);
    placeholderText_->setFont(UiFonts::system(18));
    placeholderText_->setAlignment(Qt::AlignCenter);
    placeholderText_->setWordWrap(true);
    for (QLabel* label : {placeholderIcon_, placeholderText_}) {
        label->setEnabled(false);  // the tertiary style
        empty->addWidget(label);
    }
    empty->addStretch(1);
    contentLayout_->addWidget(placeholder_);

    auto* divider = new QFrame(detail);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setEnabled(false);
    column->addWidget(divider);
    status_ = new StatusBarWidget(model_.engine(), platform::Clock::system(), detail);
    status_->followSaving(model_.store());
    column->addWidget(status_);

    splitter_->addWidget(sidebar_);
    splitter_->addWidget(detail);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({230, kDefaultWidth - 230});
    splitter_->setMinimumSize(kMinimumWidth, kMinimumHeight);
    setCentralWidget(splitter_);
    buildToolbar();
    resize(kDefaultWidth, kDefaultHeight);

    const auto later = [this] { scheduleRefresh(); };
    auto& store = model_.store();
    auto& engine = model_.engine();
    // Each change of years of transcript passes arrays of megabytes (the
    // paragraphs' handles) from one to the next; the allocator keeps the
    // room of the last ones. It is handed back once the user pauses, not
    // between keys, where the next change would take it again at once.
    quiet_ = new QTimer(this);
    quiet_->setSingleShot(true);
    quiet_->setInterval(kQuietMs);
    connect(quiet_, &QTimer::timeout, this, [] { platform::returnFreeMemory(); });
    segmentsToken_ = store.segments.observe([this, later] {
        later();
        quiet_->start();
    });
    sessionsToken_ = store.sessions.observe(later);
    stateToken_ = engine.modelState.observe(later);
    recordingToken_ = engine.isRecording.observe(later);
    // The meter alone follows the level, many times a second.
    levelToken_ = store.level.observe([this] { meter_->setLevel(model_.store().level.peek()); });
    // Settings may be written from any thread: the refresh is queued to ours.
    settingsToken_ = model_.defaults().observeChanges([this](std::string_view) {
        QMetaObject::invokeMethod(
            this, [this] { scheduleRefresh(); }, Qt::QueuedConnection);
    });
    refresh();
}

EditorWindow::~EditorWindow() = default;

void EditorWindow::buildToolbar() {
    auto* bar = addToolBar(QStringLiteral("Toolbar"));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->toggleViewAction()->setVisible(false);
    bar->setIconSize(QSize(18, 18));

    listen_ = new QToolButton(bar);
    listen_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    listen_->setAutoRaise(true);
    connect(listen_, &QToolButton::clicked, this, [this] {
        editor_.toggleListening();
        refresh();
    });
    bar->addWidget(listen_);
    auto* meterBox = new QWidget(bar);
    auto* meterRow = new QHBoxLayout(meterBox);
    meterRow->setContentsMargins(6, 0, 6, 0);
    meter_ = new LevelMeter(meterBox);
    meter_->setFixedSize(80, 10);
    meterRow->addWidget(meter_);
    bar->addWidget(meterBox);

    auto* spacer = new QWidget(bar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);

    searchRest_ = new QTimer(this);
    searchRest_->setSingleShot(true);
    search_ = new QLineEdit(bar);
    search_->setPlaceholderText(QStringLiteral("Search"));
    search_->setClearButtonEnabled(true);
    search_->setMaximumWidth(220);
    connect(search_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (editor_.search == text.toStdString()) return;
        editor_.search = text.toStdString();
        // Another search is another view: the paragraph edited is let go.
        editor_.edits().release();
        // The rest of what it finds comes a moment after the letters stop.
        searchRest_->stop();
        scheduleRefresh();
    });
    searchAction_ = bar->addWidget(search_);

    connect(searchRest_, &QTimer::timeout, this, [this] {
        switch (editor_.searchFurther()) {
            case EditorModel::SearchStep::more:
                searchRest_->start(0);  // after what waits meanwhile, keys included
                break;
            case EditorModel::SearchStep::done:
                refresh();
                break;
            case EditorModel::SearchStep::none:
                break;
        }
    });
    search_->installEventFilter(this);

    pin_ = new QToolButton(bar);
    pin_->setCheckable(true);
    pin_->setAutoRaise(true);
    pin_->setToolTip(QStringLiteral("Always on top"));
    connect(pin_, &QToolButton::toggled, this, [this](bool on) {
        if (on == editor_.alwaysOnTop()) return;  // a refresh setting what is stored
        editor_.setAlwaysOnTop(on);
        refresh();
    });
    bar->addWidget(pin_);

    auto* sizeBox = new QWidget(bar);
    auto* sizeRow = new QHBoxLayout(sizeBox);
    sizeRow->setContentsMargins(6, 0, 6, 0);
    sizeRow->setSpacing(6);
    auto* smaller = new QLabel(sizeBox);
    smaller->setPixmap(SymbolIcon::icon("textformat.size.smaller").pixmap(14, 14));
    auto* larger = new QLabel(sizeBox);
    larger->setPixmap(SymbolIcon::icon("textformat.size.larger").pixmap(18, 18));
    slider_ = new QSlider(Qt::Horizontal, sizeBox);
    slider_->setRange(int(EditorModel::kMinFontSize * kSliderScale),
                      int(EditorModel::kMaxFontSize * kSliderScale));
    slider_->setFixedWidth(110);
    slider_->setValue(int(editor_.fontSize() * kSliderScale));
    connect(slider_, &QSlider::valueChanged, this, [this](int value) {
        const double size = double(value) / kSliderScale;
        if (size == editor_.fontSize()) return;
        editor_.setFontSize(size);
        if (pane_) {
            auto inputs = pane_->model().inputs();
            inputs.fontSize = editor_.fontSize();
            pane_->setInputs(std::move(inputs));
        }
    });
    sizeRow->addWidget(smaller);
    sizeRow->addWidget(slider_);
    sizeRow->addWidget(larger);
    bar->addWidget(sizeBox);

    // The history is the window's: the keys work wherever the focus is,
    // the empty window included.
    auto* undo = new QAction(this);
    undo->setShortcuts(KeyShortcuts::undo());
    undo->setShortcutContext(Qt::WindowShortcut);
    connect(undo, &QAction::triggered, this, [this] { this->undo(); });
    addAction(undo);
    auto* redo = new QAction(this);
    redo->setShortcuts(KeyShortcuts::redo());
    redo->setShortcutContext(Qt::WindowShortcut);
    connect(redo, &QAction::triggered, this, [this] { this->redo(); });
    addAction(redo);
}

void EditorWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Told again after every show: the model re-applies the window options.
    model_.setMainWindow(host_);
    // The transcript read whole at the start, and the window's first
    // paragraphs, leave the allocator holding many megabytes free, in the
    // midst of what stays: handed back once the first frame is drawn.
    if (!std::exchange(shownOnce_, true))
        QTimer::singleShot(0, this, [] { platform::returnFreeMemory(); });
}

bool EditorWindow::eventFilter(QObject* watched, QEvent* event) {
    // The search field keeps the keys for its own typing while it has some
    // to take back; otherwise they reach the window's history.
    const bool override = event->type() == QEvent::ShortcutOverride;
    if (watched == search_ && (override || event->type() == QEvent::KeyPress)) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool redo = KeyShortcuts::matches(*key, KeyShortcuts::redo());
        const bool undo = !redo && KeyShortcuts::matches(*key, KeyShortcuts::undo());
        const bool own =
            (redo && search_->isRedoAvailable()) || (undo && search_->isUndoAvailable());
        if ((undo || redo) && !own && override) {
            event->ignore();  // the window's shortcut takes it
            return true;
        }
        // The field's own keys may not be all of ours (Ctrl+Y on some desktops).
        if (own) {
            if (override) {
                event->accept();
            } else {
                redo ? search_->redo() : search_->undo();
            }
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void EditorWindow::scheduleRefresh() {
    if (refreshQueued_) return;
    refreshQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        refreshQueued_ = false;
        refresh();
    });
}

void EditorWindow::makePane() {
    delete pane_;
    TimelinePaneServices services;
    services.recorder = DebugRecorder::shared();
    TimelinePaneInputs inputs;
    inputs.store = &model_.store();
    pane_ = new TimelinePane(std::move(inputs), main_, std::move(services),
                             placeholder_->parentWidget());
    pane_->setContentsMargins(4, 8, 12, 4);
    contentLayout_->addWidget(pane_);
    // The sidebar gives way at the narrowest window: the splitter keeps each
    // side's least width, and with both the text column and its scroll bar
    // would run past the window's edge.
    // The column's own hint has not taken the pane in yet.
    const int detail = std::max(placeholder_->parentWidget()->minimumSizeHint().width(),
                                pane_->minimumSizeHint().width());
    const int room = kMinimumWidth - splitter_->handleWidth() - detail;
    sidebar_->setMinimumWidth(std::clamp(room, 0, kSidebarWidth));
    // Another view: the paragraph edited in the last one is let go.
    if (paneScope_ != editor_.scope) editor_.edits().release();
    paneScope_ = editor_.scope;
}

void EditorWindow::refresh() {
    auto& engine = model_.engine();
    // The entry of a held paragraph goes from the sidebar once it is let go.
    if (const auto kept = editor_.keptItem(); kept.has_value() != sidebarKeeps_) {
        sidebarKeeps_ = kept.has_value();
        sidebar_->reload();
    }
    const bool timeline = editor_.showsTimeline();
    searchAction_->setVisible(timeline);
    if (timeline) {
        // A new scope gets a new pane, with its own scroll position and
        // live-follow state.
        std::optional<HeldWindow::Point> caret;
        if (!pane_ || paneScope_ != editor_.scope) {
            // The caret is the user's, whichever view shows it.
            if (pane_) caret = pane_->textView().usersCaret();
            makePane();
        }
        TimelinePaneInputs inputs;
        inputs.store = &model_.store();
        inputs.blocks = editor_.sharedScopedBlocks();
        inputs.fontSize = editor_.fontSize();
        inputs.showsLive = editor_.scopeIsLive();
        if (editor_.scope == EditorModel::kAllScope)
            inputs.sectionStarts = SectionTitles(model_.store().sharedSessionStartBlocks());
        inputs.onDeleteSelection = [this] { deleteSelection(); };
        inputs.onCopyBlock = [this](const Block&) {
            paragraphCopied(std::chrono::system_clock::now());
        };
        inputs.onSelection = [this](std::pair<int, int> range,
                                    const std::vector<platform::Uuid>& ids) {
            editor_.selectedRange = range;
            editor_.selectedIDs = ids;
            // The caret has left the paragraph being edited.
            if (editor_.edits().caretIn(ids)) scheduleRefresh();
            updateStatusSelection();
        };
        inputs.onEdit = [this](const Block& shown, const std::string& before,
                               const std::string& after, std::optional<int> caret) {
            editor_.edits().edit(shown, before, after, caret);
            // At once, so that the next key is compared with what the
            // transcript holds now.
            refresh();
        };
        inputs.onUndo = [this] { undo(); };
        inputs.onRedo = [this] { redo(); };
        inputs.canUndo = [this] { return editor_.edits().canUndo(); };
        inputs.canRedo = [this] { return editor_.edits().canRedo(); };
        inputs.onRefused = [this](const std::string& why) { status_->setNotice(why); };
        pane_->setInputs(std::move(inputs));
        if (caret) pane_->textView().takeCaret(*caret);
        // A moment after its first frame: not again for every refresh
        // meanwhile (new speech, the level meter), which would put it off.
        if (editor_.searchIsPartial() && !searchRest_->isActive())
            searchRest_->start(kSearchRestMs);
        placeholder_->hide();
        pane_->show();
    } else {
        if (pane_) pane_->hide();
        const QString text = QString::fromStdString(editor_.placeholder());
        if (placeholderText_->text() != text) placeholderText_->setText(text);
        placeholder_->show();
    }
    if (QString::fromStdString(editor_.search) != search_->text())
        search_->setText(QString::fromStdString(editor_.search));

    const auto button = editor_.listenButton();
    listen_->setText(QString::fromStdString(button.title));
    setIconOf(listen_, SymbolIcon::icon(QString::fromStdString(button.symbol)));
    listen_->setToolTip(QString::fromStdString(button.help));
    listen_->setEnabled(button.enabled);
    meter_->setActive(engine.isRecording.peek());
    meter_->setLevel(model_.store().level.peek());

    const bool onTop = editor_.alwaysOnTop();
    pin_->setChecked(onTop);
    setIconOf(pin_, SymbolIcon::icon(onTop ? "pin.fill" : "pin"));
    const int value = int(editor_.fontSize() * kSliderScale);
    if (slider_->value() != value) slider_->setValue(value);
    updateStatusSelection();
}

void EditorWindow::updateStatusSelection() {
    status_->setSelection(editor_.selectedBlocks(), editor_.hasSelection());
    status_->setCopiedAt(editor_.copiedAt());
}

void EditorWindow::deleteSelection() {
    if (!editor_.showsTimeline()) return;
    if (editor_.deleteSelection()) refresh();
}

bool EditorWindow::shows(const ParagraphEditor::Outcome& step) const {
    if (!editor_.showsTimeline()) return false;
    // Views name a paragraph by its first segment they show: one across a
    // session's start has another id in the session's view than in All.
    const std::unordered_set<platform::Uuid> wanted(step.segments.begin(), step.segments.end());
    const auto blocks = editor_.sharedScopedBlocks();
    return std::any_of(blocks->rbegin(), blocks->rend(), [&](const Block& b) {
        return std::any_of(b.segments.begin(), b.segments.end(),
                           [&](const Segment& s) { return wanted.contains(s.id); });
    });
}

void EditorWindow::stepHistory(bool back) {
    auto& edits = editor_.edits();
    if (!(back ? edits.canUndo() : edits.canRedo())) return;
    // The one paragraph the caret (or selection) is in before the step.
    const std::optional<platform::Uuid> caretIn =
        editor_.selectedIDs.size() == 1 ? std::optional(editor_.selectedIDs.front()) : std::nullopt;
    const ParagraphEditor::Outcome done = back ? edits.undo() : edits.redo();
    if (!done.problem.empty()) {
        status_->setNotice(done.problem);
        return;
    }
    if (!done.applied) return;
    refresh();
    // A step the user cannot see is said, whether another view hides its
    // paragraph or the view is scrolled away from it, unless the caret is
    // there: the view then goes to it.
    const bool followed = shows(done) && pane_ && caretIn == done.paragraph;
    if (followed) {
        pane_->model().requestCaret(done.paragraph, done.caret);
    } else if (!shows(done) || outOfSight(done)) {
        status_->setNotice(
            std::string(back ? "Undid" : "Redid") + " a change to the paragraph of " +
            model_.store().calendar().shortTime(done.start) + ", which is not shown here.");
    }
}

bool EditorWindow::outOfSight(const ParagraphEditor::Outcome& step) const {
    if (!pane_) return false;
    const auto& first = pane_->model().visibleFirst();
    const auto& last = pane_->model().visibleLast();
    if (!first || !last) return false;
    const std::unordered_set<platform::Uuid> wanted(step.segments.begin(), step.segments.end());
    const auto blocks = editor_.sharedScopedBlocks();
    std::optional<size_t> from, to, at;
    for (size_t i = 0; i < blocks->size(); ++i) {
        const Block& b = (*blocks)[i];
        if (b.id == *first) from = i;
        if (b.id == *last) to = i;
        if (!at && std::any_of(b.segments.begin(), b.segments.end(),
                               [&](const Segment& s) { return wanted.contains(s.id); }))
            at = i;
    }
    // What is on screen is not among the view's paragraphs (an emptied one
    // kept for the caret): nothing is known, and nothing is said.
    if (!from || !to || !at) return false;
    return *at < *from || *at > *to;
}

void EditorWindow::newSession() {
    editor_.newSession();
    refresh();
}

void EditorWindow::paragraphCopied(platform::Date now) {
    editor_.copied(now);
    QTimer::singleShot(kCopiedMs, this, [this, now] {
        editor_.copyTimerEnded(now);
        status_->setCopiedAt(editor_.copiedAt());
    });
    status_->setCopiedAt(editor_.copiedAt());
}

}  // namespace verbolin
