// SPDX-License-Identifier: MIT
// Asking the kernel for huge pages behind large blocks.
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
