// SPDX-License-Identifier: MIT
// The structures under the set, each on its own: partitions deduplicate as
// they double, take turns where their entries are distinct and stop where
// they recur, split and bucket without losing an entry; the slab pool
// gives back what it took; the radix sort orders equal and skewed keys and
// keeps the order of equal ones; and the shards hold a token that many
// inserters meet once, in the shard its hash names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "forms/radix_sort.h"
#include "runs/run_reader.h"
#include "set/token_inserter.h"
#include "store/partitions.h"
#include "store/slab_pool.h"

namespace
{

const hash_key known_key{0x0123456789abcdef, 0x9e3779b97f4a7c15};

// The token that an entry of form Kind packs.
template <typename Kind> std::string unpacked(const unsigned char* entry)
{
    char text[max_token_size + 2 * bytes_per_limb];
    return std::string(text, Kind::unpack(text, Kind::sorted(entry)));
}

// An entry of form Kind for `token`, with the slack its loads read past.
template <typename Kind> std::vector<unsigned char> packed(const std::string& token)
{
    const std::string padded = token + std::string(bytes_per_limb, '\0');
    std::vector<unsigned char> entry(Kind::max_entry + record_slack);
    entry.resize(Kind::pack(std::string_view(padded).substr(0, token.size()), entry.data()));
    return entry;
}

// `count` distinct tokens of form Kind, of up to 70 bytes.
template <typename Kind> std::vector<std::string> tokens_of(std::size_t count)
{
    std::mt19937_64 random(count);
    std::size_t shortest = 1;
    for_each_form([&](auto kind) {
        if (form_index<decltype(kind)> < form_index<Kind>)
            shortest = decltype(kind)::max_size + 1;
    });
    std::set<std::string> tokens;
    while (tokens.size() < count) {
        std::string token;
        for (std::size_t n =
                 shortest + random() % std::min<std::size_t>(Kind::max_size - shortest + 1, 70);
             n > 0; --n)
            token += "/0123456789"[random() % 11];
        tokens.insert(token);
    }
    return {tokens.begin(), tokens.end()};
}

template <typename Kind> std::map<std::string, int> held(const partitions<Kind>& parts)
{
    std::map<std::string, int> times;
    for (std::size_t p = 0; p < std::size_t{1} << parts.bits; ++p)
        for_each_entry(parts, parts.parts[p],
                       [&](const unsigned char* entry) { ++times[unpacked<Kind>(entry)]; });
    return times;
}

// Tokens given over and over, in rounds, to partitions that deduplicate:
// each is held at least once, every entry is counted, and the partitions
// grow no more than eightfold between deduplications; deduplicating them
// all leaves each token once. Partitions told that their entries are
// distinct keep every one.
template <typename Kind> void expect_deduplicated(int bits, bool distinct)
{
    const std::vector<std::string> tokens = tokens_of<Kind>(3000);
    partitions<Kind> parts;
    open_partitions(parts, known_key, bits, distinct,
                    std::make_shared<slab_pool>(slab_bytes<Kind>, nullptr));
    std::size_t given = 0;
    for (int round = 0; round < (distinct ? 1 : 5); ++round)
        for (const std::string& token : tokens) {
            const std::vector<unsigned char> entry = packed<Kind>(token);
            append_entry(parts, hash_partition(Kind::hash(known_key, entry.data()), bits),
                         entry.data(), entry.size());
            ++given;
        }
    const std::string where =
        std::to_string(form_index<Kind>) + " form, " + std::to_string(bits) + " bits";
    std::map<std::string, int> times = held(parts);
    ASSERT_EQ(times.size(), tokens.size()) << where;
    std::size_t entries = 0;
    for (const auto& [token, count] : times)
        entries += static_cast<std::size_t>(count);
    EXPECT_EQ(parts.size, entries) << where;
    EXPECT_EQ(entries, distinct ? given : std::min(given, entries)) << where;
    EXPECT_LE(entries, 8 * tokens.size()) << where;
    EXPECT_EQ(parts.dropped, given - entries) << where;
    deduplicate_all(parts);
    EXPECT_EQ(parts.size, tokens.size()) << where;
    EXPECT_EQ(held(parts).size(), tokens.size()) << where;
}

TEST(Partitions, DeduplicateAsTheyDouble)
{
    for (int bits : {0, 3}) {
        for_each_form([&](auto kind) { expect_deduplicated<decltype(kind)>(bits, false); });
        for_each_form([&](auto kind) { expect_deduplicated<decltype(kind)>(bits, true); });
    }
}

// Partitions appended to as the set appends to them. Distinct tokens make
// them take turns, keeping every entry; once tokens come again and again,
// the turns end when the partitions hold distinct_dedup_growth times what
// they held when turns began, never later, and the partitions split by
// hash: deduplicating them all then leaves each token once, and they never
// take turns again.
template <typename Kind> void expect_turns()
{
    const std::vector<std::string> tokens = tokens_of<Kind>(20000);
    partitions<Kind> parts;
    open_partitions(parts, known_key, 3, false,
                    std::make_shared<slab_pool>(slab_bytes<Kind>, nullptr));
    std::size_t turns_end_at = 0;
    const auto append = [&](const std::string& token) {
        const std::vector<unsigned char> entry = packed<Kind>(token);
        const std::size_t p =
            partition_for(parts, entry.size(), [&] { return Kind::hash(known_key, entry.data()); });
        append_entry(parts, p, entry.data(), entry.size(), [&] { pace_turns(parts); });
        turns_end_at = std::max(turns_end_at, parts.turns_end_at);
        // Turns end when a partition next takes a slab.
        if (!parts.turns_over && turns_end_at > 0) {
            ASSERT_LE(parts.size, turns_end_at + slab_bytes<Kind>);
        }
    };
    const std::string where = std::to_string(form_index<Kind>) + " form";
    for (const std::string& token : tokens)
        append(token);
    EXPECT_GT(turns_end_at, 0u) << where;
    EXPECT_EQ(parts.size, tokens.size()) << where;
    for (std::size_t round = 0; !parts.turns_over; ++round) {
        ASSERT_LE(round, turns_end_at / 100) << where;
        for (std::size_t i = 0; i < 100; ++i)
            append(tokens[i]);
    }
    EXPECT_EQ(parts.turns_end_at, 0u) << where;
    deduplicate_all(parts);
    EXPECT_EQ(parts.size, tokens.size()) << where;
    std::map<std::string, int> expected;
    for (const std::string& token : tokens)
        expected[token] = 1;
    EXPECT_TRUE(held(parts) == expected) << where;
}

// Tokens that each come twice, half a slab of every partition apart, are
// found to recur, and the partitions never take turns.
template <typename Kind> void expect_no_turns()
{
    const std::vector<std::string> tokens = tokens_of<Kind>(40000);
    partitions<Kind> parts;
    const int bits = 3;
    open_partitions(parts, known_key, bits, false,
                    std::make_shared<slab_pool>(slab_bytes<Kind>, nullptr));
    const std::size_t apart =
        (std::size_t{1} << bits) * slab_bytes<Kind> / packed<Kind>(tokens[0]).size() / 2;
    for (std::size_t block = 0; block + apart <= tokens.size(); block += apart)
        for (std::size_t i = 0; i < 2 * apart; ++i) {
            const std::vector<unsigned char> entry = packed<Kind>(tokens[block + i % apart]);
            const std::size_t p = partition_for(
                parts, entry.size(), [&] { return Kind::hash(known_key, entry.data()); });
            append_entry(parts, p, entry.data(), entry.size(), [&] { pace_turns(parts); });
            ASSERT_EQ(parts.turns_end_at, 0u) << form_index<Kind>;
        }
    EXPECT_TRUE(parts.turns_over) << form_index<Kind>;
}

TEST(Partitions, TakeTurnsWhileTheirEntriesAreDistinct)
{
    for_each_form([&](auto kind) { expect_turns<decltype(kind)>(); });
    for_each_form([&](auto kind) { expect_no_turns<decltype(kind)>(); });
}

// Split by hash, then moved into buckets of the byte order with the
// partitions of a second shard on the same pool: every entry is kept, each
// in the bucket its first limb chooses, and the second shard is left empty.
template <typename Kind> void expect_moved_whole()
{
    const std::vector<std::string> tokens = tokens_of<Kind>(5000);
    const auto pool = std::make_shared<slab_pool>(slab_bytes<Kind>, nullptr);
    partitions<Kind> first, second;
    open_partitions(first, known_key, 0, true, pool);
    open_partitions(second, known_key, 0, true, pool);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::vector<unsigned char> entry = packed<Kind>(tokens[i]);
        append_entry(i % 2 ? second : first, 0, entry.data(), entry.size());
    }
    split_partitions(first, 4);
    EXPECT_EQ(first.bits, 4);
    const std::size_t slabs = first.slabs + second.slabs;
    partitions<Kind>* others[] = {&second};
    limb_bits<Kind::sort_limbs> both = first.bits_seen;
    add_bits(both, second.bits_seen);
    const order_cut cut = cut_by_order(varying(both, 0), 0, 0);
    bucket_partitions(first, std::span<partitions<Kind>*>(others), cut.shift, 6);
    EXPECT_EQ(first.size, tokens.size());
    EXPECT_EQ(second.size, 0u);
    EXPECT_LE(first.slabs, slabs + (std::size_t{1} << 6));
    std::size_t seen = 0;
    for (std::size_t b = 0; b < std::size_t{1} << 6; ++b)
        for_each_entry(first, first.parts[b], [&](const unsigned char* entry) {
            ++seen;
            EXPECT_EQ(order_bucket(limb_of<Kind>(entry, 0), cut.shift, 6), b);
        });
    EXPECT_EQ(seen, tokens.size());
    std::map<std::string, int> expected;
    for (const std::string& token : tokens)
        expected[token] = 1;
    EXPECT_TRUE(held(first) == expected) << form_index<Kind>;
}

TEST(Partitions, SplitAndBucketKeepEveryEntry)
{
    for_each_form([](auto kind) { expect_moved_whole<decltype(kind)>(); });
}

// Slabs are never 0, never handed out twice, and come back to be taken
// again, extent after extent, past the small first one; each keeps its own
// bytes and its own successor.
TEST(SlabPool, GivesBackWhatItTook)
{
    for (std::size_t size : {entry_slab_bytes, record_slab_bytes}) {
        slab_pool pool(size, nullptr);
        const std::size_t count = 3 * (extent_bytes / size) + 5;
        std::vector<std::uint32_t> taken;
        for (std::size_t i = 0; i < count; ++i)
            taken.push_back(take_slab(pool));
        EXPECT_EQ(std::set(taken.begin(), taken.end()).size(), count);
        EXPECT_EQ(std::count(taken.begin(), taken.end(), 0u), 0);
        // Slab 0 among them, in extents that double up to a whole one.
        std::size_t extents = 0;
        for (std::size_t room = 0, bytes = first_extent_bytes; room < (count + 1) * size;
             bytes = std::min(2 * bytes, extent_bytes), ++extents)
            room += bytes;
        EXPECT_EQ(pool.extent_count, extents);
        for (std::size_t i = 0; i < count; ++i) {
            next_slab(pool, taken[i]) = taken[(i + 1) % count];
            std::memset(slab_start(pool, taken[i]), static_cast<int>(i), size);
        }
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(next_slab(pool, taken[i]), taken[(i + 1) % count]);
            const unsigned char* bytes = slab_start(pool, taken[i]);
            EXPECT_EQ(bytes[0], static_cast<unsigned char>(i));
            EXPECT_EQ(bytes[size - 1], static_cast<unsigned char>(i)) << "slabs overlap";
        }
        give_back(pool, taken.data(), count);
        std::vector<std::uint32_t> again;
        for (std::size_t i = 0; i < count; ++i)
            again.push_back(take_slab(pool));
        EXPECT_TRUE(std::set(again.begin(), again.end()) == std::set(taken.begin(), taken.end()));
        EXPECT_EQ(pool.extent_count, extents) << "extents added";
    }
}

// Keys with their place in the input: the sort must order the keys and
// keep the order of equal ones.
struct keyed {
    std::uint64_t key;
    std::size_t place;
};

TEST(RadixSort, OrdersEqualAndSkewedKeys)
{
    struct sort_case {
        const char* name;
        std::size_t size;
        std::uint64_t (*key)(std::mt19937_64&);
    };
    const sort_case cases[] = {
        {"all equal", 1000, [](std::mt19937_64&) { return std::uint64_t{0x1234} << 40; }},
        {"two keys", 1000, [](std::mt19937_64& r) { return std::uint64_t{r() % 2} << 63; }},
        {"skewed", 5000,
         [](std::mt19937_64& r) { return r() % 10 ? std::uint64_t{7} << 32 : r() % 1000 << 20; }},
        {"random", 5000, [](std::mt19937_64& r) { return r(); }},
        {"random, in digits of a byte", 2000, [](std::mt19937_64& r) { return r(); }},
        {"23 bits from bit 17", 5000, [](std::mt19937_64& r) { return r() % (1 << 23) << 17; }},
        {"top bit alone", 5000, [](std::mt19937_64& r) { return (r() % 2) << 63 | 0xff; }},
        {"low bytes alike", 3000, [](std::mt19937_64& r) { return r() << 24; }},
        {"few", 31, [](std::mt19937_64& r) { return r() % 5; }},
        {"just too many for insertion", 33, [](std::mt19937_64& r) { return r() % 5 << 56; }},
        {"one", 1, [](std::mt19937_64& r) { return r(); }},
        {"none", 0, [](std::mt19937_64& r) { return r(); }},
    };
    for (const sort_case& c : cases) {
        std::mt19937_64 random(c.size);
        std::vector<keyed> entries(c.size), scratch(c.size);
        limb_bits<1> seen;
        for (std::size_t i = 0; i < c.size; ++i) {
            entries[i] = {c.key(random), i};
            see_limb(seen, 0, entries[i].key);
        }
        std::vector<keyed> expected = entries;
        std::stable_sort(expected.begin(), expected.end(),
                         [](const keyed& a, const keyed& b) { return a.key < b.key; });
        const keyed* sorted =
            sort_by_key(entries.data(), scratch.data(), c.size, varying_bits(varying(seen, 0)),
                        [](const keyed& e) { return e.key; });
        for (std::size_t i = 0; i < c.size; ++i) {
            EXPECT_EQ(sorted[i].key, expected[i].key) << c.name << " at " << i;
            EXPECT_EQ(sorted[i].place, expected[i].place) << c.name << " at " << i;
        }
    }
}

// Pairs sorted by both limbs, the second first: in byte order.
TEST(RadixSort, PairsByBothLimbs)
{
    std::mt19937_64 random(2);
    std::vector<packed_pair> pairs(4000), scratch(4000);
    limb_bits<2> seen;
    for (packed_pair& pair : pairs) {
        pair = {(random() % 4 + 1) << 60, random() | 1};
        see_limb(seen, 0, pair.high);
        see_limb(seen, 1, pair.low);
    }
    const bit_range limbs[] = {varying_bits(varying(seen, 0)), varying_bits(varying(seen, 1))};
    const packed_pair* sorted =
        sort_by_limbs<pair_kind>(pairs.data(), scratch.data(), pairs.size(), limbs);
    EXPECT_TRUE(std::is_sorted(sorted, sorted + pairs.size(), [](const auto& a, const auto& b) {
        return a.high != b.high ? a.high < b.high : a.low < b.low;
    }));
}

// Four inserters give a set of sixteen shards the same tokens of every
// form, so many words that every inserter's table spills them: each token
// is held in the shard its hash names alone, and, once that shard's
// partitions are deduplicated, once there, unless it has runs.
TEST(Shards, HoldATokenOnceWhereItsHashSays)
{
    std::vector<std::string> tokens;
    for_each_form([&](auto kind) {
        const auto some = tokens_of<decltype(kind)>(
            std::is_same_v<decltype(kind), word_kind> ? largest_slots : 4000);
        tokens.insert(tokens.end(), some.begin(), some.end());
    });
    token_set set(16);
    ASSERT_EQ(set.shard_count, 16u);
    std::vector<std::unique_ptr<token_inserter>> inserters;
    for (int i = 0; i < 4; ++i)
        inserters.push_back(std::make_unique<token_inserter>(set));
    for (const auto& inserter : inserters)
        for (const std::string& token : tokens) {
            const std::string padded = token + std::string(bytes_per_limb, '\0');
            insert_token(*inserter, std::string_view(padded).substr(0, token.size()));
        }
    for (const auto& inserter : inserters) {
        EXPECT_NE(inserter->words_in, word_home::table) << "a table that never spilled";
        drain(*inserter);
    }
    std::map<std::string, std::set<std::size_t>> shards_of;
    std::map<std::string, int> times;
    bool any_runs = false;
    for (std::size_t shard = 0; shard < set.shard_count; ++shard)
        for_each_form(set.shards[shard].held.forms, [&](auto kind, auto& form) {
            using Kind = decltype(kind);
            auto hold = [&](const unsigned char* entry) {
                const std::string token = unpacked<Kind>(entry);
                shards_of[token].insert(shard);
                ++times[token];
                EXPECT_EQ(Kind::hash(set.key, entry) % set.shard_count, shard) << token;
            };
            if (!form.parts.parts)
                return;
            deduplicate_all(form.parts);
            for (std::size_t p = 0; p < std::size_t{1} << form.parts.bits; ++p)
                for_each_entry(form.parts, form.parts.parts[p], hold);
            for (const token_run& run : form.runs.runs) {
                any_runs = true;
                record_arena arena;
                make_arena(arena, max_record_size, nullptr);
                run_reader<Kind> reader = read_from_restart<Kind>(run, 0);
                while (reader.index < run.size) {
                    empty_arena(arena);
                    const auto entry = sort_entry_of(read_token(reader), arena);
                    hold(Kind::bytes_of(entry));
                }
            }
        });
    EXPECT_EQ(shards_of.size(), tokens.size());
    for (const auto& [token, shards] : shards_of)
        EXPECT_EQ(shards.size(), 1u) << token << " held in several shards";
    for (const auto& [token, count] : times)
        EXPECT_TRUE(any_runs || count == 1) << token << " held twice in its shard";
}

} // namespace
