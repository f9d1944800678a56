// SPDX-License-Identifier: MIT
// Sorting for the listing. The packed words are sorted by a radix sort, least
// significant byte first, in the table's own memory; the long tokens by
// their packed words, most significant byte first, in place.
#include "token_sort.h"

#include <algorithm>
#include <new>
#include <utility>

#include "huge_pages.h"
#include "packed_token.h"

namespace
{

word_array allocate_words(std::size_t count)
{
    void* block = std::malloc(std::max<std::size_t>(count, 1) * sizeof(std::uint64_t));
    if (!block)
        throw std::bad_alloc();
    return {static_cast<std::uint64_t*>(block), std::free};
}

// Sorts `words` through `scratch`, which holds as many. Passes over a byte
// that every word shares are skipped: short tokens leave many low bytes zero.
// Returns where the sorted words are.
std::uint64_t* radix_sort(std::uint64_t* words, std::uint64_t* scratch, std::size_t size)
{
    if (size == 0)
        return words;
    std::size_t counts[8][256] = {};
    for (std::size_t i = 0; i < size; ++i)
        for (int byte = 0; byte < 8; ++byte)
            ++counts[byte][words[i] >> 8 * byte & 0xff];
    for (int byte = 0; byte < 8; ++byte) {
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
    const std::size_t word_count = tokens.word_count;
    word_array scratch = allocate_words(word_count);
    word_array words = std::move(tokens.words);
    if (radix_sort(words.get(), scratch.get(), word_count) == scratch.get())
        std::swap(words, scratch);
    scratch.reset();
    return {std::move(words),
            word_count,
            sorted_longs(tokens.records, tokens.record_count),
            tokens.record_count,
            std::move(tokens.records.bytes),
            tokens.has_empty};
}
