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

// The range of the bits `varying` in which limbs differ.
inline bit_range varying_bits(std::uint64_t varying)
{
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

// Sorts a form's sort entries by the first `Limbs` of the limbs that order
// them, the last first, each over the bits `limbs` says it may differ in:
// the sort keeps the order of equal keys. Returns where the sorted entries
// are.
template <typename Kind, std::size_t Limbs = Kind::sort_limbs>
typename Kind::sort_entry* sort_by_limbs(typename Kind::sort_entry* entries,
                                         typename Kind::sort_entry* scratch, std::size_t size,
                                         const bit_range* limbs)
{
    using entry = typename Kind::sort_entry;
    if constexpr (Limbs == 0) {
        return entries;
    } else {
        entry* sorted = sort_by_key(entries, scratch, size, limbs[Limbs - 1],
                                    [](const entry& e) { return Kind::sort_limb(e, Limbs - 1); });
        return sort_by_limbs<Kind, Limbs - 1>(sorted, sorted == entries ? scratch : entries, size,
                                              limbs);
    }
}

// Puts in order each group of sorted entries that share the limbs the
// radix sort ordered them by, for a form that says how.
template <typename Kind> void order_ties(typename Kind::sort_entry* sorted, std::size_t size)
{
    using entry = typename Kind::sort_entry;
    if constexpr (requires(const entry& a) { Kind::before(a, a); }) {
        const auto tied = [](const entry& a, const entry& b) {
            for (std::size_t i = 0; i < Kind::sort_limbs; ++i)
                if (Kind::sort_limb(a, i) != Kind::sort_limb(b, i))
                    return false;
            return true;
        };
        for (entry *group = sorted, *end = sorted + size; group != end;) {
            entry* group_end =
                std::find_if(group + 1, end, [&](const entry& e) { return !tied(e, *group); });
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
    limb_bits<Kind::sort_limbs> seen;
    for (std::size_t e = 0; e < size; ++e)
        for (std::size_t i = 0; i < Kind::sort_limbs; ++i)
            see_limb(seen, i, Kind::sort_limb(entries[e], i));
    bit_range limbs[Kind::sort_limbs];
    for (std::size_t i = 0; i < Kind::sort_limbs; ++i)
        limbs[i] = varying_bits(varying(seen, i));
    entries = sort_by_limbs<Kind>(entries, scratch, size, limbs);
    order_ties<Kind>(entries, size);
    return entries;
}
