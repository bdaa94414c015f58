#pragma once
// Counts what each thread takes from the heap, for tests and benchmarks that
// must show a path allocates nothing (or little). It replaces the program's
// global allocation functions, so include it in exactly one file of a program.
#include <cstddef>
#include <cstdlib>
#include <new>

// GCC matches the library's inlined deletes against the replaced new below and
// reports free() on them as a mismatch; here new is malloc and delete is free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace testsupport {
// This thread's allocations and the bytes they asked for, since it started.
inline thread_local std::size_t tAllocations = 0;
inline thread_local std::size_t tAllocatedBytes = 0;
}  // namespace testsupport

void* operator new(std::size_t n) {
    ++testsupport::tAllocations;
    testsupport::tAllocatedBytes += n;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
