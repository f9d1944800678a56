// SPDX-License-Identifier: MIT
// Collecting a regular file on several threads: the file is cut at newlines
// into ranges, each read with pread() into the set through an inserter of
// its own.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "scan/classify.h"
#include "set/token_inserter.h"

// The part of a file left to read, and how many threads should read it.
struct range_plan {
    std::size_t readers = 1;
    off_t start = 0;
    off_t end = 0;
};

// One reader, unless `fd` is a regular file with at least `min_range` bytes
// left for each of two readers; `threads` caps the readers.
range_plan plan_ranges(int fd, std::size_t threads, std::size_t min_range);

// What the ranges found, in file order. After a failed read only the ranges
// up to the failed one count.
struct file_collection {
    std::size_t lists_missing = 0;       // chunks without a list, before any failed read
    int read_error = 0;                  // errno of the failed read, or 0
    std::size_t missing_after_error = 0; // chunks without a list scanned after it
    off_t collected_to = 0;              // where the last range ends
};

// Cuts the file behind `fd` from `plan.start` to its last newline before
// `plan.end` into `plan.readers` ranges that end at newlines, and collects
// them with `classify` into `set` on as many threads. After a failed read
// the set holds what one reader would have collected before it, and no
// more. A file that changes meanwhile is read as it comes: a range ends
// early where the file does. Throws std::bad_alloc when memory runs out on
// any thread.
file_collection collect_ranges(int fd, const range_plan& plan, classify_blocks classify,
                               token_set& set);
