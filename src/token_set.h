// SPDX-License-Identifier: MIT
// The set of distinct tokens found in the input.
//
//   word, pair, record  a token of 1 to 16, 17 to 32, or 33 to 1022 bytes,
//                       packed in the form of that name (packed_token.h),
//                       which it keeps from insertion to listing
//   table               the set's hash table of words (word_table.h)
//   partitions          a form's entries spread by hash (partitions.h)
//   spill               the move of the table's words into partitions once
//                       the table would outgrow the caches of a core
//   release             the hand-over of the set's tokens to the listing
//   bucket              a partition of the byte order, which the listing
//                       makes of every form (token_sort.h)
//
// A word is looked up in the table, which stays in the caches: at most
// three eighths full and probed directly while it is small, then three
// quarters full and looked up in batches of 64 whose slots are prefetched
// together, so that their cache misses overlap. When it would grow past
// spill_slots, its words spill to partitions, and every later word is
// appended there. Pairs and records go to partitions of their own form from
// the first; those are opened when the first such token comes. So a word
// costs a share of a slot, 11 to 22 bytes, until the spill, then 8 bytes
// and a few more where it recurs; a pair 16 bytes; a record its packed
// bytes and 2; and a token already present allocates nothing in the table
// and little in partitions, which deduplicate as they grow.
//
// Released, every set has the same shape: each form in partitions of its
// own, the table's words moved into one partition, and the empty token, which
// packs to nothing, as a flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "keyed_hash.h"
#include "partitions.h"
#include "word_table.h"

// A word waiting to be looked up in a table that no longer fits the caches.
struct pending_word {
    std::uint64_t hash;
    std::uint64_t word;
    std::size_t key_epoch; // the table's rekeys count that `hash` was taken under
};

// Where a set keeps its words: in the table until it spills them.
enum class word_home { table, partitions };

struct token_set {
    hash_key key = random_key();
    word_home words_in = word_home::table;
    word_table table;
    pending_word pending[64];
    std::size_t pending_count = 0;
    word_partitions words;
    pair_partitions pairs;
    record_partitions records;
    bool has_empty = false;
};

// The tokens a set hands over when it is released: every form in
// partitions, in no order, each token held once by its form but for
// duplicates that a partition still holds since it last deduplicated.
struct stored_tokens {
    word_partitions words;
    pair_partitions pairs;
    record_partitions records;
    bool has_empty = false;
};

// Stores `token`, a padded token of token bytes only and at most 1022 bytes
// long: one whose every byte may be read with the 15 that follow it,
// whatever its length, so that it is packed without a loop. Throws
// std::bad_alloc when memory runs out.
void insert_padded_token(token_set& tokens, std::string_view token);

// As insert_padded_token(), for a token that may not be read past. Used by
// tests.
void insert_token(token_set& tokens, std::string_view token);

// Hands every token over; the set is left with nothing but to be destroyed.
// Throws std::bad_alloc, since the words that wait in a batch are looked up
// first, which may grow the table or spill it.
stored_tokens release(token_set& tokens);
