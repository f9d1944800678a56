// SPDX-License-Identifier: MIT
// Rebuilding the table of words: into a larger one as it grows, or under a
// new key when a word would land too far from home.
#include "set/word_table.h"

#include <bit>
#include <cassert>
#include <cstdlib>
#include <new>

#include "system/pages.h"

namespace
{

// calloc() takes large allocations straight from the kernel, already zeroed.
std::uint64_t* zeroed_slots(std::size_t count)
{
    void* slots = std::calloc(count, sizeof(std::uint64_t));
    if (!slots)
        throw std::bad_alloc();
    advise_huge_pages(slots, count * sizeof(std::uint64_t));
    populate_for_writing(slots, count * sizeof(std::uint64_t));
    return static_cast<std::uint64_t*>(slots);
}

// A new table being filled: words are placed 64 at a time, their home
// slots prefetched first, so that the cache misses of a large table overlap.
struct refill {
    std::uint64_t* slots;
    std::size_t slot_count;
    std::size_t reach;
    std::uint64_t hashes[64] = {};
    std::uint64_t words[64] = {};
    std::size_t size = 0;
};

// Places the waiting words, none of which is in the table yet; false when
// one would land farther from home than the reach.
bool place_all(refill& table)
{
    for (std::size_t i = 0; i < table.size; ++i)
        __builtin_prefetch(&table.slots[home_slot(table.hashes[i], table.slot_count)]);
    for (std::size_t i = 0; i < table.size; ++i) {
        std::size_t at = home_slot(table.hashes[i], table.slot_count);
        for (std::size_t probes = 0; table.slots[at] != 0; at = (at + 1) & (table.slot_count - 1))
            if (++probes > table.reach)
                return false;
        table.slots[at] = table.words[i];
    }
    table.size = 0;
    return true;
}

bool place(refill& table, std::uint64_t hash, std::uint64_t word)
{
    table.hashes[table.size] = hash;
    table.words[table.size++] = word;
    return table.size < std::size(table.words) || place_all(table);
}

// Moves every word into a new table of `slot_count` slots under `key`.
// Gives up, leaving the table as it was, when one would land more than
// `reach` slots from home.
bool rebuild(word_table& table, std::size_t slot_count, const hash_key& key, std::size_t reach)
{
    budget_share share(table.share.budget);
    resize(share, slot_count * sizeof(std::uint64_t));
    decltype(word_table::slots) slots(zeroed_slots(slot_count), std::free);
    refill into{slots.get(), slot_count, reach};
    for (std::size_t i = 0; i < table.slot_count; ++i) {
        const std::uint64_t word = table.slots[i];
        if (word != 0 && !place(into, hash_word(key, word), word))
            return false;
    }
    if (!place_all(into))
        return false;
    table.slots = std::move(slots);
    table.share = std::move(share);
    table.slot_count = slot_count;
    table.reach = reach;
    return true;
}

} // namespace

// Only words that collide under every key could fail twice.
void rebuild_near_home(word_table& table, std::size_t slot_count, hash_key key, std::size_t reach)
{
    // home_slot() and the probes' wrap take a slot from the hash's top bits.
    assert(std::has_single_bit(slot_count));
    for (int tries = 1; !rebuild(table, slot_count, key, reach); ++tries) {
        key = random_key();
        ++table.rekeys;
        if (tries >= 2)
            reach *= 2;
    }
    table.key = key;
}

void open_table(word_table& table, const hash_key& key, memory_budget* budget)
{
    table.share = budget_share(budget);
    rebuild_near_home(table, initial_slots, key, probe_reach(initial_slots));
}

namespace
{

bool full(const word_table& table)
{
    const std::size_t eighths_full = defers_lookups(table) ? 6 : 3;
    return 8 * (table.count + 1) > eighths_full * table.slot_count;
}

} // namespace

// A word still too far from home after a new key collides under every key:
// each further rebuild doubles the reach, until it no longer binds.
bool add_word(word_table& table, std::uint64_t word, std::uint64_t hash, std::uint64_t* free_slot,
              std::size_t most_slots)
{
    for (int rekeys = 0;;) {
        if (full(table)) {
            if (2 * table.slot_count > most_slots)
                return false;
            rebuild_near_home(table, 2 * table.slot_count, table.key,
                              probe_reach(2 * table.slot_count));
        } else if (distance(table, hash, free_slot) > table.reach) {
            const std::size_t reach =
                ++rekeys >= 2 ? 2 * table.reach : probe_reach(table.slot_count);
            rebuild_near_home(table, table.slot_count, random_key(), reach);
            ++table.rekeys;
        } else {
            break;
        }
        hash = hash_word(table.key, word);
        free_slot = find_slot(table, hash, word);
    }
    *free_slot = word;
    ++table.count;
    return true;
}
