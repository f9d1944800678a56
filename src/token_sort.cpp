// SPDX-License-Identifier: MIT
// Sorting for the listing. The packed words of a bucket are sorted by a
// radix sort, least significant byte first, on the bytes in which they
// differ; the long tokens by their packed words, most significant byte
// first, in place.
#include "token_sort.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "huge_pages.h"
#include "packed_token.h"

namespace
{

// Sorts `entries` through `scratch`, which holds as many, on bytes `low` to
// `high` of the word that `key` takes from each, keeping the order of equal
// keys; the other bytes must be alike in all. Passes over a byte that every
// entry shares are skipped too: short tokens leave many low bytes zero.
// Returns where the sorted entries are.
template <typename Entry, typename Key>
[[gnu::noinline]] Entry* radix_sort(Entry* entries, Entry* scratch, std::size_t size, int low,
                                    int high, Key key)
{
    std::size_t counts[8][256];
    std::memset(counts[low], 0, sizeof counts[0] * static_cast<std::size_t>(high - low + 1));
    for (std::size_t i = 0; i < size; ++i)
        for (int byte = low; byte <= high; ++byte)
            ++counts[byte][key(entries[i]) >> 8 * byte & 0xff];
    for (int byte = low; byte <= high; ++byte) {
        std::size_t* starts = counts[byte];
        if (starts[key(entries[0]) >> 8 * byte & 0xff] == size)
            continue;
        for (std::size_t value = 0, start = 0; value < 256; ++value)
            start += std::exchange(starts[value], start);
        for (std::size_t i = 0; i < size; ++i)
            scratch[starts[key(entries[i]) >> 8 * byte & 0xff]++] = entries[i];
        std::swap(entries, scratch);
    }
    return entries;
}

// As radix_sort(); a few entries are sorted by insertion, in place, which
// spares a short run the radix sort's 16 KiB of counts.
template <typename Entry, typename Key>
Entry* sort_by_key(Entry* entries, Entry* scratch, std::size_t size, int low, int high, Key key)
{
    if (size > 32)
        return radix_sort(entries, scratch, size, low, high, key);
    for (std::size_t i = 1; i < size; ++i)
        for (std::size_t j = i; j > 0 && key(entries[j]) < key(entries[j - 1]); --j)
            std::swap(entries[j], entries[j - 1]);
    return entries;
}

constexpr std::ptrdiff_t small_run = 32;
constexpr std::size_t max_depth = (max_token_size + word_bytes - 1) / word_bytes;

// Where a most-significant-first sort stands: entries agree on every packed
// word before `depth`, and on the bits of the word above `shift` + 8.
struct sort_level {
    std::size_t depth;
    int shift;
};

sort_level next_level(long_entry* first, long_entry* last, const unsigned char* arena,
                      sort_level level)
{
    if (level.shift > 0)
        return {level.depth, level.shift - 8};
    for (long_entry* e = first; e != last; ++e)
        e->word = record_word(arena + e->offset, level.depth + 1);
    return {level.depth + 1, 56};
}

void sort_small(long_entry* first, long_entry* last, const unsigned char* arena)
{
    std::sort(first, last, [arena](const long_entry& a, const long_entry& b) {
        return a.word != b.word ? a.word < b.word
                                : compare_records(arena + a.offset, arena + b.offset) < 0;
    });
}

// American flag sort on one byte of the words: counts, then swaps every entry
// into its bucket in place. Recurses into every bucket but the largest, and
// carries on with that one, so that the stack stays within log2 of the count.
void sort_long(long_entry* first, long_entry* last, const unsigned char* arena, sort_level level)
{
    while (last - first > small_run && level.depth < max_depth) {
        std::size_t counts[256] = {};
        for (const long_entry* e = first; e != last; ++e)
            ++counts[e->word >> level.shift & 0xff];
        long_entry* heads[256];
        long_entry* ends[256];
        long_entry* at = first;
        for (int b = 0; b < 256; ++b) {
            heads[b] = at;
            at += counts[b];
            ends[b] = at;
        }
        for (int b = 0; b < 256; ++b)
            while (heads[b] != ends[b]) {
                long_entry e = *heads[b];
                for (int to; (to = static_cast<int>(e.word >> level.shift & 0xff)) != b;)
                    std::swap(e, *heads[to]++);
                *heads[b]++ = e;
            }
        int largest = 0;
        for (int b = 1; b < 256; ++b)
            if (counts[b] > counts[largest])
                largest = b;
        for (int b = 0; b < 256; ++b) {
            long_entry* bucket = ends[b] - counts[b];
            if (b != largest && counts[b] > 1)
                sort_long(bucket, ends[b], arena, next_level(bucket, ends[b], arena, level));
        }
        first = ends[largest] - counts[largest];
        last = ends[largest];
        level = next_level(first, last, arena, level);
    }
    sort_small(first, last, arena);
}

// The long tokens in order. Walking the arena, which is sequential, twice
// makes the sort's first pass: one walk counts the top bytes of the first
// words, and takes in `set` the bits they have, the other puts every entry
// in its bucket.
std::unique_ptr<long_entry[]> sorted_longs(const record_arena& records, std::size_t count,
                                           sorted_tokens& set)
{
    auto entries = std::make_unique_for_overwrite<long_entry[]>(count);
    advise_huge_pages(entries.get(), count * sizeof(long_entry));
    const unsigned char* arena = records.bytes.get();
    std::size_t counts[256] = {}, starts[256];
    for (std::size_t at = 0; at < records.used; at += record_size(record_length(arena + at))) {
        if (record_length(arena + at) <= pair_bytes)
            continue;
        const std::uint64_t word = record_word(arena + at, 0);
        ++counts[word >> 56];
        set.any |= word;
        set.all &= word;
    }
    for (std::size_t b = 0, start = 0; b < 256; start += counts[b++])
        starts[b] = start;
    for (std::size_t at = 0; at < records.used; at += record_size(record_length(arena + at))) {
        if (record_length(arena + at) <= pair_bytes)
            continue;
        const std::uint64_t word = record_word(arena + at, 0);
        entries[starts[word >> 56]++] = {word, at};
    }
    long_entry* bucket = entries.get();
    for (int b = 0; b < 256; bucket += counts[b++])
        if (counts[b] > 1)
            sort_long(bucket, bucket + counts[b], arena, {0, 48});
    return entries;
}

// A set that never spilled keeps its tokens of 17 to 32 bytes as records in
// the arena: they join its pairs, in one partition, so that every such token
// reaches the listing as a pair. Returns how many there are.
std::size_t take_pairs(stored_tokens& tokens)
{
    if (tokens.pairs.parts)
        return 0; // a set that spilled moved them out of the arena then
    open_ordered(tokens.pairs, 0);
    const unsigned char* arena = tokens.records.bytes.get();
    for (std::size_t at = 0; at < tokens.records.used; at += record_size(record_length(arena + at)))
        if (record_length(arena + at) <= pair_bytes)
            append_entry(tokens.pairs, 0, record_pair(arena + at));
    return tokens.pairs.size;
}

} // namespace

sorted_tokens sort_tokens(stored_tokens tokens)
{
    sorted_tokens set;
    set.long_count = tokens.record_count - take_pairs(tokens);
    set.longs = sorted_longs(tokens.records, set.long_count, set);
    for (std::size_t i = 0; i < tokens.word_count; ++i)
        take_bits(set.any, set.all, tokens.words[i]);
    set.any |= tokens.partitions.any | tokens.pairs.any.high;
    set.all &= tokens.partitions.all & tokens.pairs.all.high;
    set.words = std::move(tokens.words);
    set.word_count = tokens.word_count;
    set.partitions = std::move(tokens.partitions);
    set.pairs = std::move(tokens.pairs);
    set.arena = std::move(tokens.records.bytes);
    set.has_empty = tokens.has_empty;
    return set;
}

std::uint64_t word_buckets::first_word(std::size_t bucket) const
{
    return prefix | static_cast<std::uint64_t>(bucket) << (64 - shift - bits);
}

// Buckets of about 2^15 tokens, 256 KiB of words, sort in the caches of a
// core; no more than 4096 of them leave the chunks that each set begins for
// its buckets a small share of its memory.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr int bucket_size_bits = 3;
#else
constexpr int bucket_size_bits = 15;
#endif

word_buckets plan_buckets(std::span<const sorted_tokens> sets)
{
    std::uint64_t any = 0, all = ~std::uint64_t{0}, low_any = 0, low_all = ~std::uint64_t{0};
    std::size_t count = 0;
    for (const sorted_tokens& set : sets) {
        any |= set.any;
        all &= set.all;
        low_any |= set.pairs.any.low;
        low_all &= set.pairs.all.low;
        count += set.word_count + set.partitions.size + set.pairs.size + set.long_count;
    }
    const int pair_low = std::countr_zero((low_any & ~low_all) | std::uint64_t{1} << 63);
    word_buckets plan{.pair_low = pair_low / 8};
    const std::uint64_t varying = any & ~all;
    if (varying == 0)
        return plan; // one first word, or none: any bucket will do
    plan.shift = std::countl_zero(varying);
    plan.bits =
        std::min(std::clamp(static_cast<int>(std::bit_width(count >> bucket_size_bits)), 1, 12),
                 64 - plan.shift);
    plan.prefix = plan.shift ? all & ~(~std::uint64_t{0} >> plan.shift) : 0;
    plan.low = std::countr_zero(varying) / 8;
    plan.high = std::max(plan.low, (63 - plan.shift - plan.bits) / 8);
    return plan;
}

void bucket_words(sorted_tokens& set, const word_buckets& plan)
{
    order_partitions(set.pairs, plan.shift, plan.bits); // every set has its pairs by now
    // Words that a small table took after the spill go in beside the
    // partitions' own.
    if (set.partitions.parts)
        order_partitions(set.partitions, plan.shift, plan.bits);
    else
        open_ordered(set.partitions, plan.bits);
    for (std::size_t i = 0; i < set.word_count; ++i)
        append_entry(set.partitions, order_bucket(set.words[i], plan.shift, plan.bits),
                     set.words[i]);
    set.words.reset();
    set.word_count = 0;
}

bucket_sizes largest_bucket(std::span<const sorted_tokens> sets, const word_buckets& plan)
{
    bucket_sizes largest;
    for (std::size_t b = 0; b < plan.count(); ++b) {
        bucket_sizes size;
        for (const sorted_tokens& set : sets) {
            size.words += set.partitions.parts[b].size;
            size.pairs += set.pairs.parts[b].size;
        }
        largest.words = std::max(largest.words, size.words);
        largest.pairs = std::max(largest.pairs, size.pairs);
    }
    return largest;
}

namespace
{

// Gathers bucket `bucket` of the partitions that `member` names in every set
// into `entries`, and returns how many there are.
template <typename Entry>
std::size_t gather(std::span<const sorted_tokens> sets,
                   entry_partitions<Entry> sorted_tokens::*member, std::size_t bucket,
                   Entry* entries)
{
    std::size_t size = 0;
    for (const sorted_tokens& set : sets) {
        const entry_partitions<Entry>& tokens = set.*member;
        for_each_entry(tokens, tokens.parts[bucket],
                       [&](const Entry& entry) { entries[size++] = entry; });
    }
    return size;
}

} // namespace

const std::uint64_t* sort_bucket(std::span<const sorted_tokens> sets, const word_buckets& plan,
                                 std::size_t bucket, std::uint64_t* words, std::uint64_t* spare,
                                 std::size_t& count)
{
    const std::size_t size = gather(sets, &sorted_tokens::partitions, bucket, words);
    std::uint64_t* sorted = sort_by_key(words, spare, size, plan.low, plan.high,
                                        [](std::uint64_t word) { return word; });
    count = static_cast<std::size_t>(std::unique(sorted, sorted + size) - sorted);
    return sorted;
}

// The low words first: the sort keeps the order of equal keys.
const word_pair* sort_pair_bucket(std::span<const sorted_tokens> sets, const word_buckets& plan,
                                  std::size_t bucket, word_pair* pairs, word_pair* spare,
                                  std::size_t& count)
{
    const std::size_t size = gather(sets, &sorted_tokens::pairs, bucket, pairs);
    word_pair* by_low = sort_by_key(pairs, spare, size, plan.pair_low, 7,
                                    [](const word_pair& pair) { return pair.low; });
    word_pair* sorted = sort_by_key(by_low, by_low == pairs ? spare : pairs, size, plan.low,
                                    plan.high, [](const word_pair& pair) { return pair.high; });
    count = static_cast<std::size_t>(std::unique(sorted, sorted + size) - sorted);
    return sorted;
}
