#pragma once
// Scratch memory a model reuses across predictions. Each running prediction
// leases a set of its own, so concurrent predictions never share memory; the
// lease hands the set back when it goes away, also when the prediction
// throws, so a failed prediction never costs a fresh allocation later.

#include <cstddef>
#include <iterator>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace platform::ml {

template <class T>
class ScratchPool {
  public:
    class Lease {
      public:
        Lease(Lease&& other) noexcept : pool_(other.pool_), item_(std::move(other.item_)) {}
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() {
            if (item_) pool_->put(std::move(item_));
        }

        T& operator*() const { return *item_; }
        T* operator->() const { return item_.get(); }

      private:
        friend class ScratchPool;
        Lease(ScratchPool* pool, std::unique_ptr<T> item) : pool_(pool), item_(std::move(item)) {}

        ScratchPool* pool_;
        std::unique_ptr<T> item_;
    };

    // An idle set, or a new one from make() when none is idle. make runs
    // outside the lock, so a slow allocation does not hold up other leases.
    template <class Make>
    Lease acquire(Make&& make) {
        {
            std::lock_guard lock(m_);
            if (!idle_.empty()) {
                auto item = std::move(idle_.back());
                idle_.pop_back();
                return Lease(this, std::move(item));
            }
        }
        return Lease(this, make());
    }

    // The same, preferring the most recently returned idle set for which
    // prefer(set) holds: sets that cache something (a decoder's cross-attention
    // keys for one window) go back to the caller that filled them.
    template <class Prefer, class Make>
    Lease acquire(Prefer&& prefer, Make&& make) {
        {
            std::lock_guard lock(m_);
            if (!idle_.empty()) {
                auto it = idle_.end();
                for (auto i = idle_.rbegin(); i != idle_.rend(); ++i)
                    if (prefer(static_cast<const T&>(**i))) {
                        it = std::prev(i.base());
                        break;
                    }
                if (it == idle_.end()) it = std::prev(idle_.end());
                auto item = std::move(*it);
                idle_.erase(it);
                return Lease(this, std::move(item));
            }
        }
        return Lease(this, make());
    }

    std::size_t idleCount() const {
        std::lock_guard lock(m_);
        return idle_.size();
    }

  private:
    void put(std::unique_ptr<T> item) {
        std::lock_guard lock(m_);
        idle_.push_back(std::move(item));
    }

    mutable std::mutex m_;
    std::vector<std::unique_ptr<T>> idle_;
};

}  // namespace platform::ml
