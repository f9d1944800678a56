// SPDX-License-Identifier: MIT
// Blocks of memory that grow by doubling. realloc() takes a small one from
// the heap, and a large one straight from the kernel, which it then grows
// with mremap(), moving its pages rather than copying them: growing never
// holds two copies and never writes what is already there.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

struct growing_block {
    std::unique_ptr<unsigned char[], void (*)(void*)> bytes{nullptr, std::free};
    std::size_t size = 0;
};

// Grows `block` to at least `size` bytes, doubling and to no less than
// `least`; its bytes stay as they are. Throws std::bad_alloc when memory
// runs out.
void grow_block(growing_block& block, std::size_t size, std::size_t least);
