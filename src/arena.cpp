// SPDX-License-Identifier: MIT
// The arena of long tokens' records.
#include "arena.h"

#include <cstring>

#include "packed_token.h"

std::uint64_t store_record(record_arena& arena, const unsigned char* record)
{
    const std::size_t size = record_size(record_length(record)), at = arena.used;
    grow_block(arena.bytes, at + size + record_slack, std::size_t{1} << 20);
    std::memcpy(arena.bytes.get() + at, record, size);
    arena.used += size;
    return at;
}
