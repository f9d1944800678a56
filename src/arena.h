// SPDX-License-Identifier: MIT
// The arena of long tokens' records: one block of them, back to back, grown
// in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mapped_block.h"

struct record_arena {
    mapped_block bytes;
    std::size_t used = 0;
};

// Appends a record and returns its offset. Throws std::bad_alloc when memory
// runs out.
std::uint64_t store_record(record_arena& arena, const unsigned char* record);
