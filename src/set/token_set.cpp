// SPDX-License-Identifier: MIT
// The shards: staging toward them, appending to their partitions under
// their locks, writing runs where a form has gathered a batch, and handing
// them over.
//
// A shard's form starts as one partition, split into many once it holds
// split_size entries, as many as the slabs it fills before its first run
// allow. It writes runs once its partitions' slabs hold compact_from bytes
// of the form, where deduplicating finds that its tokens do not recur, or
// once the budget is pressed (memory_policy.h); from then on, each batch
// of the form that its partitions gather goes into a run (compaction.h).
// Should memory run out in a shard, the set is marked failed, and no
// thread appends to a shard after that.
#include "set/token_set.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <new>

namespace
{

// A shard's form starts as one partition and splits, once it has
// split_size entries, into as many as make 2^partition_bits over all the
// shards. Built with small parts, every phase comes within a few hundred
// tokens.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr int partition_bits = 3;
constexpr std::size_t split_size = 16;
#else
constexpr int partition_bits = 10;
constexpr std::size_t split_size = std::size_t{1} << 14;
#endif

// The slabs of a form that a shard's partitions fill before its first run.
template <typename Kind> std::size_t first_run_slabs(const token_set& set)
{
    return std::max(of<Kind>(set.batch), set.compact_from / slab_bytes<Kind>);
}

// A shard's partitions of a form once split: 2^partition_bits over all, but
// no more than fill partition_slabs slabs each before the first run, so
// that their slabs, begun all at once, fit a tight budget.
template <typename Kind> int split_bits(const token_set& set)
{
    const int most = partition_bits - std::countr_zero(set.shard_count);
    return std::max(1, std::min(most, partition_bits_for(first_run_slabs<Kind>(set))));
}

// Writes a shard's batch of a form as runs, where its tokens do not recur
// or the budget is pressed; else looks again once its partitions have
// doubled. Before the first run every partition deduplicates, since those
// that have not grown enough to do so would say nothing of repeats.
template <typename Kind> [[gnu::noinline]] void write_run(stored_form<Kind>& form)
{
    if (form.runs.runs.empty())
        deduplicate_all(form.parts);
    if (!worth_runs(form.parts.size, form.parts.dropped) && !pressed(form.parts.pool->budget)) {
        form.runs.run_at = 2 * form.parts.slabs;
        return;
    }
    write_runs(form.parts, form.runs);
    // Runs drop repeats, so partitions with runs go by hash, and take no
    // turns, which would keep repeats between runs.
    form.parts.turns_over = true;
    const int bits = std::min(partition_bits_for(form.runs.batch), form.parts.bits);
    if (bits < form.parts.bits || form.parts.turns_end_at)
        open_partitions(form.parts, form.parts.key, bits, false, form.parts.pool);
}

// A form's pool, made at its first entry in any shard. Not with
// std::call_once, which a throw leaves waiting for good where the C library
// runs it.
template <typename Kind> std::shared_ptr<slab_pool> pool_for(token_set& set)
{
    std::lock_guard hold(set.pools_made);
    std::shared_ptr<slab_pool>& pool = of<Kind>(set.pools);
    if (!pool)
        pool = std::make_shared<slab_pool>(slab_bytes<Kind>, set.budget);
    return pool;
}

// Partitions that the budget splits into fewer than the most take no turns:
// where memory is tight, repeats are dropped as soon as they can be.
template <typename Kind> void allow_turns(const token_set& set, partitions<Kind>& parts)
{
    if (parts.bits > 0 && parts.bits < partition_bits - std::countr_zero(set.shard_count))
        parts.turns_over = true;
}

// Opens a form's partitions in a shard at its first entry: 2^bits of them,
// never deduplicated if `distinct`.
template <typename Kind>
[[gnu::noinline]] void open_form(token_set& set, stored_form<Kind>& form, int bits, bool distinct)
{
    open_partitions(form.parts, set.key, bits, distinct, pool_for<Kind>(set));
    allow_turns(set, form.parts);
    form.runs.sample_share = budget_share(set.budget);
    form.runs.batch = of<Kind>(set.batch);
    form.runs.run_at = first_run_slabs<Kind>(set);
}

// Appends an entry to the partitions of its form in a shard, which open as
// one at its first entry, but for spilled words, which are many, and split
// once they hold split_size; the hash picks a shard by its low bits and a
// partition by its top ones. How many the partitions hold is looked at
// only when a partition makes room.
template <typename Kind>
[[gnu::always_inline]] inline void append_to(token_set& set, stored_form<Kind>& form,
                                             const unsigned char* entry, std::size_t size)
{
    partitions<Kind>& parts = form.parts;
    if (!parts.parts) {
        const bool many = std::is_same_v<Kind, word_kind> && set.words_spilled;
        open_form(set, form, many ? split_bits<Kind>(set) : 0, false);
    }
    append_entry(
        parts,
        partition_for(parts, size, [&] { return parts.bits ? Kind::hash(set.key, entry) : 0; }),
        entry, size, [&] {
            if (parts.bits == 0 && parts.size >= split_size) {
                split_partitions(parts, split_bits<Kind>(set));
                allow_turns(set, parts);
            }
            pace_turns(parts);
            if (runs_due(form))
                write_run(form);
        });
}

// Appends the entries that `stage` holds for shard `shard` to it, under its
// lock: once no other thread holds it, or, unless `wait`, not at all if one
// does. Memory that runs out there may leave the shard half changed, a merge
// of its runs half read, so the set is marked failed before the lock goes,
// and no thread appends to any shard after that.
template <typename Kind>
[[gnu::noinline]] void send_stage(token_set& set, staging<Kind>& stage, std::size_t shard,
                                  bool wait)
{
    std::unique_lock hold(set.shards[shard].lock, std::defer_lock);
    if (wait)
        hold.lock();
    else if (!hold.try_lock())
        return;
    if (set.failed)
        throw std::bad_alloc();
    stored_form<Kind>& form = of<Kind>(set.shards[shard].held.forms);
    const unsigned char* at = stage.bytes[shard].get();
    const unsigned char* const end = at + stage.used[shard];
    try {
        for (std::size_t size; at < end; at += size) {
            size = Kind::size(at);
            append_to(set, form, at, size);
        }
    } catch (const std::bad_alloc&) {
        set.failed = true;
        throw;
    }
    stage.used[shard] = 0;
}

// Room for the entries of a shard, and past them for a record's limb loads
// to read; small enough to come from the heap, without a mapping.
template <typename Kind>
[[gnu::noinline]] void make_stage(token_set& set, staging<Kind>& stage, std::size_t shard)
{
    if (!stage.bytes) {
        stage.share = budget_share(set.budget);
        stage.bytes = std::make_unique<std::unique_ptr<unsigned char[]>[]>(set.shard_count);
        stage.used = std::make_unique<std::size_t[]>(set.shard_count);
    }
    resize(stage.share, stage.share.bytes + stage_bytes<Kind> + record_slack);
    stage.bytes[shard].reset(new unsigned char[stage_bytes<Kind> + record_slack]);
}

} // namespace

void write_word_run(stored_form<word_kind>& words)
{
    write_run(words);
}

stored_form<word_kind>& open_spilled_words(token_set& set)
{
    stored_form<word_kind>& words = of<word_kind>(set.shards[0].held.forms);
    if (!words.parts.parts)
        open_form(set, words, split_bits<word_kind>(set), false);
    return words;
}

// Once half a stage's worth waits for a shard, it goes there if no other
// thread holds the shard, and else waits for the next entry, until the
// stage is full.
template <typename Kind>
void stage_entry(token_set& set, staging<Kind>& stage, const unsigned char* entry, std::size_t size)
{
    // A size known here copies a word or a pair in a move or two, not
    // through the C library's memcpy.
    if constexpr (Kind::fixed_size) {
        assert(size == Kind::max_entry);
        size = Kind::max_entry;
    }
    if (set.shard_count == 1) {
        append_to(set, of<Kind>(set.shards[0].held.forms), entry, size);
        return;
    }
    const std::size_t shard = Kind::hash(set.key, entry) & (set.shard_count - 1);
    if (!stage.bytes || !stage.bytes[shard])
        make_stage(set, stage, shard);
    if (stage.used[shard] + size > stage_bytes<Kind>)
        send_stage(set, stage, shard, true);
    std::memcpy(stage.bytes[shard].get() + stage.used[shard], entry, size);
    stage.used[shard] += size;
    if (stage.used[shard] >= stage_bytes<Kind> / 2)
        send_stage(set, stage, shard, false);
}

template <typename Kind> void flush_all(token_set& set, staging<Kind>& stage)
{
    for (std::size_t shard = 0; stage.bytes && shard < set.shard_count; ++shard)
        if (stage.used[shard])
            send_stage(set, stage, shard, true);
}

#define TOKCOLLECT_STAGING(Kind)                                                                   \
    template void stage_entry(token_set&, staging<Kind>&, const unsigned char*, std::size_t);      \
    template void flush_all(token_set&, staging<Kind>&);
TOKCOLLECT_FOR_EACH_FORM(TOKCOLLECT_STAGING)

bool hand_in_distinct_words(token_set& set, const word_table& table)
{
    stored_form<word_kind>& words = of<word_kind>(set.shards[0].held.forms);
    if (set.shard_count > 1 || words.parts.parts)
        return false;
    open_form(set, words, 0, true);
    for_each_word(table, [&](std::uint64_t word) {
        append_entry(words.parts, 0, reinterpret_cast<const unsigned char*>(&word), sizeof word);
    });
    return true;
}

token_set::token_set(std::size_t threads, memory_budget* budget, std::size_t compact_from)
    : shard_count(threads > 1 ? shards_within(budget ? budget->planned : SIZE_MAX, max_shards) : 1),
      budget(budget),
      compact_from(compact_from != SIZE_MAX
                       ? compact_from
                       : first_run_bytes(budget ? budget->planned : SIZE_MAX, shard_count)),
      shards(std::make_unique<token_shard[]>(shard_count))
{
    // The member, not the argument, which may ask for what the policy gives.
    for_each_form(batch, [&](auto kind, std::size_t& slabs) {
        slabs = batch_slabs(std::size_t{1} << partition_bits, shard_count,
                            this->compact_from / slab_bytes<decltype(kind)>);
    });
}

void clear(token_set& set)
{
    set.shards = std::make_unique<token_shard[]>(set.shard_count);
    set.has_empty = false;
}

// Only the shards that hold tokens are handed over, and the first, which
// carries the empty token; their forms are all opened, so that the listing
// finds one shape, those that hold none with no pool.
std::vector<shard_forms> release(token_set& set)
{
    std::vector<shard_forms> shards;
    shards.reserve(set.shard_count);
    for (std::size_t i = 0; i < set.shard_count; ++i) {
        shard_forms& shard = set.shards[i].held;
        bool opened = false;
        for_each_form(shard.forms,
                      [&](auto, auto& form) { opened |= form.parts.parts != nullptr; });
        if (i > 0 && !opened)
            continue;
        for_each_form(shard.forms, [&](auto, auto& form) {
            if (!form.parts.parts)
                open_partitions(form.parts, set.key, 0, true, nullptr);
        });
        shards.push_back(std::move(shard));
    }
    shards.front().has_empty = set.has_empty;
    set.shards.reset();
    return shards;
}
