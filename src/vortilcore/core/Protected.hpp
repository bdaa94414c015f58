#pragma once
// A value kept inside a lock's own heap storage. Unlike PropertyLock, copies of
// a Protected share both the lock and the value. get() copies under the lock,
// set() replaces under the lock; modify() is a locked read, an unlocked change
// and a locked write, not atomic as a whole.

#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace vortil {

// A trait rather than Value::value_type in the constraint below: some
// compilers check that name for every Value, optional or not.
template <class T>
inline constexpr bool isStdOptional = false;
template <class T>
inline constexpr bool isStdOptional<std::optional<T>> = true;

template <class Value>
class Protected {
  public:
    // Only for optionals: the state starts as nothing.
    Protected() requires isStdOptional<Value> : Protected(Value{}) {}
    explicit Protected(Value wrappedValue)
        : storage_(std::make_shared<Storage>(std::move(wrappedValue))) {}

    Protected(const Protected&) = default;
    Protected& operator=(const Protected&) = default;

    Value get() const {
        std::lock_guard<std::mutex> guard(storage_->mutex);
        return storage_->value;
    }

    void set(Value newValue) {
        std::lock_guard<std::mutex> guard(storage_->mutex);
        storage_->value = std::move(newValue);
    }

    template <class Change>
    void modify(Change&& change) {
        Value copy = get();
        std::forward<Change>(change)(copy);
        set(std::move(copy));
    }

  private:
    struct Storage {
        explicit Storage(Value v) : value(std::move(v)) {}
        std::mutex mutex;
        Value value;
    };
    std::shared_ptr<Storage> storage_;
};

}  // namespace vortil
