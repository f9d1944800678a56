// SPDX-License-Identifier: MIT
// Sorting for the listing. The packed words are sorted by a radix sort, least
// significant byte first, in the table's own memory; the long tokens by
// their packed words, most significant byte first, in place.
#include "token_sort.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "huge_pages.h"
#include "packed_token.h"

namespace
{

word_array allocate_words(std::size_t count)
{
    void* block = std::malloc(std::max<std::size_t>(count, 1) * sizeof(std::uint64_t));
    if (!block)
        throw std::bad_alloc();
    advise_huge_pages(block, count * sizeof(std::uint64_t));
    return {static_cast<std::uint64_t*>(block), std::free};
}

// Sorts `words` through `scratch`, which holds as many, on bytes `low` to
// `high` of each word; the others must be alike in all. Passes over a byte
// that every word shares are skipped too: short tokens leave many low bytes
// zero. Returns where the sorted words are.
std::uint64_t* radix_sort(std::uint64_t* words, std::uint64_t* scratch, std::size_t size,
                          int low = 0, int high = 7)
{
    if (size < 2)
        return words;
    std::size_t counts[8][256];
    std::memset(counts[low], 0, sizeof counts[0] * static_cast<std::size_t>(high - low + 1));
    for (std::size_t i = 0; i < size; ++i)
        for (int byte = low; byte <= high; ++byte)
            ++counts[byte][words[i] >> 8 * byte & 0xff];
    for (int byte = low; byte <= high; ++byte) {
        std::size_t* starts = counts[byte];
        if (starts[words[0] >> 8 * byte & 0xff] == size)
            continue;
        for (std::size_t value = 0, start = 0; value < 256; ++value)
            start += std::exchange(starts[value], start);
        for (std::size_t i = 0; i < size; ++i)
            scratch[starts[words[i] >> 8 * byte & 0xff]++] = words[i];
        std::swap(words, scratch);
    }
    return words;
}

// Where the words of a large set lie: the bits above `shift` are alike in
// all of them, the next `bits` pick a bucket of the byte order, and
// buckets hold some thousands of words, so that each sorts in the caches.
struct word_buckets {
    int shift = 0;
    int bits = 0;
    std::uint64_t varying = 0; // the bits in which some words differ
    std::size_t bucket(std::uint64_t word) const { return (word << shift) >> (64 - bits); }
};

word_buckets plan_buckets(const word_partitions& partitions)
{
    std::uint64_t first = 0, varying = 0;
    std::size_t count = 0;
    for (std::size_t p = 0; p < word_partitions::partition_count; ++p)
        for_each_word(partitions, partitions.parts[p], [&](std::uint64_t word) {
            first = count++ == 0 ? word : first;
            varying |= word ^ first;
        });
    if (varying == 0)
        return {0, 1, 0}; // one word, or none: any bucket will do
    const int shift = std::countl_zero(varying);
    const int bits = std::clamp(static_cast<int>(std::bit_width(count >> 11)), 1, 16);
    return {shift, std::min(bits, 64 - shift), varying};
}

// Sorts the partitions' words into `out`, which holds as many, merging
// duplicates; frees the partitions once they are read. Returns how many are
// left. Scattering the words into buckets of the byte order streams through
// memory once, and every bucket is then sorted while it fits the caches.
std::size_t sort_partitions(word_partitions& partitions, std::uint64_t* out)
{
    const word_buckets plan = plan_buckets(partitions);
    std::vector<std::size_t> starts((std::size_t{1} << plan.bits) + 1);
    for (std::size_t p = 0; p < word_partitions::partition_count; ++p)
        for_each_word(partitions, partitions.parts[p],
                      [&](std::uint64_t word) { ++starts[plan.bucket(word) + 1]; });
    std::size_t largest = 0;
    for (std::size_t b = 1; b < starts.size(); ++b) {
        largest = std::max(largest, starts[b]);
        starts[b] += starts[b - 1];
    }
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t p = 0; p < word_partitions::partition_count; ++p)
        for_each_word(partitions, partitions.parts[p],
                      [&](std::uint64_t word) { out[next[plan.bucket(word)]++] = word; });
    partitions = word_partitions();
    // The bytes below the bucket's bits, down to the lowest that varies.
    const int low = std::countr_zero(plan.varying | std::uint64_t{1} << 63) / 8;
    const int high = std::max(low, (63 - plan.shift - plan.bits) / 8);
    word_array scratch = allocate_words(largest);
    std::size_t kept = 0;
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        const std::size_t size = starts[b + 1] - starts[b];
        const std::uint64_t* sorted = radix_sort(out + starts[b], scratch.get(), size, low, high);
        // Never ahead of the bucket being read, so the words move down in place.
        for (std::size_t i = 0; i < size; ++i)
            if (kept == 0 || out[kept - 1] != sorted[i])
                out[kept++] = sorted[i];
    }
    return kept;
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
// words, the other puts every entry in its bucket.
std::unique_ptr<long_entry[]> sorted_longs(const record_arena& records, std::size_t count)
{
    auto entries = std::make_unique_for_overwrite<long_entry[]>(count);
    advise_huge_pages(entries.get(), count * sizeof(long_entry));
    const unsigned char* arena = records.bytes.get();
    std::size_t counts[256] = {}, starts[256];
    for (std::size_t at = 0; at < records.used; at += record_size(record_length(arena + at)))
        ++counts[record_word(arena + at, 0) >> 56];
    for (std::size_t b = 0, start = 0; b < 256; start += counts[b++])
        starts[b] = start;
    for (std::size_t at = 0; at < records.used; at += record_size(record_length(arena + at))) {
        const std::uint64_t word = record_word(arena + at, 0);
        entries[starts[word >> 56]++] = {word, at};
    }
    long_entry* bucket = entries.get();
    for (int b = 0; b < 256; bucket += counts[b++])
        if (counts[b] > 1)
            sort_long(bucket, bucket + counts[b], arena, {0, 48});
    return entries;
}

} // namespace

sorted_tokens sort_tokens(stored_tokens tokens)
{
    std::size_t word_count = tokens.word_count;
    word_array words = std::move(tokens.words);
    if (tokens.partitions.parts) {
        // A set that spilled keeps no words in its table.
        words = allocate_words(tokens.partitions.size);
        word_count = sort_partitions(tokens.partitions, words.get());
    } else {
        word_array scratch = allocate_words(word_count);
        if (radix_sort(words.get(), scratch.get(), word_count) == scratch.get())
            std::swap(words, scratch);
    }
    return {std::move(words),
            word_count,
            sorted_longs(tokens.records, tokens.record_count),
            tokens.record_count,
            std::move(tokens.records.bytes),
            tokens.has_empty};
}
