// SPDX-License-Identifier: MIT
// Tokens packed four bits a byte, the form in which the token set keeps them.
//
// '/' packs as 1 and '0' to '9' as 2 to 11, the first byte in the high bits,
// and 0 pads behind the last byte. A zero nibble is below every packed byte,
// so packed tokens compared as integers word by word, or with memcmp, compare
// in byte order, a prefix before its extensions.
//
// A token of up to 16 bytes is one 64-bit word, and one of up to 32 a pair
// of them. Any longer one, and in the table any longer than 16, is a
// record: its length in two little-endian bytes, then its packed bytes,
// big-endian words of 16 token bytes each, the last one cut short.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

constexpr std::size_t word_bytes = 16; // token bytes in one packed word
constexpr std::size_t pair_bytes = 2 * word_bytes;

// A chunk holds at most 1023 bytes, and one of them opens the list.
constexpr std::size_t max_token_size = 1022;

constexpr std::size_t record_header = 2;
// Bytes a record may use while it is written, and that a word load may read
// past a record's end.
constexpr std::size_t record_slack = 8;
constexpr std::size_t max_record_size = record_header + (max_token_size + 1) / 2;

// Packs 1 to 16 token bytes, zero-padded behind them.
inline std::uint64_t pack_word(std::string_view bytes)
{
    assert(!bytes.empty() && bytes.size() <= word_bytes);
    std::uint64_t word = 0;
    for (unsigned char c : bytes)
        word = word << 4 | static_cast<std::uint64_t>(c - '/' + 1);
    return word << 4 * (word_bytes - bytes.size());
}

// As pack_word(); reads all 16 bytes at `bytes`, of which the first `size`
// are the token, and packs them at once where the CPU has SSE2.
inline std::uint64_t pack_padded_word(const char* bytes, std::size_t size)
{
    assert(size >= 1 && size <= word_bytes);
#if defined(__SSE2__)
    // Each byte to 1..11 for '/'..'9' (past the token, anything), then each
    // pair joined in the low byte of its 16-bit lane: the first byte of the
    // pair, the lane's low one, shifted up 4, and the second shifted down 8.
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    v = _mm_and_si128(_mm_sub_epi8(v, _mm_set1_epi8(0x2E)), _mm_set1_epi8(0x0F));
    v = _mm_or_si128(_mm_slli_epi16(v, 4), _mm_srli_epi16(v, 8));
    v = _mm_packus_epi16(_mm_and_si128(v, _mm_set1_epi16(0xFF)), v);
    // Little-endian, the first pair comes lowest: swapped, it is highest.
    const auto word = __builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(v)));
    // Keeps the top `size` nibbles; shifting in two steps stays defined
    // when size is 16.
    return word & ~(~std::uint64_t{0} >> (4 * size - 1) >> 1);
#else
    return pack_word(std::string_view(bytes, size));
#endif
}

inline std::size_t record_size(std::size_t token_size)
{
    return record_header + (token_size + 1) / 2;
}

inline std::size_t record_length(const unsigned char* record)
{
    return static_cast<std::size_t>(record[0] | record[1] << 8);
}

// Writes the record of `token`, which is longer than 16 bytes, to `record`,
// which has room for its size plus record_slack.
inline void pack_record(std::string_view token, unsigned char* record)
{
    record[0] = static_cast<unsigned char>(token.size());
    record[1] = static_cast<unsigned char>(token.size() >> 8);
    for (std::size_t at = 0; at < token.size(); at += word_bytes) {
        const std::uint64_t word = __builtin_bswap64(pack_word(token.substr(at, word_bytes)));
        std::memcpy(record + record_header + at / 2, &word, sizeof word);
    }
}

// Token bytes 16 * index on, packed; 0 past the token's end. Reads up to
// record_slack bytes beyond the record.
inline std::uint64_t record_word(const unsigned char* record, std::size_t index)
{
    const std::size_t length = record_length(record), start = word_bytes * index;
    if (start >= length)
        return 0;
    std::uint64_t word;
    std::memcpy(&word, record + record_header + start / 2, sizeof word);
    word = __builtin_bswap64(word);
    const std::size_t beyond = start + word_bytes > length ? start + word_bytes - length : 0;
    // Shifting by `beyond` nibbles clears what follows the token; beyond < 16.
    return word & ~std::uint64_t{0} << 4 * beyond;
}

// A token of 17 to 32 bytes, packed: its first 16 bytes, and the rest.
struct word_pair {
    std::uint64_t high;
    std::uint64_t low; // never 0
    bool operator==(const word_pair&) const = default;
};

// The pair of a record of 17 to 32 token bytes.
inline word_pair record_pair(const unsigned char* record)
{
    return {record_word(record, 0), record_word(record, 1)};
}

// Packs 17 to 32 token bytes; `padded` when each byte may be read with the
// 15 that follow it, as pack_padded_word() reads them.
inline word_pair pack_pair(std::string_view token, bool padded)
{
    assert(token.size() > word_bytes && token.size() <= pair_bytes);
    const std::string_view rest = token.substr(word_bytes);
    return padded ? word_pair{pack_padded_word(token.data(), word_bytes),
                              pack_padded_word(rest.data(), rest.size())}
                  : word_pair{pack_word(token.substr(0, word_bytes)), pack_word(rest)};
}

// Byte order of two records: memcmp over the packed bytes they share, since a
// padding nibble is below any token byte, and then the shorter first.
inline int compare_records(const unsigned char* a, const unsigned char* b)
{
    const std::size_t a_length = record_length(a), b_length = record_length(b);
    const std::size_t shared = (std::min(a_length, b_length) + 1) / 2;
    if (int order = std::memcmp(a + record_header, b + record_header, shared))
        return order;
    return a_length < b_length ? -1 : a_length > b_length;
}

inline bool same_record(const unsigned char* a, const unsigned char* b)
{
    return std::memcmp(a, b, record_size(record_length(a))) == 0;
}
