// SPDX-License-Identifier: MIT
// The token table: lookups, growth, rebuilds under a new key, and the arena
// of long tokens.
#include "token_set.h"

#include <algorithm>
#include <bit>
#include <new>

#include "huge_pages.h"

namespace
{

// The slot encoding: a free slot is 0; a packed word has a top nibble of 1
// to 11; a long token's slot is the tag, hash bits and the record's offset.
constexpr std::uint64_t long_tag = std::uint64_t{0xF} << 60;
constexpr int tag_bits = 4, hash_bits = 20, offset_bits = 40;
static_assert(tag_bits + hash_bits + offset_bits == 64, "a long slot's fields fill its word");
constexpr std::uint64_t offset_mask = (std::uint64_t{1} << offset_bits) - 1;

bool is_long_slot(std::uint64_t slot)
{
    return slot >> (64 - tag_bits) == 0xF;
}

constexpr std::size_t initial_slots = 1024;
// A table of up to this many slots (512 KiB) stays in the caches. It is kept
// sparse, to shorten probes, and probed directly, since batching only pays
// for lookups that miss the caches.
constexpr std::size_t cached_slots = 65536;
// A table that would grow to this many slots (2 MiB) no longer fits the
// caches of a core, and costs a cache miss a lookup: its words go to
// partitions instead (word_partitions.h). Below it, words that recur are
// cheaper to look up than to append again.
constexpr std::size_t spill_slots = std::size_t{1} << 18;

// With random hashes the longest probe in a table of 2^k slots, three
// quarters full, is about 10 k; a limit three times that is reached only by
// crafted input or extraordinary bad luck.
std::size_t base_probe_limit(std::size_t slot_count)
{
#ifdef TOKCOLLECT_FIXED_KEY
    return slot_count;
#else
    return 32 * static_cast<std::size_t>(std::bit_width(slot_count));
#endif
}

std::uint64_t hash_record(const hash_key& key, const unsigned char* record)
{
    std::uint64_t hash = key.seed ^ record_length(record);
    for (std::size_t i = 0, words = (record_length(record) + word_bytes - 1) / word_bytes;
         i < words; ++i)
        hash = fold_multiply(hash ^ record_word(record, i), key.multiplier);
    return hash;
}

std::uint64_t hash_of(const hash_key& key, const pending_token& token)
{
    return token.record ? hash_record(key, token.record) : hash_word(key, token.word);
}

std::size_t home_slot(std::uint64_t hash, std::size_t slot_count)
{
    return hash >> (std::countl_zero(slot_count) + 1);
}

std::uint64_t long_slot(std::uint64_t hash, std::uint64_t offset)
{
    return long_tag | (hash & ((std::uint64_t{1} << hash_bits) - 1)) << offset_bits | offset;
}

// calloc() takes large blocks straight from the kernel, already zeroed.
std::uint64_t* zeroed_slots(std::size_t count)
{
    void* block = std::calloc(count, sizeof(std::uint64_t));
    if (!block)
        throw std::bad_alloc();
    advise_huge_pages(block, count * sizeof(std::uint64_t));
    return static_cast<std::uint64_t*>(block);
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

// A new table being filled: words are placed 64 at a time, their home
// slots prefetched first, so that the cache misses of a large table overlap.
struct refill {
    std::uint64_t* slots;
    std::size_t slot_count;
    std::size_t limit;
    std::uint64_t hashes[64] = {};
    std::uint64_t words[64] = {};
    std::size_t size = 0;
};

// Places the waiting words, none of which is in the table yet; false when
// one would land more than the limit away from home.
bool place_all(refill& table)
{
    for (std::size_t i = 0; i < table.size; ++i)
        __builtin_prefetch(&table.slots[home_slot(table.hashes[i], table.slot_count)]);
    for (std::size_t i = 0; i < table.size; ++i) {
        std::size_t at = home_slot(table.hashes[i], table.slot_count);
        for (std::size_t probes = 0; table.slots[at] != 0; at = (at + 1) & (table.slot_count - 1))
            if (++probes > table.limit)
                return false;
        table.slots[at] = table.words[i];
    }
    table.size = 0;
    return true;
}

bool place(refill& table, std::uint64_t hash, std::uint64_t word)
{
    table.hashes[table.size] = hash;
    table.words[table.size++] = word;
    return table.size < std::size(table.words) || place_all(table);
}

// Moves every token into a new table of `slot_count` slots under `key`.
// Gives up, leaving the set as it was, when one would land more than
// `limit` slots from home.
bool rebuild(token_set& tokens, std::size_t slot_count, const hash_key& key, std::size_t limit)
{
    decltype(token_set::slots) slots(zeroed_slots(slot_count), std::free);
    refill table{slots.get(), slot_count, limit};
    for (std::size_t i = 0; i < tokens.slot_count; ++i) {
        const std::uint64_t word = tokens.slots[i];
        if (word != 0 && !is_long_slot(word) && !place(table, hash_word(key, word), word))
            return false;
    }
    // The arena holds each long token once, so its records can be walked in order.
    const unsigned char* arena = tokens.arena.bytes.get();
    for (std::size_t at = 0; at < tokens.arena.used; at += record_size(record_length(arena + at))) {
        const std::uint64_t hash = hash_record(key, arena + at);
        if (!place(table, hash, long_slot(hash, at)))
            return false;
    }
    if (!place_all(table))
        return false;
    tokens.slots = std::move(slots);
    tokens.slot_count = slot_count;
    tokens.probe_limit = limit;
    return true;
}

// Rebuilds with `key`, or with new keys until every token lies within
// `limit` of home. Only tokens that collide under every key could fail
// twice; for them the limit doubles until it no longer binds.
void rebuild_near_home(token_set& tokens, std::size_t slot_count, hash_key key, std::size_t limit)
{
    for (int tries = 1; !rebuild(tokens, slot_count, key, limit); ++tries) {
        key = random_key();
        ++tokens.rekeys;
        if (tries >= 2)
            limit *= 2;
    }
    tokens.key = key;
}

bool full(const token_set& tokens)
{
    const std::size_t eighths_full = tokens.slot_count < cached_slots ? 3 : 6;
    return 8 * (tokens.count + 1) > eighths_full * tokens.slot_count;
}

// Moves the words out of a table about to outgrow the caches into
// partitions, where every word to come goes too; the long tokens stay.
void spill_words(token_set& tokens)
{
    open_partitions(tokens.words, tokens.key);
    for (std::size_t i = 0; i < tokens.slot_count; ++i) {
        std::uint64_t& slot = tokens.slots[i];
        if (slot != 0 && !is_long_slot(slot)) {
            append_word(tokens.words, hash_word(tokens.words.key, slot), slot);
            slot = 0;
            --tokens.count;
        }
    }
    // Emptied slots broke the long tokens' probe runs: place them anew.
    rebuild_near_home(tokens, tokens.slot_count, tokens.key, tokens.probe_limit);
}

void grow(token_set& tokens)
{
    if (!tokens.words.parts && 2 * tokens.slot_count >= spill_slots) {
        spill_words(tokens);
        if (!full(tokens))
            return;
    }
    const std::size_t slot_count = tokens.slot_count == 0 ? initial_slots : 2 * tokens.slot_count;
    rebuild_near_home(tokens, slot_count, tokens.key, base_probe_limit(slot_count));
}

// A slot can refer to no record beyond 2^40 bytes of them: as good as out of
// memory.
std::uint64_t store_long(token_set& tokens, const unsigned char* record)
{
    if (tokens.arena.used + record_size(record_length(record)) > offset_mask)
        throw std::bad_alloc();
    return store_record(tokens.arena, record);
}

// Sends a word to the partitions, once the set has spilled its words there.
bool spilled(token_set& tokens, const pending_token& token)
{
    if (token.record || !tokens.words.parts)
        return false;
    append_word(tokens.words, hash_word(tokens.words.key, token.word), token.word);
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
            rebuild_near_home(tokens, tokens.slot_count, random_key(), limit);
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
        __builtin_prefetch(&tokens.slots[home_slot(tokens.pending[i].hash, count)]);
    for (std::size_t i = 0; i < tokens.pending_count; ++i)
        insert_pending(tokens, tokens.pending[i]);
    tokens.pending_count = 0;
    tokens.pending_records_used = 0;
}

// Stores `token`; `padded` when the 16 bytes at its start may all be read.
template <bool padded> void insert(token_set& tokens, std::string_view token)
{
    if (token.empty()) {
        tokens.has_empty = true;
        return;
    }
    // The common cases first: a short token looked up at once in a small
    // table, or appended to a partition.
    if (token.size() <= word_bytes && tokens.slot_count != 0 &&
        (tokens.slot_count < cached_slots || tokens.words.parts)) {
        const std::uint64_t word =
            padded ? pack_padded_word(token.data(), token.size()) : pack_word(token);
        if (tokens.words.parts) {
            append_word(tokens.words, hash_word(tokens.words.key, word), word);
            return;
        }
        const std::uint64_t hash = hash_word(tokens.key, word);
        if (std::uint64_t* slot = find_word(tokens, hash, word); *slot == 0)
            add_new_word(tokens, word, hash, slot);
        return;
    }
    pending_token& next = tokens.pending[tokens.pending_count++];
    if (token.size() <= word_bytes) {
        next.word = padded ? pack_padded_word(token.data(), token.size()) : pack_word(token);
        next.record = nullptr;
    } else {
        unsigned char* record = tokens.pending_records + tokens.pending_records_used;
        pack_record(token, record);
        tokens.pending_records_used += record_size(token.size());
        next.word = 0;
        next.record = record;
    }
    next.hash = hash_of(tokens.key, next);
    next.key_epoch = tokens.rekeys;
    if (tokens.slot_count < cached_slots || tokens.pending_count == std::size(tokens.pending))
        insert_all_pending(tokens);
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
    stored_tokens stored{std::move(tokens.slots),   word_count,
                         std::move(tokens.words),   std::move(tokens.arena),
                         tokens.count - word_count, tokens.has_empty};
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
