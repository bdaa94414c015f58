#pragma once
// Change tracking for the application's models, in the spirit of an
// observation framework: an object owns one ObservationRegistrar, and each of
// its observable fields is an Observable<T> bound to that registrar.
//
// - Reading a field through get() records the read in the current tracking
//   scope (see withObservationTracking), so a view learns what it depends on.
// - set() with a value equal to the current one stores it quietly; a
//   different value notifies. mutate() (in-place change) always notifies.
// - A write hook runs after every write, equal or not, before any observer
//   hears of it, so derived caches are already invalid when views re-read.
// - Callbacks run synchronously on the thread that made the change. Models
//   are confined to one thread; nothing here is locked.

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace platform {

// Cancels an observation when destroyed or when cancel() is called. It may
// outlive the observed object safely.
class ObservationToken {
  public:
    ObservationToken() = default;
    explicit ObservationToken(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    ObservationToken(ObservationToken&& o) noexcept : cancel_(std::exchange(o.cancel_, nullptr)) {}
    ObservationToken& operator=(ObservationToken&& o) noexcept {
        if (this != &o) {
            cancel();
            cancel_ = std::exchange(o.cancel_, nullptr);
        }
        return *this;
    }
    ObservationToken(const ObservationToken&) = delete;
    ObservationToken& operator=(const ObservationToken&) = delete;
    ~ObservationToken() { cancel(); }

    void cancel() {
        if (auto c = std::exchange(cancel_, nullptr)) c();
    }
    bool active() const { return cancel_ != nullptr; }

  private:
    std::function<void()> cancel_;
};

class ObservationRegistrar {
  public:
    using Key = const void*;  // identifies one observable field; nullptr means "any field"
    using Callback = std::function<void()>;

    ObservationRegistrar() : state_(std::make_shared<State>()) {}
    ObservationRegistrar(const ObservationRegistrar&) = delete;
    ObservationRegistrar& operator=(const ObservationRegistrar&) = delete;

    // Records a read of `key` in the innermost tracking scope of this thread.
    void access(Key key) const {
        if (Scope* s = currentScope()) s->reads.push_back({state_, key});
    }

    // Tells the observers of `key`, then the observers of every field. An
    // observer may release the model that owns this registrar, so the walk
    // holds its own reference to the observer list.
    void notify(Key key) {
        std::shared_ptr<State> keep = state_;
        notify(keep, key);
    }

    // Calls `callback` after every notified change of `key` (nullptr: of any field).
    [[nodiscard]] ObservationToken observe(Key key, Callback callback) {
        return observe(state_, key, std::move(callback));
    }

    // Number of observers still registered; handy for checking that
    // observations are released.
    size_t observerCount() const {
        size_t n = 0;
        for (auto& e : state_->entries)
            if (e->active) ++n;
        return n;
    }

    // Runs `apply`, then calls `onChange` once, after the first later change of
    // any observable field that `apply` read. The token cancels the observation
    // early. A field read more than once is observed once.
    template <class Apply>
    [[nodiscard]] static ObservationToken withObservationTracking(Apply&& apply,
                                                                  Callback onChange) {
        Scope scope;
        scope.parent = currentScope();
        currentScope() = &scope;
        struct Restore {
            Scope* parent;
            ~Restore() { currentScope() = parent; }
        } restore{scope.parent};
        std::forward<Apply>(apply)();
        currentScope() = scope.parent;
        if (scope.parent)  // an enclosing scope also depends on these reads
            scope.parent->reads.insert(scope.parent->reads.end(), scope.reads.begin(),
                                       scope.reads.end());
        return trackReads(scope.reads, std::move(onChange));
    }

  private:
    struct Entry {
        Key key;
        Callback callback;
        bool active = true;
    };
    struct State {
        std::vector<std::shared_ptr<Entry>> entries;
        int notifyDepth = 0;
    };
    struct Read {
        std::weak_ptr<State> state;
        Key key;
    };
    struct Scope {
        Scope* parent = nullptr;
        std::vector<Read> reads;
    };

    static Scope*& currentScope() {
        thread_local Scope* scope = nullptr;
        return scope;
    }

    static ObservationToken observe(const std::shared_ptr<State>& state, Key key, Callback cb) {
        auto entry = std::make_shared<Entry>(Entry{key, std::move(cb)});
        state->entries.push_back(entry);
        std::weak_ptr<State> weakState = state;
        std::weak_ptr<Entry> weakEntry = entry;
        return ObservationToken([weakState, weakEntry] {
            auto e = weakEntry.lock();
            if (!e) return;
            e->active = false;
            if (auto s = weakState.lock()) compact(*s);
        });
    }

    static void compact(State& s) {
        if (s.notifyDepth > 0) return;  // never reshuffle the list while it is being walked
        std::erase_if(s.entries, [](const std::shared_ptr<Entry>& e) { return !e->active; });
    }

    static void notify(const std::shared_ptr<State>& state, Key key) {
        // Observers may subscribe or cancel from inside a callback, so walk a
        // snapshot and skip entries cancelled on the way.
        std::vector<std::shared_ptr<Entry>> targets;
        for (auto& e : state->entries)
            if (e->active && e->key == key) targets.push_back(e);
        for (auto& e : state->entries)
            if (e->active && e->key == nullptr && key != nullptr) targets.push_back(e);
        ++state->notifyDepth;
        struct Leave {
            State& s;
            ~Leave() {
                --s.notifyDepth;
                compact(s);
            }
        } leave{*state};
        for (auto& e : targets)
            if (e->active) e->callback();
    }

    static ObservationToken trackReads(const std::vector<Read>& reads, Callback onChange) {
        if (reads.empty()) return {};
        // One shared record so that the first change fires once and then
        // cancels every other observation of the same tracking.
        struct Tracking {
            Callback onChange;
            std::vector<ObservationToken> tokens;
            bool fired = false;
        };
        auto tracking = std::make_shared<Tracking>();
        tracking->onChange = std::move(onChange);
        std::weak_ptr<Tracking> weak = tracking;
        std::vector<std::pair<State*, Key>> seen;
        for (const Read& r : reads) {
            auto state = r.state.lock();
            if (!state) continue;
            std::pair<State*, Key> id{state.get(), r.key};
            bool dup = false;
            for (auto& s : seen) dup = dup || s == id;
            if (dup) continue;
            seen.push_back(id);
            tracking->tokens.push_back(observe(state, r.key, [weak] {
                auto t = weak.lock();
                if (!t || t->fired) return;
                t->fired = true;
                auto callback = std::move(t->onChange);
                auto tokens = std::move(t->tokens);
                for (auto& tok : tokens) tok.cancel();
                if (callback) callback();
            }));
        }
        // The returned token owns the tracking; cancelling it drops every observation.
        return ObservationToken([tracking] {
            tracking->fired = true;
            auto tokens = std::move(tracking->tokens);
            for (auto& tok : tokens) tok.cancel();
            tracking->onChange = nullptr;
        });
    }

    std::shared_ptr<State> state_;
};

template <class T>
class Observable {
  public:
    explicit Observable(ObservationRegistrar& registrar, T initial = T{})
        : registrar_(registrar), value_(std::move(initial)) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    // Registers the read with the current tracking scope.
    const T& get() const {
        registrar_.access(this);
        return value_;
    }

    // Reads without registering: for the owner's own bookkeeping.
    const T& peek() const noexcept { return value_; }

    // Stores the value; notifies only when it differs (by ==) from the old one.
    void set(T value) {
        bool same = value == value_;
        value_ = std::move(value);
        afterWrite();
        if (!same) registrar_.notify(this);
    }

    // Changes the value in place; always notifies, whatever `change` did.
    template <class F>
    void mutate(F&& change) {
        std::forward<F>(change)(value_);
        afterWrite();
        registrar_.notify(this);
    }

    // Runs after every set() and mutate(), before observers are told.
    void setWriteHook(std::function<void()> hook) { writeHook_ = std::move(hook); }

    [[nodiscard]] ObservationToken observe(ObservationRegistrar::Callback callback) {
        return registrar_.observe(this, std::move(callback));
    }

    ObservationRegistrar::Key key() const { return this; }

  private:
    void afterWrite() {
        if (writeHook_) writeHook_();
    }

    ObservationRegistrar& registrar_;
    T value_;
    std::function<void()> writeHook_;
};

}  // namespace platform
