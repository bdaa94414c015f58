// A stop keeps everything the microphone delivered before it: the buffers the
// feeding thread has not read yet, the frames queued on the session, and the
// samples short of a last frame. A feeding thread that never catches up
// delays the stop by a bounded wait only.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <iostream>
#include <mutex>
#include <thread>

#include "SessionHarness.hpp"
#include "support/TempDir.hpp"
#include "support/WaitUntil.hpp"

using namespace sessiontest;
using verbolin::StreamSession;

namespace {

// Voiced samples, each value telling its place, so a lost, doubled or
// misplaced stretch shows in the utterance file.
std::vector<float> speechSamples(size_t n, size_t from = 0) {
    std::vector<float> out(n);
    for (size_t i = 0; i < n; ++i) {
        const size_t k = from + i;
        out[i] = (k % 2 ? -1.0f : 1.0f) * (0.3f + 0.01f * float(k % 23));
    }
    return out;
}

// Holds the feeding thread before each captured array while it is shut, and
// slows it by `pace` per array. Opening it (at the latest when it goes) lets
// a held thread go on.
class FeedGate {
  public:
    explicit FeedGate(std::chrono::milliseconds pace = {}) : state_(std::make_shared<State>()) {
        state_->pace = pace;
    }
    ~FeedGate() { open(); }
    FeedGate(const FeedGate&) = delete;
    FeedGate& operator=(const FeedGate&) = delete;

    std::function<void()> hook() const {
        return [state = state_] {
            std::unique_lock lock(state->m);
            ++state->arrays;
            state->cv.notify_all();
            state->cv.wait(lock, [&] { return !state->shut; });
            lock.unlock();
            if (state->pace.count() > 0) std::this_thread::sleep_for(state->pace);
        };
    }
    void shut() {
        std::lock_guard lock(state_->m);
        state_->shut = true;
    }
    void open() {
        {
            std::lock_guard lock(state_->m);
            state_->shut = false;
        }
        state_->cv.notify_all();
    }
    // Waits until the feeding thread has come to `n` arrays in all.
    bool waitForArrays(size_t n) {
        std::unique_lock lock(state_->m);
        return state_->cv.wait_for(lock, 5s, [&] { return state_->arrays >= n; });
    }

  private:
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool shut = false;
        size_t arrays = 0;
        std::chrono::milliseconds pace{0};
    };
    std::shared_ptr<State> state_;
};

using testsupport::waitUntil;

// What an utterance holds that began after four silent frames.
std::vector<float> afterSilentPreroll(const std::vector<float>& said) {
    std::vector<float> out(4 * kFrame + said.size(), 0.0f);
    std::copy(said.begin(), said.end(), out.begin() + long(4 * kFrame));
    return out;
}

std::vector<std::string> texts(const std::vector<Event>& events) {
    std::vector<std::string> out;
    for (const Event& e : events) out.push_back(e.text);
    return out;
}

std::string pcmOf(const std::vector<float>& samples) {
    const std::vector<uint8_t> bytes = verbolin::DebugRecorder::pcm16(samples);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST_F(SessionTest, AStopKeepsEverySampleDeliveredBeforeIt) {
    enum class Lag { none, actor, feeder, feederHeld };
    struct Case {
        const char* name;
        std::vector<size_t> chunks;  // sizes of the burst's arrays, delivered at once
        Lag lag;
    };
    const Case cases[] = {
        {"whole frames, stop at once", {kFrame * 6}, Lag::none},
        {"stop mid-frame", {kFrame * 3 + 700, 999, 1, 2400}, Lag::none},
        {"a single sample past the last frame", {kFrame * 5 + 1}, Lag::none},
        {"frames still queued on the session", {kFrame * 20 + 333}, Lag::actor},
        {"slowed feeding thread", std::vector<size_t>(25, 1000), Lag::feeder},
        {"feeding thread held until the stop began",
         {kFrame * 2, 1234, kFrame * 4, 17},
         Lag::feederHeld},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine = std::make_shared<testsupport::FakeSpeechEngine>();
        engine->setDefault(Reply::say("last words"));
        log = std::make_shared<EventLog>();
        FeedGate gate(c.lag == Lag::feeder ? 3ms : 0ms);
        beforeFraming = gate.hook();
        onEmit = {};
        if (c.lag == Lag::actor)
            onEmit = [](const Event& e) {
                if (e.kind == Kind::level) std::this_thread::sleep_for(2ms);
            };
        testsupport::TempDir dir;
        recorder = std::make_shared<verbolin::DebugRecorder>(dir.path(), clock);
        make();
        session->start();
        silence(4);
        const size_t shownBefore = log->all().size();

        if (c.lag == Lag::feederHeld) gate.shut();
        std::vector<float> burst;
        for (size_t n : c.chunks) {
            std::vector<float> chunk = speechSamples(n, burst.size());
            burst.insert(burst.end(), chunk.begin(), chunk.end());
            ASSERT_EQ(backend->deliver(chunk), 1);
        }
        if (c.lag == Lag::feederHeld) {
            // The stop has begun (the microphone is off) before the feeding
            // thread has read anything of the burst.
            ASSERT_TRUE(gate.waitForArrays(5));
            auto stopping = std::async(std::launch::async, [this] { session->stop(); });
            ASSERT_TRUE(waitUntil([&] { return backend->runningCount() == 0; }));
            gate.open();
            stopping.get();
        } else {
            session->stop();
        }
        ASSERT_TRUE(log->waitFor(Kind::finished, 1));

        // Four silent frames of preroll, then the whole burst, in order.
        const std::vector<float> expected = afterSilentPreroll(burst);
        EXPECT_EQ(engine->calls().size(), 1u);
        const size_t heard = engine->calls().empty() ? 0 : engine->calls()[0].sampleCount;
        EXPECT_EQ(heard, expected.size())
            << "lost " << (double(expected.size()) - double(heard)) / 16.0 << " ms of audio";
        recorder->flush();
        EXPECT_TRUE(testsupport::readFile(dir / "utterance-1.pcm") == pcmOf(expected))
            << "the utterance's audio is not the audio delivered";
        EXPECT_EQ(texts(log->of(Kind::final)), std::vector<std::string>{"last words"});
        EXPECT_EQ(log->all().back(), Event::finished());
        if (c.lag == Lag::feederHeld) {
            // Heard only after the stop: it completes the utterance but is
            // not shown as if listening went on.
            const std::vector<Event> all = log->all();
            for (size_t i = shownBefore; i < all.size(); ++i) {
                EXPECT_NE(all[i].kind, Kind::level) << i;
                EXPECT_NE(all[i].kind, Kind::speechStarted) << i;
            }
        }
        gate.open();
        release();
        recorder.reset();
    }
}

// The feeding thread never comes back to hand the last buffer over: the stop
// goes on after its bounded wait with what was heard, and nothing the thread
// does once it is let go reaches the session.
TEST_F(SessionTest, AFeedingThreadThatNeverCatchesUpHoldsTheStopForTheBoundOnly) {
    engine->setDefault(Reply::say("what was heard"));
    FeedGate gate;
    beforeFraming = gate.hook();
    startSession();
    silence(4);
    voice(5);
    gate.shut();
    ASSERT_EQ(backend->deliver(speechSamples(kFrame * 3 + 100)), 1);
    ASSERT_TRUE(gate.waitForArrays(10));  // held with the last buffer

    const auto began = std::chrono::steady_clock::now();
    auto stopping = std::async(std::launch::async, [this] { session->stop(); });
    // A generous liveness bound, not a measurement: a stop that waited for
    // the held thread would never return.
    const bool returned =
        stopping.wait_for(StreamSession::kFeedDrainLimit * 20) == std::future_status::ready;
    const auto waited = std::chrono::steady_clock::now() - began;
    if (!returned) gate.open();
    ASSERT_TRUE(returned) << "stop() waited for a feeding thread that never came back";
    stopping.get();
    ASSERT_TRUE(log->waitFor(Kind::finished, 1));
    std::cout << "[ INFO     ] stop returned after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms\n";

    EXPECT_EQ(texts(log->of(Kind::final)), std::vector<std::string>{"what was heard"});
    ASSERT_EQ(engine->calls().size(), 1u);
    EXPECT_EQ(engine->calls()[0].sampleCount, 9 * kFrame);  // the held buffer is not in it
    EXPECT_EQ(log->all().back(), Event::finished());
    const size_t events = log->all().size();

    // Still held: joining it now would wait for as long as it is.
    EXPECT_TRUE(session->threadsBusy());
    // Let go, the thread finds the session stopped and hands over nothing.
    gate.open();
    ASSERT_TRUE(gate.waitForArrays(10));
    EXPECT_TRUE(session->waitForThreads(30s));
    session->stop();
    session->shutdown();  // joins the feeding thread
    EXPECT_EQ(log->all().size(), events);
    EXPECT_EQ(engine->calls().size(), 1u);
}

// The microphone delivers from its own thread while the user stops: each
// buffer it handed over before the stop is heard whole, none after it, and
// the utterance is exactly those buffers in order.
TEST_F(SessionTest, BuffersDeliveredDuringTheStopAreHeardWholeAndNoneAfterIt) {
    constexpr size_t kChunk = 480;       // 30 ms, as an audio server hands them out
    constexpr size_t kMostChunks = 700;  // 21 s, under the longest utterance
    std::string landings;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        engine = std::make_shared<testsupport::FakeSpeechEngine>();
        log = std::make_shared<EventLog>();
        testsupport::TempDir dir;
        recorder = std::make_shared<verbolin::DebugRecorder>(dir.path(), clock);
        make();
        session->start();
        silence(4);

        std::atomic<size_t> accepted{0};
        std::thread microphone([&] {
            for (size_t n = 0; n < kMostChunks; ++n) {
                if (backend->deliver(speechSamples(kChunk, n * kChunk)) == 0) return;
                ++accepted;
                // Faster than real time, yet slow enough for the stop to land
                // inside the stream rather than after its end.
                std::this_thread::sleep_for(200us);
            }
        });
        // Stop a little way into the stream (past the three voiced frames an
        // utterance needs to be decoded), at a different point each round.
        ASSERT_TRUE(waitUntil([&] { return accepted >= size_t(10 + round * 3); }));
        session->stop();
        const size_t atStop = accepted;
        microphone.join();
        landings += " " + std::to_string(atStop);
        // Past the stop's return the microphone is off: at most the buffer
        // that was on its way through the backend then was taken.
        EXPECT_LE(accepted - atStop, 1u);
        ASSERT_TRUE(log->waitFor(Kind::finished, 1));

        const std::vector<float> expected = afterSilentPreroll(speechSamples(accepted * kChunk));
        ASSERT_EQ(engine->calls().size(), 1u);
        EXPECT_EQ(engine->calls()[0].sampleCount, expected.size());
        recorder->flush();
        EXPECT_TRUE(testsupport::readFile(dir / "utterance-1.pcm") == pcmOf(expected));
        release();
        recorder.reset();
    }
    std::cout << "[ INFO     ] the stops landed after" << landings << " buffers\n";
}

// A capture that gives up on a device that keeps changing ends its stream as
// a stop does; the samples short of a last frame are part of the utterance
// it ends too.
TEST_F(SessionTest, AStreamThatEndsOnItsOwnKeepsTheSamplesShortOfALastFrame) {
    engine->setDefault(Reply::say("cut off"));
    startSession();
    silence(4);
    voice(5);
    ASSERT_EQ(backend->deliver(speechSamples(900)), 1);
    for (int n = 0; n < 5; ++n) {
        backend->changeConfiguration(true);
        main.runPending();
        main.advance(300ms);
    }
    backend->changeConfiguration(true);
    main.runPending();
    ASSERT_TRUE(log->waitFor(Kind::final, 1));
    EXPECT_EQ(log->of(Kind::error),
              std::vector<Event>{Event::error(StreamSession::kCaptureGaveUpMessage)});
    ASSERT_EQ(engine->calls().size(), 1u);
    EXPECT_EQ(engine->calls()[0].sampleCount, 9 * kFrame + 900);
    session->stop();
    ASSERT_TRUE(log->waitFor(Kind::finished, 1));
    EXPECT_EQ(log->count(Kind::final), 1u);
}

// Samples short of a frame at the stop begin no utterance of their own: too
// short to be decoded, they would only announce speech after the stop.
TEST_F(SessionTest, SamplesShortOfAFrameOutsideAnUtteranceAreLeftAtTheStop) {
    startSession();
    silence(6);
    ASSERT_EQ(backend->deliver(speechSamples(kFrame - 1)), 1);
    session->stop();
    ASSERT_TRUE(log->waitFor(Kind::finished, 1));
    EXPECT_EQ(log->count(Kind::speechStarted), 0u);
    EXPECT_EQ(log->count(Kind::final), 0u);
    EXPECT_TRUE(engine->calls().empty());
}
