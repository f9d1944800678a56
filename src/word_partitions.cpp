// SPDX-License-Identifier: MIT
// Appending to the partitions, deduplicating the ones that double, and
// moving the tokens into the byte order.
#include "word_partitions.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>

namespace
{

template <typename Entry>
constexpr std::size_t chunk_entries = entry_partitions<Entry>::chunk_entries;

template <typename Entry> std::uint32_t take_chunk(entry_partitions<Entry>& tokens)
{
    if (!tokens.free_chunks.empty()) {
        const std::uint32_t chunk = tokens.free_chunks.back();
        tokens.free_chunks.pop_back();
        return chunk;
    }
    grow_block(tokens.pool, (tokens.chunks + 1) * chunk_entries<Entry> * sizeof(Entry),
               std::size_t{64} << 10);
    tokens.next_chunk.resize(tokens.chunks + 1);
    return static_cast<std::uint32_t>(tokens.chunks++);
}

template <typename Entry> Entry* clear_scratch(entry_partitions<Entry>& tokens, std::size_t slots)
{
    if (slots > tokens.scratch_slots) {
        void* block = std::realloc(tokens.scratch.get(), slots * sizeof(Entry));
        if (!block)
            throw std::bad_alloc();
        tokens.scratch.release();
        tokens.scratch.reset(static_cast<Entry*>(block));
        tokens.scratch_slots = slots;
    }
    std::memset(static_cast<void*>(tokens.scratch.get()), 0, slots * sizeof(Entry));
    return tokens.scratch.get();
}

// Keeps one of each entry, in the order first seen, written back over the
// partition's own chain, whose chunks past the last entry kept are freed.
// Duplicates are found through a table of at least twice as many slots,
// indexed by the hash bits below those that chose the partition; no entry
// is 0, so 0 marks a free slot.
template <typename Entry> void deduplicate(entry_partitions<Entry>& tokens, partition& part)
{
    const std::size_t slots = std::bit_ceil(2 * part.size);
    Entry* table = clear_scratch(tokens, slots);
    const int shift = 64 - std::countr_zero(slots);
    Entry* pool = pool_entries(tokens);
    std::uint32_t chunk = part.first;
    std::size_t at = chunk * chunk_entries<Entry>, kept = 0;
    // Writing never overtakes reading, as no more entries are kept than read.
    for_each_entry(tokens, part, [&](const Entry& entry) {
        std::size_t slot =
            (hash_entry(tokens.key, entry) << entry_partitions<Entry>::partition_bits) >> shift;
        while (table[slot] != Entry{} && !(table[slot] == entry))
            slot = (slot + 1) & (slots - 1);
        if (table[slot] != Entry{})
            return;
        table[slot] = entry;
        if (at == (chunk + 1) * chunk_entries<Entry>) {
            chunk = tokens.next_chunk[chunk];
            at = chunk * chunk_entries<Entry>;
        }
        pool[at++] = entry;
        ++kept;
    });
    for (std::uint32_t spare = chunk; spare != part.last;) {
        spare = tokens.next_chunk[spare];
        tokens.free_chunks.push_back(spare);
    }
    tokens.size -= part.size - kept;
    part.size = kept;
    part.last = chunk;
    part.end = at;
}

} // namespace

template <typename Entry> void open_partitions(entry_partitions<Entry>& tokens, const hash_key& key)
{
    tokens.part_count = std::size_t{1} << entry_partitions<Entry>::partition_bits;
    tokens.parts = std::make_unique<partition[]>(tokens.part_count);
    tokens.key = key;
}

template <typename Entry> void open_ordered(entry_partitions<Entry>& tokens, int bits)
{
    tokens.part_count = std::size_t{1} << bits;
    tokens.parts = std::make_unique<partition[]>(tokens.part_count);
    for (std::size_t p = 0; p < tokens.part_count; ++p)
        tokens.parts[p].limit = SIZE_MAX;
}

// Each chunk goes back to the pool once read, before the next is, so the
// new partitions take the chunks the old ones give up. What a chunk links to
// is read before it goes, since taking it rewrites that.
template <typename Entry>
void order_partitions(entry_partitions<Entry>& tokens, int shift, int bits)
{
    std::unique_ptr<partition[]> hashed = std::move(tokens.parts);
    const std::size_t hashed_count = tokens.part_count;
    tokens.scratch.reset();
    tokens.scratch_slots = 0;
    tokens.size = 0;
    open_ordered(tokens, bits);
    for (std::size_t p = 0; p < hashed_count; ++p) {
        const partition& part = hashed[p];
        for (std::uint32_t chunk = part.end ? part.first : 0; chunk != 0;) {
            const std::size_t begin = chunk * chunk_entries<Entry>;
            const std::size_t end = chunk == part.last ? part.end : begin + chunk_entries<Entry>;
            for (std::size_t i = begin; i < end; ++i) {
                const Entry entry = pool_entries(tokens)[i];
                append_entry(tokens, order_bucket(first_word(entry), shift, bits), entry);
            }
            const std::uint32_t next = chunk == part.last ? 0 : tokens.next_chunk[chunk];
            tokens.free_chunks.push_back(chunk);
            chunk = next;
        }
    }
}

template <typename Entry> void make_room(entry_partitions<Entry>& tokens, partition& part)
{
    if (part.size >= part.limit && part.size > 0) {
        const std::size_t before = part.size;
        deduplicate(tokens, part);
        // Where few tokens recur, deduplicating again soon would find little,
        // and the sort merges what is left.
        const std::size_t growth = 8 * (before - part.size) < before ? 8 : 2;
        part.limit = std::max(growth * part.size, chunk_entries<Entry>);
        if (part.end % chunk_entries<Entry> != 0)
            return;
    }
    const std::uint32_t chunk = take_chunk(tokens);
    if (part.end == 0)
        part.first = chunk;
    else
        tokens.next_chunk[part.last] = chunk;
    part.last = chunk;
    part.end = chunk * chunk_entries<Entry>;
}

template void open_partitions(word_partitions&, const hash_key&);
template void open_partitions(pair_partitions&, const hash_key&);
template void open_ordered(word_partitions&, int);
template void open_ordered(pair_partitions&, int);
template void order_partitions(word_partitions&, int, int);
template void order_partitions(pair_partitions&, int, int);
template void make_room(word_partitions&, partition&);
template void make_room(pair_partitions&, partition&);
