// SPDX-License-Identifier: MIT
// Pages: their size, and advice to the kernel on large regions of memory,
// huge pages behind them and their pages faulted in at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>

constexpr std::size_t page_bytes = 4096;
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// Huge pages spare a large region most of its page faults and TLB misses.
// The kernel backs only the whole huge pages inside the region so, and
// only those are advised.
inline void advise_huge_pages(void* region, std::size_t bytes)
{
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(region);
    const std::uintptr_t first = (start + huge_page_bytes - 1) & ~(huge_page_bytes - 1);
    const std::uintptr_t end = (start + bytes) & ~(huge_page_bytes - 1);
    if (end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

// Faults in the whole pages of a region for writing at once. The table of
// words is read before it is written, and a page read first maps the shared
// zero page, whose replacement at the first write must be flushed from the
// TLB of every CPU that runs one of the process's threads. Where the kernel
// cannot, the pages fault in as they are touched, and so do a small
// region's few, for which the call would cost more.
inline void populate_for_writing(void* region, std::size_t bytes)
{
#ifdef MADV_POPULATE_WRITE
    if (bytes < (std::size_t{64} << 10))
        return;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(region);
    const std::uintptr_t first = (start + page_bytes - 1) & ~(page_bytes - 1),
                         end = (start + bytes) & ~(page_bytes - 1);
    if (end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#endif
}
