// SPDX-License-Identifier: MIT
// Putting the tokens that sets hand over (stored_tokens.h) in byte order for
// the listing, in two steps. Each set alone first sorts its long tokens.
// Then the words of all sets are cut by one plan into buckets of the byte
// order, so that the listing takes the buckets one after another, each from
// every set at once, and sorts each while it fits the caches: no merge of
// the sets' words is needed, and the buckets can be shared among threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "arena.h"
#include "stored_tokens.h"

// A long token to sort: the packed word that the sort has reached, and where
// its record is.
struct long_entry {
    std::uint64_t word;
    std::uint64_t offset;
};

// A set's tokens on their way to byte order: its tokens over 32 bytes
// sorted, their records in the set's arena, which comes along; its packed
// words and pairs as the set stored them, until bucket_words() puts them in
// buckets.
struct sorted_tokens {
    word_array words{nullptr, std::free}; // a set that did not spill its words
    std::size_t word_count = 0;
    word_partitions partitions;
    pair_partitions pairs; // tokens of 17 to 32 bytes
    std::unique_ptr<long_entry[]> longs;
    std::size_t long_count = 0;
    mapped_block arena;
    std::uint64_t any = 0;                 // the bits that some token's first word
    std::uint64_t all = ~std::uint64_t{0}; // has, and those that every one has
    bool has_empty = false;
};

// Sorts the tokens over 32 bytes of the set that handed `tokens` over, and
// makes pairs of the records of shorter ones, which a set that never
// spilled keeps. This and the steps below are where the listing takes its
// memory: each throws std::bad_alloc when it runs out.
sorted_tokens sort_tokens(stored_tokens tokens);

// How the tokens of some sets are cut into buckets of the byte order: the
// top `shift` bits are alike in the first word of every token, the next
// `bits` choose a bucket, and only bytes `low` to `high` of the first words
// differ within one bucket, and bytes `pair_low` up of the second words of
// the pairs.
struct word_buckets {
    int shift = 0;
    int bits = 1;
    std::uint64_t prefix = 0; // the bits alike
    int low = 0;
    int high = 7;
    int pair_low = 0;
    std::size_t count() const { return std::size_t{1} << bits; }
    // The least word of bucket `bucket`.
    std::uint64_t first_word(std::size_t bucket) const;
};

// A plan whose buckets hold some ten thousand words each, for all of `sets`.
word_buckets plan_buckets(std::span<const sorted_tokens> sets);

// Moves the words and pairs of `set` into the buckets of `plan`.
void bucket_words(sorted_tokens& set, const word_buckets& plan);

// The most words, and the most pairs, that one bucket holds in all of `sets`.
struct bucket_sizes {
    std::size_t words = 0;
    std::size_t pairs = 0;
};
bucket_sizes largest_bucket(std::span<const sorted_tokens> sets, const word_buckets& plan);

// Sorts bucket `bucket` of all of `sets`, each word once, in `words` and
// `spare`, which have room for the largest bucket each. Returns where the
// sorted words begin, and leaves their number in `count`.
const std::uint64_t* sort_bucket(std::span<const sorted_tokens> sets, const word_buckets& plan,
                                 std::size_t bucket, std::uint64_t* words, std::uint64_t* spare,
                                 std::size_t& count);

// As sort_bucket(), for the pairs.
const word_pair* sort_pair_bucket(std::span<const sorted_tokens> sets, const word_buckets& plan,
                                  std::size_t bucket, word_pair* pairs, word_pair* spare,
                                  std::size_t& count);
