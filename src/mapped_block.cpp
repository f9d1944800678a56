// SPDX-License-Identifier: MIT
// Growing blocks: on the heap while small, then mapped.
#include "mapped_block.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>

#include "huge_pages.h"

void block_unmap::operator()(unsigned char* block) const
{
    if (size <= small_block)
        std::free(block);
    else
        munmap(block, size);
}

namespace
{

void* map(std::size_t size)
{
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

// A mapped block, moved or copied to `wanted` bytes. ThreadSanitizer does not
// follow mremap(): it would take the pages that another thread's block later
// maps where this one was for shared ones, so under it blocks grow by copy.
void* grow_mapped(void* old, std::size_t mapped, std::size_t wanted)
{
#ifdef __SANITIZE_THREAD__
    void* grown = map(wanted);
    if (grown) {
        std::memcpy(grown, old, mapped);
        munmap(old, mapped);
    }
    return grown;
#else
    void* grown = mremap(old, mapped, wanted, MREMAP_MAYMOVE);
    return grown == MAP_FAILED ? nullptr : grown;
#endif
}

} // namespace

// Sizes are powers of two: a large block then spans whole huge pages, which
// the kernel backs only when the mapping is aligned to them and as long.
void grow_block(mapped_block& block, std::size_t size)
{
    const std::size_t had = block.get_deleter().size;
    if (size <= had)
        return;
    const std::size_t wanted = std::bit_ceil(std::max(size, 2 * had));
    void* grown = nullptr;
    if (wanted <= small_block) {
        grown = std::realloc(block.get(), wanted);
    } else if (had > small_block) {
        grown = grow_mapped(block.get(), had, wanted);
    } else if ((grown = map(wanted)) && had > 0) {
        std::memcpy(grown, block.get(), had);
        std::free(block.get());
    }
    if (!grown)
        throw std::bad_alloc();
    advise_huge_pages(grown, wanted);
    block.release();
    block = {static_cast<unsigned char*>(grown), block_unmap{wanted}};
}
