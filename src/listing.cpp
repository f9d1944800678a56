// SPDX-License-Identifier: MIT
// The listing. The words of every set are cut into the same buckets of the
// byte order (token_sort.h), and runs of buckets make stretches of the
// listing, which threads take side by side; each stretch is written in its
// turn. A bucket is sorted from all the sets at once, and then merged with
// the long tokens that fall in it, which each set keeps sorted.
#include "listing.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>
#include <vector>

#include "listing_output.h"
#include "packed_token.h"
#include "run_on_threads.h"

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

// Where a merge stands in a run of packed words and in a run of long
// tokens, and the smaller of the two heads.
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

// Where a stretch of the order begins in the long tokens of one set: at its
// first long token not below `from`.
cursor seek_long(const sorted_tokens& set, const token_ref& from)
{
    const long_entry* longs = set.longs.get();
    const unsigned char* arena = set.arena.get();
    cursor at{nullptr, nullptr, longs, longs + set.long_count, arena, none};
    if (!is_none(from))
        at.entry = std::partition_point(at.entry, at.entries_end, [&](const long_entry& entry) {
            return compare(long_ref(entry, arena), from) < 0;
        });
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
// log2 of their number in comparisons, however many sets have long tokens.
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

// What every thread of the listing reads.
struct listing {
    std::span<sorted_tokens> sets;
    word_buckets plan;
    std::size_t stretches = 1;
    bool has_empty = false;
    bool has_longs = false;
};

// One thread's share of the listing, taken before any of them writes: its
// output, a bucket's room twice over, and a cursor in the long tokens of
// each set that has some, behind one in the bucket's words.
struct merger {
    output out;
    std::unique_ptr<std::uint64_t[]> words;
    std::unique_ptr<std::uint64_t[]> spare;
    std::vector<cursor> cursors;
    std::vector<cursor*> heap;
};

std::size_t first_bucket(const listing& all, std::size_t stretch)
{
    return all.plan.count() * stretch / all.stretches;
}

// Writes the tokens of bucket `bucket`, whose words lie sorted at `words`.
void list_bucket(const listing& all, std::size_t bucket, const std::uint64_t* words,
                 std::size_t count, merger& share)
{
    if (!all.has_longs) {
        for (std::size_t i = 0; i < count; ++i)
            emit_word(share.out, words[i]);
        return;
    }
    cursor& bucket_words = share.cursors.back();
    bucket_words = {words, words + count, nullptr, nullptr, nullptr, none};
    update_head(bucket_words);
    share.heap.clear();
    for (cursor& at : share.cursors)
        share.heap.push_back(&at);
    const token_ref to =
        bucket + 1 < all.plan.count() ? token_ref{all.plan.first_word(bucket + 1), nullptr} : none;
    merge(share.heap, to, share.out);
}

// Lists stretches, taking the next one not yet taken, until none is left.
// The empty token, below every other, opens the first.
void list_stretches(const listing& all, std::atomic<std::size_t>& next, merger& share)
{
    for (std::size_t stretch; (stretch = next++) < all.stretches;) {
        share.out.stretch = stretch;
        if (stretch == 0 && all.has_empty) {
            *make_room(share.out, 0) = '\n';
            ++share.out.used;
        }
        const std::size_t first = first_bucket(all, stretch);
        const token_ref from = first == 0 ? none : token_ref{all.plan.first_word(first), nullptr};
        share.cursors.clear();
        for (const sorted_tokens& set : all.sets)
            if (set.long_count > 0)
                share.cursors.push_back(seek_long(set, from));
        share.cursors.push_back({});
        for (std::size_t b = first; b < first_bucket(all, stretch + 1); ++b) {
            std::size_t count = 0;
            const std::uint64_t* words =
                sort_bucket(all.sets, all.plan, b, share.words.get(), share.spare.get(), count);
            list_bucket(all, b, words, count, share);
        }
        end_stretch(share.out);
    }
}

// Puts every set's words in the buckets of one plan, a set a thread.
word_buckets bucket_all(std::span<sorted_tokens> sets, std::size_t threads)
{
    const word_buckets plan = plan_buckets(sets);
    std::atomic<std::size_t> next = 0;
    run_on_threads(std::min(threads, sets.size()), [&](std::size_t) {
        for (std::size_t i; (i = next++) < sets.size();)
            bucket_words(sets[i], plan);
    });
    return plan;
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
    listing all{sets, bucket_all(sets, std::max<std::size_t>(threads, 1))};
    std::size_t tokens = 0, words = 0;
    for (const sorted_tokens& set : sets) {
        words += set.partitions.size;
        tokens += set.partitions.size + set.long_count;
        all.has_empty |= set.has_empty;
        all.has_longs |= set.long_count > 0;
    }
    // A bucket's room on every thread should cost no more than the words do.
    const std::size_t largest = largest_bucket(sets, all.plan);
    const std::size_t count =
        std::clamp<std::size_t>(words / std::max<std::size_t>(2 * largest, 1), 1, threads);
    all.stretches =
        count > 1 ? std::min(all.plan.count(), std::max(4 * count, tokens / stretch_tokens)) : 1;
    turns order;
    std::vector<merger> shares(count);
    for (merger& share : shares) {
        share.out.fd = fd;
        share.out.order = count > 1 ? &order : nullptr;
        share.out.size = count > 1 ? merger_block : single_block;
        share.out.block = std::make_unique_for_overwrite<char[]>(share.out.size);
        share.words = std::make_unique_for_overwrite<std::uint64_t[]>(largest);
        share.spare = std::make_unique_for_overwrite<std::uint64_t[]>(largest);
        share.cursors.reserve(sets.size() + 1);
        share.heap.reserve(sets.size() + 1);
    }
    std::atomic<std::size_t> next = 0;
    run_on_threads(count, [&](std::size_t i) { list_stretches(all, next, shares[i]); });
    return count > 1 ? order.error : shares[0].out.error;
}

int print_tokens(stored_tokens tokens, int fd)
{
    sorted_tokens sorted = sort_tokens(std::move(tokens));
    return write_tokens({&sorted, 1}, fd, 1);
}
