// SPDX-License-Identifier: MIT
// Compaction: a shard's batch of a form sorted and written as a run, and
// its runs merged where they hold many tokens more than once or have grown
// many.
#include "runs/compaction.h"

#include <algorithm>
#include <bit>
#include <span>

#include "forms/radix_sort.h"
#include "runs/run_writer.h"

namespace
{

// Adds the hash of a sampled token of a new run to the sample: true if the
// sample held it already.
bool sample_token(form_runs& runs, std::uint64_t hash)
{
    if (2 * (runs.sampled + 1) > runs.sample.size()) {
        const std::size_t slots = std::max<std::size_t>(64, 2 * runs.sample.size());
        resize(runs.sample_share, (slots + runs.sample.size()) * sizeof(std::uint64_t));
        std::vector<std::uint64_t> old(slots);
        old.swap(runs.sample);
        runs.sampled = 0;
        for (std::uint64_t held : old)
            if (held != 0)
                sample_token(runs, held);
        std::vector<std::uint64_t>().swap(old);
        resize(runs.sample_share, slots * sizeof(std::uint64_t));
    }
    const std::size_t mask = runs.sample.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        if (runs.sample[slot] == hash)
            return true;
        if (runs.sample[slot] == 0) {
            runs.sample[slot] = hash;
            ++runs.sampled;
            return false;
        }
    }
}

// Writes the sorted entries of one bucket of a batch, each once, and adds
// those sampled to the sample: a token is sampled where the top bits of its
// keyed hash are 0, which depend on all of its bytes, so that tokens that
// share a long prefix, as paths do, are sampled alike.
template <typename Kind>
void write_bucket(run_writer<Kind>& to, const typename Kind::sort_entry* sorted, std::size_t size,
                  form_runs& runs, const hash_key& key)
{
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0 && same_token<Kind>(sorted[i], sorted[i - 1]))
            continue;
        write_token(to, sorted[i]);
        if (const std::uint64_t hash = Kind::hash(key, Kind::bytes_of(sorted[i]));
            hash < UINT64_MAX / sample_rate) {
            ++runs.batch_sampled;
            runs.batch_repeats += sample_token(runs, hash | 1);
        }
    }
}

// Sorts the entries of partitions `first` to `end` of `parts`, drops their
// repeats, adds them to `runs` as one run unless there are none, sampled
// under the partitions' key, and empties those partitions. The batch goes
// into buckets of the byte order by the top bits in which its first limbs
// differ, read straight from the partitions; then each bucket is sorted
// while it fits the caches, and written. Throws std::bad_alloc when memory
// runs out.
template <typename Kind>
void compact(partitions<Kind>& parts, std::size_t first, std::size_t end, form_runs& runs)
{
    using entry = typename Kind::sort_entry;
    std::size_t count = 0;
    for (std::size_t p = first; p < end; ++p)
        count += parts.parts[p].size;
    if (count == 0)
        return;
    const order_cut cut = cut_by_order(varying(parts.bits_seen, 0), count, batch_bucket_bits);
    auto bucket = [&](const unsigned char* entry) {
        return order_bucket(limb_of<Kind>(entry, 0), cut);
    };
    std::vector<std::size_t> starts(cut.buckets() + 1);
    for (std::size_t p = first; p < end; ++p)
        for_each_entry(parts, parts.parts[p],
                       [&](const unsigned char* entry) { ++starts[bucket(entry) + 1]; });
    std::size_t largest = 0;
    for (std::size_t b = 1; b < starts.size(); ++b) {
        largest = std::max(largest, starts[b]);
        starts[b] += starts[b - 1];
    }
    auto* room = reinterpret_cast<entry*>(
        scratch_of(runs.sort_room, (count + largest) * sizeof(entry), parts.pool->budget));
    std::vector<std::size_t> ends(starts.begin(), starts.end() - 1);
    for (std::size_t p = first; p < end; ++p)
        for_each_entry(parts, parts.parts[p], [&](const unsigned char* at) {
            room[ends[bucket(at)]++] = Kind::sorted(at);
        });
    run_writer<Kind> to = start_run<Kind>(parts.pool->budget, count);
    runs.runs.reserve(runs.runs.size() + 1);
    runs.batch_sampled = runs.batch_repeats = 0;
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        const std::size_t size = starts[b + 1] - starts[b];
        write_bucket(to, sort_in_order<Kind>(room + starts[b], room + count, size), size, runs,
                     parts.key);
    }
    runs.repeats += runs.batch_repeats;
    runs.runs.push_back(finish_run(to));
    runs.held += runs.runs.back().size;
    empty_partitions(parts, first, end);
}

// Merges the runs from `first` on, whose tokens' first limbs vary in bits
// `varying_first`, into one of a level above that of the first: a bucket at
// a time, each sorted from every run at once, as the listing sorts. What the
// merge has read of each run goes back as it goes, so that the merged run
// grows as they shrink. Throws std::bad_alloc when memory runs out, when
// the runs from `first` on are lost.
template <typename Kind>
void merge_runs(std::vector<token_run>& runs, std::size_t first, std::uint64_t varying_first,
                memory_budget* budget)
{
    using entry = typename Kind::sort_entry;
    const std::span<token_run> merging(runs.begin() + static_cast<std::ptrdiff_t>(first),
                                       runs.end());
    std::size_t total = 0;
    for (const token_run& run : merging)
        total += run.size;
    const order_cut cut = cut_by_order(varying_first, total, merge_bucket_bits);
    std::vector<bucket_bound> steps(cut.buckets() + 1);
    cursor_list<Kind> cursors;
    for (const token_run& run : merging) {
        count_run<Kind>(run, cut, steps);
        cursors.push_back(seek_run<Kind>(run, cut, 0));
    }
    std::vector<bucket_bound> bounds(cut.buckets());
    const bucket_bound most = add_bounds(steps, bounds);
    const std::size_t largest = most.tokens;
    budget_share room_share(budget);
    resize(room_share, 2 * largest * sizeof(entry));
    const std::unique_ptr<entry[]> room(new entry[2 * largest]);
    record_arena arena;
    make_arena(arena, most.arena, budget);
    run_writer<Kind> to = start_run<Kind>(budget, total);
    for (std::size_t b = 0; b < cut.buckets(); ++b) {
        empty_arena(arena);
        const std::size_t count = take_buckets<Kind>(cursors, cut, b, 0, room.get(), arena);
        const entry* sorted = sort_in_order<Kind>(room.get(), room.get() + largest, count);
        for (std::size_t i = 0; i < count; ++i)
            if (i == 0 || !same_token<Kind>(sorted[i], sorted[i - 1]))
                write_token(to, sorted[i]);
        for (std::size_t r = 0; r < merging.size(); ++r)
            forget_before(merging[r], cursors[r].reader.from.at);
    }
    token_run merged = finish_run(to);
    merged.level = runs[first].level + 1;
    runs.resize(first);
    runs.push_back(std::move(merged));
}

// The newest runs, of the newest level.
std::size_t newest_level(const std::vector<token_run>& runs)
{
    std::size_t first = runs.size();
    while (first > 0 && runs[first - 1].level == runs.back().level)
        --first;
    return first;
}

// Repeats that a merge of some runs drops are taken to be sampled ones in
// the same proportion.
template <typename Kind>
void merge_from(const partitions<Kind>& parts, form_runs& runs, std::size_t first)
{
    const std::size_t held = runs.held;
    merge_runs<Kind>(runs.runs, first, varying(parts.bits_seen, 0), parts.pool->budget);
    runs.held = 0;
    for (const token_run& run : runs.runs)
        runs.held += run.size;
    const std::size_t dropped = (held - runs.held) / sample_rate;
    runs.repeats = first == 0 ? 0 : runs.repeats - std::min(runs.repeats, dropped);
}

// A batch is written a run at a time, out of as many partitions as hold
// about a batch together, so that the room to sort it stays that of one
// batch where the partitions have grown large before the first run.
template <typename Kind> void write_batch(partitions<Kind>& parts, form_runs& runs)
{
    const std::size_t count = std::size_t{1} << parts.bits;
    const std::size_t batch = runs.batch * slab_bytes<Kind> / sizeof(typename Kind::sort_entry);
    for (std::size_t first = 0, end = 0; first < count; first = end) {
        for (std::size_t size = 0; end < count && (size < batch || end == first); ++end)
            size += parts.parts[end].size;
        compact(parts, first, end, runs);
    }
}

} // namespace

// Where most of a batch was in the runs already, tokens recur across
// batches, and a batch twice as large drops more of them in the
// partitions, for less than merging runs would cost.
template <typename Kind> void write_runs(partitions<Kind>& parts, form_runs& runs)
{
    write_batch(parts, runs);
    parts.dropped = 0;
    if (runs.batch_sampled > 0 && 2 * runs.batch_repeats >= runs.batch_sampled)
        runs.batch_doublings = std::min(runs.batch_doublings + 1, most_doublings);
    if (merge_all(runs.repeats, runs.held))
        merge_from(parts, runs, 0);
    for (std::size_t first; runs.runs.size() - (first = newest_level(runs.runs)) >= run_fanout;)
        merge_from(parts, runs, first);
    runs.run_at = runs.batch << runs.batch_doublings;
    // A pressed budget keeps no room between batches, nor free slabs.
    if (pressed(parts.pool->budget)) {
        runs.sort_room = scratch();
        give_back_scratch(parts);
        give_back(*parts.pool, nullptr, 0);
    }
}

#define TOKCOLLECT_COMPACTION(Kind) template void write_runs(partitions<Kind>&, form_runs&);
TOKCOLLECT_FOR_EACH_FORM(TOKCOLLECT_COMPACTION)
