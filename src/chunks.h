// SPDX-License-Identifier: MIT
// The read loop of each range of a file (file_ranges.h): input is read
// 128 KiB at a time, classified 64 bytes at a time (classify.h), and handed
// on to be cut into chunks and tokens (by the scanner, scanner.h). A chunk
// that runs past the end of the bytes read waits for the next read, so the
// chunks are exactly those of line-at-a-time reading; and since chunks start
// afresh after every newline, a file cut at newlines gives, range by range,
// the same chunks as the whole.
#pragma once

#include <cstddef>
#include <cstring>
#include <sys/types.h>

#include "classify.h"

// Unread input, and its masks; the tail of what was read moves to the front
// before the next read. Left uninitialised, so that a short input touches
// only the pages it is read into: classify_input() defines what the scanner
// looks at past the input.
struct input_buffer {
    static constexpr std::size_t size = 1 << 17;
    // Room for the classifier to read the block past the last whole.
    alignas(64) char bytes[size + 64];
    // One more block, which the scanner reads past the last but never uses.
    block_masks masks[size / 64 + 2];
};

// Reads the input to its end through `buffer`, classifying each block with
// `classify`, and hands what it holds to cut(bytes, masks, end, at_eof),
// which cuts the whole chunks of bytes[0, end) as cut_chunks() does and
// returns its chunk_scan; calls no_lists(n) for the chunks without a list.
// read_block(to, room) reads the next block: it returns the bytes read, 0 at
// the end of the input, or -1 when the read failed, which ends the input
// just the same. Returns false after a failed read.
template <typename Cut, typename Read, typename NoLists>
bool read_chunks(input_buffer& buffer, classify_blocks classify, Cut&& cut, Read&& read_block,
                 NoLists&& no_lists)
{
    char* input = buffer.bytes;
    bool ok = true;
    std::size_t end = 0;
    for (bool at_eof = false;;) {
        const auto scanned = cut(input, buffer.masks, end, at_eof);
        if (scanned.lists_missing)
            no_lists(scanned.lists_missing);
        if (at_eof)
            return ok;
        end -= scanned.scanned_to;
        std::memmove(input, input + scanned.scanned_to, end);
        const ssize_t n = read_block(input + end, input_buffer::size - end);
        ok = ok && n >= 0;
        at_eof = n <= 0;
        end += n > 0 ? static_cast<std::size_t>(n) : 0;
        classify_input(classify, input, end, buffer.masks);
    }
}
