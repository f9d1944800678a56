// SPDX-License-Identifier: MIT
// Filling a token set: the tokens that the scanner cuts from each chunk,
// inserted as they are found.
#pragma once

#include <cstddef>

#include "classify.h"
#include "scanner.h"
#include "token_set.h"

// Inserts the tokens of every whole chunk of bytes[0, end) into `tokens`, as
// cut_chunks() takes them; the arguments and result are those of
// cut_chunks(). `bytes` may be read 16 bytes past `end`.
chunk_scan collect_chunks(const char* bytes, const block_masks* masks, std::size_t end, bool at_eof,
                          token_inserter& tokens);

// Inserts the tokens of every chunk of bytes[0, end) into `tokens`, the last
// one ending at `end`, after classifying them into `masks` with
// classify_input(). `bytes` needs the room that classify_input() does, and
// `masks` one block more, which the scanner reads. Returns how many of the
// chunks hold no list.
std::size_t collect_bytes(char* bytes, std::size_t end, block_masks* masks,
                          classify_blocks classify, token_inserter& tokens);

// collect_chunks() into `tokens`, in the form that read_chunks() calls.
inline auto chunk_collector(token_inserter& tokens)
{
    return [&tokens](const char* bytes, const block_masks* masks, std::size_t end, bool at_eof) {
        return collect_chunks(bytes, masks, end, at_eof, tokens);
    };
}
