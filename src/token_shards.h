// SPDX-License-Identifier: MIT
// The set's shards (token_set.h), as the inserters reach them: entries
// staged for the shard their hash picks, and the ways in of the one
// inserter of a set of one shard, which needs no staging.
#pragma once

#include <cstddef>
#include <cstdint>

#include "token_set.h"

// Stages a pair or a record for the shard that its hash picks, or a word;
// the one inserter of a set of one shard appends it at once. Throws
// std::bad_alloc when memory runs out.
template <typename Kind>
void stage_entry(token_set& set, staging<Kind>& stage, const unsigned char* entry,
                 std::size_t size);
void stage_word(token_set& set, staging<word_kind>& stage, std::uint64_t word);

// Sends every entry that `stage` holds to its shard.
template <typename Kind> void flush_all(token_set& set, staging<Kind>& stage);

// Appends a spilled word to a set of one shard, whose words' partitions its
// one inserter opened, split, when it spilled.
inline void append_spilled_word(token_set& set, std::uint64_t word)
{
    word_partitions& words = set.shards[0].tokens.words;
    append_entry(words, hash_partition(mix_word(set.key, word), words.bits),
                 reinterpret_cast<const unsigned char*>(&word), sizeof word);
}

// Hands the words of a table that never spilled, which are distinct, to a
// set of one shard whose words have no partitions yet: into one, never
// deduplicated or split. Returns false, having done nothing, for any other
// set.
bool hand_in_distinct_words(token_set& set, const word_table& table);
