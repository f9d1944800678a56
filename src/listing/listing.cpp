// SPDX-License-Identifier: MIT
// The listing. Every form of every shard is cut into the same buckets of
// the byte order (bucket_sort.h), and consecutive buckets make stretches of
// the listing, which threads take side by side; each stretch is written in
// its turn. A bucket is sorted from all the shards at once, each form
// apart, and its forms merged as they are written.
#include "listing/listing.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <new>
#include <vector>

#include "listing/bucket_sort.h"
#include "listing/listing_output.h"
#include "set/token_set.h"
#include "store/memory_policy.h"
#include "system/threads.h"

namespace
{

// What every thread of the listing reads.
struct listing {
    std::span<shard_forms> shards;
    bucket_plan plan;
    largest_bucket_of largest;
    std::size_t stretches = 1;
    bool has_empty = false;
};

// One thread's part of the listing, taken before any of them writes: its
// output, room to sort a bucket and for the records it reads from runs, and
// where it stands in every run.
struct merger {
    output out;
    bucket_room room;
    run_cursors runs;
    record_arena arena;
    budget_share share; // of the output, the sort room and the cursors
};

// A token as the merge of a bucket's forms compares it: the limbs that
// order tokens of different forms, and its form's place in the list, which
// decides between tokens that share them: the one of the earlier form is a
// prefix of the other.
struct merge_key {
    std::array<std::uint64_t, order_limbs> limbs;
    std::size_t form;
    bool operator<(const merge_key& other) const
    {
        return limbs != other.limbs ? limbs < other.limbs : form < other.form;
    }
};

template <typename Kind>
merge_key key_at(std::span<const typename Kind::sort_entry> tokens, std::size_t at)
{
    merge_key key{{}, at == tokens.size() ? form_count : form_index<Kind>};
    for (std::size_t i = 0; i < order_limbs; ++i)
        key.limbs[i] = at == tokens.size() ? ~std::uint64_t{0} : Kind::sort_limb(tokens[at], i);
    return key;
}

// Writes the tokens of one bucket in byte order: the least of the forms'
// next tokens each time, or all of the one form that has any.
void write_bucket(output& out, const sorted_bucket& bucket)
{
    std::size_t forms_with_tokens = 0;
    for_each_form(bucket, [&](auto, const auto& tokens) { forms_with_tokens += !tokens.empty(); });
    if (forms_with_tokens <= 1) {
        for_each_form(bucket, [&](auto kind, const auto& tokens) {
            for (const auto& token : tokens)
                emit<decltype(kind)>(out, token);
        });
        return;
    }
    std::array<std::size_t, form_count> at{};
    std::array<merge_key, form_count> keys;
    for_each_form(bucket, [&](auto kind, const auto& tokens) {
        keys[form_index<decltype(kind)>] = key_at<decltype(kind)>(tokens, 0);
    });
    for (std::size_t least;
         (least = std::min_element(keys.begin(), keys.end())->form) < form_count;)
        for_each_form(bucket, [&](auto kind, const auto& tokens) {
            using Kind = decltype(kind);
            if (form_index<Kind> == least) {
                emit<Kind>(out, tokens[at[least]++]);
                keys[least] = key_at<Kind>(tokens, at[least]);
            }
        });
}

std::size_t first_bucket(const listing& all, std::size_t stretch)
{
    return all.plan.count() * stretch / all.stretches;
}

// Lists stretches, taking the next one not yet taken, until none is left.
// The empty token, below every other, opens the first. A merger that runs
// out of memory abandons the turns, or the others would wait for its
// stretch for ever.
void list_stretches(const listing& all, std::atomic<std::size_t>& next, merger& own)
{
    try {
        for (std::size_t stretch; (stretch = next++) < all.stretches;) {
            own.out.stretch = stretch;
            if (stretch == 0 && all.has_empty) {
                *make_room(own.out, 0) = '\n';
                ++own.out.used;
            }
            const std::size_t first = first_bucket(all, stretch);
            seek_runs(all.shards, all.plan, first, own.runs);
            for (std::size_t b = first; b < first_bucket(all, stretch + 1); ++b)
                write_bucket(own.out, sort_bucket(all.shards, all.plan, b, own.room,
                                                  all.largest.tokens, own.runs, own.arena));
            end_stretch(own.out);
        }
    } catch (const std::bad_alloc&) {
        if (own.out.order)
            abandon(*own.out.order);
        throw;
    }
}

// Puts every shard's tokens in the buckets of one plan: the shards in as
// many groups as threads, each group's in its first shard, a group a
// thread. A shard bucketed on its own would leave a half-filled slab in
// every bucket, so the shards, which share their pools, go in as few groups
// as keep the threads busy.
bucket_plan bucket_all(std::span<shard_forms> shards, std::size_t threads, memory_budget* budget)
{
    const bucket_plan plan = plan_buckets(shards);
    const std::size_t groups = std::min(threads, shards.size());
    std::atomic<std::size_t> next = 0;
    work_on_threads(groups, budget, [&](std::size_t) {
        for (std::size_t g; (g = next++) < groups;) {
            std::vector<shard_forms*> group;
            for (std::size_t i = g; i < shards.size(); i += groups)
                group.push_back(&shards[i]);
            bucket_tokens(group, plan);
        }
    });
    return plan;
}

} // namespace

// A merger holds a whole stretch in its buffer, so that it can go on to
// the next while the stretches before are written; stretches of 64k tokens
// mostly fit in 2 MiB. A larger one makes its merger wait for its turn.
// Fewer tokens than two stretches hold are listed on one thread.
constexpr std::size_t stretch_tokens = 1 << 16;
constexpr std::size_t merger_buffer = 2 << 20;
constexpr std::size_t single_buffer = 64 << 10;

int write_tokens(std::span<shard_forms> shards, int fd, std::size_t threads, memory_budget* budget)
{
    form_counts total;
    for (const shard_forms& shard : shards)
        for_each_form(shard.forms, [&](auto kind, const auto& form) {
            of<decltype(kind)>(total) += form.parts.size + form.runs.held;
        });
    const std::size_t tokens = ::total(total);
    if (shards.empty())
        return 0;
    threads = std::clamp(std::min(threads, tokens / stretch_tokens), std::size_t{1}, shards.size());
    listing all{shards, bucket_all(shards, threads, budget), {}};
    for (const shard_forms& shard : shards)
        all.has_empty |= shard.has_empty;
    // The mergers' room, as the memory policy says.
    all.largest = largest_bucket(shards, all.plan);
    const std::size_t sort_room = 2 * sort_bytes(all.largest.tokens) + cursor_bytes(shards);
    const std::size_t room = sort_room + all.largest.arena;
    const std::size_t allowed = std::max(sort_bytes(total), least_listing_room);
    std::size_t count = room == 0 ? threads : std::clamp(allowed / room, std::size_t{1}, threads);
    if (budget)
        count = std::clamp((budget->planned - std::min(budget->planned, budget->used.load())) /
                               (room + merger_buffer),
                           std::size_t{1}, count);
    // Where each merger has two stretches or more, it also has a spare, to
    // park one finished before its turn, and the stretches are a quarter
    // as long, so that its buffer and spare hold less than its buffer did.
    const bool spares = count > 1 && tokens / stretch_tokens >= 2 * count;
    const std::size_t stretch_size = spares ? stretch_tokens / 4 : stretch_tokens;
    all.stretches =
        count > 1 ? std::min(all.plan.count(), std::max(4 * count, tokens / stretch_size)) : 1;
    turns order;
    std::vector<merger> mergers(count);
    for (merger& own : mergers) {
        own.out.fd = fd;
        own.out.order = count > 1 ? &order : nullptr;
        own.out.size = count == 1 ? single_buffer : spares ? merger_buffer / 4 : merger_buffer;
        own.share = budget_share(budget);
        resize(own.share, (spares ? 2 : 1) * own.out.size + sort_room);
        own.out.buffer.reset(new char[own.out.size]);
        if (spares) {
            own.out.spare.reset(new char[own.out.size]);
            order.mergers.push_back(&own.out);
        }
        own.room = make_bucket_room(all.largest.tokens);
        make_arena(own.arena, all.largest.arena, budget);
        seek_runs(all.shards, all.plan, 0, own.runs);
    }
    std::atomic<std::size_t> next = 0;
    work_on_threads(count, budget, [&](std::size_t i) { list_stretches(all, next, mergers[i]); });
    // Unmapping a shard's memory is work in proportion to it, so the
    // threads share that too, rather than leave it to whoever frees them.
    std::atomic<std::size_t> next_shard = 0;
    work_on_threads(std::min(count, shards.size()), budget, [&](std::size_t) {
        for (std::size_t i; (i = next_shard++) < shards.size();)
            shards[i] = shard_forms();
    });
    return count > 1 ? order.error : mergers[0].out.error;
}

int print_tokens(token_set& set, int fd)
{
    std::vector<shard_forms> shards = release(set);
    return write_tokens(shards, fd, 1, set.budget);
}
