// SPDX-License-Identifier: MIT
// The token set's hash table: its slots, their encoding, its hashes and its
// rebuilding. The set (token_set.h) is built on it and is its only user.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include <cstdlib>
#include <memory>

#include "arena.h"
#include "keyed_hash.h"
#include "packed_token.h"

struct slot_table {
    // 2^k zeroed slots from calloc(); 0 marks a free slot.
    std::unique_ptr<std::uint64_t[], void (*)(void*)> slots{nullptr, std::free};
    std::size_t slot_count = 0;
    hash_key key = random_key();
    std::size_t probe_limit = 0;
    std::size_t rekeys = 0; // times the table was rebuilt under a new key
};

// The slot encoding: a free slot is 0; a packed word has a top nibble of 1
// to 11; a long token's slot is the tag, hash bits and the record's offset.
inline constexpr std::uint64_t long_tag = std::uint64_t{0xF} << 60;
inline constexpr int tag_bits = 4, hash_bits = 20, offset_bits = 40;
static_assert(tag_bits + hash_bits + offset_bits == 64, "a long slot's fields fill its word");
inline constexpr std::uint64_t offset_mask = (std::uint64_t{1} << offset_bits) - 1;

inline bool is_long_slot(std::uint64_t slot)
{
    return slot >> (64 - tag_bits) == 0xF;
}

inline std::uint64_t hash_record(const hash_key& key, const unsigned char* record)
{
    std::uint64_t hash = key.seed ^ record_length(record);
    for (std::size_t i = 0, words = (record_length(record) + word_bytes - 1) / word_bytes;
         i < words; ++i)
        hash = fold_multiply(hash ^ record_word(record, i), key.multiplier);
    return hash;
}

inline std::size_t home_slot(std::uint64_t hash, std::size_t slot_count)
{
    return hash >> (std::countl_zero(slot_count) + 1);
}

inline std::uint64_t long_slot(std::uint64_t hash, std::uint64_t offset)
{
    return long_tag | (hash & ((std::uint64_t{1} << hash_bits) - 1)) << offset_bits | offset;
}

// The probe limit of a table of `slot_count` slots, unless crafted tokens
// have doubled it.
std::size_t base_probe_limit(std::size_t slot_count);

// Moves every token, the long ones' records in `arena`, into a new table of
// `slot_count` slots under `key`, or
// under new keys until every token lies within `limit` of home; for tokens
// that collide under every key the limit doubles until it no longer binds.
// Throws std::bad_alloc when memory runs out.
void rebuild_near_home(slot_table& table, const record_arena& arena, std::size_t slot_count,
                       hash_key key, std::size_t limit);
