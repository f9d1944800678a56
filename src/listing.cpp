// SPDX-License-Identifier: MIT
// The listing. One sorted set is written as it stands: its packed words
// merged with its long tokens. Several sets, one from each thread that read
// part of the input, are merged in stretches of the byte order cut at
// tokens taken from the largest set, so that the threads merge disjoint
// stretches side by side; each stretch is written in its turn.
#include "listing.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "listing_output.h"
#include "packed_token.h"

namespace
{

// A token as the merge compares it: its first packed word, and a long
// token's record. No real token has the first word of `none`.
struct token_ref {
    std::uint64_t word;
    const unsigned char* record; // null for a packed word
};
constexpr token_ref none{~std::uint64_t{0}, nullptr};

bool is_none(const token_ref& token)
{
    return token.word == none.word && !token.record;
}

// Byte order. Equal first words make a packed word the 16-byte prefix of a
// long token, so it goes first.
int compare(const token_ref& a, const token_ref& b)
{
    if (a.word != b.word)
        return a.word < b.word ? -1 : 1;
    if (!a.record || !b.record)
        return (a.record != nullptr) - (b.record != nullptr);
    return compare_records(a.record, b.record);
}

token_ref long_ref(const long_entry& entry, const unsigned char* arena)
{
    return {record_word(arena + entry.offset, 0), arena + entry.offset};
}

// Where a merge stands in one set: its next packed word and its next long
// token, and the smaller of the two.
struct cursor {
    const std::uint64_t* word;
    const std::uint64_t* words_end;
    const long_entry* entry;
    const long_entry* entries_end;
    const unsigned char* arena;
    token_ref head;
};

void update_head(cursor& at)
{
    const token_ref next_long = at.entry != at.entries_end ? long_ref(*at.entry, at.arena) : none;
    at.head = at.word != at.words_end && compare({*at.word, nullptr}, next_long) < 0
                  ? token_ref{*at.word, nullptr}
                  : next_long;
}

// Records are read in sorted order, from all over the arena: asking for them
// some way ahead overlaps the cache misses.
void advance(cursor& at)
{
    constexpr std::ptrdiff_t ahead = 16;
    if (at.head.record) {
        if (at.entries_end - at.entry > ahead)
            __builtin_prefetch(at.arena + at.entry[ahead].offset);
        ++at.entry;
    } else {
        ++at.word;
    }
    update_head(at);
}

// Where a stretch of the order begins in one set: its first word and first
// long token not below `from`.
cursor seek(const sorted_tokens& set, const token_ref& from)
{
    const std::uint64_t* words = set.words.get();
    const long_entry* longs = set.longs.get();
    const unsigned char* arena = set.arena.get();
    cursor at{words, words + set.word_count, longs, longs + set.long_count, arena, none};
    if (!is_none(from)) {
        at.word = std::partition_point(at.word, at.words_end, [&from](std::uint64_t word) {
            return compare({word, nullptr}, from) < 0;
        });
        at.entry = std::partition_point(at.entry, at.entries_end, [&](const long_entry& entry) {
            return compare(long_ref(entry, arena), from) < 0;
        });
    }
    update_head(at);
    return at;
}

void emit(output& out, const token_ref& token)
{
    if (token.record)
        emit_record(out, token.record);
    else
        emit_word(out, token.word);
}

// Writes every token below `to` that the cursors stand before, once. The
// cursors form a heap with the least head on top, so that a token costs
// log2 of their number in comparisons, however many threads read.
void merge(std::vector<cursor*>& heap, const token_ref& to, output& out)
{
    if (heap.size() == 1) {
        for (cursor& only = *heap.front(); compare(only.head, to) < 0; advance(only))
            emit(out, only.head);
        return;
    }
    auto later = [](const cursor* a, const cursor* b) { return compare(a->head, b->head) > 0; };
    std::make_heap(heap.begin(), heap.end(), later);
    while (!heap.empty() && compare(heap.front()->head, to) < 0) {
        const token_ref least = heap.front()->head;
        emit(out, least);
        // Every set that holds the token moves past it.
        do {
            std::pop_heap(heap.begin(), heap.end(), later);
            advance(*heap.back());
            std::push_heap(heap.begin(), heap.end(), later);
        } while (compare(heap.front()->head, least) == 0);
    }
}

// Tokens that cut the order into about `count` stretches of equal size,
// taken evenly spaced from the larger of the largest set's two sorted runs,
// and `none` behind the last.
std::vector<token_ref> stretch_ends(std::span<sorted_tokens> sets, std::size_t count)
{
    const sorted_tokens& largest = *std::max_element(
        sets.begin(), sets.end(), [](const sorted_tokens& a, const sorted_tokens& b) {
            return a.word_count + a.long_count < b.word_count + b.long_count;
        });
    const bool by_words = largest.word_count >= largest.long_count;
    const std::size_t size = by_words ? largest.word_count : largest.long_count;
    std::vector<token_ref> ends;
    ends.reserve(count);
    for (std::size_t i = 1; i < count && size > 0; ++i) {
        const std::size_t at = size * i / count;
        const token_ref end = by_words ? token_ref{largest.words[at], nullptr}
                                       : long_ref(largest.longs[at], largest.arena.get());
        if (ends.empty() || compare(ends.back(), end) < 0)
            ends.push_back(end);
    }
    ends.push_back(none);
    return ends;
}

// One thread's share of a merge, taken before any of them writes.
struct merger {
    output out;
    std::vector<cursor> cursors;
    std::vector<cursor*> heap;
};

// Merges stretches, taking the next one not yet taken, until none is left.
// The empty token, below every other, opens the first.
void merge_stretches(std::span<sorted_tokens> sets, const std::vector<token_ref>& ends,
                     bool has_empty, std::atomic<std::size_t>& next, merger& share)
{
    for (std::size_t stretch; (stretch = next++) < ends.size();) {
        share.out.stretch = stretch;
        if (stretch == 0 && has_empty) {
            *make_room(share.out, 0) = '\n';
            ++share.out.used;
        }
        const token_ref from = stretch == 0 ? none : ends[stretch - 1];
        share.heap.clear();
        for (std::size_t i = 0; i < sets.size(); ++i) {
            share.cursors[i] = seek(sets[i], from);
            share.heap.push_back(&share.cursors[i]);
        }
        merge(share.heap, ends[stretch], share.out);
        end_stretch(share.out);
    }
}

} // namespace

// A merger holds a whole stretch in its block, so that it can go on to the
// next while the stretches before are written; stretches of 64k tokens
// mostly fit in 2 MiB. A larger one makes its merger wait for its turn.
constexpr std::size_t stretch_tokens = 1 << 16;
constexpr std::size_t merger_block = 2 << 20;
constexpr std::size_t single_block = 64 << 10;

int write_tokens(std::span<sorted_tokens> sets, int fd, std::size_t threads)
{
    if (sets.empty())
        return 0;
    const std::size_t count = sets.size() > 1 ? std::max<std::size_t>(threads, 1) : 1;
    std::size_t tokens = 0;
    for (const sorted_tokens& set : sets)
        tokens += set.word_count + set.long_count;
    const std::vector<token_ref> ends =
        stretch_ends(sets, count > 1 ? std::max(4 * count, tokens / stretch_tokens) : 1);
    const bool has_empty = std::any_of(sets.begin(), sets.end(),
                                       [](const sorted_tokens& set) { return set.has_empty; });
    turns order;
    std::vector<merger> shares(count);
    for (merger& share : shares) {
        share.out.fd = fd;
        share.out.order = count > 1 ? &order : nullptr;
        share.out.size = count > 1 ? merger_block : single_block;
        share.out.block = std::make_unique_for_overwrite<char[]>(share.out.size);
        share.cursors.resize(sets.size());
        share.heap.reserve(sets.size());
    }
    std::vector<std::thread> helpers;
    helpers.reserve(count - 1);

    std::atomic<std::size_t> next = 0;
    for (std::size_t i = 1; i < count; ++i) {
        try {
            helpers.emplace_back(merge_stretches, sets, std::cref(ends), has_empty, std::ref(next),
                                 std::ref(shares[i]));
        } catch (const std::exception&) {
            break; // fewer helpers merge the same stretches
        }
    }
    merge_stretches(sets, ends, has_empty, next, shares[0]);
    for (std::thread& helper : helpers)
        helper.join();
    return count > 1 ? order.error : shares[0].out.error;
}

int print_tokens(stored_tokens tokens, int fd)
{
    sorted_tokens sorted = sort_tokens(std::move(tokens));
    return write_tokens({&sorted, 1}, fd, 1);
}
