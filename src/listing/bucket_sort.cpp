// SPDX-License-Identifier: MIT
// Sorting for the listing. The plan cuts the tokens of every shard by their
// first limbs, below the top bits that all share, into as many buckets as
// hold some 2^15 tokens each, 4096 at most: then a bucket's partitions and
// its part of every run (found by seeking the run's restarts) are sorted
// in the caches of a core. Each form of a bucket is sorted by a radix sort,
// least significant digit first, on the bits of the limbs in which the
// bucket's tokens may differ (radix_sort.h); records that share a first
// limb then by comparison.
#include "listing/bucket_sort.h"

#include <algorithm>
#include <bit>
#include <vector>

namespace
{

// Buckets of about 2^15 tokens, 256 KiB of words, sort in the caches of a
// core; no more than 4096 of them leave the slabs that each shard begins
// for its buckets a small part of its memory.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr int bucket_size_bits = 3;
#else
constexpr int bucket_size_bits = 15;
#endif

// Copies bucket `bucket` of form Kind of every shard to `to`, as sort
// entries; returns how many there are.
template <typename Kind>
std::size_t gather(std::span<const shard_forms> shards, std::size_t bucket,
                   typename Kind::sort_entry* to)
{
    std::size_t size = 0;
    for (const shard_forms& shard : shards) {
        const partitions<Kind>& parts = of<Kind>(shard.forms).parts;
        for_each_entry(parts, parts.parts[bucket],
                       [&](const unsigned char* entry) { to[size++] = Kind::sorted(entry); });
    }
    return size;
}

// The tokens of form Kind of one bucket of every shard, sorted, each once.
template <typename Kind>
std::span<const typename Kind::sort_entry>
sort_form(std::span<const shard_forms> shards, const bucket_plan& plan, std::size_t bucket,
          room_of<Kind>& room, std::size_t largest, cursor_list<Kind>& cursors, record_arena& arena)
{
    using entry = typename Kind::sort_entry;
    entry* entries = room.get();
    std::size_t size = gather<Kind>(shards, bucket, entries);
    size = take_buckets<Kind>(cursors, plan.cut, bucket, size, entries, arena);
    entries = sort_by_limbs<Kind>(entries, entries + largest, size, plan.limbs);
    order_ties<Kind>(entries, size);
    const entry* end = std::unique(entries, entries + size, same_token<Kind>);
    return {entries, static_cast<std::size_t>(end - entries)};
}

template <typename Kind>
void bucket_form(std::span<shard_forms* const> group, const bucket_plan& plan)
{
    std::vector<partitions<Kind>*> others;
    for (shard_forms* shard : group.subspan(1))
        others.push_back(&of<Kind>(shard->forms).parts);
    bucket_partitions(of<Kind>(group.front()->forms).parts, std::span(others), plan.cut.shift,
                      plan.cut.bits);
}

} // namespace

bucket_plan plan_buckets(std::span<const shard_forms> shards)
{
    limb_bits<max_sort_limbs> seen;
    std::size_t count = 0;
    for (const shard_forms& shard : shards) {
        for_each_form(shard.forms,
                      [&](auto, const auto& form) { add_bits(seen, form.parts.bits_seen); });
        count += held_tokens(shard);
    }
    bucket_plan plan{cut_by_order(varying(seen, 0), count, bucket_size_bits), {}};
    for (std::size_t i = 0; i < max_sort_limbs; ++i)
        plan.limbs[i] = varying_bits(varying(seen, i));
    // Within a bucket, the bits that choose it are alike too.
    bit_range& first = plan.limbs[0];
    if (first.low <= first.high)
        first.high = std::max(first.low, 63 - plan.cut.shift - plan.cut.bits);
    return plan;
}

void bucket_tokens(std::span<shard_forms* const> group, const bucket_plan& plan)
{
    for_each_form([&](auto kind) { bucket_form<decltype(kind)>(group, plan); });
}

largest_bucket_of largest_bucket(std::span<const shard_forms> shards, const bucket_plan& plan)
{
    largest_bucket_of largest;
    for_each_form(largest.tokens, [&](auto kind, std::size_t& most) {
        using Kind = decltype(kind);
        std::vector<bucket_bound> bounds(plan.count()), steps(plan.count() + 1);
        for (const shard_forms& shard : shards) {
            const stored_form<Kind>& form = of<Kind>(shard.forms);
            for (const token_run& run : form.runs.runs)
                count_run<Kind>(run, plan.cut, steps);
            for (std::size_t b = 0; b < plan.count(); ++b)
                bounds[b].tokens += form.parts.parts[b].size;
        }
        const bucket_bound form_most = add_bounds(steps, bounds);
        most = form_most.tokens;
        largest.arena += form_most.arena;
    });
    return largest;
}

std::size_t sort_bytes(const form_counts& counts)
{
    std::size_t bytes = 0;
    for_each_form(counts, [&](auto kind, std::size_t count) {
        bytes += sizeof(typename decltype(kind)::sort_entry) * count;
    });
    return bytes;
}

bucket_room make_bucket_room(const form_counts& largest)
{
    bucket_room room;
    for_each_form(room, [&](auto kind, auto& entries) {
        using entry = typename decltype(kind)::sort_entry;
        entries.reset(new entry[2 * of<decltype(kind)>(largest)]);
    });
    return room;
}

std::size_t cursor_bytes(std::span<const shard_forms> shards)
{
    std::size_t bytes = 0;
    for (const shard_forms& shard : shards)
        for_each_form(shard.forms, [&](auto kind, const auto& form) {
            bytes += form.runs.runs.size() * sizeof(run_cursor<decltype(kind)>);
        });
    return bytes;
}

void seek_runs(std::span<const shard_forms> shards, const bucket_plan& plan, std::size_t bucket,
               run_cursors& cursors)
{
    for_each_form(cursors, [&](auto kind, auto& list) {
        using Kind = decltype(kind);
        list.clear();
        for (const shard_forms& shard : shards)
            for (const token_run& run : of<Kind>(shard.forms).runs.runs)
                list.push_back(seek_run<Kind>(run, plan.cut, bucket));
    });
}

sorted_bucket sort_bucket(std::span<const shard_forms> shards, const bucket_plan& plan,
                          std::size_t bucket, bucket_room& room, const form_counts& largest,
                          run_cursors& cursors, record_arena& arena)
{
    sorted_bucket sorted;
    empty_arena(arena);
    for_each_form(sorted, [&](auto kind, auto& entries) {
        using Kind = decltype(kind);
        entries = sort_form<Kind>(shards, plan, bucket, of<Kind>(room), of<Kind>(largest),
                                  of<Kind>(cursors), arena);
    });
    return sorted;
}
