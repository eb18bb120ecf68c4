#include "heap.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(__GLIBC__) && defined(__linux__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace velk {

#if defined(__GLIBC__) && defined(__linux__)

void configure_heap() {
    constexpr int kReserve = 1 << 30;        // heap grown on the first extension
    constexpr int kGrowth = 64 << 20;        // each later extension
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, -1);
    mallopt(M_TOP_PAD, kReserve);

    // A block larger than any free space makes the heap grow by the reservation.
    const void* const before = sbrk(0);
    void* probe = std::malloc(std::size_t{4} << 20);
    if (probe != nullptr) static_cast<volatile unsigned char*>(probe)[0] = 0;
    const void* const after = sbrk(0);
    std::free(probe);
    mallopt(M_TOP_PAD, kGrowth);
    if (before == reinterpret_cast<void*>(-1) || after == reinterpret_cast<void*>(-1)) return;

    const auto begin =
        (reinterpret_cast<std::uintptr_t>(before) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(after) & ~(kHugePage - 1);
    // A hint only: where the kernel refuses it, pages stay 4 KiB.
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

#else

void configure_heap() {}

#endif

}  // namespace velk
