// SPDX-License-Identifier: MIT
// The run format on its own: sorted words and pairs written as runs and
// read back whole, from every bucket's seek and within the bounds that
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

// A token of `size` bytes from "/0123456789", biased toward `prefix`.
std::string random_token(std::mt19937_64& random, std::size_t size, const std::string& prefix)
{
    std::string token = prefix.substr(0, std::min(prefix.size(), random() % (size + 1)));
    while (token.size() < size)
        token += "/0123456789"[random() % 11];
    return token.substr(0, size);
}

// Packing reads 16 bytes at each token byte.
template <typename Kind> typename Kind::value pack_value(const std::string& token)
{
    const std::string padded = token + std::string(bytes_per_limb, '\0');
    unsigned char entry[Kind::max_entry + record_slack];
    Kind::pack(std::string_view(padded).substr(0, token.size()), entry);
    return Kind::load(entry);
}

// `count` distinct values of form Kind, sorted: from tokens of random
// lengths sharing long prefixes, and each token that is a prefix of another.
template <typename Kind>
std::vector<typename Kind::value> sorted_values(std::size_t count, int seed)
{
    std::mt19937_64 random(seed);
    const std::size_t shortest = Kind::max_size / 2 + 1;
    const std::string prefix = random_token(random, Kind::max_size, "");
    std::set<std::string> tokens;
    while (tokens.size() < count) {
        const std::string token =
            random_token(random, shortest + random() % (Kind::max_size - shortest + 1), prefix);
        tokens.insert(token);
        if (tokens.size() < count && token.size() > shortest)
            tokens.insert(token.substr(0, token.size() - 1));
    }
    std::vector<typename Kind::value> values;
    for (const std::string& token : tokens)
        values.push_back(pack_value<Kind>(token));
    return values;
}

// A run of `values`, each given twice: the writer keeps one.
template <typename Kind> token_run run_of(const std::vector<typename Kind::value>& values)
{
    run_writer<Kind> to = start_run<Kind>(nullptr, 2 * values.size());
    for (const auto& value : values) {
        write_token(to, value);
        write_token(to, value);
    }
    return finish_run(to);
}

template <typename Kind> std::vector<typename Kind::value> read_all(const token_run& run)
{
    std::vector<typename Kind::value> values;
    run_reader<Kind> reader = read_from_restart<Kind>(run, 0);
    while (reader.index < run.size)
        values.push_back(read_token(reader));
    return values;
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
        const auto values = sorted_values<Kind>(count, static_cast<int>(count));
        const token_run run = run_of<Kind>(values);
        EXPECT_EQ(run.size, values.size()) << count;
        EXPECT_EQ(run.restarts.size(), (count + restart_interval - 1) / restart_interval) << count;
        EXPECT_TRUE(read_all<Kind>(run) == values) << count << " tokens read back otherwise";
        EXPECT_EQ(run.last_first, Kind::sort_first(values.back())) << count;
    }
}

TEST(RunFormat, RoundTrips)
{
    expect_round_trips<word_kind>();
    expect_round_trips<pair_kind>();
}

// Every bucket of cuts of 1 to 10 bits: the seek stands at the bucket's
// first token, the bucket's tokens are taken and no more, and the bounds
// from counting hold every bucket's tokens.
template <typename Kind> void expect_seeks_and_counts()
{
    for (std::size_t count : counts_across_restarts()) {
        const auto values = sorted_values<Kind>(count, 7 + static_cast<int>(count));
        const token_run run = run_of<Kind>(values);
        std::uint64_t any = 0, all = ~std::uint64_t{0};
        for (const auto& value : values) {
            any |= Kind::sort_first(value);
            all &= Kind::sort_first(value);
        }
        for (int bits = 1; bits <= 10; ++bits) {
            const order_cut base = cut_by_order(any, all, 0, 0);
            const order_cut cut{base.shift, std::min(bits, 64 - base.shift)};
            std::vector<std::ptrdiff_t> steps(cut.buckets() + 1);
            count_run<Kind>(run, cut, steps);
            std::vector<std::size_t> bounds(cut.buckets());
            add_bounds(steps, bounds);
            for (std::size_t b = 0; b < cut.buckets(); ++b) {
                std::vector<typename Kind::value> expected, taken;
                for (const auto& value : values)
                    if (token_bucket<Kind>(value, cut) == b)
                        expected.push_back(value);
                run_cursor<Kind> cursor = seek_run<Kind>(run, cut, b);
                take_bucket(cursor, cut, b, [&](const auto& value) { taken.push_back(value); });
                const std::string where = std::to_string(count) + " tokens, bucket " +
                                          std::to_string(b) + " of " + std::to_string(bits) +
                                          " bits";
                EXPECT_TRUE(taken == expected) << where;
                EXPECT_GE(bounds[b], expected.size()) << where;
            }
        }
    }
}

TEST(RunFormat, SeeksEveryBucketWithinItsBound)
{
    expect_seeks_and_counts<word_kind>();
    expect_seeks_and_counts<pair_kind>();
}

// The shared prefix of neighbours ends in every nibble of either limb of a
// pair, and a word of every length follows its own prefix.
TEST(RunFormat, SharedPrefixesOfEveryLength)
{
    std::set<std::string> words, pairs;
    const std::string base = "0123456789/01234567890123456789/0";
    for (std::size_t size = 1; size <= max_word_size; ++size)
        for (char last : {'/', '5', '9'})
            words.insert(base.substr(0, size - 1) + last);
    for (std::size_t size = max_word_size + 1; size <= max_pair_size; ++size)
        for (std::size_t differ = 0; differ < size; ++differ) {
            std::string token = base.substr(0, size);
            token[differ] = token[differ] == '9' ? '/' : '9';
            pairs.insert(token);
            pairs.insert(base.substr(0, size));
        }
    std::vector<std::uint64_t> word_values;
    for (const std::string& token : words)
        word_values.push_back(pack_value<word_kind>(token));
    std::vector<packed_pair> pair_values;
    for (const std::string& token : pairs)
        pair_values.push_back(pack_value<pair_kind>(token));
    EXPECT_TRUE(read_all<word_kind>(run_of<word_kind>(word_values)) == word_values);
    EXPECT_TRUE(read_all<pair_kind>(run_of<pair_kind>(pair_values)) == pair_values);
}

// Batches written to runs by a shard's partitions of words: many small
// ones, so that runs of one level merge, and the same batch again and
// again, so that every run merges. Each run holds its tokens once, in
// order, and all of them hold every token given.
TEST(Compaction, MergesKeepEveryTokenOnce)
{
    struct merge_case {
        const char* name;
        std::size_t batches;
        std::size_t batch_size;
        bool same_batch;
    };
    const merge_case cases[] = {
        {"many small batches", 700, 100, false},
        {"one batch again and again", 40, 20'000, true},
    };
    for (const merge_case& c : cases) {
        const hash_key key{0x0123456789abcdef, 0x9e3779b97f4a7c15};
        partitions<word_kind> parts;
        open_partitions(parts, key, 0, false,
                        std::make_shared<slab_pool>(slab_bytes<word_kind>, nullptr));
        form_runs runs;
        runs.batch = 1;
        std::set<std::uint64_t> given;
        std::mt19937_64 random(c.batches);
        const auto batch = sorted_values<word_kind>(c.batch_size, 1);
        for (std::size_t b = 0; b < c.batches; ++b) {
            const auto values = c.same_batch ? batch : sorted_values<word_kind>(c.batch_size, b);
            for (std::uint64_t value : values) {
                append_entry(parts, 0, reinterpret_cast<const unsigned char*>(&value),
                             sizeof value);
                given.insert(value);
            }
            write_runs(parts, runs);
            EXPECT_EQ(parts.size, 0u) << c.name;
        }
        std::set<std::uint64_t> held;
        for (const token_run& run : runs.runs) {
            const auto values = read_all<word_kind>(run);
            EXPECT_TRUE(std::adjacent_find(values.begin(), values.end(), std::greater_equal<>()) ==
                        values.end())
                << c.name << ": a run out of order or holding a token twice";
            held.insert(values.begin(), values.end());
        }
        EXPECT_TRUE(held == given) << c.name;
        EXPECT_LT(runs.runs.size(), c.batches / 2) << c.name << ": too few merges";
        EXPECT_LE(runs.held, 2 * given.size()) << c.name;
    }
}

} // namespace
