// SPDX-License-Identifier: MIT
// The set's hashes, keyed with a secret drawn at random as the program
// starts, so that nobody can choose tokens that collide; and the table's
// reach, how far it lets a word land from its home slot, the second defence
// against crafted input. The benchmark links a unit of its own in place of
// keyed_hash.cpp, with a fixed key and no bound, to time a flood against a
// table with neither defence.
#pragma once

#include <cstddef>
#include <cstdint>

#include "forms/packed_token.h"

struct hash_key {
    std::uint64_t seed;
    std::uint64_t multiplier;
};

// A key from the kernel's random source, or, where the kernel refuses one,
// from the random bytes it gave the process at start mixed with the clock.
hash_key random_key();

// How far from its home slot the table lets a word land in a table of
// `slot_count` slots, its reach, unless crafted words have doubled it.
std::size_t probe_reach(std::size_t slot_count);

// Folds the 128-bit product of two limbs: every bit of each factor can
// reach the top bits of the result, from which the table takes its slot.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b)
{
    __extension__ typedef unsigned __int128 wide;
    const wide product = static_cast<wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// Multiply-shift, for the table, which takes a slot from the top bits: for
// a random odd multiplier two distinct words share their top bits about as
// rarely as under a random function.
inline std::uint64_t hash_word(const hash_key& key, std::uint64_t word)
{
    return (word ^ key.seed) * key.multiplier;
}

// For partitions, which take bits from the middle of the hash as well: a
// bit of a product depends on the bits of its factors at or below it only,
// so short tokens, which differ in their top nibbles, would share all lower
// bits; folding the product brings every bit of the limb to every bit.
inline std::uint64_t mix_limb(const hash_key& key, std::uint64_t limb)
{
    return fold_multiply(limb ^ key.seed, key.multiplier);
}

inline std::uint64_t hash_pair(const hash_key& key, const packed_pair& pair)
{
    return mix_limb(key, pair.high ^ mix_limb(key, pair.low));
}

inline std::uint64_t hash_record(const hash_key& key, const unsigned char* record)
{
    std::uint64_t hash = key.seed ^ record_length(record);
    for (std::size_t i = 0, limbs = (record_length(record) + bytes_per_limb - 1) / bytes_per_limb;
         i < limbs; ++i)
        hash = fold_multiply(hash ^ record_limb(record, i), key.multiplier);
    return hash;
}
