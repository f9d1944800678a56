// SPDX-License-Identifier: MIT
// The token table: lookups, growth, rebuilds under a new key, and the arena
// of long tokens.
#include "token_set.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "token_table.h"

namespace
{

constexpr std::size_t initial_slots = 1024;
// A table of up to this many slots (512 KiB) stays in the caches. It is kept
// sparse, to shorten probes, and probed directly, since batching only pays
// for lookups that miss the caches.
// A table that would grow to spill_slots slots (2 MiB) no longer fits the
// caches of a core, and costs a cache miss a lookup: its words go to
// partitions instead (word_partitions.h). Below it, words that recur are
// cheaper to look up than to append again. Built with small parts, the
// first growth spills, and every lookup is batched, as in a large table.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t cached_slots = 512;
constexpr std::size_t spill_slots = 2048;
#else
constexpr std::size_t cached_slots = 65536;
constexpr std::size_t spill_slots = std::size_t{1} << 18;
#endif

std::uint64_t hash_of(const hash_key& key, const pending_token& token)
{
    return token.record ? hash_record(key, token.record) : hash_word(key, token.word);
}

// The slot that holds `word`, or the free slot where it belongs.
std::uint64_t* find_word(token_set& tokens, std::uint64_t hash, std::uint64_t word)
{
    std::uint64_t* slots = tokens.slots.get();
    const std::size_t last = tokens.slot_count - 1;
    std::size_t i = home_slot(hash, tokens.slot_count);
    while (slots[i] != 0 && slots[i] != word)
        i = (i + 1) & last;
    return &slots[i];
}

// The slot that refers to a copy of `record`, or the free slot where it
// belongs. Hash bits in the slot spare most reads of the arena.
std::uint64_t* find_record(token_set& tokens, std::uint64_t hash, const unsigned char* record)
{
    std::uint64_t* slots = tokens.slots.get();
    const std::size_t last = tokens.slot_count - 1;
    const std::uint64_t wanted = long_slot(hash, 0);
    std::size_t i = home_slot(hash, tokens.slot_count);
    for (; slots[i] != 0; i = (i + 1) & last)
        if ((slots[i] & ~offset_mask) == wanted &&
            same_record(tokens.arena.bytes.get() + (slots[i] & offset_mask), record))
            break;
    return &slots[i];
}

std::uint64_t* find(token_set& tokens, const pending_token& token)
{
    return token.record ? find_record(tokens, token.hash, token.record)
                        : find_word(tokens, token.hash, token.word);
}

// How far `slot` lies past the home slot of `hash`.
std::size_t distance(const token_set& tokens, std::uint64_t hash, const std::uint64_t* slot)
{
    const auto index = static_cast<std::size_t>(slot - tokens.slots.get());
    return (index - home_slot(hash, tokens.slot_count)) & (tokens.slot_count - 1);
}

bool full(const token_set& tokens)
{
    const std::size_t eighths_full = tokens.slot_count < cached_slots ? 3 : 6;
    return 8 * (tokens.count + 1) > eighths_full * tokens.slot_count;
}

void append_word(token_set& tokens, std::uint64_t word)
{
    append_entry(tokens.words, hash_partition(hash_word(tokens.words.key, word)), word);
}

void append_pair(token_set& tokens, const word_pair& pair)
{
    append_entry(tokens.pairs, hash_partition(hash_entry(tokens.pairs.key, pair)), pair);
}

// Moves the records of tokens of up to 32 bytes out of the arena, into the
// pairs' partitions, and closes the gaps they leave.
void spill_pairs(token_set& tokens)
{
    unsigned char* arena = tokens.arena.bytes.get();
    std::size_t kept = 0;
    for (std::size_t at = 0, size; at < tokens.arena.used; at += size) {
        size = record_size(record_length(arena + at));
        if (record_length(arena + at) <= pair_bytes) {
            append_pair(tokens, record_pair(arena + at));
            --tokens.count;
        } else {
            std::memmove(arena + kept, arena + at, size);
            kept += size;
        }
    }
    tokens.arena.used = kept;
}

// Moves the words and the tokens of up to 32 bytes out of a table about to
// outgrow the caches into partitions, where every such token to come goes
// too; the longer tokens stay.
void spill_words(token_set& tokens)
{
    open_partitions(tokens.words, tokens.key);
    open_partitions(tokens.pairs, tokens.key);
    spill_pairs(tokens);
    for (std::size_t i = 0; i < tokens.slot_count; ++i) {
        std::uint64_t& slot = tokens.slots[i];
        if (slot != 0 && !is_long_slot(slot)) {
            append_word(tokens, slot);
            slot = 0;
            --tokens.count;
        }
    }
    // Emptied slots broke the long tokens' probe runs: place them anew.
    rebuild_near_home(tokens, tokens.arena, tokens.slot_count, tokens.key, tokens.probe_limit);
}

void grow(token_set& tokens)
{
    if (!tokens.words.parts && 2 * tokens.slot_count >= spill_slots) {
        spill_words(tokens);
        if (!full(tokens))
            return;
    }
    const std::size_t slot_count = tokens.slot_count == 0 ? initial_slots : 2 * tokens.slot_count;
    rebuild_near_home(tokens, tokens.arena, slot_count, tokens.key, base_probe_limit(slot_count));
}

// A slot can refer to no record beyond 2^40 bytes of them: as good as out of
// memory.
std::uint64_t store_long(token_set& tokens, const unsigned char* record)
{
    if (tokens.arena.used + record_size(record_length(record)) > offset_mask)
        throw std::bad_alloc();
    return store_record(tokens.arena, record);
}

// Sends a token of up to 32 bytes to the partitions, once the set has
// spilled its words there.
bool spilled(token_set& tokens, const pending_token& token)
{
    if (!tokens.words.parts)
        return false;
    if (!token.record)
        append_word(tokens, token.word);
    else if (record_length(token.record) <= pair_bytes)
        append_pair(tokens, record_pair(token.record));
    else
        return false;
    return true;
}

// Out of the hot path: only a new token comes here. A lookup walks no
// farther than where it would insert, so bounding how far from home a token
// is inserted bounds every probe.
[[gnu::noinline]] void add_new(token_set& tokens, pending_token& token, std::uint64_t* free_slot)
{
    for (int rekeys = 0;;) {
        if (full(tokens)) {
            grow(tokens);
            if (spilled(tokens, token))
                return;
        } else if (distance(tokens, token.hash, free_slot) > tokens.probe_limit) {
            // A token still too far after a new key collides under every
            // key: each further rebuild doubles the limit, until it no
            // longer binds.
            const std::size_t limit =
                ++rekeys >= 2 ? 2 * tokens.probe_limit : base_probe_limit(tokens.slot_count);
            rebuild_near_home(tokens, tokens.arena, tokens.slot_count, random_key(), limit);
            ++tokens.rekeys;
        } else {
            break;
        }
        token.hash = hash_of(tokens.key, token);
        token.key_epoch = tokens.rekeys;
        free_slot = find(tokens, token);
    }
    *free_slot =
        token.record ? long_slot(token.hash, store_long(tokens, token.record)) : token.word;
    ++tokens.count;
}

[[gnu::noinline]] void add_new_word(token_set& tokens, std::uint64_t word, std::uint64_t hash,
                                    std::uint64_t* free_slot)
{
    pending_token token{hash, word, nullptr, tokens.rekeys};
    add_new(tokens, token, free_slot);
}

void insert_pending(token_set& tokens, pending_token& token)
{
    if (spilled(tokens, token))
        return;
    if (tokens.slot_count == 0)
        grow(tokens);
    if (token.key_epoch != tokens.rekeys) {
        token.hash = hash_of(tokens.key, token);
        token.key_epoch = tokens.rekeys;
    }
    if (std::uint64_t* slot = find(tokens, token); *slot == 0)
        add_new(tokens, token, slot);
}

// Looks up the pending tokens, first asking for all their slots at once.
void insert_all_pending(token_set& tokens)
{
    const std::size_t count = tokens.slot_count;
    for (std::size_t i = 0; i < tokens.pending_count && count; ++i)
        __builtin_prefetch(&tokens.slots[home_slot(tokens.pending->tokens[i].hash, count)]);
    for (std::size_t i = 0; i < tokens.pending_count; ++i)
        insert_pending(tokens, tokens.pending->tokens[i]);
    tokens.pending_count = 0;
    tokens.pending_records_used = 0;
}

// The tokens that a small table cannot take at once: a spilled word, or
// one that waits in the batch. Out of line, so that the scanning loop holds
// the small table's lookup alone.
template <bool padded>
[[gnu::noinline]] void insert_slowly(token_set& tokens, std::string_view token)
{
    if (token.size() <= word_bytes && tokens.words.parts) {
        append_word(tokens,
                    padded ? pack_padded_word(token.data(), token.size()) : pack_word(token));
        return;
    }
    if (token.size() <= pair_bytes && tokens.words.parts) {
        append_pair(tokens, pack_pair(token, padded));
        return;
    }
    if (!tokens.pending)
        tokens.pending = std::make_unique_for_overwrite<pending_batch>();
    pending_token& next = tokens.pending->tokens[tokens.pending_count++];
    if (token.size() <= word_bytes) {
        next.word = padded ? pack_padded_word(token.data(), token.size()) : pack_word(token);
        next.record = nullptr;
    } else {
        unsigned char* record = tokens.pending->records + tokens.pending_records_used;
        pack_record(token, record);
        tokens.pending_records_used += record_size(token.size());
        next.word = 0;
        next.record = record;
    }
    next.hash = hash_of(tokens.key, next);
    next.key_epoch = tokens.rekeys;
    if (tokens.slot_count < cached_slots ||
        tokens.pending_count == std::size(tokens.pending->tokens))
        insert_all_pending(tokens);
}

// Stores `token`; `padded` when the 16 bytes at its start may all be read.
template <bool padded> void insert(token_set& tokens, std::string_view token)
{
    if (token.empty()) {
        tokens.has_empty = true;
        return;
    }
    // The common case first: a short token looked up at once in a small table.
    if (token.size() <= word_bytes && tokens.slot_count != 0 && tokens.slot_count < cached_slots) {
        const std::uint64_t word =
            padded ? pack_padded_word(token.data(), token.size()) : pack_word(token);
        const std::uint64_t hash = hash_word(tokens.key, word);
        if (std::uint64_t* slot = find_word(tokens, hash, word); *slot == 0)
            add_new_word(tokens, word, hash, slot);
        return;
    }
    insert_slowly<padded>(tokens, token);
}

} // namespace

void insert_token(token_set& tokens, std::string_view token)
{
    insert<false>(tokens, token);
}

void insert_padded_token(token_set& tokens, std::string_view token)
{
    insert<true>(tokens, token);
}

// The packed words move to the front of the table, which then shrinks to
// hold just them, so that what it gives back pays for the sort's scratch.
stored_tokens release(token_set& tokens)
{
    insert_all_pending(tokens);
    std::uint64_t* slots = tokens.slots.get();
    std::uint64_t* end = std::remove_if(slots, slots + tokens.slot_count, [](std::uint64_t slot) {
        return slot == 0 || is_long_slot(slot);
    });
    const auto word_count = static_cast<std::size_t>(end - slots);
    if (void* smaller = std::realloc(slots, std::max<std::size_t>(word_count, 1) * sizeof *slots)) {
        tokens.slots.release();
        tokens.slots.reset(static_cast<std::uint64_t*>(smaller));
    }
    stored_tokens stored{std::move(tokens.slots), word_count,
                         std::move(tokens.words), std::move(tokens.pairs),
                         std::move(tokens.arena), tokens.count - word_count,
                         tokens.has_empty};
    tokens = token_set();
    return stored;
}

std::uint64_t hash_token(const hash_key& key, std::string_view token)
{
    if (token.size() <= word_bytes)
        return hash_word(key, pack_word(token));
    unsigned char record[max_record_size + record_slack];
    pack_record(token, record);
    return hash_record(key, record);
}
