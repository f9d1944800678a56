// SPDX-License-Identifier: MIT
// The run format on its own: sorted tokens of every form written as runs
// and read back whole, from every bucket's seek and within the bounds that
// counting gives; and compaction, whose merges must keep every token once.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "forms/forms.h"
#include "runs/compaction.h"
#include "runs/run_reader.h"
#include "runs/run_writer.h"

namespace
{

// Tokens of form Kind, packed, with their sort entries, which for records
// point into the packed bytes.
template <typename Kind> struct packed_tokens {
    std::vector<std::vector<unsigned char>> bytes;
    std::vector<typename Kind::sort_entry> entries;
};

// Packing reads 16 bytes at each token byte, and a record's loads 8 past it.
template <typename Kind> packed_tokens<Kind> pack_all(const std::vector<std::string>& tokens)
{
    packed_tokens<Kind> packed;
    for (const std::string& token : tokens) {
        const std::string padded = token + std::string(bytes_per_limb, '\0');
        std::vector<unsigned char> entry(Kind::max_entry + record_slack);
        Kind::pack(std::string_view(padded).substr(0, token.size()), entry.data());
        packed.bytes.push_back(std::move(entry));
    }
    for (const std::vector<unsigned char>& entry : packed.bytes)
        packed.entries.push_back(Kind::sorted(entry.data()));
    return packed;
}

// A token read from a run, through an arena of room for the longest.
template <typename Kind> std::string unpacked(const run_token<Kind>& token)
{
    record_arena arena;
    make_arena(arena, max_record_size, nullptr);
    char text[max_token_size + 2 * bytes_per_limb];
    return std::string(text, Kind::unpack(text, sort_entry_of(token, arena)));
}

// The shortest token of form Kind.
template <typename Kind> std::size_t shortest()
{
    std::size_t size = 1;
    for_each_form([&](auto kind) {
        if (form_index<decltype(kind)> < form_index<Kind>)
            size = decltype(kind)::max_size + 1;
    });
    return size;
}

// `count` distinct tokens of form Kind, of up to 80 bytes, sorted: they
// share long prefixes, and some are prefixes of others.
template <typename Kind> std::vector<std::string> sorted_tokens(std::size_t count, int seed)
{
    std::mt19937_64 random(seed);
    const std::size_t low = shortest<Kind>(), high = std::min<std::size_t>(Kind::max_size, 80);
    std::string prefix;
    while (prefix.size() < high)
        prefix += "/0123456789"[random() % 11];
    std::set<std::string> tokens;
    while (tokens.size() < count) {
        const std::size_t size = low + random() % (high - low + 1);
        std::string token = prefix.substr(0, random() % (size + 1));
        while (token.size() < size)
            token += "/0123456789"[random() % 11];
        tokens.insert(token);
        if (tokens.size() < count && size > low)
            tokens.insert(token.substr(0, size - 1));
    }
    return {tokens.begin(), tokens.end()};
}

// A run of `tokens`.
template <typename Kind> token_run run_of(const std::vector<std::string>& tokens)
{
    const packed_tokens<Kind> packed = pack_all<Kind>(tokens);
    run_writer<Kind> to = start_run<Kind>(nullptr, tokens.size());
    for (const auto& entry : packed.entries)
        write_token(to, entry);
    return finish_run(to);
}

template <typename Kind> std::vector<std::string> read_all(const token_run& run)
{
    std::vector<std::string> tokens;
    run_reader<Kind> reader = read_from_restart<Kind>(run, 0);
    while (reader.index < run.size)
        tokens.push_back(unpacked(read_token(reader)));
    return tokens;
}

// Counts around every multiple of the restart interval, the first few, and
// larger ones.
std::vector<std::size_t> counts_across_restarts()
{
    std::vector<std::size_t> counts;
    for (std::size_t restarts : {0, 1, 2, 5})
        for (std::size_t count : {restarts * restart_interval + 1, restarts * restart_interval,
                                  restarts * restart_interval - 1})
            if (count > 0 && count < 5 * restart_interval + 2)
                counts.push_back(count);
    counts.push_back(1000);
    return counts;
}

template <typename Kind> void expect_round_trips()
{
    for (std::size_t count : counts_across_restarts()) {
        const std::vector<std::string> tokens = sorted_tokens<Kind>(count, static_cast<int>(count));
        const token_run run = run_of<Kind>(tokens);
        const std::string where =
            std::to_string(count) + " tokens of form " + std::to_string(form_index<Kind>);
        EXPECT_EQ(run.size, tokens.size()) << where;
        EXPECT_EQ(run.restarts.size(), (count + restart_interval - 1) / restart_interval) << where;
        EXPECT_TRUE(read_all<Kind>(run) == tokens) << where << ": read back otherwise";
    }
}

TEST(RunFormat, RoundTrips)
{
    for_each_form([](auto kind) { expect_round_trips<decltype(kind)>(); });
}

// Every bucket of cuts of 1 to 10 bits: the seek stands at the bucket's
// first token, the bucket's tokens are taken and no more, and the bounds
// from counting hold every bucket's tokens, and its records in an arena of
// the room they bound.
template <typename Kind> void expect_seeks_and_counts()
{
    for (std::size_t count : counts_across_restarts()) {
        const std::vector<std::string> tokens =
            sorted_tokens<Kind>(count, 7 + static_cast<int>(count));
        const packed_tokens<Kind> packed = pack_all<Kind>(tokens);
        const token_run run = run_of<Kind>(tokens);
        limb_bits<1> seen;
        for (const auto& entry : packed.entries)
            see_limb(seen, 0, Kind::sort_limb(entry, 0));
        for (int bits = 1; bits <= 10; ++bits) {
            const order_cut base = cut_by_order(varying(seen, 0), 0, 0);
            const order_cut cut{base.shift, std::min(bits, 64 - base.shift)};
            std::vector<bucket_bound> steps(cut.buckets() + 1), bounds(cut.buckets());
            count_run<Kind>(run, cut, steps);
            add_bounds(steps, bounds);
            for (std::size_t b = 0; b < cut.buckets(); ++b) {
                std::vector<std::string> expected, taken;
                std::size_t record_bytes = 0;
                for (std::size_t i = 0; i < tokens.size(); ++i)
                    if (order_bucket(Kind::sort_limb(packed.entries[i], 0), cut) == b) {
                        expected.push_back(tokens[i]);
                        record_bytes += Kind::fixed_size ? 0 : Kind::size(packed.bytes[i].data());
                    }
                const std::string where =
                    std::to_string(count) + " tokens of form " + std::to_string(form_index<Kind>) +
                    ", bucket " + std::to_string(b) + " of " + std::to_string(bits) + " bits";
                ASSERT_GE(bounds[b].tokens, expected.size()) << where;
                ASSERT_GE(bounds[b].arena, record_bytes) << where;
                record_arena arena;
                make_arena(arena, bounds[b].arena, nullptr);
                cursor_list<Kind> cursors{seek_run<Kind>(run, cut, b)};
                std::vector<typename Kind::sort_entry> room(bounds[b].tokens);
                const std::size_t size = take_buckets<Kind>(cursors, cut, b, 0, room.data(), arena);
                for (std::size_t i = 0; i < size; ++i) {
                    char text[max_token_size + 2 * bytes_per_limb];
                    taken.emplace_back(text, Kind::unpack(text, room[i]));
                }
                EXPECT_TRUE(taken == expected) << where;
                EXPECT_EQ(arena.used, record_bytes) << where;
            }
        }
    }
}

TEST(RunFormat, SeeksEveryBucketWithinItsBound)
{
    for_each_form([](auto kind) { expect_seeks_and_counts<decltype(kind)>(); });
}

// The shared prefix of neighbours ends at every nibble of every limb, and
// every length follows its own prefix.
TEST(RunFormat, SharedPrefixesOfEveryLength)
{
    std::string base;
    for (int i = 0; i < 70; ++i)
        base += "0123456789/"[i * 7 % 11];
    for_each_form([&](auto kind) {
        using Kind = decltype(kind);
        std::set<std::string> tokens;
        for (std::size_t size = shortest<Kind>(); size <= std::min<std::size_t>(Kind::max_size, 70);
             ++size)
            for (std::size_t differ = 0; differ < size; ++differ) {
                std::string token = base.substr(0, size);
                token[differ] = token[differ] == '9' ? '/' : '9';
                tokens.insert(token);
                tokens.insert(base.substr(0, size));
            }
        const std::vector<std::string> sorted(tokens.begin(), tokens.end());
        EXPECT_TRUE(read_all<Kind>(run_of<Kind>(sorted)) == sorted) << form_index<Kind>;
    });
}

// Batches written to runs by a shard's partitions of each form: many small
// ones, so that runs of one level merge, and the same batch again and
// again, so that every run merges. Each run holds its tokens once, in
// order, and all of them hold every token given.
template <typename Kind> void expect_merges_keep_every_token_once()
{
    struct merge_case {
        const char* name;
        std::size_t batches;
        std::size_t batch_size;
        bool same_batch;
    };
    const merge_case cases[] = {
        {"many small batches", 700, 60, false},
        {"one batch again and again", 40, 8'000, true},
    };
    for (const merge_case& c : cases) {
        const hash_key key{0x0123456789abcdef, 0x9e3779b97f4a7c15};
        partitions<Kind> parts;
        open_partitions(parts, key, 0, false,
                        std::make_shared<slab_pool>(slab_bytes<Kind>, nullptr));
        form_runs runs;
        runs.batch = 1;
        std::set<std::string> given;
        const std::vector<std::string> batch = sorted_tokens<Kind>(c.batch_size, 1);
        for (std::size_t b = 0; b < c.batches; ++b) {
            const std::vector<std::string> tokens =
                c.same_batch ? batch : sorted_tokens<Kind>(c.batch_size, static_cast<int>(b));
            const packed_tokens<Kind> packed = pack_all<Kind>(tokens);
            for (const std::vector<unsigned char>& entry : packed.bytes)
                append_entry(parts, 0, entry.data(), Kind::size(entry.data()));
            given.insert(tokens.begin(), tokens.end());
            write_runs(parts, runs);
            EXPECT_EQ(parts.size, 0u) << c.name;
        }
        std::set<std::string> held;
        for (const token_run& run : runs.runs) {
            const std::vector<std::string> tokens = read_all<Kind>(run);
            EXPECT_TRUE(std::adjacent_find(tokens.begin(), tokens.end(), std::greater_equal<>()) ==
                        tokens.end())
                << c.name << ": a run out of order or holding a token twice";
            held.insert(tokens.begin(), tokens.end());
        }
        const std::string where =
            std::string(c.name) + ", form " + std::to_string(form_index<Kind>);
        EXPECT_TRUE(held == given) << where;
        EXPECT_LT(runs.runs.size(), c.batches / 2) << where << ": too few merges";
        EXPECT_LE(runs.held, 2 * given.size()) << where;
    }
}

TEST(Compaction, MergesKeepEveryTokenOnce)
{
    for_each_form([](auto kind) { expect_merges_keep_every_token_once<decltype(kind)>(); });
}

} // namespace
