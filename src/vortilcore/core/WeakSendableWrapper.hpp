#pragma once
// A weak reference that can be handed between threads and captured by
// concurrent work. Holding the wrapper does not keep the object alive; reading
// yields the live object or nullptr, never a dangling pointer. Share the
// wrapper itself through std::shared_ptr.

#include <memory>
#include <mutex>
#include <utility>

namespace vortil {

template <class T>
class WeakSendableWrapper final {
  public:
    explicit WeakSendableWrapper(const std::shared_ptr<T>& value) : value_(value) {}
    WeakSendableWrapper(const WeakSendableWrapper&) = delete;
    WeakSendableWrapper& operator=(const WeakSendableWrapper&) = delete;

    std::shared_ptr<T> value() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return value_.lock();
    }

    void setValue(const std::shared_ptr<T>& value) {
        std::lock_guard<std::mutex> guard(mutex_);
        value_ = value;
    }

    // Loads the object strongly, lets change() replace the reference, and stores
    // the result back weakly. The object stays alive for the duration of change().
    template <class Change>
    void modifyValue(Change&& change) {
        std::shared_ptr<T> strong = value();
        std::forward<Change>(change)(strong);
        setValue(strong);
    }

  private:
    mutable std::mutex mutex_;
    std::weak_ptr<T> value_;
};

}  // namespace vortil
