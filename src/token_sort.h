// SPDX-License-Identifier: MIT
// Sorting the tokens that a set hands over (stored_tokens.h) for the listing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "arena.h"
#include "stored_tokens.h"

// A long token to sort: the packed word that the sort has reached, and where
// its record is.
struct long_entry {
    std::uint64_t word;
    std::uint64_t offset;
};

// A set's tokens in byte order: its packed words, and its long tokens, whose
// records stay in the set's arena, which comes along.
struct sorted_tokens {
    word_array words{nullptr, std::free};
    std::size_t word_count = 0;
    std::unique_ptr<long_entry[]> longs;
    std::size_t long_count = 0;
    mapped_block arena;
    bool has_empty = false;
};

// Sorts the tokens that a set handed over. This is where the listing takes
// its memory: throws std::bad_alloc when it runs out.
sorted_tokens sort_tokens(stored_tokens tokens);
