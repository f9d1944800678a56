// SPDX-License-Identifier: MIT
// Classifying input 64 bytes at a time: each block of input becomes one
// mask per kind of byte that the scanner looks for, bit i standing for the
// block's byte i. The kernels differ only in the instructions that compare
// bytes and gather the bits; the program picks the widest one the CPU has,
// once, and the tests run every one the CPU can.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

// Tokens are made of the slash and the ten digits, bytes 0x2F to 0x39.
constexpr bool is_token_char(unsigned char c)
{
    return c >= '/' && c <= '9';
}

// The whitespace of isspace() in the POSIX locale: blank, \t, \n, \v, \f, \r.
constexpr bool is_list_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A NUL ends a chunk, so it is in both the masks that end a search.
struct block_masks {
    std::uint64_t newline; // '\n'
    std::uint64_t opener;  // '[' or NUL
    std::uint64_t closer;  // ']' or NUL
    std::uint64_t token;   // is_token_char()
    std::uint64_t other;   // neither a token byte nor is_list_space()
};

// Fills masks[0, blocks) from the 64 * `blocks` bytes at `bytes`.
using classify_blocks = void (*)(const char* bytes, std::size_t blocks, block_masks* masks);

// Classifies bytes[0, end) and the block after them, whose bytes it first
// zeroes with the rest of the last block: the scanner reads those masks and
// up to 16 bytes past `end`, though it uses none of them. `bytes` must reach
// 64 bytes past `end` rounded up to a whole block, and `masks` as many blocks.
inline void classify_input(classify_blocks classify, char* bytes, std::size_t end,
                           block_masks* masks)
{
    const std::size_t blocks = (end + 63) / 64 + 1;
    std::memset(bytes + end, 0, 64 * blocks - end);
    classify(bytes, blocks, masks);
}

struct classifier {
    const char* name;
    classify_blocks classify;
};

// The kernels this CPU can run, the widest first; the portable one, last, runs
// anywhere.
std::span<const classifier> usable_classifiers();

// The widest kernel this CPU can run, which the program uses.
classify_blocks widest_classifier();
