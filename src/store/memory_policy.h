// SPDX-License-Identifier: MIT
// How much memory the collector may take, and how it keeps within it.
//
// The budget. The memory the process may take is the least of its cgroups'
// limit, the machine's memory, and its address-space and data-segment
// limits (system/limits.h). The budget plans by that less a margin,
// margin_bytes and one part in margin_divisor of it, for what is not
// counted: the program's own code and stacks, the C library's small
// allocations, page tables, and the pipe it reads. Everything that grows
// with the input or the threads counts against the budget
// (system/memory_budget.h): the set's slabs and runs, their scratch, the
// inserters' tables and staging, the read buffers and the listing's room.
// Where counting would pass the budget's ceiling, the collector ends with
// "out of memory" before anything is listed, where the kernel would kill
// it. The ceiling is found alike, but for the address-space and
// data-segment limits: past those a mapping fails, which ends the
// collector so too, and as they count the code and the libraries that the
// budget does not, a ceiling from them would refuse what they allow.
//
// Threads. Each thread that collects holds some of its own: its stack,
// which counts against the budget before the thread starts, its input
// buffers, its table and its staging, up to 2.8 MiB. No more threads
// collect than keep that to one part in thread_divisor of the budget, and a
// regular file that runs out of memory on several is collected again on
// one, so that more CPUs never fail where one lists. On more than one
// thread the set is cut into shards, but into no more than leave each
// shard_bytes of the budget before its first run: a shard's runs hold the
// tokens of its own hashes alone, so more shards make sparser runs and
// smaller batches, whose overheads the budget does not see. Once a shard's
// partitions split, they take a slab each at once, so they split into no
// more than fill partition_slabs slabs each before the first run.
//
// Deduplicating. A partition drops its repeats once it has grown
// dedup_growth times since it last did, sparse_dedup_growth times where
// that found fewer than one entry in sparse_repeats_divisor repeated, and
// distinct_dedup_growth times where it found fewer than one in
// distinct_repeats_divisor: then deduplicating again soon would find
// little, and sorting drops the repeats left. Tokens that recur across the
// input, such as paths, still find one in 64 repeated early on. Where all
// of a form's partitions in a shard find so few, they take turns for as
// long as distinct_dedup_growth allows one of them (partitions.h).
//
// Huge pages. They spare a large set most of its page faults and TLB
// misses, but one is resident whole once touched, however little of it is
// used: the slabs' extents are backed by them only where the budget is
// huge_pages_from or more.
//
// When runs start. Runs cost a sort at their writing and a decoding at the
// listing, so a shard writes them for a form only once its partitions hold
// the budget over first_run_divisor, divided among the shards, and only where
// deduplicating finds fewer than one token in recurring_divisor repeated:
// until then tokens cost what they always did. Once the process has taken
// one part in pressure_divisor of its budget, a shard writes its next batch
// of any form as a run, recurring or not, and merges drop the repeats.
//
// How large a batch is. A slab for each of the partitions over all the
// shards: enough that a run shares long prefixes, few enough that the
// partitions hold a small part of the set; but no more than one part in
// batch_divisor of what a shard gathers before its first run, so that the
// room to sort a batch stays small beside the budget. Once runs are
// written, partitions only gather a batch, so a shard's partitions of a
// form become as few as let each fill partition_slabs slabs of a batch:
// else the batch would fill as each took its first slab. Where most of a
// batch was in the runs already, the batch doubles, up to most_doublings
// times, which drops more repeats in the partitions. A batch is cut into
// buckets of the byte order of some 2^batch_bucket_bits entries, which sort
// in the caches of a core.
//
// When runs merge. Once run_fanout runs of one level are written, they
// merge into one of the next, so that the listing reads a few hundred at
// most; and every run of a shard's form merges once a sample of their
// tokens, one in sample_rate, says that one in repeats_divisor of what they
// hold is a repeat. A merge takes buckets of some 2^merge_bucket_bits
// tokens at a time, whose room is small beside a tight budget.
//
// The listing. Its threads' room to sort a bucket costs no more than the
// tokens do, or least_listing_room, where a few buckets of a small set hold
// most of them; and no more than the budget has left.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/limits.h"
#include "system/memory_budget.h"

constexpr std::size_t margin_bytes = std::size_t{4} << 20;
constexpr std::size_t margin_divisor = 64;
constexpr std::size_t thread_divisor = 4;
constexpr std::size_t shard_bytes = std::size_t{1} << 20;
constexpr std::size_t first_run_divisor = 8;
constexpr std::size_t recurring_divisor = 8;
constexpr std::size_t pressure_divisor = 2;
constexpr std::size_t batch_divisor = 8;
constexpr std::size_t repeats_divisor = 4;
constexpr std::size_t most_doublings = 16;
constexpr std::size_t partition_slabs = 4;
constexpr std::size_t dedup_growth = 2;
constexpr std::size_t sparse_dedup_growth = 8;
constexpr std::size_t sparse_repeats_divisor = 8;
constexpr std::size_t distinct_dedup_growth = 64;
constexpr std::size_t distinct_repeats_divisor = 64;
constexpr std::size_t huge_pages_from = std::size_t{1} << 30;
constexpr int batch_bucket_bits = 13;
constexpr int merge_bucket_bits = 11;
constexpr std::size_t least_listing_room = std::size_t{8} << 20;
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t run_fanout = 4;
constexpr std::size_t sample_rate = 2;
#else
constexpr std::size_t run_fanout = 256;
constexpr std::size_t sample_rate = 512;
#endif

// What the budget plans by, and its ceiling, for a process within `limits`.
std::size_t planned_for(const process_limits& limits);
std::size_t ceiling_for(const process_limits& limits);

// The threads to collect on, of `cpus`, within a budget that plans by
// `planned` bytes, where each holds up to `thread_bytes` of its own.
std::size_t threads_within(std::size_t cpus, std::size_t planned, std::size_t thread_bytes);

// The shards, a power of two from 2 up to `most`, of a set that several
// threads fill within a budget that plans by `planned` bytes.
std::size_t shards_within(std::size_t planned, std::size_t most);

// The bytes of a form's slabs that one of `shards` fills before its first
// run, within a budget that plans by `planned` bytes.
std::size_t first_run_bytes(std::size_t planned, std::size_t shards);

// The slabs of a batch of a form in one of `shards`, whose partitions over
// all the shards number `partitions`, and which fills `first_slabs` before
// its first run.
std::size_t batch_slabs(std::size_t partitions, std::size_t shards, std::size_t first_slabs);

// The bits of the most partitions, 2^bits, of which a batch of `slabs`
// fills partition_slabs slabs each.
int partition_bits_for(std::size_t slabs);

// Whether the process has taken so much of `budget` that every batch goes
// into a run.
inline bool pressed(const memory_budget* budget)
{
    return budget &&
           budget->used.load(std::memory_order_relaxed) > budget->planned / pressure_divisor;
}

// Whether entries are worth writing as runs while the budget is not
// pressed: where deduplicating `size` of them plus `dropped` found few
// repeats, for where tokens recur, partitions would gather them again and
// hold them beside the runs.
inline bool worth_runs(std::size_t size, std::size_t dropped)
{
    return recurring_divisor * dropped < size + dropped;
}

// Whether all the runs that hold `held` tokens should merge, a sample of
// whose `repeats` came again.
inline bool merge_all(std::size_t repeats, std::size_t held)
{
    return repeats_divisor * sample_rate * repeats >= held;
}
