// SPDX-License-Identifier: MIT
// Advice to the kernel on large blocks: huge pages behind them, and their
// pages faulted in at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>

// Huge pages spare a large block most of its page faults and TLB misses.
// Only the whole pages inside the block are advised.
inline void advise_huge_pages(void* block, std::size_t bytes)
{
    if (bytes < (std::size_t{4} << 20))
        return;
    const std::uintptr_t page = 4096, start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void*>(first), (start + bytes - first) & ~(page - 1), MADV_HUGEPAGE);
}

// Faults in the whole pages of a block for writing at once. A table is read
// before it is written, and a page read first maps the shared zero page,
// whose replacement at the first write must be flushed from the TLB of
// every CPU that runs one of the process's threads. Where the kernel cannot,
// the pages fault in as they are touched, and so do a small block's few,
// for which the call would cost more.
inline void populate_for_writing(void* block, std::size_t bytes)
{
#ifdef MADV_POPULATE_WRITE
    if (bytes < (std::size_t{64} << 10))
        return;
    const std::uintptr_t page = 4096, start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + page - 1) & ~(page - 1),
                         end = (start + bytes) & ~(page - 1);
    if (end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#endif
}
