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

// A token as the merge compares it: its first two packed words, and a long
// token's record. No real token has the first word of `none`.
struct token_ref {
    std::uint64_t word;
    std::uint64_t second;        // 0 for a token of up to 16 bytes
    const unsigned char* record; // null for a packed word or pair
};
constexpr token_ref none{~std::uint64_t{0}, ~std::uint64_t{0}, nullptr};

bool is_none(const token_ref& token)
{
    return token.word == none.word && !token.record;
}

// Byte order. Equal packed words make a packed word or pair a prefix of a
// long token, so it goes first: every token of up to 32 bytes comes as a
// word or a pair.
int compare(const token_ref& a, const token_ref& b)
{
    if (a.word != b.word)
        return a.word < b.word ? -1 : 1;
    if (a.second != b.second)
        return a.second < b.second ? -1 : 1;
    if (!a.record || !b.record)
        return (a.record != nullptr) - (b.record != nullptr);
    return compare_records(a.record, b.record);
}

token_ref long_ref(const long_entry& entry, const unsigned char* arena)
{
    const unsigned char* record = arena + entry.offset;
    return {record_word(record, 0), record_word(record, 1), record};
}

// Where a merge stands in one sorted run, and its head: a run of packed
// words or of pairs, `stride` words a token, or of one set's long tokens.
struct cursor {
    const std::uint64_t* at = nullptr;
    const std::uint64_t* end = nullptr;
    std::ptrdiff_t stride = 1;
    const long_entry* entry = nullptr;
    const long_entry* entries_end = nullptr;
    const unsigned char* arena = nullptr;
    token_ref head = none;
};

void update_head(cursor& run)
{
    if (run.arena)
        run.head = run.entry != run.entries_end ? long_ref(*run.entry, run.arena) : none;
    else
        run.head = run.at != run.end
                       ? token_ref{run.at[0], run.stride == 2 ? run.at[1] : 0, nullptr}
                       : none;
}

// Records are read in sorted order, from all over the arena: asking for them
// some way ahead overlaps the cache misses.
void advance(cursor& run)
{
    constexpr std::ptrdiff_t ahead = 16;
    if (run.arena) {
        if (run.entries_end - run.entry > ahead)
            __builtin_prefetch(run.arena + run.entry[ahead].offset);
        ++run.entry;
    } else {
        run.at += run.stride;
    }
    update_head(run);
}

// Where a stretch of the order begins in the long tokens of one set: at its
// first long token not below `from`.
cursor seek_long(const sorted_tokens& set, const token_ref& from)
{
    cursor run;
    run.arena = set.arena.get();
    run.entry = set.longs.get();
    run.entries_end = run.entry + set.long_count;
    if (!is_none(from))
        run.entry = std::partition_point(run.entry, run.entries_end, [&](const long_entry& entry) {
            return compare(long_ref(entry, run.arena), from) < 0;
        });
    update_head(run);
    return run;
}

void emit(output& out, const token_ref& token)
{
    if (token.record)
        emit_record(out, token.record);
    else if (token.second)
        emit_pair(out, token.word, token.second);
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
    bool has_pairs = false;
    bool has_longs = false;
};

// One thread's share of the listing, taken before any of them writes: its
// output, room for a bucket's words and pairs twice over, and a cursor in
// the long tokens of each set that has some, then one in the bucket's words
// and one in its pairs.
struct merger {
    output out;
    std::unique_ptr<std::uint64_t[]> words;
    std::unique_ptr<std::uint64_t[]> spare;
    std::unique_ptr<word_pair[]> pairs;
    std::unique_ptr<word_pair[]> spare_pairs;
    std::vector<cursor> cursors;
    std::vector<cursor*> heap;
};

std::size_t first_bucket(const listing& all, std::size_t stretch)
{
    return all.plan.count() * stretch / all.stretches;
}

// Writes the tokens of bucket `bucket`: its words and pairs, sorted from
// all sets, merged with the long tokens that fall in it. Runs with nothing
// in the bucket stay out of the merge, so that a bucket of one kind of
// token is merely copied out.
void list_bucket(const listing& all, std::size_t bucket, merger& share)
{
    std::size_t word_count = 0, pair_count = 0;
    const std::uint64_t* words =
        sort_bucket(all.sets, all.plan, bucket, share.words.get(), share.spare.get(), word_count);
    if (!all.has_longs && !all.has_pairs) {
        for (std::size_t i = 0; i < word_count; ++i)
            emit_word(share.out, words[i]);
        return;
    }
    const word_pair* pairs = sort_pair_bucket(all.sets, all.plan, bucket, share.pairs.get(),
                                              share.spare_pairs.get(), pair_count);
    const std::size_t runs = share.cursors.size();
    share.cursors[runs - 2] = {words, words + word_count};
    const auto* pair_words = reinterpret_cast<const std::uint64_t*>(pairs);
    share.cursors[runs - 1] = {pair_words, pair_words + 2 * pair_count, 2};
    const token_ref to = bucket + 1 < all.plan.count()
                             ? token_ref{all.plan.first_word(bucket + 1), 0, nullptr}
                             : none;
    share.heap.clear();
    for (cursor& run : share.cursors) {
        if (!run.arena)
            update_head(run);
        if (compare(run.head, to) < 0)
            share.heap.push_back(&run);
    }
    if (!share.heap.empty())
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
        const token_ref from =
            first == 0 ? none : token_ref{all.plan.first_word(first), 0, nullptr};
        share.cursors.clear();
        for (const sorted_tokens& set : all.sets)
            if (set.long_count > 0)
                share.cursors.push_back(seek_long(set, from));
        share.cursors.resize(share.cursors.size() + 2);
        for (std::size_t b = first; b < first_bucket(all, stretch + 1); ++b)
            list_bucket(all, b, share);
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
        words += set.partitions.size + 2 * set.pairs.size;
        tokens += set.partitions.size + set.pairs.size + set.long_count;
        all.has_empty |= set.has_empty;
        all.has_pairs |= set.pairs.size > 0;
        all.has_longs |= set.long_count > 0;
    }
    // A bucket's room on every thread should cost no more than the words do,
    // or 8 MiB, where a few buckets of a small set hold most of its words.
    const bucket_sizes largest = largest_bucket(sets, all.plan);
    const std::size_t room = 2 * (largest.words + 2 * largest.pairs);
    const std::size_t budget = std::max(words, std::size_t{1} << 20);
    const std::size_t count = room == 0 ? std::max<std::size_t>(threads, 1)
                                        : std::clamp(budget / room, std::size_t{1}, threads);
    all.stretches =
        count > 1 ? std::min(all.plan.count(), std::max(4 * count, tokens / stretch_tokens)) : 1;
    turns order;
    std::vector<merger> shares(count);
    for (merger& share : shares) {
        share.out.fd = fd;
        share.out.order = count > 1 ? &order : nullptr;
        share.out.size = count > 1 ? merger_block : single_block;
        share.out.block = std::make_unique_for_overwrite<char[]>(share.out.size);
        share.words = std::make_unique_for_overwrite<std::uint64_t[]>(largest.words);
        share.spare = std::make_unique_for_overwrite<std::uint64_t[]>(largest.words);
        share.pairs = std::make_unique_for_overwrite<word_pair[]>(largest.pairs);
        share.spare_pairs = std::make_unique_for_overwrite<word_pair[]>(largest.pairs);
        share.cursors.reserve(sets.size() + 2);
        share.heap.reserve(sets.size() + 2);
    }
    std::atomic<std::size_t> next = 0;
    run_on_threads(count, [&](std::size_t i) { list_stretches(all, next, shares[i]); });
    // Unmapping a set's memory is work in proportion to it, so the threads
    // share that too, rather than leave it to whoever frees the sets.
    std::atomic<std::size_t> next_set = 0;
    run_on_threads(std::min(count, sets.size()), [&](std::size_t) {
        for (std::size_t i; (i = next_set++) < sets.size();)
            sets[i] = sorted_tokens();
    });
    return count > 1 ? order.error : shares[0].out.error;
}

int print_tokens(stored_tokens tokens, int fd)
{
    sorted_tokens sorted = sort_tokens(std::move(tokens));
    return write_tokens({&sorted, 1}, fd, 1);
}
