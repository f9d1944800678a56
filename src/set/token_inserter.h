// SPDX-License-Identifier: MIT
// The set of distinct tokens found in the input: one for the whole process,
// which every thread that collects fills through an inserter of its own. The
// words below keep one meaning each across the program.
//
//   form        word, pair or record: a token of 1 to 16, 17 to 32, or 33
//               to 1022 bytes, packed in the form of that name, which it
//               keeps from insertion to listing (forms.h)
//   limb        64 bits of a packed token, 16 of its bytes
//               (packed_token.h): a word is one, a pair two
//   entry       a packed token where a slab or a staging holds it
//   inserter    one thread's way into the set: its table and its
//               staging
//   table       an inserter's hash table of words (word_table.h), which
//               drops the thread's repeats in its caches
//   pending     the words that a large table looks up 64 at a time, their
//               slots prefetched together
//   spill       the move of a table's words toward the shards once the
//               table would outgrow the caches of a core, or finds most
//               words new there
//   staging     an inserter's entries on their way to the shards, up to
//               eight slabs' worth for each shard and form
//   shard       a part of the set by hash, under a lock of its own, that
//               holds each form in partitions, and in runs once it is
//               large (token_set.h, shard_forms.h)
//   partition   a chain of slabs that holds entries of one form, chosen by
//               hash while the set is filled (partitions.h)
//   turn        a partition's spell of taking every entry of its form in
//               a shard, while deduplicating finds them distinct
//   slab        a few KiB of entries, from the pool of its form
//   pool        the slabs of one form, which every shard shares, in
//               extents that never move (slab_pool.h)
//   scratch     memory that a form's partitions or runs keep to use again:
//               deduplicating's slots, a batch's sort room
//   batch       the entries of a form that a shard's partitions gather
//               before they are written as a run
//   run         a batch sorted, each token once, and each written as what
//               it does not share with the one before; a restart is one
//               that shares nothing, where reading may start (run_reader.h,
//               compaction.h)
//   release     the hand-over of the set's tokens to the listing
//   bucket      a partition chosen by the byte order, which the listing
//               makes of every form (bucket_sort.h)
//   stretch     a range of buckets that one thread of the listing sorts
//               and writes (listing.h)
//   budget      the memory the process may take, counted as it is taken
//               (memory_budget.h): what the policy plans by, and a
//               ceiling past which taking fails (memory_policy.h)
//   share       the bytes of the budget that one structure holds, which
//               go back with it (budget_share)
//   limit       a bound that the system sets on the process: its cgroups'
//               memory and CPU limits, and its resource limits (limits.h)
//   block       64 bytes of input, which the classifier turns into masks
//               (classify.h)
//
// A word is looked up in its inserter's table, which stays in the caches:
// at most three eighths full and probed directly while it is small, then
// three quarters full and looked up 64 at a time, the pending words' slots
// prefetched together, so that their cache misses overlap. When it would grow
// past largest_slots, or past the size probed directly while fewer than half
// its pending lookups found the word there, its words spill to the shards,
// and every later word of that inserter goes there too. Pairs and records go
// to the shards from the first. An entry for the shards waits in the
// inserter's staging until four slabs' worth for its shard have come, and
// then goes in with one lock, if no other thread holds it, or else once the
// staging is full; so threads seldom wait at a lock, and a shard's cache
// lines move between cores once for thousands of entries. A shard's
// partitions deduplicate as they grow, so a token that many threads meet is
// held there about once, however many threads met it: at most twice between
// two deduplications where tokens recur, and where they seldom do, as often
// as it came while its partitions grew 64 times. A set for one thread has one
// shard and no staging: its inserter appends at once.
//
// So a thread holds at most its table (1 MiB, freed at the spill), its 64
// pending words, and its staging: 32 KiB for each shard and form that it
// has sent tokens of, 0.5 MiB a form with 16 shards, whose words are staged
// only once the table is gone; 2 MiB in all (most_inserter_bytes), and
// 2.8 MiB with its stack and the buffers it reads input into. The shards,
// 16 at most, grow with the distinct tokens alone.
// A word costs part of a slot in a table, 11 to 22 bytes, and 8 bytes
// and a few more where it recurs in the shards; a pair 16 bytes; a record
// its packed bytes and 2; the empty token, which packs to nothing, is a
// flag.
//
// Runs cost a sort at their writing and a decoding at the listing, so a
// shard writes them only once its partitions of a form hold an eighth of
// the budget, divided among the shards, and only where their deduplicating
// finds that tokens do not recur; or once half the budget is taken,
// whatever they do. From then on a batch of the form goes into a run as it
// fills (memory_policy.h).
//
// Released, the set is one shard_forms a shard, of one shape: each form
// in partitions of its own, all of a form from one pool, and in runs. No
// token is in two shards, so the listing cuts them into buckets side by
// side, on threads, with no merge.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "forms/forms.h"
#include "set/token_set.h"
#include "set/word_table.h"

// A word waiting to be looked up in a table that no longer fits the caches.
struct pending_word {
    std::uint64_t hash;
    std::uint64_t word;
    std::size_t key_epoch; // the table's rekeys count that `hash` was taken under
};

// Where an inserter keeps its words: in the table until it spills them,
// then in the one shard of a set of one shard, or else staged for the
// shards.
enum class word_home { table, own_shard, shards };

struct token_inserter {
    explicit token_inserter(token_set& set) : set(set) {}

    token_set& set;
    word_home words_in = word_home::table;
    word_table table;
    std::size_t words_deferred = 0; // looked up as pending words
    pending_word pending[64];
    std::size_t pending_count = 0;
    stored_form<word_kind>* own_words = nullptr; // where words_in is own_shard
    per_form<staging> stages;
    bool has_empty = false;
};

// The most an inserter holds: its table, beside the staging of the forms
// that never go there for every shard, or, once the table has spilled, the
// staging of every form.
constexpr std::size_t most_inserter_bytes = [] {
    std::size_t staged = 0, words = 0;
    for_each_form([&](auto kind) {
        const std::size_t form = max_shards * (stage_bytes<decltype(kind)> + record_slack);
        staged += form;
        words = std::is_same_v<decltype(kind), word_kind> ? form : words;
    });
    return std::max(staged, staged - words + largest_slots * sizeof(std::uint64_t));
}();

// Stores `token`, of token bytes only and at most 1022 bytes long, as the
// scanner hands it over: a view into the input, whose every byte may be
// read with the 15 that follow it, so that it is packed without a loop.
// Throws std::bad_alloc when memory runs out.
void insert_token(token_inserter& inserter, std::string_view token);

// Puts every token that `inserter` holds or stages into its set; the
// inserter is left with nothing but to be destroyed. Throws std::bad_alloc,
// since the pending words are looked up first, which may grow the table or
// spill it.
void drain(token_inserter& inserter);
