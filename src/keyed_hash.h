// SPDX-License-Identifier: MIT
// The token table's hash, keyed with a secret drawn at random in every run,
// so that nobody can choose tokens that collide.
#pragma once

#include <cstdint>

struct hash_key {
    std::uint64_t seed;
    std::uint64_t multiplier;
};

// The key of a build with TOKCOLLECT_FIXED_KEY, which also lifts the bound
// on probes: the table with neither defence, against which the benchmark
// crafts its flood.
constexpr hash_key fixed_key{0x243f6a8885a308d3, 0x13198a2e03707345};

// A key from the kernel's random source, or, where the kernel refuses one,
// from the random bytes it gave the process at start mixed with the clock.
hash_key random_key();

// Folds the 128-bit product of two words: every bit of each factor can reach
// the top bits of the result, from which the table takes its slot.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b)
{
    __extension__ typedef unsigned __int128 wide;
    const wide product = static_cast<wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// Multiply-shift: for a random odd multiplier two distinct words share their
// top bits about as rarely as under a random function.
inline std::uint64_t hash_word(const hash_key& key, std::uint64_t word)
{
    return (word ^ key.seed) * key.multiplier;
}
