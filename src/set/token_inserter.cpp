// SPDX-License-Identifier: MIT
// Inserting into the set: each token to the one place its length sends it,
// a word to its inserter's table until the table spills, and every entry
// for the shards to their staging (token_shards.h).
#include "set/token_inserter.h"

#include "set/token_set.h"

namespace
{

// A word for the shards. The one inserter of a set of one shard has its
// words' partitions opened, split, once it has spilled, and appends to them
// at once.
inline void append_word(token_inserter& tokens, std::uint64_t word)
{
    token_set& set = tokens.set;
    if (set.shard_count == 1 && tokens.words_in == word_home::shards)
        append_spilled_word(set, word);
    else
        stage_word(set, tokens.words, word);
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

// Hands the words of a table that never spilled over to the set: in a set
// of one shard, as the distinct words they are, else like any others.
void hand_in_table(token_inserter& tokens)
{
    if (!hand_in_distinct_words(tokens.set, tokens.table))
        for_each_word(tokens.table, [&](std::uint64_t word) { append_word(tokens, word); });
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
