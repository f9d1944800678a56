// SPDX-License-Identifier: MIT
// The program's read loop: chunks in, diagnostics and the listing out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "forms/keyed_hash.h"
#include "read/read_buffer.h"
#include "scan/classify.h"
#include "system/memory_budget.h"

// Used by tests and the benchmark, to force what the machine would choose.
struct collect_options {
    // Threads to collect on; 0 for as many as the CPUs and the budget allow
    // (store/memory_policy.h).
    std::size_t threads = 0;
    // The least input worth a thread of its own.
    std::size_t min_range = least_threaded_input;
    // The classifying kernel; null for the widest the CPU has.
    classify_blocks classify = nullptr;
    // The bytes of slabs of a form that a shard fills before its first
    // run; SIZE_MAX for what the memory policy gives it.
    std::size_t compact_from = SIZE_MAX;
    // The memory budget to keep, whose peak the caller may read after;
    // null for one of what the system allows, less a margin
    // (store/memory_policy.h).
    memory_budget* budget = nullptr;
    // The CPUs to plan threads for; 0 for those the process may use, as its
    // affinity and its cgroups' CPU quota allow.
    std::size_t cpus = 0;
    // The set's hash key; none for one drawn at random.
    std::optional<hash_key> key = std::nullopt;
};

// Reads `in` to its end in the chunks that fgets() into a 1024-byte buffer
// would give, scans each one, writes "End of line\n" to `err` for every
// chunk without a list, and finally lists the distinct tokens on `out`.
// A large regular file is read from its current offset in ranges on
// several threads, and its offset left at its end, as a single reader would
// leave it; anything else is read by one thread and collected on several.
// Failures are reported on `err` as "tokcollect: ...". Returns the exit
// status: 0, or 1 after a failure.
int collect_tokens(int in, int out, int err, const collect_options& options = {});
