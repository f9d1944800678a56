// SPDX-License-Identifier: MIT
// Sorting for the listing. Each form of a bucket is sorted by a radix sort,
// least significant byte first, on the bytes of the first word in which the
// bucket's tokens differ; pairs first on their second words, records that
// share a first word then by comparison.
#include "listing/bucket_sort.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "forms/radix_sort.h"

namespace
{

// Copies bucket `bucket` of form `form` of every set to `to`; returns how
// many entries there are.
template <typename Kind, typename To>
std::size_t gather(std::span<const stored_tokens> sets, partitions<Kind> stored_tokens::*form,
                   std::size_t bucket, To&& to)
{
    std::size_t size = 0;
    for (const stored_tokens& set : sets) {
        const partitions<Kind>& tokens = set.*form;
        for_each_entry(tokens, tokens.parts[bucket],
                       [&](const unsigned char* entry) { to(size++, entry); });
    }
    return size;
}

// Copies the tokens of bucket `bucket` from every run that `cursors` stand
// in to `to`, after the `size` there already; returns how many there are
// now.
template <typename Kind, typename To>
std::size_t gather_runs(std::vector<run_cursor<Kind>>& cursors, const bucket_plan& plan,
                        std::size_t bucket, std::size_t size, To&& to)
{
    for (run_cursor<Kind>& cursor : cursors)
        take_bucket(cursor, plan.shift, plan.bits, bucket,
                    [&](const typename Kind::value& token) { to(size++, token); });
    return size;
}

// Adds to `bounds`, a bucket each, how many tokens of form Kind the runs of
// `sets` may hold there.
template <typename Kind>
void bound_runs(std::span<const stored_tokens> sets, form_runs stored_tokens::*runs,
                const bucket_plan& plan, std::vector<std::size_t>& bounds)
{
    std::vector<std::ptrdiff_t> steps(plan.count() + 1);
    for (const stored_tokens& set : sets)
        for (const token_run& run : (set.*runs).runs)
            count_run<Kind>(run, plan.shift, plan.bits, steps);
    std::ptrdiff_t bound = 0;
    for (std::size_t b = 0; b < plan.count(); ++b)
        bounds[b] += static_cast<std::size_t>(bound += steps[b]);
}

bool record_before(const record_ref& a, const record_ref& b)
{
    return a.second != b.second ? a.second < b.second : compare_records(a.record, b.record) < 0;
}

// Records sorted by their first words, then each run that shares one by the
// rest.
record_ref* sort_records(record_ref* records, record_ref* spare, std::size_t size,
                         const bucket_plan& plan)
{
    record_ref* sorted = sort_by_key(records, spare, size, plan.low, plan.high,
                                     [](const record_ref& r) { return r.first; });
    for (record_ref *run = sorted, *end = sorted + size; run != end;) {
        record_ref* run_end =
            std::find_if(run + 1, end, [&](const record_ref& r) { return r.first != run->first; });
        if (run_end - run > 1)
            std::sort(run, run_end, record_before);
        run = run_end;
    }
    return sorted;
}

} // namespace

// Buckets of about 2^15 tokens, 256 KiB of words, sort in the caches of a
// core; no more than 4096 of them leave the slabs that each set begins for
// its buckets a small share of its memory.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr int bucket_size_bits = 3;
#else
constexpr int bucket_size_bits = 15;
#endif

bucket_plan plan_buckets(std::span<const stored_tokens> sets)
{
    std::uint64_t any = 0, all = ~std::uint64_t{0}, low_any = 0, low_all = ~std::uint64_t{0};
    std::size_t count = 0;
    for (const stored_tokens& set : sets) {
        any |= set.words.any | set.pairs.any | set.records.any;
        all &= set.words.all & set.pairs.all & set.records.all;
        low_any |= set.pairs.second_any;
        low_all &= set.pairs.second_all;
        count += set.words.size + set.pairs.size + set.records.size + set.word_runs.held +
                 set.pair_runs.held;
    }
    const int pair_low = std::countr_zero((low_any & ~low_all) | std::uint64_t{1} << 63);
    bucket_plan plan{.pair_low = pair_low / 8};
    const std::uint64_t varying = any & ~all;
    if (varying == 0)
        return plan; // one first word, or none: any bucket will do
    plan.shift = std::countl_zero(varying);
    plan.bits =
        std::min(std::clamp(static_cast<int>(std::bit_width(count >> bucket_size_bits)), 1, 12),
                 64 - plan.shift);
    plan.low = std::countr_zero(varying) / 8;
    plan.high = std::max(plan.low, (63 - plan.shift - plan.bits) / 8);
    return plan;
}

namespace
{

template <typename Kind>
void bucket_form(std::span<stored_tokens* const> group, partitions<Kind> stored_tokens::*form,
                 const bucket_plan& plan)
{
    std::vector<partitions<Kind>*> others;
    for (stored_tokens* set : group.subspan(1))
        others.push_back(&(set->*form));
    bucket_partitions(group.front()->*form, std::span(others), plan.shift, plan.bits);
}

} // namespace

void bucket_tokens(std::span<stored_tokens* const> group, const bucket_plan& plan)
{
    bucket_form(group, &stored_tokens::words, plan);
    bucket_form(group, &stored_tokens::pairs, plan);
    bucket_form(group, &stored_tokens::records, plan);
}

bucket_sizes largest_bucket(std::span<const stored_tokens> sets, const bucket_plan& plan)
{
    std::vector<std::size_t> words(plan.count()), pairs(plan.count());
    bound_runs<word_kind>(sets, &stored_tokens::word_runs, plan, words);
    bound_runs<pair_kind>(sets, &stored_tokens::pair_runs, plan, pairs);
    bucket_sizes largest;
    for (std::size_t b = 0; b < plan.count(); ++b) {
        bucket_sizes size{words[b], pairs[b], 0};
        for (const stored_tokens& set : sets) {
            size.words += set.words.parts[b].size;
            size.pairs += set.pairs.parts[b].size;
            size.records += set.records.parts[b].size;
        }
        largest.words = std::max(largest.words, size.words);
        largest.pairs = std::max(largest.pairs, size.pairs);
        largest.records = std::max(largest.records, size.records);
    }
    return largest;
}

std::size_t sort_bytes(const bucket_sizes& sizes)
{
    return sizeof(std::uint64_t) * sizes.words + sizeof(word_pair) * sizes.pairs +
           sizeof(record_ref) * sizes.records;
}

bucket_room make_bucket_room(const bucket_sizes& largest)
{
    return {std::make_unique_for_overwrite<std::uint64_t[]>(2 * largest.words),
            std::make_unique_for_overwrite<word_pair[]>(2 * largest.pairs),
            std::make_unique_for_overwrite<record_ref[]>(2 * largest.records)};
}

void seek_runs(std::span<const stored_tokens> sets, const bucket_plan& plan, std::size_t bucket,
               run_cursors& cursors)
{
    cursors.words.clear();
    cursors.pairs.clear();
    for (const stored_tokens& set : sets) {
        for (const token_run& run : set.word_runs.runs)
            cursors.words.push_back(seek_run<word_kind>(run, plan.shift, plan.bits, bucket));
        for (const token_run& run : set.pair_runs.runs)
            cursors.pairs.push_back(seek_run<pair_kind>(run, plan.shift, plan.bits, bucket));
    }
}

// The low words of pairs first: the sort keeps the order of equal keys.
sorted_bucket sort_bucket(std::span<const stored_tokens> sets, const bucket_plan& plan,
                          std::size_t bucket, bucket_room& room, const bucket_sizes& largest,
                          run_cursors& runs)
{
    std::uint64_t* words = room.words.get();
    std::size_t size = gather(sets, &stored_tokens::words, bucket, [&](std::size_t i, auto* entry) {
        words[i] = word_kind::load(entry);
    });
    size = gather_runs(runs.words, plan, bucket, size,
                       [&](std::size_t i, std::uint64_t word) { words[i] = word; });
    words = sort_by_key(words, words + largest.words, size, plan.low, plan.high,
                        [](std::uint64_t word) { return word; });
    const std::size_t word_count =
        static_cast<std::size_t>(std::unique(words, words + size) - words);

    word_pair* pairs = room.pairs.get();
    size = gather(sets, &stored_tokens::pairs, bucket,
                  [&](std::size_t i, auto* entry) { pairs[i] = pair_kind::load(entry); });
    size = gather_runs(runs.pairs, plan, bucket, size,
                       [&](std::size_t i, const word_pair& pair) { pairs[i] = pair; });
    word_pair* spare = pairs + largest.pairs;
    word_pair* by_low = sort_by_key(pairs, spare, size, plan.pair_low, 7,
                                    [](const word_pair& pair) { return pair.low; });
    pairs = sort_by_key(by_low, by_low == pairs ? spare : pairs, size, plan.low, plan.high,
                        [](const word_pair& pair) { return pair.high; });
    const std::size_t pair_count =
        static_cast<std::size_t>(std::unique(pairs, pairs + size) - pairs);

    record_ref* records = room.records.get();
    size = gather(sets, &stored_tokens::records, bucket, [&](std::size_t i, auto* entry) {
        records[i] = {record_word(entry, 0), record_word(entry, 1), entry};
    });
    records = sort_records(records, records + largest.records, size, plan);
    const std::size_t record_count =
        static_cast<std::size_t>(std::unique(records, records + size,
                                             [](const record_ref& a, const record_ref& b) {
                                                 return same_record(a.record, b.record);
                                             }) -
                                 records);
    return {{words, word_count}, {pairs, pair_count}, {records, record_count}};
}
