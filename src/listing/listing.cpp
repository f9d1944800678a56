// SPDX-License-Identifier: MIT
// The listing. Every form of every set is cut into the same buckets of the
// byte order (token_sort.h), and runs of buckets make stretches of the
// listing, which threads take side by side; each stretch is written in its
// turn. A bucket is sorted from all the sets at once, each form apart, and
// its forms merged as they are written.
#include "listing/listing.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "listing/bucket_sort.h"
#include "listing/listing_output.h"
#include "system/run_on_threads.h"

namespace
{

// What every thread of the listing reads.
struct listing {
    std::span<stored_tokens> sets;
    bucket_plan plan;
    bucket_sizes largest;
    std::size_t stretches = 1;
    bool has_empty = false;
};

// One thread's share of the listing, taken before any of them writes: its
// output, room to sort a bucket, and where it stands in every run.
struct merger {
    output out;
    bucket_room room;
    run_cursors runs;
};

// A token as the merge of a bucket's forms compares it: its first two
// packed words, and its form, which decides between tokens that share them:
// a word or a pair is then a prefix of the pair or record it comes before.
struct merge_key {
    std::uint64_t first;
    std::uint64_t second;
    int form;
    auto operator<=>(const merge_key&) const = default;
};

constexpr merge_key after_all{~std::uint64_t{0}, ~std::uint64_t{0}, 3};

// Writes the tokens of one bucket in byte order: the least of the three
// forms' next tokens each time.
void write_bucket(output& out, const sorted_bucket& bucket)
{
    std::size_t w = 0, p = 0, r = 0;
    const std::span<const std::uint64_t> words = bucket.words;
    const std::span<const word_pair> pairs = bucket.pairs;
    const std::span<const record_ref> records = bucket.records;
    auto word_key = [&] { return w < words.size() ? merge_key{words[w], 0, 0} : after_all; };
    auto pair_key = [&] {
        return p < pairs.size() ? merge_key{pairs[p].high, pairs[p].low, 1} : after_all;
    };
    auto record_key = [&] {
        return r < records.size() ? merge_key{records[r].first, records[r].second, 2} : after_all;
    };
    if (pairs.empty() && records.empty()) {
        for (std::uint64_t word : words)
            emit_word(out, word);
        return;
    }
    for (merge_key word = word_key(), pair = pair_key(), record = record_key();
         std::min({word, pair, record}) != after_all;) {
        if (word < pair && word < record) {
            emit_word(out, words[w++]);
            word = word_key();
        } else if (pair < record) {
            emit_pair(out, pairs[p++]);
            pair = pair_key();
        } else {
            emit_record(out, records[r++].record);
            record = record_key();
        }
    }
}

std::size_t first_bucket(const listing& all, std::size_t stretch)
{
    return all.plan.count() * stretch / all.stretches;
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
        seek_runs(all.sets, all.plan, first, share.runs);
        for (std::size_t b = first; b < first_bucket(all, stretch + 1); ++b)
            write_bucket(share.out,
                         sort_bucket(all.sets, all.plan, b, share.room, all.largest, share.runs));
        end_stretch(share.out);
    }
}

// Puts every set's tokens in the buckets of one plan: the sets in as many
// groups as threads, each group's in its first set, a group a thread. A set
// bucketed on its own would leave a half-filled slab in every bucket, so
// the sets, which share their pools, go in as few groups as keep the
// threads busy.
bucket_plan bucket_all(std::span<stored_tokens> sets, std::size_t threads)
{
    const bucket_plan plan = plan_buckets(sets);
    const std::size_t groups = std::min(threads, sets.size());
    std::atomic<std::size_t> next = 0;
    run_on_threads(groups, [&](std::size_t) {
        for (std::size_t g; (g = next++) < groups;) {
            std::vector<stored_tokens*> group;
            for (std::size_t i = g; i < sets.size(); i += groups)
                group.push_back(&sets[i]);
            bucket_tokens(group, plan);
        }
    });
    return plan;
}

} // namespace

// A merger holds a whole stretch in its block, so that it can go on to the
// next while the stretches before are written; stretches of 64k tokens
// mostly fit in 2 MiB. A larger one makes its merger wait for its turn.
// Fewer tokens than two stretches hold are listed on one thread.
constexpr std::size_t stretch_tokens = 1 << 16;
constexpr std::size_t merger_block = 2 << 20;
constexpr std::size_t single_block = 64 << 10;

int write_tokens(std::span<stored_tokens> sets, int fd, std::size_t threads)
{
    bucket_sizes total;
    for (const stored_tokens& set : sets) {
        total.words += set.words.size + set.word_runs.held;
        total.pairs += set.pairs.size + set.pair_runs.held;
        total.records += set.records.size;
    }
    const std::size_t tokens = total.words + total.pairs + total.records;
    if (sets.empty())
        return 0;
    threads = std::clamp(std::min(threads, tokens / stretch_tokens), std::size_t{1}, sets.size());
    listing all{sets, bucket_all(sets, threads), {}};
    for (const stored_tokens& set : sets)
        all.has_empty |= set.has_empty;
    // A bucket's room on every thread should cost no more than the tokens
    // do, or 8 MiB, where a few buckets of a small set hold most of them.
    all.largest = largest_bucket(sets, all.plan);
    const std::size_t room = 2 * sort_bytes(all.largest);
    const std::size_t budget = std::max(sort_bytes(total), std::size_t{8} << 20);
    const std::size_t count =
        room == 0 ? threads : std::clamp(budget / room, std::size_t{1}, threads);
    all.stretches =
        count > 1 ? std::min(all.plan.count(), std::max(4 * count, tokens / stretch_tokens)) : 1;
    turns order;
    std::vector<merger> shares(count);
    for (merger& share : shares) {
        share.out.fd = fd;
        share.out.order = count > 1 ? &order : nullptr;
        share.out.size = count > 1 ? merger_block : single_block;
        share.out.block = std::make_unique_for_overwrite<char[]>(share.out.size);
        share.room = make_bucket_room(all.largest);
        seek_runs(all.sets, all.plan, 0, share.runs);
    }
    std::atomic<std::size_t> next = 0;
    run_on_threads(count, [&](std::size_t i) { list_stretches(all, next, shares[i]); });
    // Unmapping a set's memory is work in proportion to it, so the threads
    // share that too, rather than leave it to whoever frees the sets.
    std::atomic<std::size_t> next_set = 0;
    run_on_threads(std::min(count, sets.size()), [&](std::size_t) {
        for (std::size_t i; (i = next_set++) < sets.size();)
            sets[i] = stored_tokens();
    });
    return count > 1 ? order.error : shares[0].out.error;
}

int print_tokens(token_set& tokens, int fd)
{
    std::vector<stored_tokens> shards = release(tokens);
    return write_tokens(shards, fd, 1);
}
