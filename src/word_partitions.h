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
    static constexpr int partition_bits = 10;
    static constexpr std::size_t partition_count = std::size_t{1} << partition_bits;
    static constexpr std::size_t chunk_words = 512;
    std::unique_ptr<word_partition[]> parts; // null until the set spills its words here
    mapped_block pool;
    std::size_t chunks = 1;                // chunks taken from the pool, chunk 0 among them
    std::vector<std::uint32_t> next_chunk; // in a partition's chain, by chunk
    std::vector<std::uint32_t> free_chunks;
    word_array scratch{nullptr, std::free}; // the deduplicating table
    std::size_t scratch_slots = 0;
    hash_key key{};
    std::size_t size = 0; // words held, duplicates included
};

inline std::uint64_t* pool_words(const word_partitions& words)
{
    return reinterpret_cast<std::uint64_t*>(words.pool.get());
}

// Makes the partitions ready for words hashed under `key`.
void open_partitions(word_partitions& words, const hash_key& key);

// Deduplicates a partition that has doubled, and gives it a fresh chunk if
// its last one is full. Throws std::bad_alloc when memory runs out.
void make_room(word_partitions& words, word_partition& part);

// Appends `word`, whose hash under the partitions' key is `hash`.
inline void append_word(word_partitions& words, std::uint64_t hash, std::uint64_t word)
{
    word_partition& part = words.parts[hash >> (64 - word_partitions::partition_bits)];
    if (part.end % word_partitions::chunk_words == 0)
        make_room(words, part);
    pool_words(words)[part.end++] = word;
    ++part.size;
    ++words.size;
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
