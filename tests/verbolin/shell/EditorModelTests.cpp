#include <gtest/gtest.h>

#include "support/AllocationCounter.hpp"
#include "support/DictationTranscript.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/app/AudioServerHelp.hpp"
#include "verbolin/storage/StorageTestSupport.hpp"
#include "verbolin/ui/EditorModel.hpp"

using namespace apptest;
using verbolin::AppModel;
using verbolin::Defaults;
using verbolin::EditorModel;
using verbolin::Segment;
using ModelState = verbolin::TranscriptionEngine::ModelState;

namespace {

platform::Date now() { return platform::Clock::system().now(); }

Segment seg(platform::Date start, std::string text) {
    Segment s;
    s.start = start;
    s.end = start + std::chrono::seconds(1);
    s.text = std::move(text);
    return s;
}

class EditorModelTest : public ::testing::Test {
  protected:
    EditorModelTest() {
        model = std::make_unique<AppModel>(world.appServices(env.home.path() / "store"));
        editor = std::make_unique<EditorModel>(*model);
    }
    ~EditorModelTest() override { model->engine().stopAndWait(); }

    // Three segments a second apart (one paragraph), then one more after a
    // long pause (a second paragraph).
    void twoParagraphs(platform::Date start) {
        auto& store = model->store();
        store.append(seg(start, "alpha one"));
        store.append(seg(start + std::chrono::seconds(2), "bravo two"));
        store.append(seg(start + std::chrono::seconds(4), "charlie three"));
        store.append(seg(start + std::chrono::seconds(30), "delta four"));
    }
    // A session that started `ago` before now.
    verbolin::SessionMarker sessionSince(std::chrono::seconds ago) {
        auto marker = model->store().startSession(std::nullopt);
        marker.start = now() - ago;
        auto markers = model->store().sessions.peek();
        markers.back() = marker;
        model->store().sessions.set(markers);
        return marker;
    }
    std::vector<std::string> shownTexts() {
        std::vector<std::string> texts;
        for (auto& b : editor->scopedBlocks()) texts.push_back(b.text());
        return texts;
    }
    // The window's model opened on `days` of daily dictation.
    void openDictation(int days) {
        const auto folder = env.home.path() / ("dictation-" + std::to_string(days));
        // Short utterances: the number of them is what matters here.
        testsupport::writeTranscript(
            folder, testsupport::makeDictation({.days = days, .wordsMin = 3, .wordsMax = 6}));
        editor.reset();
        model->engine().stopAndWait();
        model = std::make_unique<AppModel>(world.appServices(folder));
        // A long transcript's earlier part joins a moment later; keys typed
        // before it are kept aside for the join, which is not what is
        // counted here.
        ASSERT_TRUE(world.runUntil([&] { return model->store().readWhole(); }));
        editor = std::make_unique<EditorModel>(*model);
    }
    // A letter typed at the end of the newest paragraph, and what the window
    // then asks of its model.
    void typeAtTheEnd() {
        const verbolin::Block shown = editor->sharedScopedBlocks()->back();
        editor->selectedIDs = {shown.id};
        editor->edits().edit(shown, shown.text(), shown.text() + "x", std::nullopt);
        EXPECT_EQ(editor->sharedScopedBlocks()->back().text(), shown.text() + "x");
        EXPECT_EQ(editor->selectedBlocks().size(), 1u);
    }

    TestEnvironment env;
    EngineWorld world;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<EditorModel> editor;
};

TEST_F(EditorModelTest, PlaceholderFollowsTheEngineOnlyForAnEmptyTranscript) {
    const std::string noServer =
        std::string(verbolin::AudioServerHelp::kNoServer) + ": Connection refused";
    struct Case {
        ModelState state;
        bool recording;
        std::string text;
    } cases[] = {
        // Nothing loaded yet: the sentence alone; the status bar says the rest.
        {ModelState::failed("boom"), false, EditorModel::kModelFailed},
        {ModelState::failed(noServer), false, EditorModel::kModelFailed},
        {ModelState::loading("Downloading speech model\u2026 3 of 9 MB"), false,
         "Downloading speech model\u2026 3 of 9 MB"},
        {ModelState::idle(), false, "Starting\u2026"},
        {ModelState::ready(), true,
         "Start talking. Everything you say is saved here with a timestamp."},
        {ModelState::ready(), false, "Paused. Press Listen to start."},
    };
    auto& engine = model->engine();
    for (const auto& c : cases) {
        engine.modelState.set(c.state);
        engine.isRecording.set(c.recording);
        EXPECT_EQ(editor->placeholder(), c.text);
        EXPECT_FALSE(editor->showsTimeline());
    }
    // An empty session still shows the (empty) timeline.
    editor->scope = "day:0.0";
    EXPECT_TRUE(editor->showsTimeline());
    editor->scope = EditorModel::kAllScope;
    model->store().append(seg(now(), "words"));
    engine.modelState.set(ModelState::failed("boom"));
    EXPECT_TRUE(editor->showsTimeline());
}

// Each failure, brought about as it happens, reads as the one sentence true
// of it: the model is blamed only when its last load failed, even with an
// earlier recogniser kept; listening, only when the capture stopped.
TEST_F(EditorModelTest, AFailureIsSaidInOneSentenceTrueOfWhatFailed) {
    const std::string noServer =
        std::string(verbolin::AudioServerHelp::kNoServer) + ": Connection refused";
    const auto reconfigure = [](EngineWorld& w) {
        w.backend->changeConfiguration(true);
        w.main.runPending();
        w.main.advance(300ms);
    };
    struct Row {
        const char* name;
        std::function<void(EngineWorld&)> before;           // before the application model loads
        std::function<void(EngineWorld&, AppModel&)> fail;  // once it listens
        std::string message;
        const char* sentence;
        bool recogniserKept;
        bool recording;
    } rows[] = {
        {"the model does not load",
         [](EngineWorld& w) { w.prepareFailure = "TextDecoder.mlmodelc is damaged"; }, nullptr,
         "TextDecoder.mlmodelc is damaged", EditorModel::kModelFailed, false, false},
        {"a reload fails, the earlier recogniser kept", nullptr,
         [](EngineWorld& w, AppModel& app) {
             w.prepareFailure = "model damaged";
             app.engine().loadModel();
         },
         "model damaged", EditorModel::kModelFailed, true, true},
        {"no audio server", [&](EngineWorld& w) { w.backend->script().startFailure = noServer; },
         nullptr, noServer, EditorModel::kListeningFailed, true, false},
        {"the microphone given up on", nullptr,
         [&](EngineWorld& w, AppModel&) {
             for (int n = 0; n < 6; ++n) reconfigure(w);
         },
         verbolin::StreamSession::kCaptureGaveUpMessage, EditorModel::kListeningFailed, true, true},
        {"the audio server gone while listening", nullptr,
         [&](EngineWorld& w, AppModel&) {
             {
                 auto lock = w.backend->lock();
                 w.backend->script().openFailure = "Connection refused";
             }
             reconfigure(w);
         },
         TranscriptionEngine::microphoneLostMessage("Connection refused"),
         EditorModel::kListeningFailed, true, true},
        {"a decode fails", nullptr,
         [](EngineWorld& w, AppModel&) {
             w.made().back()->script(FakeSpeechEngine::Reply::fail("model exploded"));
             w.speakOneUtterance(1.0);
         },
         "Decode failed: model exploded", EditorModel::kDecodeFailed, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EngineWorld w;
        if (row.before) row.before(w);
        AppModel app(w.appServices(env.home.path() / row.name));
        EditorModel shown(app);
        auto& engine = app.engine();
        engine.livePreview.set(false);  // each utterance is decoded once
        if (row.fail) {
            ASSERT_TRUE(w.waitForMicrophone());
            row.fail(w, app);
        }
        ASSERT_TRUE(
            w.runUntil([&] { return engine.modelState.peek().kind == ModelState::Kind::failed; }));
        EXPECT_EQ(engine.modelState.peek().message, row.message);
        EXPECT_EQ(shown.placeholder(), row.sentence);
        EXPECT_EQ(engine.hasEngine(), row.recogniserKept);
        EXPECT_EQ(engine.isRecording.peek(), row.recording);
        engine.stopAndWait();
    }
}

TEST_F(EditorModelTest, SearchNarrowsByWholeParagraphs) {
    twoParagraphs(now() - std::chrono::minutes(5));
    struct Case {
        std::string search;
        std::vector<std::string> shown;
        size_t searches;  // of the index, however often the window asks
    } cases[] = {
        {"", {"alpha one bravo two charlie three", "delta four"}, 0},
        {" \t  ", {"alpha one bravo two charlie three", "delta four"}, 0},
        {"bravo", {"alpha one bravo two charlie three"}, 1},
        {"  bravo ", {"alpha one bravo two charlie three"}, 0},  // the same search
        {"  delta\t", {"delta four"}, 1},
        {"zulu", {}, 1},
    };
    storage_test::StatementSpy spy(model->store().db()->handle());
    const auto searches = [&] {
        return size_t(std::count_if(spy.statements().begin(), spy.statements().end(),
                                    [](const std::string& sql) {
                                        return sql.find("segments_fts MATCH") != std::string::npos;
                                    }));
    };
    for (const auto& c : cases) {
        spy.clear();
        editor->search = c.search;
        EXPECT_EQ(shownTexts(), c.shown) << "search '" << c.search << "'";
        EXPECT_TRUE(editor->showsTimeline());  // no hits: an empty timeline, not the placeholder
        editor->selectedIDs = {model->store().allBlocks()->front().id};
        for (int i = 0; i < 3; ++i)
            (void)editor->sharedScopedBlocks(), (void)editor->selectedBlocks();
        EXPECT_EQ(searches(), c.searches) << "search '" << c.search << "'";
    }
    // A change of the transcript is searched again.
    spy.clear();
    model->store().append(seg(now(), "zulu time"));
    EXPECT_EQ(shownTexts(), std::vector<std::string>{"zulu time"});
    EXPECT_EQ(searches(), 1u);
}

TEST_F(EditorModelTest, AKeyInAYearsTranscriptCostsWhatItDoesInADays) {
    // Counted in allocations of this thread: grouping or copying every
    // paragraph or segment again would make a year's hundreds of times a day's.
    std::vector<size_t> perKey;
    for (int days : {1, 365}) {
        openDictation(days);
        typeAtTheEnd();  // the first builds what later keys keep up to date
        const size_t before = testsupport::tAllocations;
        for (int i = 0; i < 4; ++i) typeAtTheEnd();
        perKey.push_back((testsupport::tAllocations - before) / 4);
    }
    EXPECT_LT(perKey[1], 2 * perKey[0] + 100) << "a day: " << perKey[0];
    EXPECT_GT(model->store().segments.peek().size(), 50000u);
}

TEST_F(EditorModelTest, ASearchShowsItsNewestMatchesFirstThenEveryOne) {
    openDictation(60);
    auto& store = model->store();
    const auto ids = [](const std::vector<verbolin::Block>& blocks) {
        std::vector<platform::Uuid> out;
        for (const auto& b : blocks) out.push_back(b.id);
        return out;
    };
    const auto every = [&](const std::string& query) {
        std::vector<verbolin::Block> out;
        for (size_t at : store.paragraphsHolding(store.search(query)))
            out.push_back((*store.allBlocks())[at]);
        return ids(out);
    };
    size_t partial = 0;
    editor->stepMatches = 64;  // a few stretches for each
    for (const char* query : {testsupport::rareWord, "ma", "MONDAY the", "nowhere"}) {
        editor->search = query;
        const auto all = every(query);
        const auto first = ids(editor->scopedBlocks());
        if (editor->searchIsPartial()) {
            ++partial;
            // The newest of them, enough for a first page, and only those.
            ASSERT_GE(first.size(), EditorModel::kFirstMatches) << query;
            ASSERT_LT(first.size(), all.size()) << query;
            EXPECT_TRUE(std::equal(first.rbegin(), first.rend(), all.rbegin())) << query;
            // Read on a stretch at a time; what is shown meanwhile stays.
            size_t steps = 1;
            while (editor->searchFurther() == EditorModel::SearchStep::more) {
                ++steps;
                ASSERT_EQ(ids(editor->scopedBlocks()), first) << query;
            }
            EXPECT_GE(steps, (all.size() - first.size()) / 128) << query;
        }
        EXPECT_FALSE(editor->searchIsPartial());
        EXPECT_EQ(editor->searchFurther(), EditorModel::SearchStep::none);  // nothing left
        EXPECT_EQ(ids(editor->scopedBlocks()), all) << query;
    }
    EXPECT_GE(partial, 2u);
    // The transcript changed between two stretches: the rest is read whole,
    // as it is now.
    editor->search = "m";
    (void)editor->scopedBlocks();
    ASSERT_TRUE(editor->searchIsPartial());
    store.append(seg(now() + std::chrono::minutes(1), "moon"));
    EXPECT_EQ(editor->searchFurther(), EditorModel::SearchStep::done);
    EXPECT_EQ(ids(editor->scopedBlocks()), every("m"));
    EXPECT_EQ(editor->scopedBlocks().back().text(), "moon");
}

TEST_F(EditorModelTest, SessionScopesAndLiveness) {
    auto& store = model->store();
    const auto first = sessionSince(std::chrono::minutes(10));
    twoParagraphs(now() - std::chrono::minutes(5));
    const auto second = store.startSession(std::nullopt);

    editor->scope = first.id.string();
    ASSERT_TRUE(editor->currentItem().has_value());
    EXPECT_EQ(shownTexts().size(), 2u);
    EXPECT_FALSE(editor->scopeIsLive());  // closed by the next session
    editor->scope = second.id.string();
    EXPECT_TRUE(editor->scopedBlocks().empty());
    EXPECT_TRUE(editor->scopeIsLive());
    // Each entry as the sidebar lists it; a scope in other letters names none.
    std::string lower = first.id.string();
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    for (const std::string& id : {first.id.string(), second.id.string(), lower}) {
        editor->scope = id;
        std::optional<verbolin::SessionItem> listed;
        for (const auto& item : store.sessionItems())
            if (item.id == id) listed = item;
        EXPECT_EQ(editor->currentItem(), listed) << id;
    }
    editor->scope = "no-such-item";  // gone: shows everything and counts as live
    EXPECT_EQ(shownTexts().size(), 2u);
    EXPECT_TRUE(editor->scopeIsLive());

    editor->scope = EditorModel::kAllScope;
    editor->onAppear();
    EXPECT_EQ(editor->scope, second.id.string());
}

TEST_F(EditorModelTest, NewSessionShowsAnEmptyLiveTimelineAndClearsTheSearch) {
    twoParagraphs(now() - std::chrono::minutes(5));
    editor->search = "alpha";
    editor->newSession();
    const auto open = model->store().currentSession();
    ASSERT_TRUE(open.has_value());
    EXPECT_EQ(editor->scope, open->id);
    EXPECT_EQ(editor->scope, open->marker->id.string());  // upper-case text
    EXPECT_TRUE(editor->search.empty());
    EXPECT_TRUE(editor->scopedBlocks().empty());
    EXPECT_TRUE(editor->scopeIsLive());
}

TEST_F(EditorModelTest, DeleteSelectionTakesOnlySelectedParagraphsInScope) {
    auto& store = model->store();
    const auto first = sessionSince(std::chrono::minutes(10));
    twoParagraphs(now() - std::chrono::minutes(5));
    const auto all = editor->scopedBlocks();
    ASSERT_EQ(all.size(), 2u);

    // Nothing selected: nothing happens, the state stays.
    editor->selectedRange = {3, 0};
    EXPECT_FALSE(editor->deleteSelection());
    EXPECT_EQ(editor->selectedRange, std::make_pair(3, 0));

    // Selected ids outside the scope select nothing.
    store.startSession(std::nullopt);
    editor->scope = model->store().currentSession()->id;
    editor->selectedIDs = {all[0].id, all[1].id};
    editor->selectedRange = {0, 12};
    EXPECT_TRUE(editor->selectedBlocks().empty());
    EXPECT_FALSE(editor->deleteSelection());
    EXPECT_EQ(editor->selectedIDs.size(), 2u);
    EXPECT_EQ(store.segments.peek().size(), 4u);

    // Both paragraphs in scope: both go, and the selection is cleared.
    editor->scope = first.id.string();
    ASSERT_EQ(editor->selectedBlocks().size(), 2u);
    EXPECT_TRUE(editor->deleteSelection());
    EXPECT_TRUE(store.segments.peek().empty());
    EXPECT_TRUE(editor->selectedIDs.empty());
    EXPECT_EQ(editor->selectedRange, std::make_pair(0, 0));
}

TEST_F(EditorModelTest, ASecondCopyWithinTwoSecondsKeepsItsConfirmation) {
    const auto t1 = now(), t2 = t1 + std::chrono::milliseconds(900);
    editor->copied(t1);
    editor->copied(t2);
    editor->copyTimerEnded(t1);  // the first copy's timer must not end the second's
    EXPECT_EQ(editor->copiedAt(), t2);
    editor->copyTimerEnded(t2);
    EXPECT_FALSE(editor->copiedAt().has_value());
}

TEST_F(EditorModelTest, ListeningButtonAndStoredOptions) {
    auto& engine = model->engine();
    for (auto state : {ModelState::loading("x"), ModelState::failed("x"), ModelState::idle()}) {
        engine.modelState.set(state);
        EXPECT_FALSE(editor->listenButton().enabled);
    }
    engine.modelState.set(ModelState::ready());
    engine.isRecording.set(false);
    EXPECT_TRUE(editor->listenButton().enabled);
    EXPECT_EQ(editor->listenButton().title, "Listen");
    engine.isRecording.set(true);
    EXPECT_EQ(editor->listenButton().title, "Pause");
    EXPECT_EQ(editor->listenButton().help, "Pause background listening");

    // "alwaysListen" absent counts as true: the first press stores false.
    ASSERT_FALSE(world.defaults.boolean(Defaults::kAlwaysListen).has_value());
    editor->toggleListening();
    EXPECT_EQ(world.defaults.boolean(Defaults::kAlwaysListen), false);

    // No window: only the setting; with one, what is stored is applied.
    editor->setAlwaysOnTop(true);
    EXPECT_EQ(world.defaults.boolean(Defaults::kAlwaysOnTop), true);
    auto window = std::make_shared<FakeWindow>();
    model->setMainWindow(window);
    EXPECT_EQ(window->level, verbolin::WindowHost::kFloatingLevel);
    editor->setAlwaysOnTop(false);
    EXPECT_EQ(window->level, verbolin::WindowHost::kNormalLevel);
    EXPECT_EQ(window->behavior, 0);
    editor->setAlwaysOnTop(true);
    EXPECT_EQ(window->behavior, 257);

    struct {
        double asked, stored;
    } sizes[] = {{10, 14}, {14, 14}, {33.5, 33.5}, {64, 64}, {200, 64}, {std::nan(""), 26}};
    for (auto s : sizes) {
        EXPECT_EQ(editor->setFontSize(s.asked), s.stored);
        EXPECT_EQ(world.defaults.number(Defaults::kFontSize), s.stored);
    }
}

TEST_F(EditorModelTest, WholeTranscriptIsTheStoresOwnArrayAndScopesAreCopies) {
    auto& store = model->store();
    twoParagraphs(now() - std::chrono::minutes(5));
    editor->scope = EditorModel::kAllScope;
    auto shared = editor->sharedScopedBlocks();
    EXPECT_EQ(shared, store.allBlocks());  // not a copy
    EXPECT_EQ(*shared, editor->scopedBlocks());

    // A search or a session narrows them: a filtered array of its own, the
    // store's left untouched.
    struct Case {
        std::string search;
        bool session;
        size_t shown;
    };
    const auto marker = sessionSince(std::chrono::seconds(1));
    store.append(seg(now(), "echo five"));
    const Case cases[] = {{"delta", false, 1}, {"  ", false, 3}, {"", true, 1}, {"zulu", false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.search);
        editor->search = c.search;
        editor->scope = c.session ? marker.id.string() : EditorModel::kAllScope;
        const auto blocks = editor->sharedScopedBlocks();
        EXPECT_EQ(*blocks, editor->scopedBlocks());
        EXPECT_EQ(blocks->size(), c.shown);
        const bool whole = c.shown == store.allBlocks()->size() && !c.session;
        EXPECT_EQ(blocks == store.allBlocks(), whole);
    }
    EXPECT_EQ(store.allBlocks()->size(), 3u);

    // After an append the store's new array is handed over.
    editor->search.clear();
    editor->scope = EditorModel::kAllScope;
    shared = editor->sharedScopedBlocks();
    store.append(seg(now() + std::chrono::minutes(1), "foxtrot six"));
    EXPECT_NE(editor->sharedScopedBlocks(), shared);
    EXPECT_EQ(editor->sharedScopedBlocks()->size(), 4u);
}

}  // namespace
