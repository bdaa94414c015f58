#pragma once
// A listening session wired to a fake microphone, a scripted recogniser and
// virtual time. Frames are pushed one at a time; each push waits until the
// session has handled the frame (every handled frame emits exactly one level
// event), then moves the clock on by 0.1 s, so the session sees real frame
// timing without the test ever sleeping.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "support/FakeAudioBackend.hpp"
#include "support/FakeSpeechEngine.hpp"
#include "support/ManualMainExecutor.hpp"
#include "support/TempDir.hpp"
#include "verbolin/listening/StreamSession.hpp"

namespace sessiontest {

using namespace std::chrono_literals;
using Event = verbolin::StreamSession::Event;
using Kind = verbolin::StreamSession::Event::Kind;
using Reply = testsupport::FakeSpeechEngine::Reply;

constexpr float kVoice = 0.5f;  // RMS 0.5 exactly, far above any threshold
constexpr size_t kFrame = 1600;

// Everything the session emitted, in order; safe to fill from its thread.
class EventLog {
  public:
    void push(Event e) {
        {
            std::lock_guard lock(m_);
            events_.push_back(std::move(e));
        }
        cv_.notify_all();
    }

    std::vector<Event> all() const {
        std::lock_guard lock(m_);
        return events_;
    }

    std::vector<Event> of(Kind kind) const {
        std::vector<Event> out;
        for (const Event& e : all())
            if (e.kind == kind) out.push_back(e);
        return out;
    }

    size_t count(Kind kind) const { return of(kind).size(); }

    // Waits until at least `n` events of the kind have arrived.
    bool waitFor(Kind kind, size_t n, std::chrono::milliseconds timeout = 30s) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, timeout, [&] {
            size_t c = 0;
            for (const Event& e : events_) c += e.kind == kind;
            return c >= n;
        });
    }

  private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// Counts the sessions that still exist. Each session's emit callback holds a
// token, and a session destroys its callback only after its destructor has
// handed everything it still needs to the main executor.
class Liveness {
  public:
    class Token {
      public:
        explicit Token(std::shared_ptr<Liveness> owner) : owner_(std::move(owner)) {
            std::lock_guard lock(owner_->m_);
            ++owner_->alive_;
        }
        ~Token() {
            std::lock_guard lock(owner_->m_);
            --owner_->alive_;
            owner_->cv_.notify_all();
        }
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;

      private:
        std::shared_ptr<Liveness> owner_;
    };

    bool waitUntilNoneAlive(std::chrono::milliseconds timeout = 30s) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, timeout, [&] { return alive_ == 0; });
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    int alive_ = 0;
};

class SessionTest : public ::testing::Test {
  protected:
    SessionTest()
        : main(clock),
          backend(std::make_shared<platform::FakeAudioBackend>()),
          engine(std::make_shared<testsupport::FakeSpeechEngine>()) {
        backend->script().format = {16000, 1};  // buffers reach the session unchanged
    }

    void TearDown() override { release(); }

    // Creates (not starts) the session.
    void make(bool previewEnabled = false, verbolin::StreamSession::PreviewWanted wanted = {},
              bool withRecorder = false) {
        if (withRecorder) recorder = std::make_shared<verbolin::DebugRecorder>(tmp.path(), clock);
        verbolin::StreamSession::Services services;
        services.main = &main;
        services.backend = backend;
        services.clock = &clock;
        services.recorder = recorder;
        services.beforeFraming = beforeFraming;
        services.beforeDecoding = beforeDecoding;
        auto token = std::make_shared<Liveness::Token>(liveness);
        session = verbolin::StreamSession::create(
            engine, previewEnabled, std::move(wanted), {},
            [log = log, token, onEmit = onEmit](Event e) {
                if (onEmit) onEmit(e);
                log->push(std::move(e));
            },
            services);
    }

    void startSession(bool previewEnabled = false,
                      verbolin::StreamSession::PreviewWanted wanted = {},
                      bool withRecorder = false) {
        make(previewEnabled, std::move(wanted), withRecorder);
        session->start();
    }

    // Hands raw samples to the microphone and waits until the session has
    // handled `frames` more frames.
    void deliver(const std::vector<float>& samples, size_t frames) {
        const size_t before = log->count(Kind::level);
        ASSERT_EQ(backend->deliver(samples), 1);
        ASSERT_TRUE(log->waitFor(Kind::level, before + frames))
            << "session did not handle the frames";
    }

    void frame(float amplitude) {
        deliver(std::vector<float>(kFrame, amplitude), 1);
        clock.advance(100ms);
    }
    void silence(int n) {
        for (int i = 0; i < n; ++i) frame(0);
    }
    void voice(int n) {
        for (int i = 0; i < n; ++i) frame(kVoice);
    }

    // A whole utterance after a full preroll of silence: `voiced` frames of
    // speech, then the ten silent frames that end it. Its samples number
    // (5 + voiced - 1 + 10) * 1600.
    void utterance(int voiced) {
        silence(4);
        voice(voiced);
        silence(10);
    }

    // Lets go of the session, waits until every session made is gone (their
    // pending decodes done), then lets the main executor reap the threads
    // handed to it.
    void release() {
        session.reset();
        EXPECT_TRUE(liveness->waitUntilNoneAlive()) << "a session is still alive";
        main.runPending();
    }

    // The session's own debug events, "name\tdetail", in order.
    std::vector<std::string> debugEvents() {
        recorder->flush();
        static const std::vector<std::string> ours = {
            "speech_start", "speech_end", "utterance_saved", "decode_start", "decode_end",
            "final",        "preview",    "route_changed",   "session_end"};
        std::vector<std::string> out;
        std::istringstream in(testsupport::readFile(tmp / "events.log"));
        std::string line;
        while (std::getline(in, line)) {
            std::string rest = line.substr(line.find('\t') + 1);
            std::string name = rest.substr(0, rest.find('\t'));
            if (std::find(ours.begin(), ours.end(), name) != ours.end()) out.push_back(rest);
        }
        return out;
    }

    testsupport::TempDir tmp;
    platform::VirtualClock clock;
    platform::ManualMainExecutor main;
    std::shared_ptr<platform::FakeAudioBackend> backend;
    std::shared_ptr<testsupport::FakeSpeechEngine> engine;
    std::shared_ptr<verbolin::DebugRecorder> recorder;
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
    std::shared_ptr<Liveness> liveness = std::make_shared<Liveness>();
    std::shared_ptr<verbolin::StreamSession> session;
    // Set before make(): run on the session's feeding thread before each
    // captured array, and on its actor before each event is logged.
    std::function<void()> beforeFraming;
    std::function<void(const Event&)> onEmit;
    // Set before make(): run on the session's decoding thread before it
    // takes up each job.
    std::function<void()> beforeDecoding;
};

}  // namespace sessiontest
