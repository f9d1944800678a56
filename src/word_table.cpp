// SPDX-License-Identifier: MIT
// Rebuilding the table of words: into a larger one as it grows, or under a
// new key when a word would land too far from home.
#include "word_table.h"

#include <cstdlib>
#include <new>

#include "huge_pages.h"

namespace
{

// calloc() takes large blocks straight from the kernel, already zeroed.
std::uint64_t* zeroed_slots(std::size_t count)
{
    void* block = std::calloc(count, sizeof(std::uint64_t));
    if (!block)
        throw std::bad_alloc();
    advise_huge_pages(block, count * sizeof(std::uint64_t));
    populate_for_writing(block, count * sizeof(std::uint64_t));
    return static_cast<std::uint64_t*>(block);
}

// A new table being filled: words are placed 64 at a time, their home
// slots prefetched first, so that the cache misses of a large table overlap.
struct refill {
    std::uint64_t* slots;
    std::size_t slot_count;
    std::size_t limit;
    std::uint64_t hashes[64] = {};
    std::uint64_t words[64] = {};
    std::size_t size = 0;
};

// Places the waiting words, none of which is in the table yet; false when
// one would land more than the limit away from home.
bool place_all(refill& table)
{
    for (std::size_t i = 0; i < table.size; ++i)
        __builtin_prefetch(&table.slots[home_slot(table.hashes[i], table.slot_count)]);
    for (std::size_t i = 0; i < table.size; ++i) {
        std::size_t at = home_slot(table.hashes[i], table.slot_count);
        for (std::size_t probes = 0; table.slots[at] != 0; at = (at + 1) & (table.slot_count - 1))
            if (++probes > table.limit)
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
// `limit` slots from home.
bool rebuild(word_table& table, std::size_t slot_count, const hash_key& key, std::size_t limit)
{
    decltype(word_table::slots) slots(zeroed_slots(slot_count), std::free);
    refill into{slots.get(), slot_count, limit};
    for (std::size_t i = 0; i < table.slot_count; ++i) {
        const std::uint64_t word = table.slots[i];
        if (word != 0 && !place(into, hash_word(key, word), word))
            return false;
    }
    if (!place_all(into))
        return false;
    table.slots = std::move(slots);
    table.slot_count = slot_count;
    table.limit = limit;
    return true;
}

} // namespace

// Only words that collide under every key could fail twice.
void rebuild_near_home(word_table& table, std::size_t slot_count, hash_key key, std::size_t limit)
{
    for (int tries = 1; !rebuild(table, slot_count, key, limit); ++tries) {
        key = random_key();
        ++table.rekeys;
        if (tries >= 2)
            limit *= 2;
    }
    table.key = key;
}
