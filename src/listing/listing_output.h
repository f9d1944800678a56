// SPDX-License-Identifier: MIT
// The listing's output: lines collected in large blocks, so that they cost
// few writes, each token unpacked from its form (packed_token.h) sixteen
// bytes at a time. Stretches of the listing merged on several threads go
// out in order: each merger writes its stretch only in that stretch's turn.
#pragma once

#include <bit>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "forms/packed_token.h"

// Whose stretch goes out next.
struct turns {
    std::mutex lock;
    std::condition_variable changed;
    std::size_t current = 0;
    int error = 0; // of the first write that failed; only the writer in turn touches it
};

struct output {
    int fd = -1;
    turns* order = nullptr; // with several mergers
    std::size_t stretch = 0;
    int error = 0;
    std::size_t used = 0;
    std::size_t size = 0;
    std::unique_ptr<char[]> block; // not zeroed: a short listing touches few pages
};

// Writes what the block holds, in the stretch's turn, and empties it.
void flush(output& out);

// Flushes the stretch and hands the turn on.
void end_stretch(output& out);

// Room for one more line of at most `size` bytes with its newline.
inline char* make_room(output& out, std::size_t size)
{
    if (out.used + size + 1 > out.size)
        flush(out);
    return out.block.get() + out.used;
}

// Eight packed bytes, as they lie in memory, the first token byte in the
// high nibble of the first, unpacked to 16 token bytes at `at`; a padding
// nibble comes out as the byte below '/'.
inline void unpack_bytes(char* at, const unsigned char* packed)
{
#if defined(__SSE2__)
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(packed));
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
    const __m128i low = _mm_and_si128(bytes, nibble);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_add_epi8(_mm_unpacklo_epi8(high, low), _mm_set1_epi8('/' - 1)));
#else
    for (int i = 0; i < 8; ++i) {
        at[2 * i] = static_cast<char>('/' - 1 + (packed[i] >> 4));
        at[2 * i + 1] = static_cast<char>('/' - 1 + (packed[i] & 0xF));
    }
#endif
}

// Unpacks a word's token bytes to `at`, which has room for 16, and returns
// how many there are: all 16 are written, and the padding nibbles behind
// the token, 0 and never a token byte, are counted off its end.
inline std::size_t unpack_word(char* at, std::uint64_t word)
{
    const std::uint64_t in_order = __builtin_bswap64(word);
    unpack_bytes(at, reinterpret_cast<const unsigned char*>(&in_order));
    return word_bytes - static_cast<std::size_t>(std::countr_zero(word)) / 4;
}

// A word, a pair and a record, each as a line.
inline void emit_word(output& out, std::uint64_t word)
{
    char* at = make_room(out, word_bytes);
    const std::size_t size = unpack_word(at, word);
    at[size] = '\n';
    out.used += size + 1;
}

inline void emit_pair(output& out, const word_pair& pair)
{
    char* at = make_room(out, pair_bytes);
    const std::size_t size = unpack_word(at, pair.high);
    const std::size_t rest = unpack_word(at + size, pair.low);
    at[size + rest] = '\n';
    out.used += size + rest + 1;
}

// Unpacks 16 token bytes at a time, the last ones cut short: reading up to
// 7 bytes past the record's end, which its slack allows, and writing past
// the token, where the newline and the lines after it go.
inline void emit_record(output& out, const unsigned char* record)
{
    const std::size_t length = record_length(record);
    char* at = make_room(out, (length + word_bytes - 1) / word_bytes * word_bytes);
    const unsigned char* packed = record + record_header;
    for (std::size_t i = 0; 2 * i < length; i += word_bytes / 2)
        unpack_bytes(at + 2 * i, packed + i);
    at[length] = '\n';
    out.used += length + 1;
}
