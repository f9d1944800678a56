// SPDX-License-Identifier: MIT
// The packed words of a set too large for the caches, spread over partitions
// by hash.
//
// Looked up in one large table, every new word costs a cache miss, and the
// table's every doubling faults in fresh pages. Here a word is only appended
// to one of 1024 partitions, chosen by the top bits of its keyed hash: the
// ends being written, one cache line each, all stay in the caches, and the
// words stream out behind them. A partition that has doubled since it was
// last deduplicated is deduplicated again, in a table small enough for the
// caches, or once it has grown eightfold if the last time found fewer than
// one word in eight repeated; so it holds every word it was given, and about
// twice as many words as distinct ones at most where words recur. What
// duplicates are left the sort merges (token_sort.h), which must put the
// words in byte order anyway.
//
// A partition is a chain of chunks of 512 words, all of them in one pool
// that grows in place and is backed by huge pages once large: chunks that
// deduplicating frees are reused, so that growing faults in few pages.
// Chunks are named by index, since the pool may move when it grows; chunk 0
// is never handed out, so that a partition's end of 0 says it has none.
//
// For the listing, the words then move into partitions of the byte order,
// cut by the bits below those that all words share (order_partitions()):
// each chunk is handed on as soon as it has been read, so that this takes
// almost no memory of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "keyed_hash.h"
#include "mapped_block.h"

using word_array = std::unique_ptr<std::uint64_t[], void (*)(void*)>;

struct word_partition {
    std::size_t end = 0;     // pool index just past its last word, or 0
    std::size_t size = 0;    // words it holds
    std::size_t limit = 0;   // the size at which it is deduplicated next
    std::uint32_t first = 0; // its chunks, first and last
    std::uint32_t last = 0;
};

struct word_partitions {
    static constexpr int partition_bits = 10; // of the hash
    static constexpr std::size_t chunk_words = 512;
    std::unique_ptr<word_partition[]> parts; // null until the set spills its words here
    std::size_t part_count = 0;
    int order_shift = 0; // in partitions of the byte order, those bits of a word
    int order_bits = 0;  // below the top `order_shift` choose its partition; else 0
    mapped_block pool;
    std::size_t chunks = 1;                // chunks taken from the pool, chunk 0 among them
    std::vector<std::uint32_t> next_chunk; // in a partition's chain, by chunk
    std::vector<std::uint32_t> free_chunks;
    word_array scratch{nullptr, std::free}; // the deduplicating table
    std::size_t scratch_slots = 0;
    hash_key key{};
    std::size_t size = 0;                  // words held, duplicates included
    std::uint64_t any = 0;                 // the bits that some word has
    std::uint64_t all = ~std::uint64_t{0}; // the bits that every word has
};

inline std::uint64_t* pool_words(const word_partitions& words)
{
    return reinterpret_cast<std::uint64_t*>(words.pool.get());
}

// Makes the partitions ready for words hashed under `key`.
void open_partitions(word_partitions& words, const hash_key& key);

// The partition for a word whose hash is `hash`.
inline std::size_t hash_partition(std::uint64_t hash)
{
    return hash >> (64 - word_partitions::partition_bits);
}

// The bits of `word` below its top `shift` bits, `bits` of them: with the
// top bits alike, these put words in byte order. `bits` is 1 to 64 - shift.
inline std::size_t order_bucket(std::uint64_t word, int shift, int bits)
{
    return (word << shift) >> (64 - bits);
}

// Opens 2^bits empty partitions of the byte order, cut by order_bucket();
// these are never deduplicated.
void open_ordered(word_partitions& words, int shift, int bits);

// Moves every word of the hash partitions into partitions of the byte order,
// as open_ordered() makes them; every word must share its top `shift` bits.
// Throws std::bad_alloc when memory runs out.
void order_partitions(word_partitions& words, int shift, int bits);

// Deduplicates a partition that has doubled, and gives it a fresh chunk if
// its last one is full. Throws std::bad_alloc when memory runs out.
void make_room(word_partitions& words, word_partition& part);

// Appends `word` to partition `index`.
inline void append_word(word_partitions& words, std::size_t index, std::uint64_t word)
{
    word_partition& part = words.parts[index];
    if (part.end % word_partitions::chunk_words == 0)
        make_room(words, part);
    pool_words(words)[part.end++] = word;
    ++part.size;
    ++words.size;
    words.any |= word;
    words.all &= word;
}

// Calls f(word) for every word of `part`, in the order appended.
template <typename F>
void for_each_word(const word_partitions& words, const word_partition& part, F&& f)
{
    const std::uint64_t* pool = pool_words(words);
    for (std::uint32_t chunk = part.end ? part.first : 0; chunk != 0;
         chunk = chunk == part.last ? 0 : words.next_chunk[chunk]) {
        const std::size_t begin = chunk * word_partitions::chunk_words;
        const std::size_t end =
            chunk == part.last ? part.end : begin + word_partitions::chunk_words;
        for (std::size_t i = begin; i < end; ++i)
            f(pool[i]);
    }
}
