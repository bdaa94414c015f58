#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>

#include "SessionHarness.hpp"
#include "platform/system/AppError.hpp"
#include "support/ThreadGate.hpp"

using namespace sessiontest;
using platform::AppError;
using verbolin::StreamSession;

namespace {

std::vector<size_t> sampleCounts(const testsupport::FakeSpeechEngine& engine) {
    std::vector<size_t> out;
    for (const auto& c : engine.calls()) out.push_back(c.sampleCount);
    return out;
}

std::vector<std::string> texts(const std::vector<Event>& events) {
    std::vector<std::string> out;
    for (const Event& e : events) out.push_back(e.text);
    return out;
}

constexpr size_t frames(size_t n) { return n * kFrame; }

}  // namespace

TEST_F(SessionTest, CapturedAudioIsCutIntoFramesOf1600SamplesWhateverTheBufferSizes) {
    startSession(false, {}, true);
    // Twelve frames of distinct loudness plus 700 samples that never fill a
    // frame. A frame cut anywhere but at a multiple of 1600 would mix two
    // loudnesses and read a different level.
    std::vector<float> audio;
    for (int k = 0; k < 12; ++k) audio.insert(audio.end(), kFrame, 0.01f * float(k + 1));
    audio.insert(audio.end(), 700, 0.9f);

    const size_t sizes[] = {1, 999, 2333, 1600, 3201, 17, 4000, 1, 2046, 3000, 2702};
    size_t at = 0;
    for (size_t n : sizes) {
        ASSERT_EQ(backend->deliver({audio.begin() + long(at), audio.begin() + long(at + n)}), 1);
        at += n;
    }
    ASSERT_EQ(at, audio.size());
    ASSERT_TRUE(log->waitFor(Kind::level, 12));

    const std::vector<Event> levels = log->of(Kind::level);
    ASSERT_EQ(levels.size(), 12u);
    for (int k = 0; k < 12; ++k)
        EXPECT_NEAR(levels[size_t(k)].value, StreamSession::levelOf(0.01f * float(k + 1)), 1e-4f)
            << "frame " << k;

    session->stop();
    EXPECT_EQ(backend->runningCount(), 0);
    EXPECT_EQ(log->count(Kind::level), 12u);  // the 700 left over never became a frame
    // The raw recording keeps every sample, the leftover included.
    recorder->flush();
    EXPECT_EQ(std::filesystem::file_size(tmp / "session.pcm"), audio.size() * 2);
}

TEST_F(SessionTest, LevelFollowsEachFrameAfterItsOtherEvents) {
    startSession();
    silence(4);
    voice(1);
    frame(std::numeric_limits<float>::quiet_NaN());

    const std::vector<Event> all = log->all();
    ASSERT_EQ(all.size(), 7u);
    for (size_t i : {0, 1, 2, 3}) EXPECT_EQ(all[i], Event::level(0)) << i;
    EXPECT_EQ(all[4], Event::speechStarted());
    EXPECT_EQ(all[5].kind, Kind::level);
    EXPECT_NEAR(all[5].value, StreamSession::levelOf(kVoice), 1e-6f);
    EXPECT_EQ(all[6], Event::level(0));  // a frame with NaN samples reads silent
}

TEST_F(SessionTest, EveryEndedUtteranceGivesExactlyOneFinal) {
    struct Case {
        int voiced;
        bool decoded;
    };
    for (const Case c : {Case{2, false}, Case{3, true}}) {
        SCOPED_TRACE(c.voiced);
        engine = std::make_shared<testsupport::FakeSpeechEngine>();
        engine->setDefault(Reply::say("words"));
        log = std::make_shared<EventLog>();
        startSession();
        const platform::Date t0 = clock.now();
        utterance(c.voiced);
        ASSERT_TRUE(log->waitFor(Kind::final, 1));

        const std::vector<Event> finals = log->of(Kind::final);
        ASSERT_EQ(finals.size(), 1u);
        EXPECT_EQ(finals[0].text, c.decoded ? "words" : "");
        // Speech began with the fifth frame, handled at t0 + 0.4 s; the start
        // reaches 0.5 s back for the preroll. The last frame ended it.
        EXPECT_EQ(finals[0].start, t0 + 400ms - 500ms);
        EXPECT_EQ(finals[0].end, t0 + std::chrono::milliseconds(100 * (4 + c.voiced + 10 - 1)));
        EXPECT_EQ(sampleCounts(*engine),
                  c.decoded ? std::vector<size_t>{frames(5 + size_t(c.voiced) - 1 + 10)}
                            : std::vector<size_t>{});
        session->stop();
        release();
    }
}

TEST_F(SessionTest, RecognisedTextIsTrimmedAndFilteredBeforeItBecomesFinal) {
    const char* replies[] = {"  Thank you.\n",      "[BLANK_AUDIO]",    "(music)", " \n\t ",
                             "the the the The cat", "  I I think so  ", "no no"};
    for (const char* r : replies) engine->script(Reply::say(r));
    startSession();
    for (size_t i = 0; i < std::size(replies); ++i) utterance(3);
    ASSERT_TRUE(log->waitFor(Kind::final, std::size(replies)));
    EXPECT_EQ(texts(log->of(Kind::final)),
              (std::vector<std::string>{"", "", "", "", "", "I think so", "no no"}));
}

TEST_F(SessionTest, PreviewsAreMadeAtOneAndAHalfAndThreeSecondsOfAudio) {
    struct Case {
        const char* name;
        bool withCallback;
    };
    for (const Case c :
         {Case{"callback says yes", true}, Case{"no callback counts as yes", false}}) {
        SCOPED_TRACE(c.name);
        engine = std::make_shared<testsupport::FakeSpeechEngine>();
        engine->script(Reply::say("hello"));
        engine->script(Reply::say("hello there"));
        engine->script(Reply::say("hello there friend"));
        log = std::make_shared<EventLog>();
        auto asked = std::make_shared<std::atomic<int>>(0);
        StreamSession::PreviewWanted wanted;
        if (c.withCallback) wanted = [asked] { return ++*asked, true; };
        startSession(true, wanted, true);

        silence(4);
        voice(11);  // 15 frames: 1.5 s with the preroll
        ASSERT_TRUE(log->waitFor(Kind::preview, 1));
        voice(15);  // 30 frames: 3.0 s
        ASSERT_TRUE(log->waitFor(Kind::preview, 2));
        voice(4);
        silence(10);  // ends at 44 frames, before a third preview (4.5 s) was due
        ASSERT_TRUE(log->waitFor(Kind::final, 1));

        EXPECT_EQ(sampleCounts(*engine), (std::vector<size_t>{24000, 48000, frames(44)}));
        EXPECT_EQ(texts(log->of(Kind::preview)),
                  (std::vector<std::string>{"hello", "hello there"}));
        EXPECT_EQ(texts(log->of(Kind::final)), (std::vector<std::string>{"hello there friend"}));
        // Preview texts never become context.
        for (const auto& call : engine->calls()) EXPECT_EQ(call.context, std::nullopt);
        // Asked on every frame of continuing speech: 39 after the start.
        if (c.withCallback) {
            EXPECT_EQ(asked->load(), 40 - 1);
        }

        const std::vector<std::string> debug = debugEvents();
        EXPECT_NE(std::find(debug.begin(), debug.end(), "decode_start\tpreview seconds=1.5"),
                  debug.end());
        EXPECT_NE(std::find(debug.begin(), debug.end(), "preview\thello there"), debug.end());
        session->stop();
        release();
    }
}

TEST_F(SessionTest, NoPreviewsWhenTurnedOffOrNotWanted) {
    struct Case {
        bool enabled;
        bool wanted;
        bool asked;  // whether the visibility callback is consulted at all
    };
    for (const Case c : {Case{false, true, false}, Case{true, false, true}}) {
        SCOPED_TRACE(c.enabled);
        engine = std::make_shared<testsupport::FakeSpeechEngine>();
        log = std::make_shared<EventLog>();
        auto asked = std::make_shared<std::atomic<int>>(0);
        startSession(c.enabled, [asked, w = c.wanted] { return ++*asked, w; });
        utterance(30);
        ASSERT_TRUE(log->waitFor(Kind::final, 1));
        EXPECT_EQ(sampleCounts(*engine), (std::vector<size_t>{frames(44)}));
        EXPECT_EQ(log->count(Kind::preview), 0u);
        EXPECT_EQ(asked->load() > 0, c.asked);
        session->stop();
        release();
    }
}

TEST_F(SessionTest, FinalArrivingDuringAPreviewDecodeRunsNextAndTheStalePreviewIsDropped) {
    engine->script(Reply::held("early preview"));
    engine->script(Reply::say("the final"));
    startSession(true);
    silence(4);
    voice(11);
    ASSERT_TRUE(engine->waitForCalls(1));  // the first preview is being decoded
    voice(19);                             // a second preview waits...
    silence(10);                           // ...until the utterance ends and discards it
    engine->release();
    ASSERT_TRUE(log->waitFor(Kind::final, 1));

    EXPECT_EQ(sampleCounts(*engine), (std::vector<size_t>{24000, frames(44)}));
    EXPECT_EQ(log->count(Kind::preview), 0u);  // finished while a final waited
    EXPECT_EQ(texts(log->of(Kind::final)), (std::vector<std::string>{"the final"}));
}

TEST_F(SessionTest, APreviewOfAnUtteranceThatEndedWithoutTextIsNeverShown) {
    // Two voiced frames and enough silence reach 1.5 s, so a preview is
    // decoded; the utterance then ends too short for a final decode (or is
    // flushed by stop()). Its empty final has cleared the preview already, so
    // the preview that finishes afterwards must not bring text back.
    for (const bool byStop : {false, true}) {
        SCOPED_TRACE(byStop ? "ended by stop" : "ended by silence");
        engine = std::make_shared<testsupport::FakeSpeechEngine>();
        engine->script(Reply::held("ghost"));
        log = std::make_shared<EventLog>();
        startSession(true);
        silence(4);
        voice(2);
        silence(9);  // 15 frames: the preview is due
        ASSERT_TRUE(engine->waitForCalls(1));
        if (byStop) {
            session->stop();
        } else {
            silence(1);  // the tenth silent frame ends it
        }
        ASSERT_TRUE(log->waitFor(Kind::final, 1));
        engine->release();
        if (!byStop) session->stop();
        release();  // waits until the preview's decode has been handled

        EXPECT_EQ(sampleCounts(*engine), (std::vector<size_t>{24000}));
        EXPECT_EQ(texts(log->of(Kind::final)), (std::vector<std::string>{""}));
        EXPECT_EQ(log->count(Kind::preview), 0u);
    }
}

TEST_F(SessionTest, ANewerPreviewReplacesTheWaitingOne) {
    engine->script(Reply::held("first"));
    engine->script(Reply::say("third"));
    engine->script(Reply::say("final"));
    startSession(true);
    silence(4);
    voice(11);
    ASSERT_TRUE(engine->waitForCalls(1));
    voice(30);  // previews due at 30 and 45 frames; the second replaces the first
    engine->release();
    ASSERT_TRUE(log->waitFor(Kind::preview, 1));
    silence(10);
    ASSERT_TRUE(log->waitFor(Kind::final, 1));

    EXPECT_EQ(sampleCounts(*engine), (std::vector<size_t>{24000, 72000, frames(55)}));
    // "first" finished while a newer preview waited, so only "third" shows.
    EXPECT_EQ(texts(log->of(Kind::preview)), (std::vector<std::string>{"third"}));
}

TEST_F(SessionTest, WaitingFinalsGoBeforeAWaitingPreview) {
    auto wanted = std::make_shared<std::atomic<bool>>(false);
    engine->script(Reply::held("A"));
    engine->script(Reply::say("B"));
    engine->script(Reply::say("C so far"));
    engine->script(Reply::say("C"));
    startSession(true, [wanted] { return wanted->load(); });
    utterance(3);
    ASSERT_TRUE(engine->waitForCalls(1));
    utterance(3);  // its final waits behind A
    wanted->store(true);
    silence(4);
    voice(11);  // a preview of C waits too
    wanted->store(false);
    engine->release();
    ASSERT_TRUE(log->waitFor(Kind::preview, 1));
    silence(10);
    ASSERT_TRUE(log->waitFor(Kind::final, 3));

    EXPECT_EQ(sampleCounts(*engine),
              (std::vector<size_t>{frames(17), frames(17), 24000, frames(25)}));
    EXPECT_EQ(texts(log->of(Kind::final)), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(texts(log->of(Kind::preview)), (std::vector<std::string>{"C so far"}));
}

TEST_F(SessionTest, ContextIsTheLastNonEmptyFinalWhileYoungerThanThirtySeconds) {
    struct Case {
        const char* first;
        double ageAtDecode;
        std::optional<std::string> context;
    };
    const Case cases[] = {
        {"first words", 29.0, "first words"},
        {"first words", 31.0, std::nullopt},
        {" [BLANK_AUDIO] ", 5.0, std::nullopt},  // an empty final is no context
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ageAtDecode);
        engine = std::make_shared<testsupport::FakeSpeechEngine>();
        engine->script(Reply::say(c.first));
        engine->script(Reply::say("second"));
        log = std::make_shared<EventLog>();
        startSession();
        utterance(3);
        ASSERT_TRUE(log->waitFor(Kind::final, 1));
        const platform::Date firstEnd = log->of(Kind::final)[0].end;
        // The next utterance's decode starts when its 17th frame is handled,
        // 0.1 s after the previous frame plus 1.6 s of its own frames.
        clock.set(firstEnd + std::chrono::duration_cast<platform::Date::duration>(
                                 std::chrono::duration<double>(c.ageAtDecode - 1.6)));
        utterance(3);
        ASSERT_TRUE(log->waitFor(Kind::final, 2));

        const auto calls = engine->calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].context, std::nullopt);
        EXPECT_EQ(calls[1].context, c.context);
        session->stop();
        release();
    }
}

TEST_F(SessionTest, AFailedDecodeIsReportedAndListeningGoesOn) {
    engine->script(Reply::fail("model exploded"));
    engine->script(Reply::say("recovered"));
    startSession();
    utterance(3);
    utterance(3);
    ASSERT_TRUE(log->waitFor(Kind::final, 2));

    std::vector<Event> outcome;
    for (const Event& e : log->all())
        if (e.kind == Kind::error || e.kind == Kind::final) outcome.push_back(e);
    ASSERT_EQ(outcome.size(), 3u);
    EXPECT_EQ(outcome[0], Event::error("Decode failed: model exploded"));
    EXPECT_EQ(outcome[1].kind, Kind::final);
    EXPECT_EQ(outcome[1].text, "");
    EXPECT_EQ(outcome[2].text, "recovered");
    EXPECT_EQ(engine->calls()[1].context, std::nullopt);
}

TEST_F(SessionTest, StopDeliversTheUtteranceInProgress) {
    struct Case {
        int voiced;
        bool decoded;
    };
    for (const Case c : {Case{5, true}, Case{2, false}}) {
        SCOPED_TRACE(c.voiced);
        engine = std::make_shared<testsupport::FakeSpeechEngine>();
        engine->setDefault(Reply::say("partial"));
        log = std::make_shared<EventLog>();
        startSession(false, {}, true);
        const platform::Date t0 = clock.now();
        silence(4);
        voice(c.voiced);
        session->stop();
        ASSERT_TRUE(log->waitFor(Kind::final, 1));

        const std::vector<Event> finals = log->of(Kind::final);
        ASSERT_EQ(finals.size(), 1u);
        EXPECT_EQ(finals[0].text, c.decoded ? "partial" : "");
        EXPECT_EQ(finals[0].start, t0 - 100ms);
        EXPECT_EQ(finals[0].end, clock.now());
        EXPECT_EQ(sampleCounts(*engine), c.decoded
                                             ? std::vector<size_t>{frames(4 + size_t(c.voiced))}
                                             : std::vector<size_t>{});
        EXPECT_EQ(backend->runningCount(), 0);
        EXPECT_EQ(backend->deliver(std::vector<float>(kFrame, kVoice)), 0);

        const std::vector<std::string> debug = debugEvents();
        EXPECT_NE(std::find(debug.begin(), debug.end(), "session_end\t"), debug.end());
        release();
    }
}

TEST_F(SessionTest, StopDuringADecodeReturnsAtOnceAndQueuedFinalsAreStillReported) {
    engine->script(Reply::held("A"));
    engine->script(Reply::say("B"));
    startSession();
    utterance(3);
    ASSERT_TRUE(engine->waitForCalls(1));
    voice(4);  // B has begun; its preroll holds only its first frame
    session->stop();
    EXPECT_EQ(engine->calls().size(), 1u);  // stop did not wait for the decode
    EXPECT_EQ(log->count(Kind::final), 0u);

    std::weak_ptr<StreamSession> weak = session;
    session.reset();
    EXPECT_FALSE(weak.expired());  // the queued work keeps it alive
    engine->release();
    ASSERT_TRUE(log->waitFor(Kind::final, 2));

    EXPECT_EQ(texts(log->of(Kind::final)), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(sampleCounts(*engine), (std::vector<size_t>{frames(17), frames(4)}));
    EXPECT_EQ(engine->calls()[1].context, std::optional<std::string>("A"));
    EXPECT_EQ(engine->maxConcurrentCalls(), 1);
}

TEST_F(SessionTest, StartFailuresAreThrownAndLeaveTheMicrophoneClosed) {
    struct Case {
        const char* name;
        std::function<void(platform::FakeAudioBackend::Script&)> setup;
        std::string domain;
        long code;
        std::string message;
    };
    const Case cases[] = {
        {"permission refused", [](auto& s) { s.permission = false; }, "Verbolin", 1,
         "Microphone access was not granted. Enable it in System Settings > Privacy & Security > "
         "Microphone."},
        {"unusable device",
         [](auto& s) {
             s.format = {0, 1};
         },
         "AudioCapture", 1, "No usable input device"},
        {"device busy", [](auto& s) { s.startFailure = "device busy"; }, "FakeAudio", 7,
         "device busy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        backend = std::make_shared<platform::FakeAudioBackend>();
        c.setup(backend->script());
        make();
        try {
            session->start();
            ADD_FAILURE() << "start did not throw";
        } catch (const AppError& e) {
            EXPECT_EQ(e.domain(), c.domain);
            EXPECT_EQ(e.code(), c.code);
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_EQ(backend->runningCount(), 0);
        if (c.domain == "Verbolin") {
            EXPECT_EQ(backend->openCount(), 0);
        }
        release();
    }
}

TEST_F(SessionTest, AStoppedSessionNeverOpensTheMicrophone) {
    make();
    session->stop();
    session->start();
    EXPECT_EQ(backend->openCount(), 0);
    // Nothing was heard, so nothing is left to decode.
    EXPECT_EQ(log->all(), std::vector<Event>{Event::finished()});
}

TEST_F(SessionTest, DebugEventsCarryTheirExactDetails) {
    engine->script(Reply::held("hello"));
    startSession(false, {}, true);
    utterance(11);  // 25 frames, 2.5 s
    ASSERT_TRUE(engine->waitForCalls(1));
    clock.advance(1234ms);
    engine->release();
    ASSERT_TRUE(log->waitFor(Kind::final, 1));
    session->stop();

    EXPECT_EQ(debugEvents(), (std::vector<std::string>{
                                 "speech_start\tid=1 rms=0.5 floor=0.001 threshold=0.006",
                                 "speech_end\tid=1 seconds=2.5",
                                 "utterance_saved\tid=1 file=utterance-1.pcm",
                                 "decode_start\tfinal seconds=2.5",
                                 "decode_end\tfinal ms=1334 text=hello",
                                 "final\thello",
                                 "session_end\t",
                             }));
    EXPECT_EQ(std::filesystem::file_size(tmp / "utterance-1.pcm"), frames(25) * 2);
}

TEST_F(SessionTest, ARebuiltCaptureIsRecordedAndFramesKeepFlowing) {
    startSession(false, {}, true);
    silence(1);
    backend->changeConfiguration(true);
    main.runPending();
    main.advance(300ms);
    silence(1);
    EXPECT_EQ(log->count(Kind::level), 2u);
    const std::vector<std::string> debug = debugEvents();
    EXPECT_NE(std::find(debug.begin(), debug.end(), "route_changed\tcapture rebuilt"), debug.end());
}

TEST_F(SessionTest, ALostCaptureIsReportedOnceAndEndsTheUtteranceInProgress) {
    // Five rebuilds within 10 s, then a sixth change: the capture gives up.
    auto giveUp = [this] {
        for (int n = 0; n < 5; ++n) {
            backend->changeConfiguration(true);
            main.runPending();
            main.advance(300ms);
        }
        backend->changeConfiguration(true);
        main.runPending();
    };
    // One change whose rebuild fails the way the backend is scripted to.
    auto failedRestart = [this](std::function<void(platform::FakeAudioBackend::Script&)> breakIt) {
        return [this, breakIt] {
            backend->changeConfiguration(true);
            main.runPending();
            {
                auto lock = backend->lock();
                breakIt(backend->script());
            }
            main.advance(300ms);
        };
    };
    // A capture that gives up ends with an error; one that cannot open the
    // device again keeps trying, and the session says so once.
    struct Case {
        const char* name;
        std::function<void()> lose;
        Kind kind;
        std::string message;
        int rebuilds;
    };
    const Case cases[] = {
        {"six changes within 10 s", giveUp, Kind::error,
         "Audio capture stopped after too many device changes.", 5},
        {"no usable device after the change", failedRestart([](auto& s) {
             s.format = {0, 0};
         }),
         Kind::captureLost, "No usable input device", 0},
        {"the device cannot be opened again",
         failedRestart([](auto& s) { s.openFailure = "device unplugged"; }), Kind::captureLost,
         "device unplugged", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        backend = std::make_shared<platform::FakeAudioBackend>();
        backend->script().format = {16000, 1};
        engine = std::make_shared<testsupport::FakeSpeechEngine>();
        engine->setDefault(Reply::say("partial"));
        log = std::make_shared<EventLog>();
        startSession(false, {}, true);
        const platform::Date t0 = clock.now();
        silence(4);
        voice(5);

        c.lose();
        ASSERT_TRUE(log->waitFor(c.kind, 1));
        ASSERT_TRUE(log->waitFor(Kind::final, 1));
        EXPECT_EQ(log->of(c.kind)[0].text, c.message);
        EXPECT_EQ(log->of(Kind::final)[0].text, "partial");
        EXPECT_EQ(log->of(Kind::final)[0].start, t0 - 100ms);
        EXPECT_EQ(sampleCounts(*engine), std::vector<size_t>{frames(9)});
        // Further failed attempts are not reported again.
        main.advance(20s);
        EXPECT_EQ(log->count(c.kind), 1u);

        // A later stop has nothing left to end and nothing more to report.
        session->stop();
        ASSERT_TRUE(log->waitFor(Kind::finished, 1));
        EXPECT_EQ(log->count(Kind::error) + log->count(Kind::captureLost), 1u);
        EXPECT_EQ(log->count(Kind::final), 1u);
        EXPECT_EQ(backend->runningCount(), 0);

        std::vector<std::string> expected = {
            "speech_start\tid=1 rms=0.5 floor=0.001 threshold=0.006"};
        for (int n = 0; n < c.rebuilds; ++n) expected.push_back("route_changed\tcapture rebuilt");
        for (const char* e :
             {"utterance_saved\tid=1 file=utterance-1.pcm", "decode_start\tfinal seconds=0.9",
              "decode_end\tfinal ms=0 text=partial", "final\tpartial", "session_end\t"})
            expected.push_back(e);
        EXPECT_EQ(debugEvents(), expected);
        release();
    }
}

TEST_F(SessionTest, ASuccessfulRebuildReportsNothingAndTheUtteranceGoesOn) {
    engine->setDefault(Reply::say("whole"));
    startSession();
    silence(4);
    voice(5);
    backend->changeConfiguration(true);
    main.runPending();
    main.advance(300ms);
    ASSERT_EQ(backend->runningCount(), 1);
    voice(3);
    silence(10);
    ASSERT_TRUE(log->waitFor(Kind::final, 1));
    session->stop();
    EXPECT_EQ(log->count(Kind::error), 0u);
    EXPECT_EQ(texts(log->of(Kind::final)), std::vector<std::string>{"whole"});
    EXPECT_EQ(sampleCounts(*engine), std::vector<size_t>{frames(4 + 8 + 10)});
}

TEST_F(SessionTest, ChangesAfterStopReportNothing) {
    startSession(false, {}, true);
    silence(4);
    voice(5);
    session->stop();
    ASSERT_TRUE(log->waitFor(Kind::final, 1));
    for (int n = 0; n < 7; ++n) {
        backend->changeConfiguration(true);
        main.runPending();
        main.advance(300ms);
    }
    session->stop();
    EXPECT_EQ(log->count(Kind::error), 0u);
    EXPECT_EQ(log->count(Kind::final), 1u);
    EXPECT_EQ(backend->openCount(), 1);
    const std::vector<std::string> debug = debugEvents();
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "route_changed\tcapture rebuilt"), 0);
}

TEST_F(SessionTest, NoFrameIsHandledOnceStopHasRun) {
    startSession();
    // Fifty frames in one buffer: the feeding thread queues them as fast as
    // it can, and stop() lands somewhere among them.
    ASSERT_EQ(backend->deliver(std::vector<float>(frames(50), kVoice)), 1);
    session->stop();
    const size_t handled = log->count(Kind::level);
    // Whatever was still queued when stop() ran is handled after it; a second
    // stop() returns only once all of it has gone through the session.
    session->stop();
    EXPECT_EQ(log->count(Kind::level), handled);
    EXPECT_LE(handled, 50u);
    EXPECT_LE(log->count(Kind::final), 1u);
}

TEST_F(SessionTest, UtteranceIdsAndFileNumbersAgreeAcrossDroppedUtterancesAndSessions) {
    startSession(false, {}, true);
    utterance(1);  // too short: dropped without a file
    utterance(3);
    ASSERT_TRUE(log->waitFor(Kind::final, 2));
    session->stop();
    ASSERT_TRUE(log->waitFor(Kind::finished, 1));
    // A later session on the same recorder goes on counting.
    auto first = std::move(session);
    session = verbolin::StreamSession::create(
        engine, false, {}, {}, [log = log](Event e) { log->push(std::move(e)); },
        [&] {
            verbolin::StreamSession::Services s;
            s.main = &main;
            s.backend = backend;
            s.clock = &clock;
            s.recorder = recorder;
            return s;
        }());
    session->start();
    utterance(3);
    ASSERT_TRUE(log->waitFor(Kind::final, 3));
    session->stop();

    std::vector<std::string> saved;
    for (const auto& e : debugEvents())
        if (e.rfind("utterance_saved", 0) == 0 || e.rfind("speech_start", 0) == 0)
            saved.push_back(e.substr(0, e.find(" rms=")));
    EXPECT_EQ(saved, (std::vector<std::string>{
                         "speech_start\tid=1",
                         "speech_start\tid=2",
                         "utterance_saved\tid=2 file=utterance-2.pcm",
                         "speech_start\tid=3",
                         "utterance_saved\tid=3 file=utterance-3.pcm",
                     }));
    EXPECT_FALSE(std::filesystem::exists(tmp / "utterance-1.pcm"));
    EXPECT_TRUE(std::filesystem::exists(tmp / "utterance-2.pcm"));
    EXPECT_TRUE(std::filesystem::exists(tmp / "utterance-3.pcm"));
    first.reset();
    release();
}

TEST_F(SessionTest, FinishedFollowsTheLastFinalAfterAStop) {
    engine->script(Reply::held("first"));
    startSession();
    utterance(3);  // decoding, held
    ASSERT_TRUE(engine->waitForCalls(1));
    silence(4);
    voice(4);  // in progress at the stop
    session->stop();
    EXPECT_EQ(log->count(Kind::finished), 0u);  // two finals still to come
    engine->release();
    ASSERT_TRUE(log->waitFor(Kind::finished, 1));
    const auto all = log->all();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all.back(), Event::finished());
    const auto finals = log->of(Kind::final);
    ASSERT_EQ(finals.size(), 2u);
    EXPECT_EQ(finals[0].text, "first");
    EXPECT_TRUE(log->of(Kind::undecoded).empty());
    session->shutdown();
    session->shutdown();  // idempotent
    release();
}

// The first utterance's decode hangs inside the recogniser, or waits for a
// decoding thread held before it took the decode up; either way abandon()
// hands its audio over at once, and the thread says it is busy until it has
// come back.
TEST_F(SessionTest, AbandonHandsOverTheAudioStillToDecodeAndDropsLateResults) {
    struct Case {
        const char* name;
        bool threadHeld;
    };
    for (const Case c : {Case{"the decode hangs in the recogniser", false},
                         Case{"the decoding thread is held", true}}) {
        SCOPED_TRACE(c.name);
        engine = std::make_shared<testsupport::FakeSpeechEngine>();
        log = std::make_shared<EventLog>();
        testsupport::ThreadGate decodeThread;
        beforeDecoding = decodeThread.hook();
        if (c.threadHeld)
            decodeThread.shut();
        else
            engine->script(Reply::held("too late"));
        startSession();
        utterance(3);  // its decode hangs
        if (c.threadHeld)
            ASSERT_TRUE(decodeThread.waitForHeld());
        else
            ASSERT_TRUE(engine->waitForCalls(1));
        utterance(4);  // queued behind it
        silence(4);
        voice(3);  // in progress at the stop
        session->stop();
        session->abandon();
        ASSERT_TRUE(log->waitFor(Kind::finished, 1));
        const auto kept = log->of(Kind::undecoded);
        ASSERT_EQ(kept.size(), 3u);
        // The hung job's audio is exactly what the recogniser was given, or
        // would have been; the others are the utterances in the order they
        // were heard.
        EXPECT_EQ(kept[0].samples.size(), frames(5 + 3 - 1 + 10));
        if (!c.threadHeld) {
            EXPECT_EQ(kept[0].samples.size(), engine->calls()[0].sampleCount);
        }
        EXPECT_EQ(kept[1].samples.size(), frames(5 + 4 - 1 + 10));
        EXPECT_EQ(kept[2].samples.size(), frames(5 + 3 - 1));
        EXPECT_TRUE(log->of(Kind::final).empty());
        EXPECT_EQ(log->all().back(), Event::finished());
        if (c.threadHeld) {
            // Joining now would wait for the held thread.
            EXPECT_TRUE(session->threadsBusy());
            decodeThread.open();
        }
        EXPECT_TRUE(session->waitForThreads(30s));
        session->shutdown();  // returns: the hung decode saw the cancellation
        EXPECT_EQ(engine->cancelledCount(), c.threadHeld ? 0 : 1);
        EXPECT_TRUE(log->of(Kind::final).empty());
        // The queued ones never ran, nor did the one given up before its
        // thread came to it.
        EXPECT_EQ(engine->calls().size(), c.threadHeld ? 0u : 1u);
        session->abandon();  // after finished: nothing more
        EXPECT_EQ(log->count(Kind::finished), 1u);
        release();
        beforeDecoding = {};
    }
}
