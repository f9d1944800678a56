// SPDX-License-Identifier: MIT
// The tokens a set hands over when it is released: packed as it stored them
// (packed_token.h), each once, in no order. The sort takes them from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "arena.h"
#include "word_partitions.h"

struct stored_tokens {
    word_array words{nullptr, std::free}; // tokens of up to 16 bytes, a packed word each
    std::size_t word_count = 0;
    word_partitions partitions; // more such words, duplicates among them, for a large set
    pair_partitions pairs;      // and its tokens of 17 to 32 bytes, likewise
    record_arena records;       // longer tokens, a record each, back to back
    std::size_t record_count = 0;
    bool has_empty = false;
};
