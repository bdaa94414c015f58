#pragma once
// Fans one sequence of states out to any number of subscribers. Each
// subscriber gets its own unbounded stream that starts with the most recent
// state (or, before the first broadcast, the initial state), so a listener
// that joins late still learns where things stand.
//
// The broadcaster keeps only weak references to the streams: a consumer that
// drops its stream unsubscribes. Destroying the broadcaster finishes every
// live stream, so no consumer waits for ever on a producer that is gone.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/system/AsyncStream.hpp"

namespace vortil {

template <class T>
class Broadcaster {
  public:
    using Stream = platform::AsyncStream<T>;
    using InitialState = std::function<std::optional<T>()>;

    explicit Broadcaster(InitialState initialState)
        : initialState_(std::move(initialState)), state_(std::make_shared<State>()) {}

    ~Broadcaster() {
        std::vector<std::weak_ptr<Stream>> streams;
        {
            std::lock_guard lock(state_->m);
            for (auto& [key, stream] : state_->continuations) streams.push_back(stream);
            state_->continuations.clear();
        }
        for (auto& weak : streams) {
            if (auto stream = weak.lock()) stream->finish();
        }
    }

    Broadcaster(const Broadcaster&) = delete;
    Broadcaster& operator=(const Broadcaster&) = delete;

    // A new stream that first holds the latest state. The replay and the
    // registration happen together under the lock, so a broadcast is never
    // missed, reordered before the replayed state, or delivered twice.
    std::shared_ptr<Stream> subscribe() {
        auto stream = Stream::make();
        std::optional<T> initial;
        bool haveLatest;
        {
            std::lock_guard lock(state_->m);
            haveLatest = state_->latestState.has_value();
        }
        // The initial state is the caller's function: never call it under our lock.
        if (!haveLatest && initialState_) initial = initialState_();

        uint64_t key;
        {
            std::lock_guard lock(state_->m);
            if (state_->latestState) {
                stream->yield(*state_->latestState);
            } else if (initial) {
                stream->yield(std::move(*initial));
            }
            key = state_->nextKey++;
            state_->continuations.emplace(key, stream);
        }
        std::weak_ptr<State> weakState = state_;
        stream->setOnTermination([weakState, key] {
            if (auto state = weakState.lock()) {
                std::lock_guard lock(state->m);
                state->continuations.erase(key);
            }
        });
        return stream;
    }

    // Records the state and hands it to every live subscriber, in subscription
    // order. Never blocks on a slow consumer (the streams are unbounded).
    void broadcast(T state) {
        // Streams kept alive here are released only after the lock is given
        // back: releasing the last reference runs the stream's termination
        // handler, which takes the lock itself.
        std::vector<std::shared_ptr<Stream>> live;
        std::lock_guard lock(state_->m);
        state_->latestState = state;
        for (auto& [key, weak] : state_->continuations) {
            if (auto stream = weak.lock()) {
                stream->yield(state);
                live.push_back(std::move(stream));
            }
        }
        // `live` is declared before `lock`, so it is destroyed after the unlock.
    }

    size_t subscriberCount() const {
        std::lock_guard lock(state_->m);
        return state_->continuations.size();
    }

  private:
    struct State {
        mutable std::mutex m;
        std::optional<T> latestState;
        std::map<uint64_t, std::weak_ptr<Stream>> continuations;
        uint64_t nextKey = 0;
    };

    InitialState initialState_;
    std::shared_ptr<State> state_;
};

}  // namespace vortil
