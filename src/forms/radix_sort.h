// SPDX-License-Identifier: MIT
// The radix sort that puts packed tokens in byte order, for a batch that
// becomes a run and for a bucket of the listing alike: least significant
// digit first, over only the bits of their limbs in which they differ.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "forms/forms.h"

// Bits `low` to `high` of a limb, the lowest 0; none where low > high.
struct bit_range {
    int low = 0;
    int high = -1;
};

// The bits in which limbs may differ that have bits `any` where some has
// one and `all` where every one has one.
inline bit_range varying_bits(std::uint64_t any, std::uint64_t all)
{
    const std::uint64_t varying = any & ~all;
    if (varying == 0)
        return {};
    return {std::countr_zero(varying), 63 - std::countl_zero(varying)};
}

// Digits of up to 11 bits take a third fewer passes than bytes over the
// bits that tokens of a bucket differ in, and their counts still fit the
// caches beside a bucket; fewer entries than 2^11 take digits of a byte,
// whose counts cost less to clear and sum.
constexpr int widest_digit = 11;
constexpr std::size_t most_counts = (64 + widest_digit - 1) / widest_digit << widest_digit;

// Sorts `entries` through `scratch`, which holds as many, on the bits
// `bits` of the limb that `key` takes from each, least significant digit
// first, keeping the order of equal keys; the other bits must be alike in
// all. Passes over a digit that every entry shares are skipped too: short
// tokens leave many low bits zero. Returns where the sorted entries are.
template <typename Entry, typename Key>
[[gnu::noinline]] Entry* radix_sort(Entry* entries, Entry* scratch, std::size_t size,
                                    bit_range bits, Key key)
{
    const int width = bits.high - bits.low + 1;
    const int widest = size >> widest_digit ? widest_digit : 8;
    const int passes = (width + widest - 1) / widest;
    const int digit = (width + passes - 1) / passes;
    const std::size_t values = std::size_t{1} << digit;
    const auto digit_of = [&](const Entry& entry, int pass) {
        return key(entry) >> (bits.low + pass * digit) & (values - 1);
    };
    // A pass's counts, values of them, follow the pass before's.
    std::size_t counts[most_counts];
    static_assert(most_counts >= 64 / 8 * 256);
    std::memset(counts, 0, static_cast<std::size_t>(passes) * values * sizeof counts[0]);
    for (std::size_t i = 0; i < size; ++i)
        for (int pass = 0; pass < passes; ++pass)
            ++counts[static_cast<std::size_t>(pass) * values + digit_of(entries[i], pass)];
    for (int pass = 0; pass < passes; ++pass) {
        std::size_t* starts = counts + static_cast<std::size_t>(pass) * values;
        if (starts[digit_of(entries[0], pass)] == size)
            continue;
        for (std::size_t value = 0, start = 0; value < values; ++value)
            start += std::exchange(starts[value], start);
        for (std::size_t i = 0; i < size; ++i)
            scratch[starts[digit_of(entries[i], pass)]++] = entries[i];
        std::swap(entries, scratch);
    }
    return entries;
}

// As radix_sort(); a few entries are sorted by insertion, in place, which
// spares them the radix sort's counts, and none where no bit differs.
template <typename Entry, typename Key>
Entry* sort_by_key(Entry* entries, Entry* scratch, std::size_t size, bit_range bits, Key key)
{
    if (bits.low > bits.high)
        return entries;
    if (size > 32)
        return radix_sort(entries, scratch, size, bits, key);
    for (std::size_t i = 1; i < size; ++i)
        for (std::size_t j = i; j > 0 && key(entries[j]) < key(entries[j - 1]); --j)
            std::swap(entries[j], entries[j - 1]);
    return entries;
}

// Sorts a form's sort entries by the limbs that order them, the second
// first, over the bits where each may differ: the sort keeps the order of
// equal keys. Returns where the sorted entries are.
template <typename Kind>
typename Kind::sort_entry* sort_by_limbs(typename Kind::sort_entry* entries,
                                         typename Kind::sort_entry* scratch, std::size_t size,
                                         bit_range first, bit_range second)
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

// Sorts a form's sort entries in byte order, over the bits of their limbs
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
    entries = sort_by_limbs<Kind>(entries, scratch, size, varying_bits(any, all),
                                  varying_bits(second_any, second_all));
    order_ties<Kind>(entries, size);
    return entries;
}
