// SPDX-License-Identifier: MIT
// Putting the tokens that the set's shards hand over (shard_forms.h) in
// byte order for the listing. One plan cuts the entries of every form of
// every shard into the same buckets of the byte order; the listing then
// takes the buckets one after another, each from every shard at once, and
// sorts each while it fits the caches. No merge of the shards is needed,
// and the buckets can be shared among threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "forms/forms.h"
#include "forms/radix_sort.h"
#include "runs/run_reader.h"
#include "set/shard_forms.h"

// How the tokens of some shards are cut into buckets of the byte order, and
// the bits of each limb that sorts them in which the tokens of one bucket
// may differ.
struct bucket_plan {
    order_cut cut;
    bit_range limbs[max_sort_limbs];
    std::size_t count() const { return cut.buckets(); }
};

// A plan whose buckets hold some 2^15 tokens each, for all of `shards`.
bucket_plan plan_buckets(std::span<const shard_forms> shards);

// Moves every form of every shard of `group`, which share their pools, into
// the buckets of `plan` in its first shard; the others are left with as
// many buckets, empty. Throws std::bad_alloc when memory runs out.
void bucket_tokens(std::span<shard_forms* const> group, const bucket_plan& plan);

// Where one thread of the listing stands in every run of every shard.
using run_cursors = per_form<cursor_list>;

// Bytes that cursors in every run of `shards` take.
std::size_t cursor_bytes(std::span<const shard_forms> shards);

// Puts `cursors` at the first token of bucket `bucket` or a later one in
// every run of `shards`; they take memory only the first time.
void seek_runs(std::span<const shard_forms> shards, const bucket_plan& plan, std::size_t bucket,
               run_cursors& cursors);

// The most tokens of each form that one bucket holds in all of `shards`,
// and the most bytes that one bucket's records read from runs take in an
// arena, or more: a run's part of a bucket is counted in whole intervals
// between its restarts.
struct largest_bucket_of {
    form_counts tokens;
    std::size_t arena = 0;
};
largest_bucket_of largest_bucket(std::span<const shard_forms> shards, const bucket_plan& plan);

// Bytes that the sort entries of `counts` take.
std::size_t sort_bytes(const form_counts& counts);

// Room to sort any bucket of a plan: twice the largest bucket of each form.
template <typename Kind> using room_of = std::unique_ptr<typename Kind::sort_entry[]>;
using bucket_room = per_form<room_of>;
bucket_room make_bucket_room(const form_counts& largest);

// The tokens of one bucket of every shard, each form sorted, each token
// once; `cursors` stand at the bucket, and are left at the next. Records
// read from runs are kept in `arena` until the next bucket is sorted.
template <typename Kind> using sorted_of = std::span<const typename Kind::sort_entry>;
using sorted_bucket = per_form<sorted_of>;
sorted_bucket sort_bucket(std::span<const shard_forms> shards, const bucket_plan& plan,
                          std::size_t bucket, bucket_room& room, const form_counts& largest,
                          run_cursors& cursors, record_arena& arena);
