#pragma once
// A value guarded by its own lock. Every single read returns a copy taken under
// the lock and every single write replaces the value under the lock (the old
// value is destroyed inside the locked section).
//
// modify() is a locked read, an unlocked change of the copy and a locked write
// back: it takes the lock twice and is not atomic as a whole, so two threads
// doing read-modify-write on the same wrapper can lose an update. That also
// means the change may touch other wrapped values without deadlocking.
//
// A copy shares the original's lock but has a value of its own. In JSON the
// wrapper is exactly the bare value: an absent optional is a single null.

#include <concepts>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <type_traits>
#include <utility>

#include "vortilcore/core/UnfairLock.hpp"

namespace vortil {

namespace detail {
template <class T>
struct IsOptionalValue : std::false_type {};
template <class T>
struct IsOptionalValue<std::optional<T>> : std::true_type {};
}  // namespace detail

template <class Value>
class PropertyLock {
  public:
    PropertyLock() requires std::default_initializable<Value> : PropertyLock(Value{}) {}
    PropertyLock(Value wrappedValue)  // NOLINT: converting, as the wrapped property would be
        : lock_(std::make_shared<UnfairLock>()), value_(std::move(wrappedValue)) {}

    PropertyLock(const PropertyLock& other) : lock_(other.lock_), value_(other.get()) {}

    // Assigning a whole wrapper writes the other's value in under this
    // wrapper's own lock, so readers of this wrapper never race the assignment.
    PropertyLock& operator=(const PropertyLock& other) {
        if (this != &other) set(other.get());
        return *this;
    }

    Value get() const {
        return lock_->withLock([&]() -> Value { return value_; });
    }

    void set(Value newValue) {
        lock_->withLock([&] { value_ = std::move(newValue); });
    }

    template <class Change>
    void modify(Change&& change) {
        Value copy = get();
        std::forward<Change>(change)(copy);
        set(std::move(copy));
    }

    // Encodes the bare value while holding the lock.
    void encode(nlohmann::json& out) const {
        lock_->withLock([&] { out = toJson(value_); });
    }

    // Decodes a bare value (null for an absent optional) into a new wrapper.
    static PropertyLock decode(const nlohmann::json& in) {
        return PropertyLock(fromJson<Value>(in));
    }

  private:
    // The JSON library in use has no std::optional support of its own.
    template <class T>
    static nlohmann::json toJson(const T& v) {
        return nlohmann::json(v);
    }
    template <class T>
    static nlohmann::json toJson(const std::optional<T>& v) {
        return v ? toJson(*v) : nlohmann::json(nullptr);
    }
    template <class T>
    static T fromJson(const nlohmann::json& in) {
        if constexpr (detail::IsOptionalValue<T>::value) {
            if (in.is_null()) return std::nullopt;
            return fromJson<typename T::value_type>(in);
        } else {
            return in.template get<T>();
        }
    }

    std::shared_ptr<UnfairLock> lock_;
    Value value_;
};

}  // namespace vortil

namespace nlohmann {

template <class Value>
struct adl_serializer<vortil::PropertyLock<Value>> {
    static void to_json(json& j, const vortil::PropertyLock<Value>& p) { p.encode(j); }

    // Decoding makes a new wrapper, with a fresh lock; a decoding error passes on.
    static vortil::PropertyLock<Value> from_json(const json& j) {
        return vortil::PropertyLock<Value>::decode(j);
    }
};

}  // namespace nlohmann
