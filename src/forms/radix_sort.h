// SPDX-License-Identifier: MIT
// The radix sort that puts packed tokens in byte order, for a batch that
// becomes a run and for a bucket of the listing alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

// Sorts `entries` through `scratch`, which holds as many, on bytes `low` to
// `high` of the word that `key` takes from each, least significant first,
// keeping the order of equal keys; the other bytes must be alike in all.
// Passes over a byte that every entry shares are skipped too: short tokens
// leave many low bytes zero. Returns where the sorted entries are.
template <typename Entry, typename Key>
[[gnu::noinline]] Entry* radix_sort(Entry* entries, Entry* scratch, std::size_t size, int low,
                                    int high, Key key)
{
    std::size_t counts[8][256];
    std::memset(counts[low], 0, sizeof counts[0] * static_cast<std::size_t>(high - low + 1));
    for (std::size_t i = 0; i < size; ++i)
        for (int byte = low; byte <= high; ++byte)
            ++counts[byte][key(entries[i]) >> 8 * byte & 0xff];
    for (int byte = low; byte <= high; ++byte) {
        std::size_t* starts = counts[byte];
        if (starts[key(entries[0]) >> 8 * byte & 0xff] == size)
            continue;
        for (std::size_t value = 0, start = 0; value < 256; ++value)
            start += std::exchange(starts[value], start);
        for (std::size_t i = 0; i < size; ++i)
            scratch[starts[key(entries[i]) >> 8 * byte & 0xff]++] = entries[i];
        std::swap(entries, scratch);
    }
    return entries;
}

// As radix_sort(); a few entries are sorted by insertion, in place, which
// spares a short run the radix sort's 16 KiB of counts.
template <typename Entry, typename Key>
Entry* sort_by_key(Entry* entries, Entry* scratch, std::size_t size, int low, int high, Key key)
{
    if (size > 32)
        return radix_sort(entries, scratch, size, low, high, key);
    for (std::size_t i = 1; i < size; ++i)
        for (std::size_t j = i; j > 0 && key(entries[j]) < key(entries[j - 1]); --j)
            std::swap(entries[j], entries[j - 1]);
    return entries;
}
