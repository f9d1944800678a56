// SPDX-License-Identifier: MIT
// The token set's table of words (packed_token.h): open addressing with
// linear probing, where a free slot is 0, which no word is. The table is
// rebuilt twice the size as it fills, and under a new key should a word land
// more than probe_reach() slots from home (keyed_hash.h): a lookup walks no
// farther than where it would insert, so that bounds every probe, whatever
// the input. Only the table writes its slots; the inserter reads them, and
// prefetches them, through find_slot() and home_slot().
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "forms/keyed_hash.h"
#include "system/memory_budget.h"

// A table of up to cached_slots slots (512 KiB) stays in the caches, so it is
// kept sparse, to shorten probes, and probed directly: pending lookups only
// pay for lookups that miss the caches. One of largest_slots (1 MiB) is the
// largest that still fits the caches of a core; past it, a lookup costs a
// cache miss. Built with small parts, every size comes within a few hundred
// words.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t initial_slots = 64;
constexpr std::size_t cached_slots = 128;
constexpr std::size_t largest_slots = 256;
#else
constexpr std::size_t initial_slots = 1024;
constexpr std::size_t cached_slots = 65536;
constexpr std::size_t largest_slots = std::size_t{1} << 17;
#endif
static_assert(initial_slots < cached_slots, "a new table is probed directly");
// So a table probed directly never refuses a word for want of room.
static_assert(largest_slots >= cached_slots, "a directly probed table grows without refusing");

struct word_table {
    // 2^k zeroed slots from calloc(); 0 marks a free slot.
    std::unique_ptr<std::uint64_t[], void (*)(void*)> slots{nullptr, std::free};
    budget_share share; // of the slots
    std::size_t slot_count = 0;
    std::size_t count = 0; // words held
    hash_key key{};
    std::size_t reach = 0;  // how far from home a word may land
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

// Makes an empty table of initial_slots under `key`, whose slots count
// against `budget`. Throws std::bad_alloc when memory runs out.
void open_table(word_table& table, const hash_key& key, memory_budget* budget);

// Puts `word`, which the table does not hold, where find_slot() left
// `free_slot` for it, unless the table must first grow, or be rebuilt under
// a new key because the word would land too far from home. Returns false,
// the word left out, when the table would have to grow past `most_slots`.
// Throws std::bad_alloc when memory runs out.
bool add_word(word_table& table, std::uint64_t word, std::uint64_t hash, std::uint64_t* free_slot,
              std::size_t most_slots);

// Whether words wait among the pending ones to be looked up: once the table
// is too large to probe directly.
inline bool defers_lookups(const word_table& table)
{
    return table.slot_count >= cached_slots;
}

// Moves every word into a new table of `slot_count` slots under `key`, or
// under new keys until every word lies within `reach` of home; for words
// that collide under every key the reach doubles until it no longer binds.
// Throws std::bad_alloc when memory runs out.
void rebuild_near_home(word_table& table, std::size_t slot_count, hash_key key, std::size_t reach);

// Calls f(word) for every word the table holds.
template <typename F> void for_each_word(const word_table& table, F&& f)
{
    for (std::size_t i = 0; i < table.slot_count; ++i)
        if (table.slots[i] != 0)
            f(table.slots[i]);
}
