// SPDX-License-Identifier: MIT
// The set of distinct tokens found in the input.
//
// Every token is packed four bits a byte (packed_token.h) and stored once,
// in one open-addressing hash table with linear probing. A token of up to 16
// bytes is its slot's word; a longer one is a record in an arena that grows
// in place, and its slot holds a tag, hash bits and the record's offset. So
// a token costs its packed bytes and a share of one slot, 11 to 22 bytes
// plus half its length, and one already present allocates nothing.
//
// The table is at most three eighths full while it fits in the caches, and
// probed directly; larger, it is three quarters full and looked up in batches
// of 64 whose slots are prefetched together, so that the cache misses
// overlap. Before it outgrows the caches of a core, its words, and its
// tokens of 17 to 32 bytes as pairs of words, spill to hash partitions
// (word_partitions.h), which take every such token from then on; only the
// tokens longer than 32 bytes stay in the table.
//
// The hash is keyed with a secret drawn in every run. Should a token still
// land more than a few dozen slots times log2 of the table size away from
// its home slot, which random keys make vanishingly rare, the table is
// rebuilt under a new key, so that no input, however it was crafted, makes
// probes long.
//
// A slot holds a packed word, whose top nibble is 1 to 11, or refers to a
// long token's record: the tag 0xF, 20 bits of its hash, and the record's
// offset in the arena. Releasing the set hands its words and its arena over
// to the sort (stored_tokens.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "arena.h"
#include "keyed_hash.h"
#include "packed_token.h"
#include "stored_tokens.h"
#include "token_table.h"
#include "word_partitions.h"

// A token waiting to be looked up: a packed word, or a long token's record.
struct pending_token {
    std::uint64_t hash;
    std::uint64_t word;          // 0 for a long token
    const unsigned char* record; // the long token's record, else null
    std::size_t key_epoch;       // the rekeys count `hash` was taken under
};

// Tokens waiting to be looked up together, and the records of the long ones.
struct pending_batch {
    pending_token tokens[64];
    unsigned char records[64 * max_record_size + record_slack];
};

// The table's slots and key (token_table.h), and what waits to go in.
struct token_set : slot_table {
    std::size_t count = 0; // tokens in the table

    record_arena arena;    // long tokens' records
    word_partitions words; // where the words go once the table outgrows the caches
    pair_partitions pairs; // and the tokens of 17 to 32 bytes

    std::unique_ptr<pending_batch> pending; // taken at the first token that waits
    std::size_t pending_count = 0;
    std::size_t pending_records_used = 0;

    bool has_empty = false; // the empty token packs to nothing, so it is kept apart
};

// Stores `token`, which consists of token bytes only and is at most 1022
// bytes long, unless an equal token is already present. Throws
// std::bad_alloc when memory runs out.
void insert_token(token_set& tokens, std::string_view token);

// As insert_token(), for a padded token: one whose every byte may be read
// with the 15 that follow it, whatever its length, so that it is packed
// without a loop.
void insert_padded_token(token_set& tokens, std::string_view token);

// Hands every token over, and leaves the set empty. Gives memory back
// rather than taking any.
stored_tokens release(token_set& tokens);

// The hash under `key` by which the table places `token`, which is not empty.
std::uint64_t hash_token(const hash_key& key, std::string_view token);
