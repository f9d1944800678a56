// SPDX-License-Identifier: MIT
// Putting the tokens that sets hand over (token_set.h) in byte order for the
// listing. One plan cuts the entries of every form of every set into the
// same buckets of the byte order; the listing then takes the buckets one
// after another, each from every set at once, and sorts each while it fits
// the caches. No merge of the sets is needed, and the buckets can be shared
// among threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "forms/packed_token.h"
#include "runs/run_reader.h"
#include "set/token_inserter.h"

// How the tokens of some sets are cut into buckets of the byte order: the
// top `shift` bits are alike in the first word of every token, the next
// `bits` choose a bucket, and only bytes `low` to `high` of the first words
// differ within one bucket, and bytes `pair_low` up of the second words of
// the pairs.
struct bucket_plan {
    int shift = 0;
    int bits = 1;
    int low = 0;
    int high = 7;
    int pair_low = 0;
    std::size_t count() const { return std::size_t{1} << bits; }
};

// A plan whose buckets hold some ten thousand tokens each, for all of `sets`.
bucket_plan plan_buckets(std::span<const stored_tokens> sets);

// Moves every form of every set of `group`, which share their pools, into
// the buckets of `plan` in its first set; the others are left with as many
// buckets, empty. Throws std::bad_alloc when memory runs out.
void bucket_tokens(std::span<stored_tokens* const> group, const bucket_plan& plan);

// A record as a bucket sorts it: its first two packed words, and where it is.
struct record_ref {
    std::uint64_t first;
    std::uint64_t second;
    const unsigned char* record;
};

// Where one thread of the listing stands in every run of every set.
struct run_cursors {
    std::vector<run_cursor<word_kind>> words;
    std::vector<run_cursor<pair_kind>> pairs;
};

// Puts `cursors` at the first token of bucket `bucket` or a later one in
// every run of `sets`; they take memory only the first time.
void seek_runs(std::span<const stored_tokens> sets, const bucket_plan& plan, std::size_t bucket,
               run_cursors& cursors);

// The most words, pairs and records that one bucket holds in all of `sets`,
// or more: a run's share of a bucket is counted in whole stretches between
// its restarts.
struct bucket_sizes {
    std::size_t words = 0;
    std::size_t pairs = 0;
    std::size_t records = 0;
};
bucket_sizes largest_bucket(std::span<const stored_tokens> sets, const bucket_plan& plan);

// Bytes that the entries of `sizes` take when sorted: words as they are,
// pairs too, records as record_ref.
std::size_t sort_bytes(const bucket_sizes& sizes);

// Room to sort any bucket of a plan: twice the largest bucket of each form.
struct bucket_room {
    std::unique_ptr<std::uint64_t[]> words;
    std::unique_ptr<word_pair[]> pairs;
    std::unique_ptr<record_ref[]> records;
};
bucket_room make_bucket_room(const bucket_sizes& largest);

// The tokens of one bucket of every set, each form sorted, each token once;
// `runs` stand at the bucket, and are left at the next.
struct sorted_bucket {
    std::span<const std::uint64_t> words;
    std::span<const word_pair> pairs;
    std::span<const record_ref> records;
};
sorted_bucket sort_bucket(std::span<const stored_tokens> sets, const bucket_plan& plan,
                          std::size_t bucket, bucket_room& room, const bucket_sizes& largest,
                          run_cursors& runs);
