#include "verbolin/ui/EditorModel.hpp"

#include <algorithm>
#include <unordered_set>

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
    for (auto& item : model_.store().sessionItems())
        if (item.id == scope) return item;
    return keptItem();
}

std::optional<SessionItem> EditorModel::keptItem() const {
    const auto& held = edits_.held();
    // Only a held paragraph that the transcript holds nothing of can keep one.
    if (scope == kAllScope || !held || !held->segmentIds.empty() || held->last.segments.empty())
        return std::nullopt;
    auto& store = model_.store();
    const auto items = store.sessionItems();
    if (std::any_of(items.begin(), items.end(),
                    [&](const SessionItem& i) { return i.id == scope; }))
        return std::nullopt;
    // The entries as they would be with the held paragraph's last segments.
    std::vector<Segment> with = store.segments.get();
    with.insert(with.end(), held->last.segments.begin(), held->last.segments.end());
    for (auto& item : TranscriptStore::sessionItems(with, store.sessions.get(), store.calendar()))
        if (item.id == scope) return item;
    return std::nullopt;
}

std::vector<Block> EditorModel::scopedBlocks() const {
    auto& store = model_.store();
    const auto item = currentItem();
    std::vector<Block> base =
        item ? TranscriptStore::blocks(store.segmentsIn(*item), kParagraphGap) : *store.allBlocks();
    const std::string query = trimmed(search);
    if (query.empty()) return withHeld(std::move(base));
    const auto hits = store.search(query);
    std::vector<Block> kept;
    for (auto& block : base) {
        const bool hit = std::any_of(block.segments.begin(), block.segments.end(),
                                     [&](const Segment& s) { return hits.count(s.id) > 0; });
        if (hit) kept.push_back(std::move(block));
    }
    return withHeld(std::move(kept));
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
    const platform::Date start = held.segments.front().start;
    auto at = std::find_if(blocks.begin(), blocks.end(), [&](const Block& b) {
        return !b.segments.empty() && b.segments.front().start > start;
    });
    blocks.insert(at, std::move(held));
    return blocks;
}

std::shared_ptr<const std::vector<Block>> EditorModel::sharedScopedBlocks() const {
    // A year of paragraphs copied on every refresh would cost more than
    // everything the timeline does with them.
    if (!currentItem() && trimmed(search).empty()) {
        auto all = model_.store().allBlocks();
        if (!missesHeld(*all)) return all;
    }
    return std::make_shared<const std::vector<Block>>(scopedBlocks());
}

bool EditorModel::scopeIsLive() const {
    if (scope == kAllScope) return true;
    const auto item = currentItem();
    return !item || !item->end;
}

std::vector<Block> EditorModel::selectedBlocks() const {
    if (selectedIDs.empty()) return {};
    const std::unordered_set<platform::Uuid> wanted(selectedIDs.begin(), selectedIDs.end());
    std::vector<Block> picked;
    for (auto& block : scopedBlocks())
        if (wanted.count(block.id)) picked.push_back(std::move(block));
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
