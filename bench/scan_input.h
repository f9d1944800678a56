// SPDX-License-Identifier: MIT
// Standard input read, classified and cut into chunks and lists as
// tokcollect does it on one core, for the benchmark's tools that stand
// beside it.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "read/read_buffer.h"
#include "scan/scanner.h"

inline read_buffer scan_input_buffer;
inline block_masks scan_input_masks[masks_per_buffer];

struct scanned_input {
    std::size_t lists_missing = 0; // chunks without a list
    bool read_failed = false;
};

// Calls on_token(token) for every token of standard input: what tokcollect
// does through cut_whole_chunks(), and at the end with the last chunk, here
// in one loop, so that on_token() is inlined into the scanning as
// tokcollect's insertion is.
template <typename OnToken>
[[gnu::always_inline]] inline scanned_input scan_input(OnToken&& on_token)
{
    read_buffer& input = scan_input_buffer;
    const classify_blocks classify = widest_classifier();
    scanned_input scanned;
    std::size_t end = 0;
    for (bool at_eof = false; !at_eof;) {
        const ssize_t n = read(0, input.bytes + end, buffer_size - end);
        at_eof = n <= 0;
        scanned.read_failed = n < 0;
        end += n > 0 ? static_cast<std::size_t>(n) : 0;
        const std::size_t whole = at_eof ? end : whole_chunks_end(input.bytes, end);
        char rest[max_chunk];
        std::memcpy(rest, input.bytes + whole, end - whole);
        classify_input(classify, input.bytes, whole, scan_input_masks);
        scanned.lists_missing += cut_chunks(input.bytes, scan_input_masks, whole, on_token);
        std::memcpy(input.bytes, rest, end - whole);
        end -= whole;
    }
    return scanned;
}
