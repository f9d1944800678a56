// SPDX-License-Identifier: MIT
// Inserting into the set: each token to the one place its length sends it,
// a word to its inserter's table until the table spills, and every entry
// for the shards to their staging (token_set.h).
#include "set/token_inserter.h"

namespace
{

// Out of line, so that the way of a spilled word to the one shard of a set
// of one shard saves no registers, and no stack, for the staging's.
[[gnu::noinline]] void stage_word(token_inserter& inserter, std::uint64_t word)
{
    stage_entry(inserter.set, of<word_kind>(inserter.stages),
                reinterpret_cast<const unsigned char*>(&word), sizeof word);
}

// A word for the shards: at once into the one shard of a set of one shard,
// once the table has spilled, else through the staging.
inline void append_word(token_inserter& inserter, std::uint64_t word)
{
    if (inserter.words_in == word_home::own_shard)
        append_spilled_word(*inserter.own_words, word);
    else
        stage_word(inserter, word);
}

// Moves the words of a table about to outgrow the caches toward the shards,
// where every word to come goes too, and frees the table. Spilled words
// are many, so they open a shard's partitions split at once.
void spill(token_inserter& inserter)
{
    token_set& set = inserter.set;
    set.words_spilled = true;
    if (set.shard_count == 1) {
        inserter.own_words = &open_spilled_words(set);
        inserter.words_in = word_home::own_shard;
    } else {
        inserter.words_in = word_home::shards;
    }
    for_each_word(inserter.table, [&](std::uint64_t word) { append_word(inserter, word); });
    inserter.table = word_table();
}

// Hands the words of a table that never spilled over to the set: in a set
// of one shard, as the distinct words they are, else like any others.
void hand_in_table(token_inserter& inserter)
{
    if (!hand_in_distinct_words(inserter.set, inserter.table))
        for_each_word(inserter.table, [&](std::uint64_t word) { append_word(inserter, word); });
    inserter.table = word_table();
}

// How large the table may grow: until it would outgrow the caches of a
// core, where a word that recurs is still cheaper to look up than to append
// again; but no larger than it is probed directly while fewer than half its
// pending lookups have found the word there. Where most words are new, as
// when many threads share out input of many distinct tokens, the shards
// drop the repeats for less than the table's pending lookups and rebuilds
// cost.
std::size_t largest_table(const token_inserter& inserter)
{
    // Counted in pending lookups only, off the hot path: a table defers its
    // lookups from cached_slots / 2 slots three eighths full.
    const std::size_t before = 3 * cached_slots / 16, count = inserter.table.count;
    const std::size_t new_when_deferred = count > before ? count - before : 0;
    const bool deferring_pays =
        inserter.set.shard_count == 1 || inserter.words_deferred >= 2 * new_when_deferred;
    return deferring_pays ? largest_slots : cached_slots;
}

// Out of the hot path: only a new word comes here, for the slot `free_slot`
// where it belongs; it spills the table if the table may not grow.
[[gnu::noinline]] void add_word(token_inserter& inserter, std::uint64_t word, std::uint64_t hash,
                                std::uint64_t* free_slot)
{
    if (!add_word(inserter.table, word, hash, free_slot, largest_table(inserter))) {
        spill(inserter);
        append_word(inserter, word);
    }
}

// Looks up a pending word, which the table may have spilled or been
// rebuilt under a new key since the word joined the pending ones.
void look_up(token_inserter& inserter, pending_word& pending)
{
    if (inserter.words_in != word_home::table) {
        append_word(inserter, pending.word);
        return;
    }
    if (pending.key_epoch != inserter.table.rekeys)
        pending.hash = hash_word(inserter.table.key, pending.word);
    if (std::uint64_t* slot = find_slot(inserter.table, pending.hash, pending.word); *slot == 0)
        add_word(inserter, pending.word, pending.hash, slot);
}

// Looks up the pending words, first asking for all their slots at once.
void look_up_pending(token_inserter& inserter)
{
    const std::size_t count = inserter.table.slot_count;
    for (std::size_t i = 0; i < inserter.pending_count && count; ++i)
        __builtin_prefetch(&inserter.table.slots[home_slot(inserter.pending[i].hash, count)]);
    for (std::size_t i = 0; i < inserter.pending_count; ++i)
        look_up(inserter, inserter.pending[i]);
    inserter.pending_count = 0;
}

// A word for a table not yet made, or for one large enough that its
// lookups wait among the pending words.
[[gnu::noinline]] void defer_word(token_inserter& inserter, std::uint64_t word)
{
    word_table& table = inserter.table;
    if (table.slot_count == 0)
        open_table(table, inserter.set.key, inserter.set.budget);
    ++inserter.words_deferred;
    pending_word& next = inserter.pending[inserter.pending_count++];
    next = {hash_word(table.key, word), word, table.rekeys};
    if (!defers_lookups(table) || inserter.pending_count == std::size(inserter.pending))
        look_up_pending(inserter);
}

// A word that the table in the caches cannot take at once. Out of line, and
// apart from the table's growth and the longer tokens, so that the scanning
// loop holds the small table's lookup alone and a spilled word's way to the
// shards stays short.
[[gnu::noinline]] void insert_word_slowly(token_inserter& inserter, std::uint64_t word)
{
    if (inserter.words_in == word_home::own_shard)
        append_spilled_word(*inserter.own_words, word);
    else if (inserter.words_in == word_home::table)
        defer_word(inserter, word);
    else
        stage_word(inserter, word);
}

// A token of a longer form than a word, staged for the shards.
[[gnu::noinline]] void insert_longer(token_inserter& inserter, std::string_view token)
{
    with_form_of_size(token.size(), [&](auto kind) {
        using Kind = decltype(kind);
        unsigned char entry[Kind::max_entry + record_slack];
        const std::size_t size = Kind::pack(token, entry);
        stage_entry(inserter.set, of<Kind>(inserter.stages), entry, size);
    });
}

} // namespace

// The common case first: a word looked up at once in a small table.
void insert_token(token_inserter& inserter, std::string_view token)
{
    if (token.empty()) {
        inserter.has_empty = true;
    } else if (token.size() <= max_word_size) {
        const std::uint64_t word = pack_padded_word(token.data(), token.size());
        const word_table& table = inserter.table;
        if (table.slot_count == 0 || defers_lookups(table)) {
            insert_word_slowly(inserter, word);
            return;
        }
        const std::uint64_t hash = hash_word(table.key, word);
        if (std::uint64_t* slot = find_slot(inserter.table, hash, word); *slot == 0)
            add_word(inserter, word, hash, slot);
    } else {
        insert_longer(inserter, token);
    }
}

void drain(token_inserter& inserter)
{
    look_up_pending(inserter);
    hand_in_table(inserter);
    for_each_form(inserter.stages, [&](auto, auto& stage) { flush_all(inserter.set, stage); });
    if (inserter.has_empty)
        inserter.set.has_empty = true;
}
