// SPDX-License-Identifier: MIT
// Rebuilding the token table: into a larger one as it grows, or under a new
// key when a token would land too far from home.
#include "token_table.h"

#include <cstdlib>
#include <new>

#include "huge_pages.h"

// With random hashes the longest probe in a table of 2^k slots, three
// quarters full, is about 10 k; a limit three times that is reached only by
// crafted input or extraordinary bad luck.
std::size_t base_probe_limit(std::size_t slot_count)
{
#ifdef TOKCOLLECT_FIXED_KEY
    return slot_count;
#else
    return 32 * static_cast<std::size_t>(std::bit_width(slot_count));
#endif
}

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

// Moves every token into a new table of `slot_count` slots under `key`.
// Gives up, leaving the set as it was, when one would land more than
// `limit` slots from home.
bool rebuild(slot_table& tokens, const record_arena& records, std::size_t slot_count,
             const hash_key& key, std::size_t limit)
{
    decltype(slot_table::slots) slots(zeroed_slots(slot_count), std::free);
    refill table{slots.get(), slot_count, limit};
    for (std::size_t i = 0; i < tokens.slot_count; ++i) {
        const std::uint64_t word = tokens.slots[i];
        if (word != 0 && !is_long_slot(word) && !place(table, hash_word(key, word), word))
            return false;
    }
    // The arena holds each long token once, so its records can be walked in order.
    const unsigned char* arena = records.bytes.get();
    for (std::size_t at = 0; at < records.used; at += record_size(record_length(arena + at))) {
        const std::uint64_t hash = hash_record(key, arena + at);
        if (!place(table, hash, long_slot(hash, at)))
            return false;
    }
    if (!place_all(table))
        return false;
    tokens.slots = std::move(slots);
    tokens.slot_count = slot_count;
    tokens.probe_limit = limit;
    return true;
}

} // namespace

// Only tokens that collide under every key could fail twice.
void rebuild_near_home(slot_table& tokens, const record_arena& records, std::size_t slot_count,
                       hash_key key, std::size_t limit)
{
    for (int tries = 1; !rebuild(tokens, records, slot_count, key, limit); ++tries) {
        key = random_key();
        ++tokens.rekeys;
        if (tries >= 2)
            limit *= 2;
    }
    tokens.key = key;
}
