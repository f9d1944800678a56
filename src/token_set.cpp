// SPDX-License-Identifier: MIT
// Inserting into the set: each token to the one place its length sends it,
// the table's growth and spill, and release.
#include "token_set.h"

#include <algorithm>
#include <new>

namespace
{

// A table of up to cached_slots slots (512 KiB) stays in the caches, so it is
// kept sparse, to shorten probes, and probed directly: batching only pays for
// lookups that miss the caches. A table that would grow to spill_slots slots
// (2 MiB) no longer fits the caches of a core and costs a cache miss a
// lookup: its words go to partitions instead. Below it, words that recur are
// cheaper to look up than to append again. Partitions start as one and split
// into 2^partition_bits once a form has split_size entries. Built with small
// parts, every phase comes within a few hundred tokens.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t initial_slots = 64;
constexpr std::size_t cached_slots = 128;
constexpr std::size_t spill_slots = 512;
constexpr int partition_bits = 3;
constexpr std::size_t split_size = 16;
#else
constexpr std::size_t initial_slots = 1024;
constexpr std::size_t cached_slots = 65536;
constexpr std::size_t spill_slots = std::size_t{1} << 18;
constexpr int partition_bits = 10;
constexpr std::size_t split_size = std::size_t{1} << 14;
#endif
static_assert(initial_slots < cached_slots, "a new table is probed directly");
// So a table probed directly never spills as it grows: a word that it has
// no slot for goes into it.
static_assert(spill_slots / 2 >= cached_slots, "a directly probed table grows without spilling");

bool full(const word_table& table)
{
    const std::size_t eighths_full = table.slot_count < cached_slots ? 3 : 6;
    return 8 * (table.count + 1) > eighths_full * table.slot_count;
}

// Appends an entry to the partitions of its form, which are opened, as one,
// at the first; and split once they hold split_size entries. The hash is
// only taken once there is more than one partition to choose from.
template <typename Kind, typename Hash>
[[gnu::always_inline]] inline void append_to(const token_set& tokens, partitions<Kind>& form,
                                             const void* packed, std::size_t size, Hash&& hash)
{
    const auto* entry = static_cast<const unsigned char*>(packed);
    if (!form.parts)
        open_partitions(form, tokens.key, 0, false);
    append_entry(form, form.bits ? hash_partition(hash(), form.bits) : 0, entry, size);
    if (form.bits == 0 && form.size >= split_size)
        split_partitions(form, partition_bits);
}

inline void append_word(token_set& tokens, std::uint64_t word)
{
    append_entry(tokens.words, hash_partition(mix_word(tokens.words.key, word), partition_bits),
                 reinterpret_cast<const unsigned char*>(&word), sizeof word);
}

// Moves the words of a table about to outgrow the caches into partitions,
// where every word to come goes too, and frees the table.
void spill(token_set& tokens)
{
    open_partitions(tokens.words, tokens.key, partition_bits, false);
    for_each_word(tokens.table, [&](std::uint64_t word) { append_word(tokens, word); });
    tokens.table = word_table();
    tokens.words_in = word_home::partitions;
}

// Out of the hot path: only a new word comes here, for the slot `free_slot`
// where it belongs, unless the table must first grow, spill or be rebuilt
// under a new key. A word still too far from home after a new key collides
// under every key: each further rebuild doubles the limit, until it no
// longer binds.
[[gnu::noinline]] void add_word(token_set& tokens, std::uint64_t word, std::uint64_t hash,
                                std::uint64_t* free_slot)
{
    word_table& table = tokens.table;
    for (int rekeys = 0;;) {
        if (full(table)) {
            if (2 * table.slot_count >= spill_slots) {
                spill(tokens);
                append_word(tokens, word);
                return;
            }
            rebuild_near_home(table, 2 * table.slot_count, table.key,
                              probe_limit(2 * table.slot_count));
        } else if (distance(table, hash, free_slot) > table.limit) {
            const std::size_t limit =
                ++rekeys >= 2 ? 2 * table.limit : probe_limit(table.slot_count);
            rebuild_near_home(table, table.slot_count, random_key(), limit);
            ++table.rekeys;
        } else {
            break;
        }
        hash = hash_word(table.key, word);
        free_slot = find_slot(table, hash, word);
    }
    *free_slot = word;
    ++table.count;
}

// Looks up a word of the pending batch, which the table may have spilled or
// been rebuilt under a new key since the word joined it.
void look_up(token_set& tokens, pending_word& pending)
{
    if (tokens.words_in == word_home::partitions) {
        append_word(tokens, pending.word);
        return;
    }
    if (pending.key_epoch != tokens.table.rekeys)
        pending.hash = hash_word(tokens.table.key, pending.word);
    if (std::uint64_t* slot = find_slot(tokens.table, pending.hash, pending.word); *slot == 0)
        add_word(tokens, pending.word, pending.hash, slot);
}

// Looks up the pending words, first asking for all their slots at once.
void look_up_pending(token_set& tokens)
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
[[gnu::noinline]] void batch_word(token_set& tokens, std::uint64_t word)
{
    word_table& table = tokens.table;
    if (table.slot_count == 0)
        rebuild_near_home(table, initial_slots, tokens.key, probe_limit(initial_slots));
    pending_word& next = tokens.pending[tokens.pending_count++];
    next = {hash_word(table.key, word), word, table.rekeys};
    if (table.slot_count < cached_slots || tokens.pending_count == std::size(tokens.pending))
        look_up_pending(tokens);
}

// A word that the table in the caches cannot take at once. Out of line, and
// apart from the table's growth and the longer tokens, so that the scanning
// loop holds the small table's lookup alone and a spilled word's way to its
// partition stays short.
[[gnu::noinline]] void insert_word_slowly(token_set& tokens, std::uint64_t word)
{
    if (tokens.words_in == word_home::table)
        batch_word(tokens, word);
    else
        append_word(tokens, word);
}

// A pair or a record, appended to the partitions of its form.
template <bool padded>
[[gnu::noinline]] void insert_longer(token_set& tokens, std::string_view token)
{
    if (token.size() <= pair_bytes) {
        const word_pair pair = pack_pair(token, padded);
        append_to(tokens, tokens.pairs, &pair, sizeof pair,
                  [&] { return hash_pair(tokens.pairs.key, pair); });
    } else {
        unsigned char record[max_record_size + record_slack];
        pack_record(token, record, padded);
        append_to(tokens, tokens.records, record, record_size(token.size()),
                  [&] { return hash_record(tokens.records.key, record); });
    }
}

// Stores `token`; `padded` when the 16 bytes at its start may all be read.
// The common case first: a word looked up at once in a small table.
template <bool padded> void insert(token_set& tokens, std::string_view token)
{
    if (token.empty()) {
        tokens.has_empty = true;
    } else if (token.size() <= word_bytes) {
        const std::uint64_t word =
            padded ? pack_padded_word(token.data(), token.size()) : pack_word(token);
        const word_table& table = tokens.table;
        if (table.slot_count == 0 || table.slot_count >= cached_slots) {
            insert_word_slowly(tokens, word);
            return;
        }
        const std::uint64_t hash = hash_word(table.key, word);
        if (std::uint64_t* slot = find_slot(tokens.table, hash, word); *slot == 0)
            add_word(tokens, word, hash, slot);
    } else {
        insert_longer<padded>(tokens, token);
    }
}

} // namespace

void insert_padded_token(token_set& tokens, std::string_view token)
{
    insert<true>(tokens, token);
}

void insert_token(token_set& tokens, std::string_view token)
{
    insert<false>(tokens, token);
}

// A table's words are distinct: the one partition they move to needs no
// deduplicating. Every form is opened, so that the listing finds one shape.
stored_tokens release(token_set& tokens)
{
    look_up_pending(tokens);
    if (tokens.words_in == word_home::table) {
        open_partitions(tokens.words, tokens.key, 0, true);
        for_each_word(tokens.table, [&](std::uint64_t word) {
            append_entry(tokens.words, 0, reinterpret_cast<const unsigned char*>(&word),
                         sizeof word);
        });
        tokens.table = word_table();
    }
    if (!tokens.pairs.parts)
        open_partitions(tokens.pairs, tokens.key, 0, true);
    if (!tokens.records.parts)
        open_partitions(tokens.records, tokens.key, 0, true);
    return {std::move(tokens.words), std::move(tokens.pairs), std::move(tokens.records),
            tokens.has_empty};
}
