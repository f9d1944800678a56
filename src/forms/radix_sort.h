// SPDX-License-Identifier: MIT
// The radix sort that puts packed tokens in byte order, for a batch that
// becomes a run and for a bucket of the listing alike: least significant
// byte first, over only the bytes of their limbs in which they differ.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "forms/forms.h"

// Bytes `low` to `high` of a limb, the lowest 0; none where low > high.
struct byte_range {
    int low = 0;
    int high = -1;
};

// The bytes in which limbs may differ that have bits `any` where some has
// one and `all` where every one has one.
inline byte_range varying_bytes(std::uint64_t any, std::uint64_t all)
{
    const std::uint64_t varying = any & ~all;
    if (varying == 0)
        return {};
    return {std::countr_zero(varying) / 8, (63 - std::countl_zero(varying)) / 8};
}

// Sorts `entries` through `scratch`, which holds as many, on the bytes
// `bytes` of the limb that `key` takes from each, least significant first,
// keeping the order of equal keys; the other bytes must be alike in all.
// Passes over a byte that every entry shares are skipped too: short tokens
// leave many low bytes zero. Returns where the sorted entries are.
template <typename Entry, typename Key>
[[gnu::noinline]] Entry* radix_sort(Entry* entries, Entry* scratch, std::size_t size,
                                    byte_range bytes, Key key)
{
    std::size_t counts[8][256];
    std::memset(counts[bytes.low], 0,
                sizeof counts[0] * static_cast<std::size_t>(bytes.high - bytes.low + 1));
    for (std::size_t i = 0; i < size; ++i)
        for (int byte = bytes.low; byte <= bytes.high; ++byte)
            ++counts[byte][key(entries[i]) >> 8 * byte & 0xff];
    for (int byte = bytes.low; byte <= bytes.high; ++byte) {
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
// spares them the radix sort's 16 KiB of counts, and none where no byte
// differs.
template <typename Entry, typename Key>
Entry* sort_by_key(Entry* entries, Entry* scratch, std::size_t size, byte_range bytes, Key key)
{
    if (bytes.low > bytes.high)
        return entries;
    if (size > 32)
        return radix_sort(entries, scratch, size, bytes, key);
    for (std::size_t i = 1; i < size; ++i)
        for (std::size_t j = i; j > 0 && key(entries[j]) < key(entries[j - 1]); --j)
            std::swap(entries[j], entries[j - 1]);
    return entries;
}

// Sorts a form's sort entries by the limbs that order them, the second
// first, over the bytes where each may differ: the sort keeps the order of
// equal keys. Returns where the sorted entries are.
template <typename Kind>
typename Kind::sort_entry* sort_by_limbs(typename Kind::sort_entry* entries,
                                         typename Kind::sort_entry* scratch, std::size_t size,
                                         byte_range first, byte_range second)
{
    using entry = typename Kind::sort_entry;
    if constexpr (Kind::sort_limbs > 1) {
        entry* sorted = sort_by_key(entries, scratch, size, second,
                                    [](const entry& e) { return Kind::sort_second(e); });
        scratch = sorted == entries ? scratch : entries;
        entries = sorted;
    }
    return sort_by_key(entries, scratch, size, first,
                       [](const entry& e) { return Kind::sort_first(e); });
}

// Puts in order each group of sorted entries that share the limbs the
// radix sort ordered them by, for a form that says how.
template <typename Kind> void order_ties(typename Kind::sort_entry* sorted, std::size_t size)
{
    using entry = typename Kind::sort_entry;
    if constexpr (requires(const entry& a) { Kind::before(a, a); }) {
        for (entry *group = sorted, *end = sorted + size; group != end;) {
            entry* group_end = std::find_if(group + 1, end, [&](const entry& e) {
                return Kind::sort_first(e) != Kind::sort_first(*group);
            });
            if (group_end - group > 1)
                std::sort(group, group_end, Kind::before);
            group = group_end;
        }
    }
}

// Sorts a form's sort entries in byte order, over the bytes of their limbs
// in which they differ. Returns where the sorted entries are.
template <typename Kind>
typename Kind::sort_entry* sort_in_order(typename Kind::sort_entry* entries,
                                         typename Kind::sort_entry* scratch, std::size_t size)
{
    std::uint64_t any = 0, all = ~std::uint64_t{0}, second_any = 0, second_all = ~std::uint64_t{0};
    for (std::size_t i = 0; i < size; ++i) {
        any |= Kind::sort_first(entries[i]);
        all &= Kind::sort_first(entries[i]);
        second_any |= Kind::sort_second(entries[i]);
        second_all &= Kind::sort_second(entries[i]);
    }
    entries = sort_by_limbs<Kind>(entries, scratch, size, varying_bytes(any, all),
                                  varying_bytes(second_any, second_all));
    order_ties<Kind>(entries, size);
    return entries;
}
