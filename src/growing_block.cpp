// SPDX-License-Identifier: MIT
// Growing blocks.
#include "growing_block.h"

#include <algorithm>
#include <new>

#include "huge_pages.h"

void grow_block(growing_block& block, std::size_t size, std::size_t least)
{
    if (size <= block.size)
        return;
    const std::size_t wanted = std::max({size, 2 * block.size, least});
    void* grown = std::realloc(block.bytes.get(), wanted);
    if (!grown)
        throw std::bad_alloc();
    block.bytes.release();
    block.bytes.reset(static_cast<unsigned char*>(grown));
    block.size = wanted;
    advise_huge_pages(grown, wanted);
}
