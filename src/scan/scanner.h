// SPDX-License-Identifier: MIT
// The list scanner: cuts input into chunks, and the first bracketed list of
// each chunk into tokens. It does no I/O and keeps no state between calls.
//
// A chunk is what fgets() into a 1024-byte buffer would read: a line of up
// to 1023 bytes with its newline, otherwise the next 1023 bytes of the line,
// or at the end of the input an unterminated last line. Its list opens at
// its first '[', unless a NUL comes first; it ends at the first ']' or NUL
// after that, or else at the chunk's end. From the opener on, each step
// skips whitespace, takes the token bytes found there (possibly
// empty) as a token, and then stops at the list's end or consumes the one
// byte after the token as a separator, whatever that byte is.
//
// Rather than walk those steps byte by byte, the scanner reads them off the
// masks of classify.h, one bit per byte, by two facts that the steps imply:
// - The tokens that are not empty are exactly the longest sequences of token
//   bytes inside the list: skipping passes only whitespace and a separator
//   is never a token byte, so every token byte lies in a token, and no token
//   starts right after a token byte.
// - An empty token is taken exactly at each byte inside the list that is
//   neither whitespace nor a token byte, and at the list's end, when the
//   byte before is no token byte. Right after a token such a byte is that
//   token's separator; anywhere else the skipping has stopped on it.
// So over a 64-byte window of the list with token mask t, where t << 1
// marks each byte that follows a token byte (the bit shifted out of a window
// carries into the next): a token starts at t & ~(t << 1), ends just before
// ~t & (t << 1), and the empty token is taken if (other | end) & ~(t << 1)
// is not zero. Starts and ends alternate, so the lowest of each pair up;
// x & (x - 1) clears the lowest set bit of x, since x - 1 flips that bit
// and the zeros below it. The set only needs to know whether the empty
// token occurs, so it is taken at most once a call.
//
// One line, bit i of each mask drawn under byte i (so a shift left, toward
// higher bits, moves a mark one byte to the right here):
//
//   input         a b [ 1 2 ,   , 3 / 4 ] x \n
//   opener        . . 1 . . . . . . . . . . .     '[' or NUL
//   closer        . . . . . . . . . . . 1 . .     ']' or NUL
//   token         . . . 1 1 . . . 1 1 1 . . .     '/' to '9'
//   other         1 1 1 . . 1 . 1 . . . 1 1 .     neither token nor space
//   inside        . . . 1 1 1 1 1 1 1 1 . . .     after the opener, before the closer
//   after_token   . . . . 1 1 . . . 1 1 1 . .     (token & inside) << 1
//   starts        . . . 1 . . . . 1 . . . . .     token & ~after_token
//   ends          . . . . . 1 . . . . . 1 . .     after_token & ~token
//   empty at      . . . . . . . 1 . . . . . .     (other & inside | closer) & ~after_token
//
// The tokens are 12, from start 3 to end 5, and 3/4, from 8 to 11; the comma
// at 7 follows the blank that the skipping passed, so the empty token is
// taken there. A list longer than one window carries three things into the
// next (take_list()):
// - carry: whether the window's last byte is a token byte, the bit that
//   t << 1 shifts out;
// - token_start: where a token that goes on past the window began;
// - in_token: whether such a token is still open, its end not yet seen.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "scan/classify.h"

constexpr std::size_t max_chunk = 1023;

namespace scan_detail
{

// Bits [shift, shift + 64) of the 128 bits high:low. Shifting by 1 and then
// by 63 - shift avoids the undefined shift by 64 when `shift` is 0.
inline std::uint64_t join_bits(std::uint64_t low, std::uint64_t high, std::size_t shift)
{
    return (low >> shift) | ((high << 1) << (63 - shift));
}

// The 64 bits of mask M that stand for bytes [at, at + 64). masks[] must
// reach one block past that of byte `at`.
template <std::uint64_t block_masks::*M>
std::uint64_t bits_at(const block_masks* masks, std::size_t at)
{
    return join_bits(masks[at / 64].*M, masks[at / 64 + 1].*M, at % 64);
}

// Every mask for the 64 bytes from `at`.
inline block_masks window_at(const block_masks* masks, std::size_t at)
{
    const block_masks &low = masks[at / 64], &high = masks[at / 64 + 1];
    const std::size_t shift = at % 64;
    return {join_bits(low.newline, high.newline, shift), join_bits(low.opener, high.opener, shift),
            join_bits(low.closer, high.closer, shift), join_bits(low.token, high.token, shift),
            join_bits(low.other, high.other, shift)};
}

// The first byte in [from, end) set in mask M, or `end`. The window at
// `from` holds the answer for most lines; beyond it, whole blocks follow.
template <std::uint64_t block_masks::*M>
std::size_t next_bit(const block_masks* masks, std::size_t from, std::size_t end)
{
    if (const std::uint64_t bits = bits_at<M>(masks, from))
        return std::min(from + static_cast<std::size_t>(std::countr_zero(bits)), end);
    for (std::size_t block = from / 64 + 1; 64 * block < end; ++block)
        if (const std::uint64_t bits = masks[block].*M)
            return std::min(64 * block + static_cast<std::size_t>(std::countr_zero(bits)), end);
    return end;
}

// Takes the tokens of the list between the opener at `open` and its end
// at `end`, but for the empty token: sets `empty` if the list has it.
template <typename Take>
void take_list(const char* bytes, const block_masks* masks, std::size_t open, std::size_t end,
               bool& empty, Take& take)
{
    std::uint64_t carry = 0;     // whether the byte before the window is a token byte
    std::size_t token_start = 0; // of a token that goes on into the next window
    bool in_token = false;
    for (std::size_t base = open; base <= end; base += 64) {
        const std::size_t end_bit = end - base;
        std::uint64_t inside =
            end_bit >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << end_bit) - 1;
        if (base == open)
            inside &= ~std::uint64_t{1};
        const std::uint64_t token = bits_at<&block_masks::token>(masks, base) & inside;
        std::uint64_t other = bits_at<&block_masks::other>(masks, base) & inside;
        if (end_bit < 64)
            other |= std::uint64_t{1} << end_bit;
        const std::uint64_t after_token = (token << 1) | carry;
        carry = token >> 63;
        empty |= (other & ~after_token) != 0;
        std::uint64_t starts = token & ~after_token, ends = after_token & ~token;
        if (in_token && ends) {
            take(
                std::string_view(bytes + token_start, base + std::countr_zero(ends) - token_start));
            ends &= ends - 1;
            in_token = false;
        }
        for (; starts; starts &= starts - 1) {
            const std::size_t start = base + std::countr_zero(starts);
            if (!ends) {
                token_start = start;
                in_token = true;
                break;
            }
            take(std::string_view(bytes + start, base + std::countr_zero(ends) - start));
            ends &= ends - 1;
        }
    }
}

// Takes the tokens of the chunk [begin, end) as take_list() does; returns
// whether it has a list.
template <typename Take>
bool cut_chunk(const char* bytes, const block_masks* masks, std::size_t begin, std::size_t end,
               bool& empty, Take& take)
{
    const std::size_t open = next_bit<&block_masks::opener>(masks, begin, end);
    if (open == end || bytes[open] != '[')
        return false;
    const std::size_t close = next_bit<&block_masks::closer>(masks, open + 1, end);
    take_list(bytes, masks, open, close, empty, take);
    return true;
}

// As cut_chunk(), for a chunk that lies within the window `w` of masks for
// the 64 bytes at `chunk`; `in_chunk` has a bit for each of its bytes. Most
// lines are this short, and so need no search beyond the one window.
template <typename Take>
bool cut_short_chunk(const char* chunk, const block_masks& w, std::uint64_t in_chunk, bool& empty,
                     Take& take)
{
    const std::uint64_t opener = w.opener & in_chunk;
    if (!opener || chunk[std::countr_zero(opener)] != '[')
        return false;
    // ~(x ^ (x - 1)) keeps the bits above the lowest set bit of x.
    const std::uint64_t after_open = in_chunk & ~(opener ^ (opener - 1));
    const std::uint64_t closer = w.closer & after_open;
    // x & -x is the lowest set bit of x alone: -x is ~x + 1, whose carry
    // stops at that bit. A list open at the newline ends in an empty token.
    const std::uint64_t end_bit = closer & -closer;
    const std::uint64_t inside = closer ? after_open & (end_bit - 1) : after_open;
    const std::uint64_t token = w.token & inside, after_token = token << 1;
    empty |= !closer || ((w.other & inside) | end_bit) & ~after_token;
    std::uint64_t starts = token & ~after_token, ends = after_token & ~token;
    for (; starts; starts &= starts - 1, ends &= ends - 1) {
        const int start = std::countr_zero(starts);
        take(std::string_view(chunk + start,
                              static_cast<std::size_t>(std::countr_zero(ends) - start)));
    }
    return true;
}

} // namespace scan_detail

// Where the last whole chunk of bytes[0, end) ends, given that a chunk
// starts at 0: just past the last newline, or past the last whole 1023
// bytes after it. What follows may go on in input not yet read; since
// chunks start afresh after a newline, input cut here is chunked as the
// whole is.
inline std::size_t whole_chunks_end(const char* bytes, std::size_t end)
{
    const void* newline = memrchr(bytes, '\n', end);
    const std::size_t line =
        newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - bytes) + 1 : 0;
    return line + (end - line) / max_chunk * max_chunk;
}

// Calls take(token) for the tokens of every chunk of bytes[0, end), chunk by
// chunk, the last one ending at `end`, each token a view into `bytes`; the
// empty token once at the end, if any chunk has it. Returns how many of the
// chunks hold no list. masks[] must classify `bytes` up to `end` and reach
// one block beyond it.
template <typename Take>
std::size_t cut_chunks(const char* bytes, const block_masks* masks, std::size_t end, Take&& take)
{
    using namespace scan_detail;
    std::size_t lists_missing = 0;
    bool empty = false;
    for (std::size_t from = 0; from < end;) {
        const std::size_t left = end - from;
        const block_masks w = window_at(masks, from);
        // Masks past `end` are stale, so a newline there does not count.
        const std::uint64_t newline =
            left < 64 ? w.newline & ((std::uint64_t{1} << left) - 1) : w.newline;
        if (newline) {
            // Bits up to and including the lowest set bit: x ^ (x - 1).
            const std::uint64_t in_chunk = newline ^ (newline - 1);
            lists_missing += !cut_short_chunk(bytes + from, w, in_chunk, empty, take);
            from += static_cast<std::size_t>(std::countr_zero(newline)) + 1;
            continue;
        }
        const std::size_t longest_end = std::min(from + max_chunk, end);
        const std::size_t chunk_end =
            std::min(next_bit<&block_masks::newline>(masks, from, longest_end) + 1, longest_end);
        lists_missing += !cut_chunk(bytes, masks, from, chunk_end, empty, take);
        from = chunk_end;
    }
    if (empty)
        take(std::string_view());
    return lists_missing;
}

// Classifies the whole chunks of bytes[0, end) into `masks` and cuts them
// as cut_chunks() does, then moves the rest, shorter than a chunk, to the
// front: `end` becomes its size. The rest is set aside meanwhile, since the
// classifier clears what follows the bytes it is given. `bytes` and `masks`
// need the room that classify_input() does, and `masks` one block more.
template <typename Take>
std::size_t cut_whole_chunks(char* bytes, std::size_t& end, block_masks* masks,
                             classify_blocks classify, Take&& take)
{
    const std::size_t whole = whole_chunks_end(bytes, end), rest_size = end - whole;
    if (whole == 0)
        return 0;
    char rest[max_chunk];
    std::memcpy(rest, bytes + whole, rest_size);
    classify_input(classify, bytes, whole, masks);
    const std::size_t lists_missing = cut_chunks(bytes, masks, whole, take);
    std::memcpy(bytes, rest, rest_size);
    end = rest_size;
    return lists_missing;
}
