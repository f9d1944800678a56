// SPDX-License-Identifier: MIT
// Scanning a regular file on several threads: the file is cut at newlines
// into ranges, each scanned with pread() into a token set of its own.
#pragma once

#include <cstddef>
#include <sys/types.h>
#include <vector>

#include "classify.h"
#include "token_sort.h"

// What scanning one range found, its tokens sorted for the listing.
struct range_scan {
    sorted_tokens tokens;
    std::size_t lists_missing = 0;        // chunks without a list
    std::size_t missing_before_error = 0; // of them, those before a failed read
    int read_error = 0;                   // errno of the failed read, or 0
    bool out_of_memory = false;
};

// Cuts the file behind `fd` from `start` to its last newline before `end`
// into `count` ranges that end at newlines, and scans them with `classify`
// on as many threads. Returns the scans in file order and where the last
// range ends, from which a single reader takes over. A file that changes
// meanwhile is read as it comes: a range ends early where the file does.
std::vector<range_scan> scan_ranges(int fd, off_t start, off_t end, std::size_t count,
                                    classify_blocks classify, off_t& scanned_to);
