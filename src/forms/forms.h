// SPDX-License-Identifier: MIT
// The forms of a token, by its length, as one list: each form's
// description beside its encoding (packed_token.h), and the aggregate that
// holds something of each form, with the one fold that walks it. Every
// per-form array and loop of the program goes through these, so that a new
// length class is a change here and in the encodings alone.
//
// A form says how its entries, the packed tokens that slabs and stagings
// hold, are packed, measured, hashed and compared; which limbs put them in
// byte order, and how a bucket of the listing holds them to sort them (its
// sort entry); how a token is written out; and how a sort entry is seen as
// the limbs that runs code (runs/), and made again from them. Every form's
// sort entry gives its limbs by number, sort_limb(), 0 past its token's
// end: its first sort_limbs put it in order within the form, and the first
// order_limbs among all the forms.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <tuple>

#include "forms/keyed_hash.h"
#include "forms/packed_token.h"

// What the forms whose entries all have one size share: an entry is one
// value, loaded whole and sorted as it is.
template <typename Value> struct fixed_size_form {
    using value = Value;
    using sort_entry = Value; // as a bucket of the listing sorts it
    static constexpr std::size_t max_entry = sizeof(Value);
    static constexpr bool fixed_size = true;

    static std::size_t store(const Value& packed, unsigned char* to)
    {
        std::memcpy(to, &packed, sizeof packed);
        return sizeof packed;
    }
    static Value load(const unsigned char* at)
    {
        Value packed;
        std::memcpy(&packed, at, sizeof packed);
        return packed;
    }
    static std::size_t size(const unsigned char*) { return sizeof(Value); }
    static bool same(const unsigned char* a, const unsigned char* b) { return load(a) == load(b); }
    static bool ends_slab(const unsigned char*) { return false; }
    static sort_entry sorted(const unsigned char* at) { return load(at); }
    static const unsigned char* bytes_of(const sort_entry& entry)
    {
        return reinterpret_cast<const unsigned char*>(&entry);
    }
};

// A token of 1 to 16 bytes: one limb.
struct word_kind : fixed_size_form<std::uint64_t> {
    static constexpr std::size_t max_size = max_word_size; // token bytes
    static constexpr std::size_t max_limbs = 1;
    static constexpr std::size_t sort_limbs = 1; // limbs the radix sort orders by

    static std::size_t pack(std::string_view token, unsigned char* to)
    {
        return store(pack_padded_word(token.data(), token.size()), to);
    }
    static std::uint64_t hash(const hash_key& key, const unsigned char* at)
    {
        return mix_limb(key, load(at));
    }
    static std::uint64_t sort_limb(std::uint64_t word, std::size_t i) { return i == 0 ? word : 0; }
    static std::size_t unpack(char* to, std::uint64_t word) { return unpack_limb(to, word); }
    // Its limbs, and how many nibbles they hold.
    static unsigned limbs_of(std::uint64_t word, std::uint64_t* limbs)
    {
        limbs[0] = word;
        return limb_nibbles(word);
    }
    static std::uint64_t from_limbs(const std::uint64_t* limbs) { return limbs[0]; }
};

// A token of 17 to 32 bytes: two limbs.
struct pair_kind : fixed_size_form<packed_pair> {
    static constexpr std::size_t max_size = max_pair_size;
    static constexpr std::size_t max_limbs = 2;
    static constexpr std::size_t sort_limbs = 2;

    static std::size_t pack(std::string_view token, unsigned char* to)
    {
        return store(pack_pair(token), to);
    }
    static std::uint64_t hash(const hash_key& key, const unsigned char* at)
    {
        return hash_pair(key, load(at));
    }
    static std::uint64_t sort_limb(const packed_pair& pair, std::size_t i)
    {
        return i == 0 ? pair.high : i == 1 ? pair.low : 0;
    }
    static std::size_t unpack(char* to, const packed_pair& pair)
    {
        const std::size_t size = unpack_limb(to, pair.high);
        return size + unpack_limb(to + size, pair.low);
    }
    static unsigned limbs_of(const packed_pair& pair, std::uint64_t* limbs)
    {
        limbs[0] = pair.high;
        limbs[1] = pair.low;
        return bytes_per_limb + limb_nibbles(pair.low);
    }
    static packed_pair from_limbs(const std::uint64_t* limbs) { return {limbs[0], limbs[1]}; }
};

// A record as a bucket sorts it: its first two limbs, and where it is.
struct record_ref {
    std::uint64_t first;
    std::uint64_t second;
    const unsigned char* record;
};

// A token of 33 to 1022 bytes: a record, of as many bytes as it needs.
// Records that share their first limb are put in order by comparison.
struct record_kind {
    using sort_entry = record_ref;
    static constexpr std::size_t max_size = max_token_size;
    static constexpr std::size_t max_entry = max_record_size;
    static constexpr std::size_t max_limbs = (max_token_size + 15) / 16;
    static constexpr bool fixed_size = false;
    static constexpr std::size_t sort_limbs = 1;

    static std::size_t pack(std::string_view token, unsigned char* to)
    {
        pack_record(token, to);
        return record_size(token.size());
    }
    static std::size_t size(const unsigned char* at) { return record_size(record_length(at)); }
    static std::uint64_t hash(const hash_key& key, const unsigned char* at)
    {
        return hash_record(key, at);
    }
    static bool same(const unsigned char* a, const unsigned char* b) { return same_record(a, b); }
    // A record of length 0, which no token has, ends what its slab holds.
    static bool ends_slab(const unsigned char* at) { return record_length(at) == 0; }

    static sort_entry sorted(const unsigned char* at)
    {
        return {record_limb(at, 0), record_limb(at, 1), at};
    }
    static std::uint64_t sort_limb(const record_ref& ref, std::size_t i)
    {
        return i == 0 ? ref.first : i == 1 ? ref.second : record_limb(ref.record, i);
    }
    static bool before(const record_ref& a, const record_ref& b)
    {
        return a.second != b.second ? a.second < b.second : compare_records(a.record, b.record) < 0;
    }
    static bool same(const record_ref& a, const record_ref& b)
    {
        return same_record(a.record, b.record);
    }
    static std::size_t unpack(char* to, const record_ref& ref)
    {
        return unpack_record(to, ref.record);
    }
    static const unsigned char* bytes_of(const record_ref& ref) { return ref.record; }
    static unsigned limbs_of(const record_ref& ref, std::uint64_t* limbs)
    {
        const std::size_t length = record_length(ref.record);
        for (std::size_t i = 0; i * bytes_per_limb < length; ++i)
            limbs[i] = record_limb(ref.record, i);
        return static_cast<unsigned>(length);
    }
    // The size of the record of a token of `nibbles` nibbles.
    static std::size_t stored_size(unsigned nibbles) { return record_size(nibbles); }
    // Writes the record of the token whose limbs hold `nibbles` nibbles to
    // `to`, which has room for its size plus record_slack.
    static std::size_t store_limbs(const std::uint64_t* limbs, unsigned nibbles, unsigned char* to)
    {
        to[0] = static_cast<unsigned char>(nibbles);
        to[1] = static_cast<unsigned char>(nibbles >> 8);
        for (std::size_t i = 0; i * bytes_per_limb < nibbles; ++i) {
            const std::uint64_t limb = __builtin_bswap64(limbs[i]);
            std::memcpy(to + record_header + i * sizeof limb, &limb, sizeof limb);
        }
        return record_size(nibbles);
    }
};

// Whether two sort entries are of one token.
template <typename Kind>
bool same_token(const typename Kind::sort_entry& a, const typename Kind::sort_entry& b)
{
    if constexpr (Kind::fixed_size)
        return a == b;
    else
        return Kind::same(a, b);
}

// Limb `i` of an entry, of those that put it in byte order.
template <typename Kind> std::uint64_t limb_of(const unsigned char* entry, std::size_t i)
{
    return Kind::sort_limb(Kind::sorted(entry), i);
}

template <typename... Kinds> struct form_list {
};

// Every form, shortest first: the one list, which explicit instantiations
// of a template for each form go through as X(Kind), and from which
// all_forms is made.
#define TOKCOLLECT_FOR_EACH_FORM(X) X(word_kind) X(pair_kind) X(record_kind)

template <typename List> struct without_first;
template <typename First, typename... Kinds> struct without_first<form_list<First, Kinds...>> {
    using list = form_list<Kinds...>;
};
#define TOKCOLLECT_AFTER_COMMA(Kind) , Kind
using all_forms =
    without_first<form_list<void TOKCOLLECT_FOR_EACH_FORM(TOKCOLLECT_AFTER_COMMA)>>::list;
#undef TOKCOLLECT_AFTER_COMMA

// Calls f(Kind{}) for each form, in the list's order.
template <typename F> constexpr void for_each_form(F&& f)
{
    [&]<typename... Kinds>(form_list<Kinds...>) { (f(Kinds{}), ...); }(all_forms{});
}

// A form's place in the list, and the forms in it.
template <typename Kind>
constexpr std::size_t form_index = [] {
    std::size_t index = 0, at = 0;
    for_each_form(
        [&](auto kind) { index = std::is_same_v<decltype(kind), Kind> ? at : index, ++at; });
    return index;
}();
constexpr std::size_t form_count = [] {
    std::size_t count = 0;
    for_each_form([&](auto) { ++count; });
    return count;
}();

// The limbs that decide the order of tokens of two forms: all those of the
// longest form of one size. Tokens of a form of one size lie wholly in
// them, and only the last form has entries of many sizes, so where tokens
// of two forms share all of them, the one of the earlier form is a prefix
// of the other, and comes first.
constexpr std::size_t order_limbs = [] {
    std::size_t most = 0;
    for_each_form([&](auto kind) {
        if constexpr (decltype(kind)::fixed_size)
            most = std::max(most, decltype(kind)::max_limbs);
    });
    return most;
}();

// The most limbs that any form's radix sort orders by.
constexpr std::size_t max_sort_limbs = [] {
    std::size_t most = 0;
    for_each_form([&](auto kind) { most = std::max(most, decltype(kind)::sort_limbs); });
    return most;
}();

static_assert(
    [] {
        bool shortest_first = true, many_sizes_last = true, limbs_hold_tokens = true;
        std::size_t size = 0;
        for_each_form([&](auto kind) {
            using Kind = decltype(kind);
            shortest_first &= Kind::max_size > size;
            size = Kind::max_size;
            many_sizes_last &= Kind::fixed_size || form_index<Kind> + 1 == form_count;
            limbs_hold_tokens &=
                !Kind::fixed_size || (Kind::sort_limbs == Kind::max_limbs &&
                                      Kind::max_size <= Kind::max_limbs * bytes_per_limb);
        });
        return shortest_first && many_sizes_last && limbs_hold_tokens;
    }(),
    "forms come shortest first, only the last has entries of many sizes, and a form of one size "
    "is sorted by all its limbs, which hold its tokens");

// Calls f(Kind{}) for the form of the tokens of `size` bytes, 1 to 1022.
template <typename F> void with_form_of_size(std::size_t size, F&& f)
{
    bool found = false;
    for_each_form([&](auto kind) {
        if (!found && size <= decltype(kind)::max_size) {
            found = true;
            f(kind);
        }
    });
}

// One T<Kind> for each form.
template <template <typename> class T, typename List = all_forms> struct per_form;
template <template <typename> class T, typename... Kinds> struct per_form<T, form_list<Kinds...>> {
    std::tuple<T<Kinds>...> items;
};

// The item of form Kind of `each`, a per_form.
template <typename Kind, typename Each> auto& of(Each& each)
{
    return std::get<form_index<Kind>>(each.items);
}

// Calls f(Kind{}, item) for each form's item of `each`, a per_form, in the
// list's order.
template <typename Each, typename F> void for_each_form(Each& each, F&& f)
{
    for_each_form([&](auto kind) { f(kind, of<decltype(kind)>(each)); });
}

// A count of each form's tokens or entries.
template <typename Kind> using entry_count = std::size_t;
using form_counts = per_form<entry_count>;

inline std::size_t total(const form_counts& counts)
{
    std::size_t sum = 0;
    for_each_form(counts, [&](auto, std::size_t count) { sum += count; });
    return sum;
}

// How tokens are cut into buckets of the byte order by their first limbs:
// the top `shift` bits of these are alike in every token, and the next
// `bits`, 1 to 64 - shift, choose a bucket.
struct order_cut {
    int shift = 0;
    int bits = 1;
    std::size_t buckets() const { return std::size_t{1} << bits; }
};

// For each of the first `Limbs` limbs of some tokens, the bits that some
// token's limb has, and those that some token's limb lacks: a bit in both
// varies among them.
template <std::size_t Limbs> struct limb_bits {
    std::uint64_t set[Limbs] = {};
    std::uint64_t clear[Limbs] = {};
};

template <std::size_t Limbs>
inline void see_limb(limb_bits<Limbs>& bits, std::size_t i, std::uint64_t limb)
{
    bits.set[i] |= limb;
    bits.clear[i] |= ~limb;
}

// What `into` and `more` saw, in `into`, for the first limbs of both.
template <std::size_t Limbs, std::size_t More>
inline void add_bits(limb_bits<Limbs>& into, const limb_bits<More>& more)
{
    for (std::size_t i = 0; i < std::min(Limbs, More); ++i) {
        into.set[i] |= more.set[i];
        into.clear[i] |= more.clear[i];
    }
}

// The bits of limb `i` that vary among the tokens.
template <std::size_t Limbs>
inline std::uint64_t varying(const limb_bits<Limbs>& bits, std::size_t i)
{
    return bits.set[i] & bits.clear[i];
}

// A cut of `count` tokens, whose first limbs vary in bits `varying`, into
// buckets of some 2^size_bits tokens, 2 to 4096 of them.
inline order_cut cut_by_order(std::uint64_t varying, std::size_t count, int size_bits)
{
    const int shift = varying ? std::countl_zero(varying) : 0;
    const int bits = std::clamp(static_cast<int>(std::bit_width(count >> size_bits)), 1, 12);
    return {shift, std::min(bits, 64 - shift)};
}

// The bucket of a token whose first limb is `limb`: the bits below the top
// `shift`, `bits` of them. With the top bits alike, these put limbs in byte
// order, and so the tokens that begin with them.
inline std::size_t order_bucket(std::uint64_t limb, int shift, int bits)
{
    return (limb << shift) >> (64 - bits);
}
inline std::size_t order_bucket(std::uint64_t limb, const order_cut& cut)
{
    return order_bucket(limb, cut.shift, cut.bits);
}
