// SPDX-License-Identifier: MIT
// Compaction: a shard's batch of words or pairs sorted and written as a
// run, and its runs merged where they hold many tokens more than once or
// have grown many.
#include "runs/compaction.h"

#include <algorithm>
#include <bit>
#include <span>

#include "forms/radix_sort.h"
#include "runs/run_writer.h"

namespace
{

// The bytes `low` to `high` in which words that have `any` bits where some
// has one and `all` where every one has one may differ; false if none do.
bool varying_bytes(std::uint64_t any, std::uint64_t all, int& low, int& high)
{
    const std::uint64_t varying = any & ~all;
    low = std::countr_zero(varying) / 8;
    high = (63 - std::countl_zero(varying)) / 8;
    return varying != 0;
}

std::uint64_t* sort_entries(std::uint64_t* words, std::uint64_t* scratch, std::size_t count)
{
    std::uint64_t any = 0, all = ~std::uint64_t{0};
    for (std::size_t i = 0; i < count; ++i) {
        any |= words[i];
        all &= words[i];
    }
    int low, high;
    if (!varying_bytes(any, all, low, high))
        return words;
    return sort_by_key(words, scratch, count, low, high, [](std::uint64_t word) { return word; });
}

// Pairs by their second words, then by their first: the sort keeps the
// order of equal keys.
word_pair* sort_entries(word_pair* pairs, word_pair* scratch, std::size_t count)
{
    std::uint64_t any = 0, all = ~std::uint64_t{0}, second_any = 0, second_all = ~std::uint64_t{0};
    for (std::size_t i = 0; i < count; ++i) {
        any |= pairs[i].high;
        all &= pairs[i].high;
        second_any |= pairs[i].low;
        second_all &= pairs[i].low;
    }
    int low, high;
    if (varying_bytes(second_any, second_all, low, high)) {
        word_pair* sorted = sort_by_key(pairs, scratch, count, low, high,
                                        [](const word_pair& pair) { return pair.low; });
        scratch = sorted == pairs ? scratch : pairs;
        pairs = sorted;
    }
    if (!varying_bytes(any, all, low, high))
        return pairs;
    return sort_by_key(pairs, scratch, count, low, high,
                       [](const word_pair& pair) { return pair.high; });
}

// Adds the hash of a sampled token of a new run to the sample: true if the
// sample held it already.
bool sample_token(form_runs& runs, std::uint64_t hash)
{
    if (2 * (runs.sampled + 1) > runs.sample.size()) {
        std::vector<std::uint64_t> old(std::max<std::size_t>(64, 2 * runs.sample.size()));
        old.swap(runs.sample);
        runs.sampled = 0;
        for (std::uint64_t held : old)
            if (held != 0)
                sample_token(runs, held);
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

// A token is sampled where the top bits of a keyed product of its first
// word are 0, which a multiplication makes depend on all of its bits; its
// hash in the sample depends on every bit of it.
inline bool sampled(const hash_key& key, std::uint64_t first)
{
    return hash_word(key, first) < UINT64_MAX / sample_rate;
}

std::uint64_t sample_hash(const hash_key& key, std::uint64_t word)
{
    return mix_word(key, word);
}

std::uint64_t sample_hash(const hash_key& key, const word_pair& pair)
{
    return hash_pair(key, pair);
}

// Sorts the entries of partitions `first` to `end` of `raw`, drops their
// repeats, adds them to `runs` as one run unless there are none, sampled
// under `key`, and empties those partitions. The batch goes into buckets
// of the byte order by the top bits in which its first words differ, some
// 2^13 entries each, read straight from the partitions; then each bucket
// is sorted while it fits the caches, and written. Throws std::bad_alloc
// when memory runs out, having changed no tokens.
template <typename Kind>
void compact(partitions<Kind>& raw, std::size_t first, std::size_t end, form_runs& runs,
             const hash_key& key)
{
    using value = typename Kind::value;
    std::size_t count = 0;
    for (std::size_t p = first; p < end; ++p)
        count += raw.parts[p].size;
    if (count == 0)
        return;
    const std::uint64_t varying = raw.any & ~raw.all;
    const int shift = varying ? std::countl_zero(varying) : 0;
    const int bits = std::min(static_cast<int>(std::bit_width(count >> 13)), 64 - shift);
    auto bucket = [&](const unsigned char* entry) {
        return bits ? order_bucket(Kind::first_word(entry), shift, bits) : 0;
    };
    std::vector<std::size_t> starts((std::size_t{1} << bits) + 1);
    for (std::size_t p = first; p < end; ++p)
        for_each_entry(raw, raw.parts[p],
                       [&](const unsigned char* entry) { ++starts[bucket(entry) + 1]; });
    std::size_t largest = 0;
    for (std::size_t b = 1; b < starts.size(); ++b) {
        largest = std::max(largest, starts[b]);
        starts[b] += starts[b - 1];
    }
    auto* room = reinterpret_cast<value*>(block_of(runs.room, (count + largest) * sizeof(value)));
    std::vector<std::size_t> ends(starts.begin(), starts.end() - 1);
    for (std::size_t p = first; p < end; ++p)
        for_each_entry(raw, raw.parts[p], [&](const unsigned char* entry) {
            room[ends[bucket(entry)]++] = Kind::load(entry);
        });
    run_writer<Kind> to = start_run<Kind>(count);
    runs.runs.reserve(runs.runs.size() + 1);
    runs.batch_sampled = runs.batch_repeats = 0;
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        const std::size_t size = starts[b + 1] - starts[b];
        const value* sorted = sort_entries(room + starts[b], room + count, size);
        for (std::size_t i = 0; i < size; ++i) {
            if (i > 0 && sorted[i] == sorted[i - 1])
                continue;
            write_token(to, sorted[i]);
            if (sampled(key, high_word(sorted[i]))) {
                ++runs.batch_sampled;
                runs.batch_repeats += sample_token(runs, sample_hash(key, sorted[i]) | 1);
            }
        }
    }
    runs.repeats += runs.batch_repeats;
    runs.runs.push_back(finish_run(to));
    runs.held += runs.runs.back().size;
    empty_partitions(raw, first, end);
}

// Merges the runs from `first` on, whose tokens' first words have bits
// `any` where some has one and `all` where every one has one, into one of a
// level above that of the first: a bucket at a time, each sorted from every
// run at once, as the listing sorts, in buckets of some 2^15 tokens that
// fit the caches. Throws std::bad_alloc when memory runs out, having
// changed nothing.
template <typename Kind>
void merge_runs(std::vector<token_run>& runs, std::size_t first, std::uint64_t any,
                std::uint64_t all)
{
    using value = typename Kind::value;
    const std::span<const token_run> merging(runs.begin() + static_cast<std::ptrdiff_t>(first),
                                             runs.end());
    std::size_t total = 0;
    for (const token_run& run : merging)
        total += run.size;
    const std::uint64_t varying = any & ~all;
    const int shift = varying ? std::countl_zero(varying) : 0;
    const int bits =
        std::min(std::clamp(static_cast<int>(std::bit_width(total >> 15)), 1, 12), 64 - shift);
    std::vector<std::ptrdiff_t> steps((std::size_t{1} << bits) + 1);
    std::vector<run_cursor<Kind>> cursors;
    for (const token_run& run : merging) {
        count_run<Kind>(run, shift, bits, steps);
        cursors.push_back(seek_run<Kind>(run, shift, bits, 0));
    }
    std::size_t largest = 0;
    std::ptrdiff_t bound = 0;
    for (std::size_t b = 0; b < std::size_t{1} << bits; ++b)
        largest = std::max(largest, static_cast<std::size_t>(bound += steps[b]));
    const auto room = std::make_unique_for_overwrite<value[]>(2 * largest);
    run_writer<Kind> to = start_run<Kind>(total);
    for (std::size_t b = 0; b < std::size_t{1} << bits; ++b) {
        std::size_t count = 0;
        for (run_cursor<Kind>& cursor : cursors)
            take_bucket(cursor, shift, bits, b, [&](const value& token) { room[count++] = token; });
        const value* sorted = sort_entries(room.get(), room.get() + largest, count);
        for (std::size_t i = 0; i < count; ++i)
            write_token(to, sorted[i]);
    }
    token_run merged = finish_run(to);
    merged.level = runs[first].level + 1;
    runs.resize(first);
    runs.push_back(std::move(merged));
}

// Runs of one level are merged once run_fanout of them have been written,
// so that the listing reads a few hundred at most, and every run is merged
// once the sample says that half of what they hold is repeats.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t run_fanout = 4;
#else
constexpr std::size_t run_fanout = 256;
#endif

// The newest runs, of the newest level.
std::size_t newest_level(const std::vector<token_run>& runs)
{
    std::size_t first = runs.size();
    while (first > 0 && runs[first - 1].level == runs.back().level)
        --first;
    return first;
}

// Repeats that a merge of some runs drops are taken to be sampled ones in
// the same share.
template <typename Kind>
void merge_from(const partitions<Kind>& raw, form_runs& runs, std::size_t first)
{
    const std::size_t held = runs.held;
    merge_runs<Kind>(runs.runs, first, raw.any, raw.all);
    runs.held = 0;
    for (const token_run& run : runs.runs)
        runs.held += run.size;
    const std::size_t dropped = (held - runs.held) / sample_rate;
    runs.repeats = first == 0 ? 0 : runs.repeats - std::min(runs.repeats, dropped);
}

// A batch is written a run at a time, out of as many partitions as hold
// about a batch together, so that the room to sort it stays that of one
// batch where the partitions have grown large before the first run.
template <typename Kind>
void write_batch(partitions<Kind>& raw, form_runs& runs, const hash_key& key, std::size_t batch)
{
    const std::size_t partitions = std::size_t{1} << raw.bits;
    for (std::size_t first = 0, end = 0; first < partitions; first = end) {
        for (std::size_t size = 0; end < partitions && (size < batch || end == first); ++end)
            size += raw.parts[end].size;
        compact(raw, first, end, runs, key);
    }
}

} // namespace

// Where most of a batch was in the runs already, tokens recur across
// batches, and a batch twice as large drops more of them in the
// partitions, for less than merging runs would cost.
template <typename Kind>
void write_runs(partitions<Kind>& raw, form_runs& runs, const hash_key& key, std::size_t batch)
{
    write_batch(raw, runs, key, batch);
    raw.dropped = 0;
    if (runs.batch_sampled > 0 && 2 * runs.batch_repeats >= runs.batch_sampled)
        ++runs.batch_doublings;
    if (2 * sample_rate * runs.repeats >= runs.held)
        merge_from(raw, runs, 0);
    for (std::size_t first; runs.runs.size() - (first = newest_level(runs.runs)) >= run_fanout;)
        merge_from(raw, runs, first);
    runs.limit = batch << runs.batch_doublings;
}

template void write_runs(partitions<word_kind>&, form_runs&, const hash_key&, std::size_t);
template void write_runs(partitions<pair_kind>&, form_runs&, const hash_key&, std::size_t);
