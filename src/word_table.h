// SPDX-License-Identifier: MIT
// The token set's table of words (packed_token.h): open addressing with
// linear probing, where a free slot is 0, which no word is. The table is
// rebuilt twice the size as it fills, and under a new key should a word land
// more than probe_limit() slots from home (keyed_hash.h): a lookup walks no
// farther than where it would insert, so that bounds every probe, whatever
// the input. Only the table reads or writes its slots.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "keyed_hash.h"

struct word_table {
    // 2^k zeroed slots from calloc(); 0 marks a free slot.
    std::unique_ptr<std::uint64_t[], void (*)(void*)> slots{nullptr, std::free};
    std::size_t slot_count = 0;
    std::size_t count = 0; // words held
    hash_key key{};
    std::size_t limit = 0;  // how far from home a word may land
    std::size_t rekeys = 0; // times rebuilt under a new key
};

// The slot where the top bits of `hash` send a word.
inline std::size_t home_slot(std::uint64_t hash, std::size_t slot_count)
{
    return hash >> (std::countl_zero(slot_count) + 1);
}

// The slot that holds `word`, or the free slot where it belongs.
inline std::uint64_t* find_slot(word_table& table, std::uint64_t hash, std::uint64_t word)
{
    std::uint64_t* slots = table.slots.get();
    const std::size_t last = table.slot_count - 1;
    std::size_t i = home_slot(hash, table.slot_count);
    while (slots[i] != 0 && slots[i] != word)
        i = (i + 1) & last;
    return &slots[i];
}

// How far `slot` lies past the home slot of `hash`.
inline std::size_t distance(const word_table& table, std::uint64_t hash, const std::uint64_t* slot)
{
    const auto index = static_cast<std::size_t>(slot - table.slots.get());
    return (index - home_slot(hash, table.slot_count)) & (table.slot_count - 1);
}

// Moves every word into a new table of `slot_count` slots under `key`, or
// under new keys until every word lies within `limit` of home; for words
// that collide under every key the limit doubles until it no longer binds.
// Throws std::bad_alloc when memory runs out.
void rebuild_near_home(word_table& table, std::size_t slot_count, hash_key key, std::size_t limit);

// Calls f(word) for every word the table holds.
template <typename F> void for_each_word(const word_table& table, F&& f)
{
    for (std::size_t i = 0; i < table.slot_count; ++i)
        if (table.slots[i] != 0)
            f(table.slots[i]);
}
