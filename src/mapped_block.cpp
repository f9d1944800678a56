// SPDX-License-Identifier: MIT
// Mapping and growing blocks.
#include "mapped_block.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sys/mman.h>

#include "huge_pages.h"

void block_unmap::operator()(unsigned char* block) const
{
    munmap(block, size);
}

void grow_block(mapped_block& block, std::size_t size, std::size_t least)
{
    const std::size_t mapped = block.get_deleter().size;
    if (size <= mapped)
        return;
    const std::size_t wanted = std::max({size, 2 * mapped, least});
    void* old = block.get();
#ifdef __SANITIZE_THREAD__
    // ThreadSanitizer does not follow mremap(): it would take the pages that
    // another thread's block later maps where this one was for shared ones.
    void* grown = mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown != MAP_FAILED && old) {
        std::memcpy(grown, old, mapped);
        munmap(old, mapped);
    }
#else
    void* grown =
        old ? mremap(old, mapped, wanted, MREMAP_MAYMOVE)
            : mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
    if (grown == MAP_FAILED)
        throw std::bad_alloc();
    advise_huge_pages(grown, wanted);
    block.release();
    block = {static_cast<unsigned char*>(grown), block_unmap{wanted}};
}
