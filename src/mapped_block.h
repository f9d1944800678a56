// SPDX-License-Identifier: MIT
// Blocks of memory that grow by doubling. A large block is mapped from the
// kernel and grown in place: mremap() moves its pages rather than copying
// them, so growing never holds two copies and never writes what is already
// there. A block that has never grown past small_block lives on the heap,
// so that a small set costs no mapping and unmapping.
#pragma once

#include <cstddef>
#include <memory>

constexpr std::size_t small_block = std::size_t{64} << 10;

// Frees or unmaps a block, whose size the deleter carries.
struct block_unmap {
    std::size_t size = 0;
    void operator()(unsigned char* block) const;
};

using mapped_block = std::unique_ptr<unsigned char, block_unmap>;

// Grows `block` to at least `size` bytes, at least doubling, to a power of
// two; its bytes stay as they are. Throws std::bad_alloc when memory runs
// out.
void grow_block(mapped_block& block, std::size_t size);
