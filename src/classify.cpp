// SPDX-License-Identifier: MIT
// The classifying kernels: a portable one, and on x86-64 one each for SSE2
// (which every x86-64 CPU has), AVX2 and AVX-512, compiled for those
// instruction sets function by function and run only where the CPU reports
// them.
#include "classify.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace
{

void classify_portable(const char* bytes, std::size_t blocks, block_masks* masks)
{
    for (std::size_t b = 0; b < blocks; ++b) {
        block_masks m{};
        std::uint64_t space = 0;
        for (unsigned i = 0; i < 64; ++i) {
            const auto c = static_cast<unsigned char>(bytes[64 * b + i]);
            const std::uint64_t bit = std::uint64_t{1} << i;
            m.newline |= c == '\n' ? bit : 0;
            m.opener |= c == '[' || c == '\0' ? bit : 0;
            m.closer |= c == ']' || c == '\0' ? bit : 0;
            m.token |= is_token_char(c) ? bit : 0;
            space |= is_list_space(c) ? bit : 0;
        }
        m.other = ~(m.token | space);
        masks[b] = m;
    }
}

#if defined(__x86_64__)

// Byte ranges are tested unsigned: c lies in [low, low + n] exactly when the
// byte c - low, wrapping, is at most n, that is when max(c - low, n) == n.

// The lanes' top bits, as bits `shift` on of a mask.
std::uint64_t sse2_bits(__m128i lanes, unsigned shift)
{
    return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(lanes))} << shift;
}

// 16 bytes at `at`, as bits `shift` to `shift` + 15 of each mask.
void classify_sse2_part(const char* at, unsigned shift, block_masks& m, std::uint64_t& space)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i nul = _mm_cmpeq_epi8(v, _mm_setzero_si128());
    const __m128i ten = _mm_set1_epi8(10), four = _mm_set1_epi8(4);
    const __m128i token =
        _mm_cmpeq_epi8(_mm_max_epu8(_mm_sub_epi8(v, _mm_set1_epi8('/')), ten), ten);
    const __m128i controls =
        _mm_cmpeq_epi8(_mm_max_epu8(_mm_sub_epi8(v, _mm_set1_epi8('\t')), four), four);
    m.newline |= sse2_bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), shift);
    m.opener |= sse2_bits(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('[')), nul), shift);
    m.closer |= sse2_bits(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(']')), nul), shift);
    m.token |= sse2_bits(token, shift);
    space |= sse2_bits(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), controls), shift);
}

void classify_sse2(const char* bytes, std::size_t blocks, block_masks* masks)
{
    for (std::size_t b = 0; b < blocks; ++b) {
        block_masks m{};
        std::uint64_t space = 0;
        for (unsigned part = 0; part < 4; ++part)
            classify_sse2_part(bytes + 64 * b + 16 * part, 16 * part, m, space);
        m.other = ~(m.token | space);
        masks[b] = m;
    }
}

[[gnu::target("avx2")]] std::uint64_t avx2_bits(__m256i lanes, unsigned shift)
{
    return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(lanes))} << shift;
}

// 32 bytes at `at`, as bits `shift` to `shift` + 31 of each mask.
[[gnu::target("avx2")]] void classify_avx2_part(const char* at, unsigned shift, block_masks& m,
                                                std::uint64_t& space)
{
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i nul = _mm256_cmpeq_epi8(v, _mm256_setzero_si256());
    const __m256i ten = _mm256_set1_epi8(10), four = _mm256_set1_epi8(4);
    const __m256i token =
        _mm256_cmpeq_epi8(_mm256_max_epu8(_mm256_sub_epi8(v, _mm256_set1_epi8('/')), ten), ten);
    const __m256i controls =
        _mm256_cmpeq_epi8(_mm256_max_epu8(_mm256_sub_epi8(v, _mm256_set1_epi8('\t')), four), four);
    m.newline |= avx2_bits(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n')), shift);
    m.opener |= avx2_bits(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('[')), nul), shift);
    m.closer |= avx2_bits(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(']')), nul), shift);
    m.token |= avx2_bits(token, shift);
    space |=
        avx2_bits(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(' ')), controls), shift);
}

[[gnu::target("avx2")]] void classify_avx2(const char* bytes, std::size_t blocks,
                                           block_masks* masks)
{
    for (std::size_t b = 0; b < blocks; ++b) {
        block_masks m{};
        std::uint64_t space = 0;
        classify_avx2_part(bytes + 64 * b, 0, m, space);
        classify_avx2_part(bytes + 64 * b + 32, 32, m, space);
        m.other = ~(m.token | space);
        masks[b] = m;
    }
}

// AVX-512 compares straight into 64-bit masks, unsigned, so ranges need no
// trick beyond the wrapping subtraction.
[[gnu::target("avx512bw")]] void classify_avx512(const char* bytes, std::size_t blocks,
                                                 block_masks* masks)
{
    for (std::size_t b = 0; b < blocks; ++b) {
        const __m512i v = _mm512_loadu_si512(bytes + 64 * b);
        const std::uint64_t nul = _mm512_testn_epi8_mask(v, v);
        const std::uint64_t token =
            _mm512_cmplt_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8('/')), _mm512_set1_epi8(11));
        const std::uint64_t space =
            _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(' ')) |
            _mm512_cmplt_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8('\t')), _mm512_set1_epi8(5));
        masks[b] = {
            .newline = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n')),
            .opener = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('[')) | nul,
            .closer = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(']')) | nul,
            .token = token,
            .other = ~(token | space),
        };
    }
}

#endif

} // namespace

std::span<const classifier> usable_classifiers()
{
    static const auto usable = [] {
        struct list {
            classifier kernels[4];
            std::size_t count = 0;
            void add(const classifier& k) { kernels[count++] = k; }
        } found;
#if defined(__x86_64__)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512bw"))
            found.add({"avx512", classify_avx512});
        if (__builtin_cpu_supports("avx2"))
            found.add({"avx2", classify_avx2});
        found.add({"sse2", classify_sse2});
#endif
        found.add({"portable", classify_portable});
        return found;
    }();
    return {usable.kernels, usable.count};
}

classify_blocks widest_classifier()
{
    return usable_classifiers().front().classify;
}
