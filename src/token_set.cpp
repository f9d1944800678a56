// SPDX-License-Identifier: MIT
// Inserting into the set: each token to the one place its length sends it,
// a table's spill, the staging toward the shards, and release.
#include "token_set.h"

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

// Sixteen shards make it rare that two threads want one at once, on two
// threads or on 64; more cost the listing more in half-filled slabs than
// they save, and fewer cost more waits at the locks.
constexpr std::size_t max_shards = 16;

// A stage holds eight slabs' worth, and is sent at four, so that a thread
// that finds its shard held goes on staging rather than wait, and a
// shard's cache lines move between cores once for thousands of entries.
template <typename Kind> constexpr std::size_t stage_bytes = 8 * Kind::slab_bytes;

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
template <typename Kind> [[gnu::noinline]] void open_form(token_set& set, partitions<Kind>& form)
{
    const bool many = std::is_same_v<Kind, word_kind> && set.words_spilled;
    open_partitions(form, set.key, many ? shard_partition_bits(set) : 0, false,
                    slabs_of<Kind>(set));
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
        open_form(set, form);
    append_entry(form, form.bits ? hash_partition(Kind::hash(set.key, entry), form.bits) : 0, entry,
                 size);
    if (form.bits == 0 && form.size >= split_size)
        split_partitions(form, shard_partition_bits(set));
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

// Stages an entry for the shard that its hash picks; the one inserter of a
// set of one shard appends it at once. Once half a stage's worth waits
// there, it goes to the shard if no other thread holds it, and else waits
// for the next entry, until the stage is full.
template <typename Kind>
[[gnu::always_inline]] inline void stage_entry(token_set& set, staging<Kind>& stage,
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

template <typename Kind> void flush_all(token_set& set, staging<Kind>& stage)
{
    for (std::size_t shard = 0; stage.bytes && shard < set.shard_count; ++shard)
        if (stage.used[shard])
            send_stage(set, stage, shard, true);
}

// Out of line, so that a spilled word's way to its partition in a set of
// one shard saves no registers for the staging's.
[[gnu::noinline]] void stage_word(token_set& set, staging<word_kind>& stage, std::uint64_t word)
{
    stage_entry(set, stage, reinterpret_cast<const unsigned char*>(&word), sizeof word);
}

// A word for the shards. The one inserter of a set of one shard has its
// words' partitions opened, split, once it has spilled, and appends to them
// at once.
inline void append_word(token_inserter& tokens, std::uint64_t word)
{
    token_set& set = tokens.set;
    const auto* entry = reinterpret_cast<const unsigned char*>(&word);
    if (set.shard_count == 1 && tokens.words_in == word_home::shards) {
        word_partitions& words = set.shards[0].tokens.words;
        append_entry(words, hash_partition(mix_word(set.key, word), words.bits), entry,
                     sizeof word);
    } else {
        stage_word(set, tokens.words, word);
    }
}

// Moves the words of a table about to outgrow the caches toward the shards,
// where every word to come goes too, and frees the table. Spilled words
// are many, so they open a shard's partitions split at once.
void spill(token_inserter& tokens)
{
    tokens.set.words_spilled = true;
    for_each_word(tokens.table, [&](std::uint64_t word) { append_word(tokens, word); });
    tokens.table = word_table();
    tokens.words_in = word_home::shards;
}

// Hands the words of a table that never spilled over to the set. They are
// distinct: in a set of one shard, whose one inserter this is, they go to
// one partition, never deduplicated or split; in a set of several, to the
// shards like any other.
void hand_in_table(token_inserter& tokens)
{
    token_set& set = tokens.set;
    word_partitions& words = set.shards[0].tokens.words;
    if (set.shard_count == 1 && !words.parts) {
        open_partitions(words, set.key, 0, true, slabs_of<word_kind>(set));
        for_each_word(tokens.table, [&](std::uint64_t word) {
            append_entry(words, 0, reinterpret_cast<const unsigned char*>(&word), sizeof word);
        });
    } else {
        for_each_word(tokens.table, [&](std::uint64_t word) { append_word(tokens, word); });
    }
    tokens.table = word_table();
}

// How large the table may grow: until it would outgrow the caches of a
// core, where a word that recurs is still cheaper to look up than to append
// again; but no larger than it is probed directly while fewer than half its
// lookups in batches have found the word there. Where most words are new,
// as when many threads share out input of many distinct tokens, the shards
// drop the repeats for less than the table's batches and rebuilds cost.
std::size_t largest_table(const token_inserter& tokens)
{
    // Counted in batches only, off the hot path: a table grows into batches
    // at cached_slots / 2 slots three eighths full.
    const std::size_t before = 3 * cached_slots / 16, count = tokens.table.count;
    const std::size_t new_in_batches = count > before ? count - before : 0;
    const bool batching_pays =
        tokens.set.shard_count == 1 || tokens.words_batched >= 2 * new_in_batches;
    return batching_pays ? largest_slots : cached_slots;
}

// Out of the hot path: only a new word comes here, for the slot `free_slot`
// where it belongs; it spills the table if the table may not grow.
[[gnu::noinline]] void add_word(token_inserter& tokens, std::uint64_t word, std::uint64_t hash,
                                std::uint64_t* free_slot)
{
    if (!add_word(tokens.table, word, hash, free_slot, largest_table(tokens))) {
        spill(tokens);
        append_word(tokens, word);
    }
}

// Looks up a word of the pending batch, which the table may have spilled or
// been rebuilt under a new key since the word joined it.
void look_up(token_inserter& tokens, pending_word& pending)
{
    if (tokens.words_in == word_home::shards) {
        append_word(tokens, pending.word);
        return;
    }
    if (pending.key_epoch != tokens.table.rekeys)
        pending.hash = hash_word(tokens.table.key, pending.word);
    if (std::uint64_t* slot = find_slot(tokens.table, pending.hash, pending.word); *slot == 0)
        add_word(tokens, pending.word, pending.hash, slot);
}

// Looks up the pending words, first asking for all their slots at once.
void look_up_pending(token_inserter& tokens)
{
    const std::size_t count = tokens.table.slot_count;
    for (std::size_t i = 0; i < tokens.pending_count && count; ++i)
        __builtin_prefetch(&tokens.table.slots[home_slot(tokens.pending[i].hash, count)]);
    for (std::size_t i = 0; i < tokens.pending_count; ++i)
        look_up(tokens, tokens.pending[i]);
    tokens.pending_count = 0;
}

// A word for a table not yet made, or for one large enough that words wait
// in a batch.
[[gnu::noinline]] void batch_word(token_inserter& tokens, std::uint64_t word)
{
    word_table& table = tokens.table;
    if (table.slot_count == 0)
        open_table(table, tokens.set.key);
    ++tokens.words_batched;
    pending_word& next = tokens.pending[tokens.pending_count++];
    next = {hash_word(table.key, word), word, table.rekeys};
    if (!batched(table) || tokens.pending_count == std::size(tokens.pending))
        look_up_pending(tokens);
}

// A word that the table in the caches cannot take at once. Out of line, and
// apart from the table's growth and the longer tokens, so that the scanning
// loop holds the small table's lookup alone and a spilled word's way to the
// shards stays short.
[[gnu::noinline]] void insert_word_slowly(token_inserter& tokens, std::uint64_t word)
{
    if (tokens.words_in == word_home::table)
        batch_word(tokens, word);
    else
        append_word(tokens, word);
}

// A pair or a record, staged for the shards.
[[gnu::noinline]] void insert_longer(token_inserter& tokens, std::string_view token)
{
    if (token.size() <= pair_bytes) {
        const word_pair pair = pack_pair(token);
        stage_entry(tokens.set, tokens.pairs, reinterpret_cast<const unsigned char*>(&pair),
                    sizeof pair);
    } else {
        unsigned char record[max_record_size + record_slack];
        pack_record(token, record);
        stage_entry(tokens.set, tokens.records, record, record_size(token.size()));
    }
}

} // namespace

token_set::token_set(std::size_t threads)
    : shard_count(threads > 1 ? max_shards : 1),
      shards(std::make_unique<token_shard[]>(shard_count))
{
}

// The common case first: a word looked up at once in a small table.
void insert_token(token_inserter& tokens, std::string_view token)
{
    if (token.empty()) {
        tokens.has_empty = true;
    } else if (token.size() <= word_bytes) {
        const std::uint64_t word = pack_padded_word(token.data(), token.size());
        const word_table& table = tokens.table;
        if (table.slot_count == 0 || batched(table)) {
            insert_word_slowly(tokens, word);
            return;
        }
        const std::uint64_t hash = hash_word(table.key, word);
        if (std::uint64_t* slot = find_slot(tokens.table, hash, word); *slot == 0)
            add_word(tokens, word, hash, slot);
    } else {
        insert_longer(tokens, token);
    }
}

void drain(token_inserter& tokens)
{
    look_up_pending(tokens);
    hand_in_table(tokens);
    flush_all(tokens.set, tokens.words);
    flush_all(tokens.set, tokens.pairs);
    flush_all(tokens.set, tokens.records);
    if (tokens.has_empty)
        tokens.set.has_empty = true;
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
