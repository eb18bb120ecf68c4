// The process heap of a batch run.
#pragma once

namespace velk {

// Sets up the C allocator for one run that allocates large sample and envelope
// buffers, frees them and allocates again per channel: every block comes from
// the main heap (no per-block mappings), freed memory stays with the process for
// the next channel instead of going back to the system, and the first GiB of heap
// is reserved up front and marked for transparent huge pages, so that touching
// new buffers costs one page fault per 2 MiB instead of one per 4 KiB. Call once,
// first thing in main. Without glibc, or when the reservation is refused, it
// leaves the allocator as it finds it.
void configure_heap();

}  // namespace velk
