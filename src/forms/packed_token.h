// SPDX-License-Identifier: MIT
// Tokens packed four bits a byte, in limbs of 64 bits: the encodings of the
// three forms in which the set keeps a token, one for each length, from
// insertion to listing (forms.h), and their unpacking for the output.
//
// '/' packs as 1 and '0' to '9' as 2 to 11, the first byte in the high bits,
// and 0 pads behind the last byte. A zero nibble is below every packed byte,
// so packed tokens compared as integers limb by limb, or with memcmp, compare
// in byte order, a prefix before its extensions.
//
//   word    a token of 1 to 16 bytes: one limb, never 0.
//   pair    a token of 17 to 32 bytes: its first 16 bytes as the limb
//           `high`, the rest as `low`; neither is ever 0.
//   record  a token of 33 to 1022 bytes: its length in two little-endian
//           bytes, then its packed bytes, big-endian limbs of 16 token
//           bytes each, the last one cut short.
//
// The empty token packs to nothing: the set keeps it apart.
#pragma once

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

constexpr std::size_t bytes_per_limb = 16; // token bytes packed in one limb
constexpr std::size_t max_word_size = bytes_per_limb;
constexpr std::size_t max_pair_size = 2 * bytes_per_limb;

// A chunk holds at most 1023 bytes, and one of them opens the list.
constexpr std::size_t max_token_size = 1022;

constexpr std::size_t record_header = 2;
// Bytes that a limb's load may read past a record's end, and that packing
// one may write there.
constexpr std::size_t record_slack = 8;
constexpr std::size_t max_record_size = record_header + (max_token_size + 1) / 2;
static_assert(max_token_size < std::size_t{1} << 8 * record_header,
              "a record's length fits its header");

// Packs 1 to 16 token bytes, zero-padded behind them.
inline std::uint64_t pack_word(std::string_view bytes)
{
    assert(!bytes.empty() && bytes.size() <= max_word_size);
    std::uint64_t word = 0;
    for (unsigned char c : bytes)
        word = word << 4 | static_cast<std::uint64_t>(c - '/' + 1);
    word <<= 4 * (bytes_per_limb - bytes.size());
    // The first byte packs to a nibble of 1 or more: no word is 0, which a
    // table's free slot is.
    assert(word != 0);
    return word;
}

// As pack_word(); reads all 16 bytes at `bytes`, of which the first `size`
// are the token, and packs them at once where the CPU has SSE2.
inline std::uint64_t pack_padded_word(const char* bytes, std::size_t size)
{
    assert(size >= 1 && size <= max_word_size);
#if defined(__SSE2__)
    // Each byte to 1..11 for '/'..'9' (past the token, anything), then each
    // two bytes joined in the low byte of their 16-bit lane: the first, the
    // lane's low byte, shifted up 4, and the second shifted down 8.
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    v = _mm_and_si128(_mm_sub_epi8(v, _mm_set1_epi8(0x2E)), _mm_set1_epi8(0x0F));
    v = _mm_or_si128(_mm_slli_epi16(v, 4), _mm_srli_epi16(v, 8));
    v = _mm_packus_epi16(_mm_and_si128(v, _mm_set1_epi16(0xFF)), v);
    // Little-endian, the first two bytes come lowest: swapped, highest.
    const auto word = __builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(v)));
    // Keeps the top `size` nibbles; shifting in two steps stays defined
    // when size is 16.
    const std::uint64_t packed = word & ~(~std::uint64_t{0} >> (4 * size - 1) >> 1);
    assert(packed != 0);
    return packed;
#else
    return pack_word(std::string_view(bytes, size));
#endif
}

// Token bytes [at, at + 16) of `token`, or as many as are left, packed;
// each byte may be read with the 15 that follow it.
inline std::uint64_t pack_limb(std::string_view token, std::size_t at)
{
    return pack_padded_word(token.data() + at, std::min(bytes_per_limb, token.size() - at));
}

// A token of 17 to 32 bytes, packed.
struct packed_pair {
    std::uint64_t high;
    std::uint64_t low;
    bool operator==(const packed_pair&) const = default;
};

inline packed_pair pack_pair(std::string_view token)
{
    assert(token.size() > max_word_size && token.size() <= max_pair_size);
    const packed_pair pair{pack_limb(token, 0), pack_limb(token, bytes_per_limb)};
    // A token byte packs to a nibble of 1 or more, and each limb has one.
    assert(pair.high != 0 && pair.low != 0);
    return pair;
}

inline std::size_t record_size(std::size_t token_size)
{
    return record_header + (token_size + 1) / 2;
}

inline std::size_t record_length(const unsigned char* record)
{
    return static_cast<std::size_t>(record[0] | record[1] << 8);
}

// Writes the record of `token`, which is longer than 32 bytes, to `record`,
// which has room for its size plus record_slack.
inline void pack_record(std::string_view token, unsigned char* record)
{
    assert(token.size() > max_pair_size && token.size() <= max_token_size);
    record[0] = static_cast<unsigned char>(token.size());
    record[1] = static_cast<unsigned char>(token.size() >> 8);
    for (std::size_t at = 0; at < token.size(); at += bytes_per_limb) {
        const std::uint64_t limb = __builtin_bswap64(pack_limb(token, at));
        std::memcpy(record + record_header + at / 2, &limb, sizeof limb);
    }
}

// Token bytes 16 * index on, packed; 0 past the token's end. Reads up to
// record_slack bytes beyond the record.
inline std::uint64_t record_limb(const unsigned char* record, std::size_t index)
{
    const std::size_t length = record_length(record), start = bytes_per_limb * index;
    if (start >= length)
        return 0;
    std::uint64_t limb;
    std::memcpy(&limb, record + record_header + start / 2, sizeof limb);
    limb = __builtin_bswap64(limb);
    const std::size_t beyond =
        start + bytes_per_limb > length ? start + bytes_per_limb - length : 0;
    // Shifting by `beyond` nibbles clears what follows the token; beyond < 16.
    return limb & ~std::uint64_t{0} << 4 * beyond;
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

// Lengths first, so that neither record is read past its end.
inline bool same_record(const unsigned char* a, const unsigned char* b)
{
    const std::size_t length = record_length(a);
    return length == record_length(b) && std::memcmp(a + record_header, b + record_header,
                                                     record_size(length) - record_header) == 0;
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

// The token bytes a limb holds: its nibbles up to the last that is not 0.
inline unsigned limb_nibbles(std::uint64_t limb)
{
    return static_cast<unsigned>(bytes_per_limb) -
           static_cast<unsigned>(std::countr_zero(limb)) / 4;
}

// Unpacks a limb's token bytes to `at`, which has room for 16, and returns
// how many there are: all 16 are written, and the padding nibbles behind
// the token, 0 and never a token byte, are counted off its end.
inline std::size_t unpack_limb(char* at, std::uint64_t limb)
{
    const std::uint64_t in_order = __builtin_bswap64(limb);
    unpack_bytes(at, reinterpret_cast<const unsigned char*>(&in_order));
    return limb_nibbles(limb);
}

// Unpacks a record's token bytes to `at`, 16 at a time, the last ones cut
// short: reading up to 7 bytes past the record's end, which its slack
// allows, and writing up to 15 past the token. Returns the token's size.
inline std::size_t unpack_record(char* at, const unsigned char* record)
{
    const std::size_t length = record_length(record);
    const unsigned char* packed = record + record_header;
    for (std::size_t i = 0; 2 * i < length; i += bytes_per_limb / 2)
        unpack_bytes(at + 2 * i, packed + i);
    return length;
}
