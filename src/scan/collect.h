// SPDX-License-Identifier: MIT
// Filling a token set: the tokens that the scanner cuts from each chunk,
// inserted as they are found.
#pragma once

#include <cstddef>

#include "scan/classify.h"
#include "set/token_inserter.h"

// Inserts the tokens of every chunk of bytes[0, end), the last one ending
// at `end`, through `inserter`, after classifying them into `masks` with
// classify_input(). `bytes` needs the room that classify_input() does, and
// `masks` one block more, which the scanner reads. Returns how many of the
// chunks hold no list.
std::size_t collect_bytes(char* bytes, std::size_t end, block_masks* masks,
                          classify_blocks classify, token_inserter& inserter);

// As collect_bytes(), for the whole chunks of bytes[0, end) only; the rest,
// which may go on in input not yet read, moves to the front, and `end`
// becomes its size.
std::size_t collect_whole_chunks(char* bytes, std::size_t& end, block_masks* masks,
                                 classify_blocks classify, token_inserter& inserter);
