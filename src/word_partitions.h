// SPDX-License-Identifier: MIT
// The packed tokens of a set too large for the caches, spread over
// partitions by hash: tokens of up to 16 bytes as one word each, and tokens
// of 17 to 32 bytes as a pair of words, each kind in partitions of its own.
//
// Looked up in one large table, every new token costs a cache miss, and the
// table's every doubling faults in fresh pages. Here a token is only
// appended to one of 1024 partitions, chosen by the top bits of its keyed
// hash: the ends being written, one cache line each, all stay in the
// caches, and the tokens stream out behind them. A partition that has
// doubled since it was last deduplicated is deduplicated again, in a table
// small enough for the caches, or once it has grown eightfold if the last
// time found fewer than one token in eight repeated; so it holds every token
// it was given, and about twice as many as distinct ones at most where
// tokens recur. What duplicates are left the sort merges (token_sort.h),
// which must put the tokens in byte order anyway.
//
// A partition is a chain of chunks of 512 entries, all of them in one pool
// that grows in place and is backed by huge pages once large: chunks that
// deduplicating frees are reused, so that growing faults in few pages.
// Chunks are named by index, since the pool may move when it grows; chunk 0
// is never handed out, so that a partition's end of 0 says it has none.
//
// For the listing, the tokens then move into partitions of the byte order,
// cut by the bits of their first word below those that all tokens share
// (order_partitions()): each chunk is handed on as soon as it has been
// read, so that this takes almost no memory of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "keyed_hash.h"
#include "mapped_block.h"
#include "packed_token.h"

using word_array = std::unique_ptr<std::uint64_t[], void (*)(void*)>;

// Every bit flipped, so that ~word_pair{} has every bit set.
inline word_pair operator~(const word_pair& pair)
{
    return {~pair.high, ~pair.low};
}

inline std::uint64_t first_word(std::uint64_t word)
{
    return word;
}

inline std::uint64_t first_word(const word_pair& pair)
{
    return pair.high;
}

inline std::uint64_t hash_entry(const hash_key& key, std::uint64_t word)
{
    return hash_word(key, word);
}

inline std::uint64_t hash_entry(const hash_key& key, const word_pair& pair)
{
    return hash_word(key, pair.high ^ fold_multiply(pair.low ^ key.seed, key.multiplier));
}

// The bits that some entry has, and those that every entry has.
inline void take_bits(std::uint64_t& any, std::uint64_t& all, std::uint64_t word)
{
    any |= word;
    all &= word;
}

inline void take_bits(word_pair& any, word_pair& all, const word_pair& pair)
{
    take_bits(any.high, all.high, pair.high);
    take_bits(any.low, all.low, pair.low);
}

struct partition {
    std::size_t end = 0;     // pool index just past its last entry, or 0
    std::size_t size = 0;    // entries it holds
    std::size_t limit = 0;   // the size at which it is deduplicated next
    std::uint32_t first = 0; // its chunks, first and last
    std::uint32_t last = 0;
};

// Partitions of `Entry`, a packed word or a word_pair, which is never 0.
template <typename Entry> struct entry_partitions {
#ifdef TOKCOLLECT_SMALL_PARTS
    static constexpr int partition_bits = 3;
    static constexpr std::size_t chunk_entries = 8;
#else
    static constexpr int partition_bits = 10; // of the hash
    static constexpr std::size_t chunk_entries = 512;
#endif
    std::unique_ptr<partition[]> parts; // null until the set spills its tokens here
    std::size_t part_count = 0;
    mapped_block pool;
    std::size_t chunks = 1;                // chunks taken from the pool, chunk 0 among them
    std::vector<std::uint32_t> next_chunk; // in a partition's chain, by chunk
    std::vector<std::uint32_t> free_chunks;
    std::unique_ptr<Entry[], void (*)(void*)> scratch{nullptr, std::free}; // deduplicating table
    std::size_t scratch_slots = 0;
    hash_key key{};
    std::size_t size = 0; // entries held, duplicates included
    Entry any{};          // the bits that some entry has
    Entry all{~Entry{}};  // the bits that every entry has
};

using word_partitions = entry_partitions<std::uint64_t>;
using pair_partitions = entry_partitions<word_pair>;

template <typename Entry> Entry* pool_entries(const entry_partitions<Entry>& tokens)
{
    return reinterpret_cast<Entry*>(tokens.pool.get());
}

// Makes the partitions ready for entries hashed under `key`.
template <typename Entry>
void open_partitions(entry_partitions<Entry>& tokens, const hash_key& key);

// The partition for an entry whose hash is `hash`.
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

// Opens 2^bits empty partitions of the byte order, cut by order_bucket() of
// each entry's first word; these are never deduplicated.
template <typename Entry> void open_ordered(entry_partitions<Entry>& tokens, int bits);

// Moves every entry of the hash partitions into partitions of the byte
// order, as open_ordered() makes them; the first words of all entries must
// share their top `shift` bits. Throws std::bad_alloc when memory runs out.
template <typename Entry>
void order_partitions(entry_partitions<Entry>& tokens, int shift, int bits);

// Deduplicates a partition that has doubled, and gives it a fresh chunk if
// its last one is full. Throws std::bad_alloc when memory runs out.
template <typename Entry> void make_room(entry_partitions<Entry>& tokens, partition& part);

// Appends `entry` to partition `index`.
template <typename Entry>
inline void append_entry(entry_partitions<Entry>& tokens, std::size_t index, const Entry& entry)
{
    partition& part = tokens.parts[index];
    if (part.end % entry_partitions<Entry>::chunk_entries == 0)
        make_room(tokens, part);
    pool_entries(tokens)[part.end++] = entry;
    ++part.size;
    ++tokens.size;
    take_bits(tokens.any, tokens.all, entry);
}

// Calls f(entry) for every entry of `part`, in the order appended.
template <typename Entry, typename F>
void for_each_entry(const entry_partitions<Entry>& tokens, const partition& part, F&& f)
{
    constexpr std::size_t chunk_entries = entry_partitions<Entry>::chunk_entries;
    const Entry* pool = pool_entries(tokens);
    for (std::uint32_t chunk = part.end ? part.first : 0; chunk != 0;
         chunk = chunk == part.last ? 0 : tokens.next_chunk[chunk]) {
        const std::size_t begin = chunk * chunk_entries;
        const std::size_t end = chunk == part.last ? part.end : begin + chunk_entries;
        for (std::size_t i = begin; i < end; ++i)
            f(pool[i]);
    }
}
