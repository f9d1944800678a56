// SPDX-License-Identifier: MIT
// Appending to the partitions, and deduplicating the ones that double.
#include "word_partitions.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace
{

constexpr std::size_t chunk_bytes = word_partitions::chunk_words * sizeof(std::uint64_t);

std::uint32_t take_chunk(word_partitions& words)
{
    if (!words.free_chunks.empty()) {
        const std::uint32_t chunk = words.free_chunks.back();
        words.free_chunks.pop_back();
        return chunk;
    }
    grow_block(words.pool, (words.chunks + 1) * chunk_bytes, std::size_t{4} << 20);
    words.next_chunk.resize(words.chunks + 1);
    return static_cast<std::uint32_t>(words.chunks++);
}

std::uint64_t* clear_scratch(word_partitions& words, std::size_t slots)
{
    if (slots > words.scratch_slots) {
        void* block = std::realloc(words.scratch.get(), slots * sizeof(std::uint64_t));
        if (!block)
            throw std::bad_alloc();
        words.scratch.release();
        words.scratch.reset(static_cast<std::uint64_t*>(block));
        words.scratch_slots = slots;
    }
    std::memset(words.scratch.get(), 0, slots * sizeof(std::uint64_t));
    return words.scratch.get();
}

// Keeps one of each word, in the order first seen, written back over the
// partition's own chain, whose chunks past the last word kept are freed.
// Duplicates are found through a table of at least twice as many slots,
// indexed by the hash bits below those that chose the partition; a word is
// never 0, so 0 marks a free slot.
void deduplicate(word_partitions& words, word_partition& part)
{
    const std::size_t slots = std::bit_ceil(2 * part.size);
    std::uint64_t* table = clear_scratch(words, slots);
    const int shift = 64 - std::countr_zero(slots);
    std::uint64_t* pool = pool_words(words);
    std::uint32_t chunk = part.first;
    std::size_t at = chunk * word_partitions::chunk_words, kept = 0;
    // Writing never overtakes reading, as no more words are kept than read.
    for_each_word(words, part, [&](std::uint64_t word) {
        std::size_t slot = (hash_word(words.key, word) << word_partitions::partition_bits) >> shift;
        while (table[slot] != 0 && table[slot] != word)
            slot = (slot + 1) & (slots - 1);
        if (table[slot] != 0)
            return;
        table[slot] = word;
        if (at == (chunk + 1) * word_partitions::chunk_words) {
            chunk = words.next_chunk[chunk];
            at = chunk * word_partitions::chunk_words;
        }
        pool[at++] = word;
        ++kept;
    });
    for (std::uint32_t spare = chunk; spare != part.last;) {
        spare = words.next_chunk[spare];
        words.free_chunks.push_back(spare);
    }
    words.size -= part.size - kept;
    part.size = kept;
    part.last = chunk;
    part.end = at;
}

} // namespace

void open_partitions(word_partitions& words, const hash_key& key)
{
    words.parts = std::make_unique<word_partition[]>(word_partitions::partition_count);
    words.key = key;
}

void make_room(word_partitions& words, word_partition& part)
{
    if (part.size >= part.limit && part.size > 0) {
        const std::size_t before = part.size;
        deduplicate(words, part);
        // Where few words recur, deduplicating again soon would find little,
        // and the sort merges what is left.
        const std::size_t growth = 8 * (before - part.size) < before ? 8 : 2;
        part.limit = std::max(growth * part.size, word_partitions::chunk_words);
        if (part.end % word_partitions::chunk_words != 0)
            return;
    }
    const std::uint32_t chunk = take_chunk(words);
    if (part.end == 0)
        part.first = chunk;
    else
        words.next_chunk[part.last] = chunk;
    part.last = chunk;
    part.end = chunk * word_partitions::chunk_words;
}
