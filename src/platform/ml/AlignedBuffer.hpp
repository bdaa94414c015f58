#pragma once
// A fixed-size, 64-byte aligned, zero-initialised array of trivially copyable
// values: scratch space for the models' inner loops.

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace platform::ml {

template <class T>
class AlignedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    AlignedBuffer() = default;
    explicit AlignedBuffer(std::size_t n) : size_(n) {
        std::size_t bytes = (n * sizeof(T) + 63) / 64 * 64;
        if (bytes == 0) bytes = 64;
        void* p = std::aligned_alloc(64, bytes);
        if (!p) throw std::bad_alloc();
        std::memset(p, 0, bytes);
        data_.reset(static_cast<T*>(p));
    }

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_.get()[i]; }
    const T& operator[](std::size_t i) const { return data_.get()[i]; }

  private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> data_;
    std::size_t size_ = 0;
};

}  // namespace platform::ml
