// SPDX-License-Identifier: MIT
// Blocks of memory mapped from the kernel and grown in place: mremap() moves
// their pages rather than copying them, so growing never holds two copies
// and never writes what is already there.
#pragma once

#include <cstddef>
#include <memory>

// Unmaps a block, whose size the deleter carries.
struct block_unmap {
    std::size_t size = 0;
    void operator()(unsigned char* block) const;
};

using mapped_block = std::unique_ptr<unsigned char, block_unmap>;

// Grows `block` to at least `size` bytes, doubling and to no less than
// `least`; its bytes stay where they are in it. Throws std::bad_alloc when
// memory runs out.
void grow_block(mapped_block& block, std::size_t size, std::size_t least);
