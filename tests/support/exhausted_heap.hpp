// A heap that can be made to run out: include in exactly one file of a test
// program. It replaces the global operator new and delete; once `arm(n)` has
// been called, the allocation after the next n fails with std::bad_alloc, and so
// does every later one until `disarm()` (or only that one, with `once`: memory
// that was short for a moment). Allocations made while armed are counted.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace exhausted_heap {

inline bool armed = false;
inline bool fail_once = false;
inline std::size_t remaining = 0;
inline std::size_t allocations = 0;

inline void arm(std::size_t succeeding, bool once = false) {
    remaining = succeeding;
    fail_once = once;
    allocations = 0;
    armed = true;
}

inline void disarm() { armed = false; }

inline void* allocate(std::size_t n) {
    if (armed) {
        ++allocations;
        if (remaining == 0) {
            if (fail_once) armed = false;
            throw std::bad_alloc();
        }
        --remaining;
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}

// Disarms when it goes out of scope, so that a failed assertion does not leave
// the heap exhausted.
struct Armed {
    explicit Armed(std::size_t succeeding, bool once = false) { arm(succeeding, once); }
    Armed(const Armed&) = delete;
    Armed& operator=(const Armed&) = delete;
    ~Armed() { disarm(); }
};

}  // namespace exhausted_heap

void* operator new(std::size_t n) { return exhausted_heap::allocate(n); }
void* operator new[](std::size_t n) { return exhausted_heap::allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
