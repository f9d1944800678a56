// SPDX-License-Identifier: MIT
// The set, which the inserters (token_inserter.h) fill: its shards, the
// entries staged for the shard their hash picks, the ways in of the one
// inserter of a set of one shard, which needs no staging, and the hand-over
// of the shards to the listing. The glossary is in token_inserter.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "forms/forms.h"
#include "forms/keyed_hash.h"
#include "set/shard_forms.h"
#include "set/word_table.h"
#include "store/memory_policy.h"
#include "store/slab_pool.h"
#include "system/memory_budget.h"

// Sixteen shards make it rare that two threads want one at once, on two
// threads or on 64; more cost the listing more in half-filled slabs than
// they save, and fewer cost more waits at the locks. A tight budget takes
// fewer (memory_policy.h).
constexpr std::size_t max_shards = 16;

// A stage holds eight slabs' worth, and is sent at four, so that a thread
// that finds its shard held goes on staging rather than wait, and a
// shard's cache lines move between cores once for thousands of entries.
template <typename Kind> constexpr std::size_t stage_bytes = 8 * slab_bytes<Kind>;

struct alignas(64) token_shard {
    std::mutex lock;
    shard_forms held;
};

template <typename Kind> using pool_of = std::shared_ptr<slab_pool>;

struct token_set {
    // A set for `threads` threads to fill at once, whose memory counts
    // against `budget`, if any. A set for one thread has a single shard,
    // which its one inserter at a time fills with no lock. A shard writes
    // its first run once its partitions' slabs of a form hold
    // `compact_from` bytes, or, if SIZE_MAX, the part of the budget that the
    // memory policy gives it (memory_policy.h).
    explicit token_set(std::size_t threads, memory_budget* budget = nullptr,
                       std::size_t compact_from = SIZE_MAX);

    hash_key key = random_key(); // picks a shard, then a partition
    std::size_t shard_count;     // a power of two
    memory_budget* budget;
    // The bytes of slabs of a form that a shard fills in its partitions
    // before it writes its first run, and the slabs of each form it fills
    // for each run after that.
    std::size_t compact_from;
    form_counts batch;
    std::unique_ptr<token_shard[]> shards;
    // The slabs of each form, which its partitions in every shard share,
    // made when its first entry comes.
    per_form<pool_of> pools;
    std::mutex pools_made; // over making them
    std::atomic<bool> has_empty = false;
    std::atomic<bool> words_spilled = false; // by some inserter's table
    std::atomic<bool> failed = false;        // memory ran out in a shard
};

// One form's entries on their way to the shards, by shard, each shard's
// made when its first entry of the form comes.
template <typename Kind> struct staging {
    std::unique_ptr<std::unique_ptr<unsigned char[]>[]> bytes;
    std::unique_ptr<std::size_t[]> used; // bytes staged
    budget_share share;                  // of all the shards' bytes
};

// Stages an entry of form Kind for the shard that its hash picks; the one
// inserter of a set of one shard appends it at once. Throws std::bad_alloc
// when memory runs out, or has run out in a shard on any thread.
template <typename Kind>
void stage_entry(token_set& set, staging<Kind>& stage, const unsigned char* entry,
                 std::size_t size);

// Sends every entry that `stage` holds to its shard. Throws std::bad_alloc
// as stage_entry() does.
template <typename Kind> void flush_all(token_set& set, staging<Kind>& stage);

// Writes the words that a shard's partitions hold as a run, where they do
// not recur, and merges its runs where they hold many tokens more than
// once. Throws std::bad_alloc when memory runs out.
void write_word_run(stored_form<word_kind>& words);

// The words of the one shard of a set of one shard, whose partitions it
// opens, split, for the words its one inserter spills. Throws
// std::bad_alloc when memory runs out.
stored_form<word_kind>& open_spilled_words(token_set& set);

// Whether a shard's form should write a run now: its partitions have
// filled the slabs they may, or hold a batch while the budget is pressed.
template <typename Kind> inline bool runs_due(const stored_form<Kind>& form)
{
    return form.parts.slabs >= form.runs.run_at ||
           (form.parts.slabs >= form.runs.batch && pressed(form.parts.pool->budget));
}

// Appends a spilled word to `words`, the one shard's of a set of one shard.
[[gnu::always_inline]] inline void append_spilled_word(stored_form<word_kind>& words,
                                                       std::uint64_t word)
{
    partitions<word_kind>& parts = words.parts;
    append_entry(parts,
                 partition_for(parts, sizeof word, [&] { return mix_limb(parts.key, word); }),
                 reinterpret_cast<const unsigned char*>(&word), sizeof word, [&] {
                     pace_turns(parts);
                     if (runs_due(words))
                         write_word_run(words);
                 });
}

// Hands the words of a table that never spilled, which are distinct, to a
// set of one shard whose words have no partitions yet: into one, never
// deduplicated or split. Returns false, having done nothing, for any other
// set.
bool hand_in_distinct_words(token_set& set, const word_table& table);

// Empties the set, which no inserter may be filling.
void clear(token_set& set);

// Hands every token over, once every inserter has been drained: a
// shard_forms for each shard that holds any. The set is left with nothing
// but to be destroyed.
std::vector<shard_forms> release(token_set& set);
