// SPDX-License-Identifier: MIT
// The set and its shards, which the inserters (token_set.h) fill: entries
// staged for the shard their hash picks, the ways in of the one inserter of
// a set of one shard, which needs no staging, and the hand-over of the
// shards to the listing. The glossary is in token_set.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "forms/keyed_hash.h"
#include "runs/compaction.h"
#include "set/word_table.h"
#include "store/partitions.h"

// The tokens that a shard holds, and hands over when the set is released:
// every form in partitions, in no order, and the words and pairs of each
// batch that filled them in runs. A token may be held more than once: in
// several runs, and in a partition that has not deduplicated since it came
// again.
struct stored_tokens {
    word_partitions words;
    pair_partitions pairs;
    record_partitions records;
    form_runs word_runs;
    form_runs pair_runs;
    bool has_empty = false;
};

struct alignas(64) token_shard {
    std::mutex lock;
    stored_tokens tokens;
};

struct token_set {
    // A set for `threads` threads to fill at once. A set for one thread has
    // a single shard, which its one inserter at a time fills with no lock.
    // A shard writes its first run once it holds `compact_from` bytes of
    // entries of a form, or, if SIZE_MAX, its share of an eighth of the
    // memory the process may take.
    explicit token_set(std::size_t threads, std::size_t compact_from = SIZE_MAX);

    hash_key key = random_key(); // picks a shard, then a partition
    std::size_t shard_count;     // a power of two
    // The bytes of entries of a form that a shard gathers in its partitions
    // before it writes its first run, and the entries of a form it gathers
    // for each run after that.
    std::size_t compact_from;
    std::size_t word_batch;
    std::size_t pair_batch;
    std::unique_ptr<token_shard[]> shards;
    // The slabs of each form, which its partitions in every shard share,
    // made when its first entry comes.
    std::shared_ptr<slab_pool> word_slabs;
    std::shared_ptr<slab_pool> pair_slabs;
    std::shared_ptr<slab_pool> record_slabs;
    std::mutex pools_made; // over making them
    std::atomic<bool> has_empty = false;
    std::atomic<bool> words_spilled = false; // by some inserter's table
};

// One form's entries on their way to the shards, by shard, each shard's
// made when its first entry of the form comes.
template <typename Kind> struct staging {
    std::unique_ptr<std::unique_ptr<unsigned char[]>[]> bytes;
    std::unique_ptr<std::size_t[]> used; // bytes staged
};

// Stages a pair or a record for the shard that its hash picks, or a word;
// the one inserter of a set of one shard appends it at once. Throws
// std::bad_alloc when memory runs out.
template <typename Kind>
void stage_entry(token_set& set, staging<Kind>& stage, const unsigned char* entry,
                 std::size_t size);
void stage_word(token_set& set, staging<word_kind>& stage, std::uint64_t word);

// Sends every entry that `stage` holds to its shard.
template <typename Kind> void flush_all(token_set& set, staging<Kind>& stage);

// Writes the words that a shard's partitions hold as a run, and merges its
// runs where they hold many tokens more than once. Throws std::bad_alloc
// when memory runs out.
void write_word_run(token_set& set, stored_tokens& tokens);

// Appends a spilled word to a set of one shard, whose words' partitions its
// one inserter opened, split, when it spilled.
inline void append_spilled_word(token_set& set, std::uint64_t word)
{
    stored_tokens& tokens = set.shards[0].tokens;
    append_entry(tokens.words, hash_partition(mix_word(set.key, word), tokens.words.bits),
                 reinterpret_cast<const unsigned char*>(&word), sizeof word);
    if (tokens.words.size >= tokens.word_runs.limit)
        write_word_run(set, tokens);
}

// Hands the words of a table that never spilled, which are distinct, to a
// set of one shard whose words have no partitions yet: into one, never
// deduplicated or split. Returns false, having done nothing, for any other
// set.
bool hand_in_distinct_words(token_set& set, const word_table& table);

// Empties the set, which no inserter may be filling.
void clear(token_set& tokens);

// Hands every token over, once every inserter has been drained: one
// stored_tokens a shard. The set is left with nothing but to be destroyed.
std::vector<stored_tokens> release(token_set& tokens);
