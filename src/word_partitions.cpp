// SPDX-License-Identifier: MIT
// Appending to the partitions, deduplicating the ones that double, and
// moving the words into the byte order.
#include "word_partitions.h"

#include <algorithm>
#include <bit>
#include <cstdint>
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
    grow_block(words.pool, (words.chunks + 1) * chunk_bytes, std::size_t{64} << 10);
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
    words.part_count = std::size_t{1} << word_partitions::partition_bits;
    words.parts = std::make_unique<word_partition[]>(words.part_count);
    words.key = key;
}

void open_ordered(word_partitions& words, int shift, int bits)
{
    words.part_count = std::size_t{1} << bits;
    words.parts = std::make_unique<word_partition[]>(words.part_count);
    for (std::size_t p = 0; p < words.part_count; ++p)
        words.parts[p].limit = SIZE_MAX;
    words.order_shift = shift;
    words.order_bits = bits;
}

// Each chunk goes back to the pool once read, before the next is, so the
// new partitions take the chunks the old ones give up. What a chunk links to
// is read before it goes, since taking it rewrites that.
void order_partitions(word_partitions& words, int shift, int bits)
{
    std::unique_ptr<word_partition[]> hashed = std::move(words.parts);
    const std::size_t hashed_count = words.part_count;
    words.scratch.reset();
    words.scratch_slots = 0;
    words.size = 0;
    open_ordered(words, shift, bits);
    for (std::size_t p = 0; p < hashed_count; ++p) {
        const word_partition& part = hashed[p];
        for (std::uint32_t chunk = part.end ? part.first : 0; chunk != 0;) {
            const std::size_t begin = chunk * word_partitions::chunk_words;
            const std::size_t end =
                chunk == part.last ? part.end : begin + word_partitions::chunk_words;
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint64_t word = pool_words(words)[i];
                append_word(words, order_bucket(word, shift, bits), word);
            }
            const std::uint32_t next = chunk == part.last ? 0 : words.next_chunk[chunk];
            words.free_chunks.push_back(chunk);
            chunk = next;
        }
    }
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
