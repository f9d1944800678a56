// SPDX-License-Identifier: MIT
// Compaction: how a shard keeps a form's tokens once they are many. A batch
// that fills a form's partitions is sorted, its repeats dropped, and
// written as a run (run_reader.h); runs of one level merge once they are
// many, and every run merges once they hold many tokens more than once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "forms/keyed_hash.h"
#include "runs/run_reader.h"
#include "store/memory_policy.h"
#include "store/partitions.h"

// A shard's runs of one form, and what it keeps to write and merge them: a
// sample of the tokens they hold, one in sample_rate by a keyed hash, which
// tells how many of them the batches since the last merge brought again,
// and room to sort a batch in.
struct form_runs {
    std::vector<token_run> runs;       // the levels of their merges descending
    std::size_t held = 0;              // tokens in the runs
    std::vector<std::uint64_t> sample; // open addressing; 0 is a free slot
    budget_share sample_share;
    std::size_t sampled = 0;       // hashes in the sample
    std::size_t repeats = 0;       // sampled again since the last merge
    std::size_t batch_sampled = 0; // in the last batch
    std::size_t batch_repeats = 0;
    std::size_t batch = 0;           // slabs of a batch, once the first run is written
    std::size_t batch_doublings = 0; // since most of a batch was held already
    std::size_t run_at = 0;          // slabs in the partitions that write a run
    scratch sort_room;
};

// Writes the entries that `parts` holds as runs, as many as keep the room
// to sort them that of one batch, sampled under the partitions' key, and
// empties `parts`, which keeps its partitions; merges runs where they are
// many or hold many tokens more than once (memory_policy.h); and sets the
// slabs at which `parts` writes its next run. All of it counts against the
// budget of the partitions' pool. Throws std::bad_alloc when memory runs
// out, when tokens may be lost: nothing is listed then.
template <typename Kind> void write_runs(partitions<Kind>& parts, form_runs& runs);
