// SPDX-License-Identifier: MIT
// The shards: staging toward them, appending to their partitions under
// their locks, and handing them over.
#include "set/token_set.h"

#include <algorithm>
#include <bit>
#include <new>
#include <sys/resource.h>
#include <unistd.h>

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

// Sixteen shards make it rare that two threads want one at once, on two
// threads or on 64; more cost the listing more in half-filled slabs than
// they save, and fewer cost more waits at the locks.
constexpr std::size_t max_shards = 16;

// A stage holds eight slabs' worth, and is sent at four, so that a thread
// that finds its shard held goes on staging rather than wait, and a
// shard's cache lines move between cores once for thousands of entries.
template <typename Kind> constexpr std::size_t stage_bytes = 8 * Kind::slab_bytes;

// A shard writes a run once its partitions of a form hold as many entries
// as fill a slab of each of 2^partition_bits partitions over all the
// shards: enough that a run shares long prefixes, few enough that the
// partitions hold a small share of the set. But no more than an eighth of
// what it gathers before its first, so that the room to sort a batch stays
// small beside the memory that the process may take.
template <typename Kind> std::size_t run_batch(std::size_t shard_count, std::size_t compact_from)
{
    const std::size_t entries =
        std::max<std::size_t>((std::size_t{1} << partition_bits) *
                                  (Kind::slab_bytes / sizeof(typename Kind::value)) / shard_count,
                              2);
    if (compact_from == 0)
        return entries;
    return std::min(entries,
                    std::max<std::size_t>(compact_from / 8 / sizeof(typename Kind::value), 1024));
}

// Runs cost a sort and a decoding more than partitions, so a shard writes
// its first only once its partitions of a form hold an eighth of what the
// process may take, shared among the shards: the memory that the address
// space limit allows, else the machine's. Until then tokens cost what they
// always did, and there is room to spare; past it, runs hold about twice
// as many tokens in the memory left. Built with small parts, at once.
std::size_t compact_bytes(std::size_t shard_count)
{
#ifdef TOKCOLLECT_SMALL_PARTS
    static_cast<void>(shard_count);
    return 0;
#else
    std::uint64_t memory = std::uint64_t{1} << 40;
    if (const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
        pages > 0 && size > 0)
        memory = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
    if (rlimit limit; getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        memory = std::min<std::uint64_t>(memory, limit.rlim_cur);
    return static_cast<std::size_t>(memory / 8 / shard_count);
#endif
}

// A shard's partitions of a form once split: 2^partition_bits over all.
int shard_partition_bits(const token_set& set)
{
    return std::max(1, partition_bits - std::countr_zero(set.shard_count));
}

template <typename Kind> partitions<Kind>& form_of(stored_tokens& tokens)
{
    if constexpr (std::is_same_v<Kind, word_kind>)
        return tokens.words;
    else if constexpr (std::is_same_v<Kind, pair_kind>)
        return tokens.pairs;
    else
        return tokens.records;
}

template <typename Kind> form_runs& runs_of(stored_tokens& tokens)
{
    if constexpr (std::is_same_v<Kind, word_kind>)
        return tokens.word_runs;
    else
        return tokens.pair_runs;
}

// The entries at which a shard's partitions of a form write their next run.
template <typename Kind> std::size_t run_limit(const token_set& set, const form_runs& runs)
{
    const std::size_t batch = std::is_same_v<Kind, word_kind> ? set.word_batch : set.pair_batch;
    if (runs.runs.empty())
        return std::max(batch, set.compact_from / sizeof(typename Kind::value));
    return batch << runs.batch_doublings;
}

// Writes a shard's batch of a form as runs, where its tokens do not recur;
// else looks again once its partitions have doubled. Before the first run
// every partition deduplicates, since those that have not grown enough to
// do so would say nothing of repeats.
template <typename Kind> [[gnu::noinline]] void write_run(token_set& set, stored_tokens& tokens)
{
    partitions<Kind>& form = form_of<Kind>(tokens);
    if (runs_of<Kind>(tokens).runs.empty())
        deduplicate_all(form);
    if (!worth_runs(form)) {
        runs_of<Kind>(tokens).limit = 2 * form.size;
        return;
    }
    write_runs(form, runs_of<Kind>(tokens), set.key,
               std::is_same_v<Kind, word_kind> ? set.word_batch : set.pair_batch);
}

// A form's pool, made at its first entry in any shard. Not with
// std::call_once, which a throw leaves waiting for good where the C library
// runs it.
template <typename Kind> std::shared_ptr<slab_pool> slabs_of(token_set& set)
{
    std::shared_ptr<slab_pool>* pool = &set.record_slabs;
    if constexpr (std::is_same_v<Kind, word_kind>)
        pool = &set.word_slabs;
    else if constexpr (std::is_same_v<Kind, pair_kind>)
        pool = &set.pair_slabs;
    std::lock_guard hold(set.pools_made);
    if (!*pool)
        *pool = std::make_shared<slab_pool>(Kind::slab_bytes);
    return *pool;
}

// Opens a form's partitions in a shard at its first entry: as one, but for
// spilled words, which are many.
template <typename Kind> [[gnu::noinline]] void open_form(token_set& set, stored_tokens& tokens)
{
    const bool many = std::is_same_v<Kind, word_kind> && set.words_spilled;
    open_partitions(form_of<Kind>(tokens), set.key, many ? shard_partition_bits(set) : 0, false,
                    slabs_of<Kind>(set));
    if constexpr (!std::is_same_v<Kind, record_kind>)
        runs_of<Kind>(tokens).limit = run_limit<Kind>(set, runs_of<Kind>(tokens));
}

// Appends an entry to the partitions of its form in `tokens`, which split
// once they hold split_size; the hash picks a shard by its low bits and a
// partition by its top ones.
template <typename Kind>
[[gnu::always_inline]] inline void append_to(token_set& set, stored_tokens& tokens,
                                             const unsigned char* entry, std::size_t size)
{
    partitions<Kind>& form = form_of<Kind>(tokens);
    if (!form.parts)
        open_form<Kind>(set, tokens);
    append_entry(form, form.bits ? hash_partition(Kind::hash(set.key, entry), form.bits) : 0, entry,
                 size);
    if (form.bits == 0 && form.size >= split_size)
        split_partitions(form, shard_partition_bits(set));
    if constexpr (!std::is_same_v<Kind, record_kind>)
        if (form.size >= runs_of<Kind>(tokens).limit)
            write_run<Kind>(set, tokens);
}

// Appends the entries that `stage` holds for shard `shard` to it, under its
// lock: once no other thread holds it, or, unless `wait`, not at all if one
// does.
template <typename Kind>
[[gnu::noinline]] void send_stage(token_set& set, staging<Kind>& stage, std::size_t shard,
                                  bool wait)
{
    std::unique_lock hold(set.shards[shard].lock, std::defer_lock);
    if (wait)
        hold.lock();
    else if (!hold.try_lock())
        return;
    const unsigned char* at = stage.bytes[shard].get();
    const unsigned char* const end = at + stage.used[shard];
    for (std::size_t size; at < end; at += size) {
        size = Kind::size(at);
        append_to<Kind>(set, set.shards[shard].tokens, at, size);
    }
    stage.used[shard] = 0;
}

// Room for the entries of a shard, and past them for a record's word loads
// to read; small enough to come from the heap, without a mapping.
template <typename Kind>
[[gnu::noinline]] void make_stage(token_set& set, staging<Kind>& stage, std::size_t shard)
{
    if (!stage.bytes) {
        stage.bytes = std::make_unique<std::unique_ptr<unsigned char[]>[]>(set.shard_count);
        stage.used = std::make_unique<std::size_t[]>(set.shard_count);
    }
    stage.bytes[shard] =
        std::make_unique_for_overwrite<unsigned char[]>(stage_bytes<Kind> + record_slack);
}

// Once half a stage's worth waits for a shard, it goes there if no other
// thread holds the shard, and else waits for the next entry, until the
// stage is full.
template <typename Kind>
[[gnu::always_inline]] inline void stage_in(token_set& set, staging<Kind>& stage,
                                            const unsigned char* entry, std::size_t size)
{
    if (set.shard_count == 1) {
        append_to<Kind>(set, set.shards[0].tokens, entry, size);
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

} // namespace

void write_word_run(token_set& set, stored_tokens& tokens)
{
    write_run<word_kind>(set, tokens);
}

template <typename Kind>
void stage_entry(token_set& set, staging<Kind>& stage, const unsigned char* entry, std::size_t size)
{
    stage_in(set, stage, entry, size);
}

// Out of line, so that a spilled word's way to its partition in a set of
// one shard saves no registers for the staging's.
[[gnu::noinline]] void stage_word(token_set& set, staging<word_kind>& stage, std::uint64_t word)
{
    stage_in(set, stage, reinterpret_cast<const unsigned char*>(&word), sizeof word);
}

template <typename Kind> void flush_all(token_set& set, staging<Kind>& stage)
{
    for (std::size_t shard = 0; stage.bytes && shard < set.shard_count; ++shard)
        if (stage.used[shard])
            send_stage(set, stage, shard, true);
}

template void stage_entry(token_set&, staging<pair_kind>&, const unsigned char*, std::size_t);
template void stage_entry(token_set&, staging<record_kind>&, const unsigned char*, std::size_t);
template void flush_all(token_set&, staging<word_kind>&);
template void flush_all(token_set&, staging<pair_kind>&);
template void flush_all(token_set&, staging<record_kind>&);

bool hand_in_distinct_words(token_set& set, const word_table& table)
{
    word_partitions& words = set.shards[0].tokens.words;
    if (set.shard_count > 1 || words.parts)
        return false;
    open_partitions(words, set.key, 0, true, slabs_of<word_kind>(set));
    set.shards[0].tokens.word_runs.limit =
        run_limit<word_kind>(set, set.shards[0].tokens.word_runs);
    for_each_word(table, [&](std::uint64_t word) {
        append_entry(words, 0, reinterpret_cast<const unsigned char*>(&word), sizeof word);
    });
    return true;
}

token_set::token_set(std::size_t threads, std::size_t compact_from)
    : shard_count(threads > 1 ? max_shards : 1),
      compact_from(compact_from != SIZE_MAX ? compact_from : compact_bytes(shard_count)),
      word_batch(run_batch<word_kind>(shard_count, compact_from)),
      pair_batch(run_batch<pair_kind>(shard_count, compact_from)),
      shards(std::make_unique<token_shard[]>(shard_count))
{
}

void clear(token_set& tokens)
{
    tokens.shards = std::make_unique<token_shard[]>(tokens.shard_count);
    tokens.has_empty = false;
}

// Only the shards that hold tokens are handed over, and the first, which
// carries the empty token; their forms are all opened, so that the listing
// finds one shape, those that hold none with no pool.
std::vector<stored_tokens> release(token_set& tokens)
{
    std::vector<stored_tokens> shards;
    shards.reserve(tokens.shard_count);
    for (std::size_t i = 0; i < tokens.shard_count; ++i) {
        stored_tokens& shard = tokens.shards[i].tokens;
        if (i > 0 && !shard.words.parts && !shard.pairs.parts && !shard.records.parts)
            continue;
        if (!shard.words.parts)
            open_partitions(shard.words, tokens.key, 0, true, nullptr);
        if (!shard.pairs.parts)
            open_partitions(shard.pairs, tokens.key, 0, true, nullptr);
        if (!shard.records.parts)
            open_partitions(shard.records, tokens.key, 0, true, nullptr);
        shards.push_back(std::move(shard));
    }
    shards.front().has_empty = tokens.has_empty;
    tokens.shards.reset();
    return shards;
}
