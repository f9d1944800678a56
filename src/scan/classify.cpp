// SPDX-License-Identifier: MIT
// The classifying kernels: a portable one, and on x86-64 one each for SSE2
// (which every x86-64 CPU has), AVX2 and AVX-512, run only where the CPU
// reports them. The three follow one recipe (classify_recipe.h), compiled
// here once for each instruction set with the compares of that set.
#include "scan/classify.h"

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

// What the recipe needs of an instruction set: a vector of `width` bytes,
// and compares that give a `match`, whose bits() hold a bit for each byte.
namespace sse2
{
struct lanes {
    using bytes = __m128i;
    using match = __m128i; // each byte 0xFF where it matches
    static constexpr unsigned width = 16;
    static bytes load(const char* at)
    {
        return _mm_loadu_si128(reinterpret_cast<const bytes*>(at));
    }
    static match equal(bytes v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }
    static match either(match a, match b) { return _mm_or_si128(a, b); }
    static match within(bytes v, char low, char n)
    {
        return equal(_mm_max_epu8(_mm_sub_epi8(v, _mm_set1_epi8(low)), _mm_set1_epi8(n)), n);
    }
    static std::uint64_t bits(match m) { return static_cast<std::uint16_t>(_mm_movemask_epi8(m)); }
};

#include "scan/classify_recipe.h"
} // namespace sse2

// Code between these is compiled for instruction set `isa`, whatever the
// rest of the program is compiled for.
#define TOKCOLLECT_PRAGMA(x) _Pragma(#x)
#if defined(__clang__)
#define TOKCOLLECT_TARGET_BEGIN(isa)                                                               \
    TOKCOLLECT_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define TOKCOLLECT_TARGET_END TOKCOLLECT_PRAGMA(clang attribute pop)
#else
#define TOKCOLLECT_TARGET_BEGIN(isa)                                                               \
    TOKCOLLECT_PRAGMA(GCC push_options) TOKCOLLECT_PRAGMA(GCC target(isa))
#define TOKCOLLECT_TARGET_END TOKCOLLECT_PRAGMA(GCC pop_options)
#endif

TOKCOLLECT_TARGET_BEGIN("avx2")
namespace avx2
{
struct lanes {
    using bytes = __m256i;
    using match = __m256i;
    static constexpr unsigned width = 32;
    static bytes load(const char* at)
    {
        return _mm256_loadu_si256(reinterpret_cast<const bytes*>(at));
    }
    static match equal(bytes v, char c) { return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c)); }
    static match either(match a, match b) { return _mm256_or_si256(a, b); }
    static match within(bytes v, char low, char n)
    {
        return equal(
            _mm256_max_epu8(_mm256_sub_epi8(v, _mm256_set1_epi8(low)), _mm256_set1_epi8(n)), n);
    }
    static std::uint64_t bits(match m)
    {
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(m));
    }
};
#include "scan/classify_recipe.h"
} // namespace avx2
TOKCOLLECT_TARGET_END

// AVX-512 compares straight into masks of 64 bits, unsigned.
TOKCOLLECT_TARGET_BEGIN("avx512bw")
namespace avx512
{
struct lanes {
    using bytes = __m512i;
    using match = std::uint64_t;
    static constexpr unsigned width = 64;
    static bytes load(const char* at) { return _mm512_loadu_si512(at); }
    static match equal(bytes v, char c) { return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c)); }
    static match either(match a, match b) { return a | b; }
    static match within(bytes v, char low, char n)
    {
        return _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8(low)),
                                      _mm512_set1_epi8(n));
    }
    static std::uint64_t bits(match m) { return m; }
};
#include "scan/classify_recipe.h"
} // namespace avx512
TOKCOLLECT_TARGET_END

#endif

} // namespace

std::span<const classifier> usable_classifiers()
{
    static const auto usable = [] {
        struct list {
            classifier kernels[4];
            std::size_t count = 0;
            void push(const classifier& k) { kernels[count++] = k; }
        } found;
#if defined(__x86_64__)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512bw"))
            found.push({"avx512", avx512::classify});
        if (__builtin_cpu_supports("avx2"))
            found.push({"avx2", avx2::classify});
        found.push({"sse2", sse2::classify});
#endif
        found.push({"portable", classify_portable});
        return found;
    }();
    return {usable.kernels, usable.count};
}

classify_blocks widest_classifier()
{
    return usable_classifiers().front().classify;
}
