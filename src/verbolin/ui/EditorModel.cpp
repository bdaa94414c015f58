#include "verbolin/ui/EditorModel.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "platform/system/Text.hpp"
#include "verbolin/app/AppModel.hpp"

namespace verbolin {
namespace {

using Kind = TranscriptionEngine::ModelState::Kind;

// Spaces and tabs only: a search never spans lines, and the store's own rule
// decides what the rest of the text matches.
std::string trimmed(const std::string& text) {
    return std::string(platform::text::trimmed(text, " \t"));
}

}  // namespace

EditorModel::EditorModel(AppModel& model) : model_(model), edits_(model.store()) {}

void EditorModel::onAppear() {
    if (auto open = model_.store().currentSession()) scope = open->id;
}

std::optional<SessionItem> EditorModel::currentItem() const {
    if (scope == kAllScope) return std::nullopt;
    if (auto item = storedItem()) return item;
    return keptItem();
}

std::optional<SessionItem> EditorModel::storedItem() const {
    const auto key = std::make_pair(scope, model_.store().generation());
    if (itemFor_ == key) return item_;
    item_.reset();
    itemFor_ = key;
    // A session's entry is its marker's, to the next one's start: found
    // without walking the transcript for its days at every key.
    const auto& markers = model_.store().sessions.get();
    const auto id = platform::Uuid::parse(scope);
    const auto marker = std::find_if(markers.begin(), markers.end(), [&](const SessionMarker& m) {
        return id && m.id == *id && m.id.string() == scope;
    });
    if (marker != markers.end()) {
        std::optional<platform::Date> end;
        if (marker + 1 != markers.end()) end = (marker + 1)->start;
        item_ = SessionItem{scope, marker->name.value_or(""), marker->start, end, *marker};
        return item_;
    }
    for (auto& item : model_.store().sessionItems())
        if (item.id == scope) {
            item_ = std::move(item);
            break;
        }
    return item_;
}

std::optional<SessionItem> EditorModel::keptItem() const {
    const auto& held = edits_.held();
    // Only a held paragraph that the transcript holds nothing of can keep one.
    if (scope == kAllScope || !held || !held->segmentIds.empty() || held->last.segments.empty())
        return std::nullopt;
    auto& store = model_.store();
    if (storedItem()) return std::nullopt;
    // The entries as they would be with the held paragraph's last segments.
    // A copy shares the store's chunks: only the last is copied to grow.
    SegmentSequence with = store.segments.get();
    with.insert(with.end(), held->last.segments.begin(), held->last.segments.end());
    for (auto& item : TranscriptStore::sessionItems(with, store.sessions.get(), store.calendar()))
        if (item.id == scope) return item;
    return std::nullopt;
}

std::vector<Block> EditorModel::scopedBlocks() const { return *sharedScopedBlocks(); }

std::shared_ptr<const std::vector<Block>> EditorModel::unheldBlocks() const {
    auto& store = model_.store();
    ShownKey key{currentItem(), trimmed(search), store.generation(), store.hasUnsavedChanges()};
    if (!key.item && key.query.empty()) {
        shown_.reset();  // what a search found holds no copies of edited text once it is left
        shownFor_.reset();
        partial_ = false;
        return store.allBlocks();
    }
    if (shown_ && shownFor_ == key) return shown_;
    // Another search or scope, rather than the same one over a changed
    // transcript: only a view shown anew starts at its newest page.
    const bool anew = !shownFor_ || shownFor_->item != key.item || shownFor_->query != key.query;
    const auto all = key.item ? nullptr : store.allBlocks();
    std::vector<Block> scoped;
    if (key.item) scoped = TranscriptStore::blocks(store.segmentsIn(*key.item), kParagraphGap);
    const std::vector<Block>& base = key.item ? scoped : *all;
    std::vector<Block> kept;
    if (key.query.empty()) {
        kept = std::move(scoped);
    } else if (!key.item) {
        // Hits in years of paragraphs, each found by its time. Typed anew,
        // the newest come first, and the rest once they are on screen.
        TranscriptStore::NewestMatches found;
        if (anew)
            found = store.newestParagraphsMatching(key.query, kFirstMatches);
        else
            found.paragraphs = store.paragraphsMatching(key.query);
        partial_ = found.from > 0;
        if (partial_) {
            const double read = double(store.allBlocks()->size() - found.from);
            reading_ = {found.from, {found.paragraphs}, double(found.paragraphs.size()) / read};
        }
        kept.reserve(found.paragraphs.size());
        for (size_t at : found.paragraphs) kept.push_back(base[at]);
    } else {
        const auto hits = store.searchWithin(key.query, *key.item);
        for (const Block& block : base)
            if (std::any_of(block.segments.begin(), block.segments.end(),
                            [&](const Segment& s) { return hits.count(s.id) > 0; }))
                kept.push_back(block);
    }
    if (key.query.empty() || key.item) partial_ = false;
    shown_ = std::make_shared<const std::vector<Block>>(std::move(kept));
    shownFor_ = std::move(key);
    return shown_;
}

EditorModel::SearchStep EditorModel::searchFurther() {
    if (!partial_) return SearchStep::none;
    auto& store = model_.store();
    ShownKey key{currentItem(), trimmed(search), store.generation(), store.hasUnsavedChanges()};
    if (!shown_ || !shownFor_ || key.item || key.query.empty() || shownFor_->item != key.item ||
        shownFor_->query != key.query)
        return SearchStep::none;
    const auto all = store.allBlocks();
    std::optional<std::vector<size_t>> older;
    size_t from = 0;
    if (shownFor_ == key) {
        const size_t least = std::max<size_t>(stepMatches, 1);
        const size_t span = std::clamp(size_t(double(least) / reading_.density),
                                       std::min(least, reading_.from), reading_.from);
        from = reading_.from - span;
        older = store.paragraphsMatchingAmong(key.query, from, reading_.from);
        if (older) reading_.density = std::max(double(older->size()), 1.0) / double(span);
    }
    std::vector<Block> kept;
    if (!older) {
        for (size_t at : store.paragraphsMatching(key.query)) kept.push_back((*all)[at]);
    } else {
        reading_.stretches.push_back(std::move(*older));
        reading_.from = from;
        if (from > 0) return SearchStep::more;
        size_t count = 0;
        for (const auto& stretch : reading_.stretches) count += stretch.size();
        kept.reserve(count);
        for (auto stretch = reading_.stretches.rbegin(); stretch != reading_.stretches.rend();
             ++stretch)
            for (size_t at : *stretch) kept.push_back((*all)[at]);
    }
    shown_ = std::make_shared<const std::vector<Block>>(std::move(kept));
    shownFor_ = std::move(key);
    partial_ = false;
    reading_ = {};
    return SearchStep::done;
}

bool EditorModel::missesHeld(const std::vector<Block>& blocks) const {
    const auto& held = edits_.held();
    // The paragraph being edited is the caret's, so it is looked for from the end.
    return held && std::none_of(blocks.rbegin(), blocks.rend(),
                                [&](const Block& b) { return b.id == held->id; });
}

std::vector<Block> EditorModel::withHeld(std::vector<Block> blocks) const {
    if (!missesHeld(blocks)) return blocks;
    std::optional<Block> shown = edits_.heldBlock();
    if (!shown) return blocks;
    // Its segments may be shown already, in a paragraph of another id (an
    // undo put it back behind the one in front): shown twice, they would
    // be edited twice.
    const auto among = [&](const Block& b) {
        return std::any_of(b.segments.begin(), b.segments.end(), [&](const Segment& s) {
            return std::any_of(shown->segments.begin(), shown->segments.end(),
                               [&](const Segment& h) { return h.id == s.id; });
        });
    };
    if (std::any_of(blocks.begin(), blocks.end(), among)) return blocks;
    Block held = std::move(*shown);
    const platform::Date start = std::as_const(held.segments).front().start;
    auto at = std::find_if(blocks.begin(), blocks.end(), [&](const Block& b) {
        return !b.segments.empty() && b.segments.front().start > start;
    });
    blocks.insert(at, std::move(held));
    return blocks;
}

std::shared_ptr<const std::vector<Block>> EditorModel::sharedScopedBlocks() const {
    // A year of paragraphs copied on every refresh would cost more than
    // everything the timeline does with them.
    auto blocks = unheldBlocks();
    if (!missesHeld(*blocks)) return blocks;
    return std::make_shared<const std::vector<Block>>(withHeld(*blocks));
}

bool EditorModel::scopeIsLive() const {
    if (scope == kAllScope) return true;
    const auto item = currentItem();
    return !item || !item->end;
}

std::vector<Block> EditorModel::selectedBlocks() const {
    if (selectedIDs.empty()) return {};
    const std::unordered_set<platform::Uuid> wanted(selectedIDs.begin(), selectedIDs.end());
    const auto blocks = sharedScopedBlocks();
    // A caret is most often at the newest end: looked for from there, until
    // every paragraph named is found (each is shown once).
    std::vector<Block> picked;
    for (auto it = blocks->rbegin(); it != blocks->rend() && picked.size() < wanted.size(); ++it)
        if (wanted.count(it->id)) picked.push_back(*it);
    std::reverse(picked.begin(), picked.end());
    return picked;
}

std::string EditorModel::placeholder() const {
    auto& engine = model_.engine();
    const auto state = engine.modelState.get();
    switch (state.kind) {
        case Kind::failed:
            // A recogniser kept from an earlier load does not make a failed
            // reload a success; and a model that did load is not blamed for
            // what went wrong after.
            if (!engine.hasEngine() || engine.modelLoadFailed()) return kModelFailed;
            return engine.captureStopped() ? kListeningFailed : kDecodeFailed;
        case Kind::loading:
            return state.message;
        case Kind::idle:
            return "Starting\u2026";
        case Kind::ready:
            return engine.isRecording.get()
                       ? "Start talking. Everything you say is saved here with a timestamp."
                       : "Paused. Press Listen to start.";
    }
    return {};
}

bool EditorModel::showsTimeline() const {
    // The raw scope text decides, even when its item has gone away.
    return !model_.store().segments.get().empty() || scope != kAllScope ||
           edits_.heldBlock().has_value();
}

bool EditorModel::deleteSelection() {
    const auto blocks = selectedBlocks();
    if (blocks.empty()) return false;
    for (const Block& b : blocks)
        if (edits_.held() && edits_.held()->id == b.id) edits_.release();
    model_.store().deleteBlocks(blocks);
    selectedRange = {0, 0};
    selectedIDs.clear();
    return true;
}

void EditorModel::newSession() {
    const SessionMarker marker = model_.store().startSession(std::nullopt);
    scope = marker.id.string();
    search.clear();
    edits_.release();
}

EditorModel::ListenButton EditorModel::listenButton() const {
    auto& engine = model_.engine();
    ListenButton b;
    if (engine.isRecording.get()) {
        b = {"Pause", "pause.circle.fill", "Pause background listening", false};
    } else {
        b = {"Listen", "mic.circle.fill", "Resume listening", false};
    }
    b.enabled = engine.modelState.get().kind == Kind::ready;
    return b;
}

void EditorModel::toggleListening() {
    model_.defaults().setBool(Defaults::kAlwaysListen, !model_.alwaysListen());
    model_.applyListening();
}

bool EditorModel::alwaysOnTop() const {
    return model_.defaults().boolean(Defaults::kAlwaysOnTop).value_or(false);
}

void EditorModel::setAlwaysOnTop(bool on) {
    model_.defaults().setBool(Defaults::kAlwaysOnTop, on);
    // What is stored is applied, whatever was asked for.
    if (auto window = model_.mainWindow())
        window->setLevel(alwaysOnTop() ? WindowHost::kFloatingLevel : WindowHost::kNormalLevel);
    if (auto window = model_.mainWindow())
        window->setCollectionBehavior(
            alwaysOnTop() ? WindowHost::kCanJoinAllSpaces | WindowHost::kFullScreenAuxiliary : 0u);
}

double EditorModel::fontSize() const {
    const double stored = model_.defaults().number(Defaults::kFontSize).value_or(kDefaultFontSize);
    return stored == stored ? stored : kDefaultFontSize;  // NaN from a hand-edited file
}

double EditorModel::setFontSize(double size) {
    const double held =
        size == size ? std::clamp(size, kMinFontSize, kMaxFontSize) : kDefaultFontSize;
    model_.defaults().setNumber(Defaults::kFontSize, held);
    return held;
}

}  // namespace verbolin
