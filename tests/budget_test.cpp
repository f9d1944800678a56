// SPDX-License-Identifier: MIT
// The memory budget and the policy that keeps within it: taking fails past
// the ceiling and leaves nothing taken, every structure gives back all it
// took, and a set writes runs once its partitions fill their share of the
// budget, or once the budget is pressed, whatever its tokens do.
#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "listing/listing.h"
#include "set/token_inserter.h"
#include "store/memory_policy.h"
#include "store/slab_pool.h"

namespace
{

// Taking fails past the ceiling, while the limit only marks the budget as
// pressed.
TEST(MemoryBudget, TakesUpToItsCeiling)
{
    struct step {
        long bytes; // taken where positive, given back where negative
        bool taken;
        std::size_t used;
    };
    const step steps[] = {
        {60, true, 60},  {50, false, 60}, {-20, true, 40}, {50, true, 90},
        {10, true, 100}, {1, false, 100}, {-100, true, 0}, {101, false, 0},
    };
    memory_budget budget(80, 100);
    for (const step& s : steps) {
        bool taken = true;
        try {
            if (s.bytes >= 0)
                charge(&budget, static_cast<std::size_t>(s.bytes));
            else
                refund(&budget, static_cast<std::size_t>(-s.bytes));
        } catch (const std::bad_alloc&) {
            taken = false;
        }
        EXPECT_EQ(taken, s.taken) << s.bytes;
        EXPECT_EQ(budget.used, s.used) << s.bytes;
        EXPECT_EQ(pressed(&budget), s.used > 80 / pressure_divisor) << s.bytes;
    }
}

// The cgroups' limit and the machine's memory bound the budget; the
// address-space and data-segment limits, which count the code too and end
// in a failed mapping rather than a kill, lower only what it plans by.
TEST(MemoryBudget, FoundFromTheLimits)
{
    constexpr std::uint64_t mib = 1 << 20;
    struct limits_case {
        std::uint64_t memory, address_space;
        std::size_t limit, ceiling;
    };
    const limits_case cases[] = {
        {1024 * mib, UINT64_MAX, 1004 * mib, 1004 * mib},
        {1024 * mib, 128 * mib, 122 * mib, 1004 * mib},
        {128 * mib, 1024 * mib, 122 * mib, 122 * mib},
        {4 * mib, UINT64_MAX, 0, 0},
        {1024 * mib, 4 * mib, 0, 1004 * mib},
    };
    for (const limits_case& c : cases) {
        const process_limits limits{c.memory, c.address_space, 1};
        EXPECT_EQ(planned_for(limits), c.limit) << c.memory << " " << c.address_space;
        EXPECT_EQ(ceiling_for(limits), c.ceiling) << c.memory << " " << c.address_space;
    }
}

// A tight budget takes fewer shards, each with its share before its first
// run; never fewer than two, nor more than the set's most.
TEST(MemoryBudget, ShardsWithin)
{
    constexpr std::size_t mib = 1 << 20;
    const std::pair<std::size_t, std::size_t> cases[] = {
        {0, 2},         {16 * mib, 2},   {30 * mib, 2},  {32 * mib, 4},
        {100 * mib, 8}, {128 * mib, 16}, {SIZE_MAX, 16},
    };
    for (const auto& [budget, shards] : cases)
        EXPECT_EQ(shards_within(budget, 16), shards) << budget;
}

// Threads are planned by what each holds, here 3 MiB: no more than keep
// that to a quarter of the budget, and no more than the CPUs, but always
// one.
TEST(MemoryBudget, ThreadsWithin)
{
    constexpr std::size_t mib = 1 << 20;
    struct threads_case {
        std::size_t cpus, budget, threads;
    };
    const threads_case cases[] = {
        {16, 0, 1},          {16, 11 * mib, 1},   {16, 12 * mib, 1},   {16, 24 * mib, 2},
        {16, 60 * mib, 5},   {16, 191 * mib, 15}, {16, 192 * mib, 16}, {16, SIZE_MAX, 16},
        {64, 768 * mib, 64}, {2, 1024 * mib, 2},  {1, 1024 * mib, 1},  {0, 1024 * mib, 1},
    };
    for (const threads_case& c : cases)
        EXPECT_EQ(threads_within(c.cpus, c.budget, 3 * mib), c.threads)
            << c.cpus << " CPUs, " << c.budget;
}

TEST(MemoryBudget, SharesGiveBackWhatTheyHold)
{
    memory_budget budget(1000);
    {
        budget_share share(&budget);
        resize(share, 300);
        EXPECT_EQ(budget.used, 300u);
        EXPECT_THROW(resize(share, 1001), std::bad_alloc);
        EXPECT_EQ(share.bytes, 300u);
        resize(share, 100);
        budget_share other(&budget);
        resize(other, 500);
        other = std::move(share);
        EXPECT_EQ(budget.used, 100u) << "a share assigned over gives back what it held";
        budget_share moved(std::move(other));
        EXPECT_EQ(budget.used, 100u);
    }
    EXPECT_EQ(budget.used, 0u);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100'000; ++i) {
                charge(&budget, 250);
                refund(&budget, 250);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(budget.used, 0u);
}

// Inserts `count` words, the i-th of them the word(i)-th of many distinct
// ones, through one inserter; after each, calls check(the shard's words).
template <typename Word, typename Check>
void insert_words(token_set& set, std::size_t count, Word&& word, Check&& check)
{
    token_inserter inserter(set);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string padded =
            std::to_string(100'000'000 + word(i) * 7919 % 900'000'000) + std::string(16, '\0');
        insert_token(inserter, std::string_view(padded).substr(0, 9));
        check(of<word_kind>(set.shards[0].held.forms));
    }
    drain(inserter);
}

// A pool counts its extents, refuses one that would pass the limit, and
// gives all back when it goes; so does a whole set, through its listing.
TEST(MemoryBudget, CountsWhatGrowsWithTheInput)
{
    memory_budget budget(3 * extent_bytes);
    {
        slab_pool pool(entry_slab_bytes, &budget);
        std::size_t taken = 0;
        try {
            for (;; ++taken)
                take_slab(pool);
        } catch (const std::bad_alloc&) {
        }
        EXPECT_GE(taken, extent_bytes / entry_slab_bytes - 1) << "slabs taken short of the limit";
        EXPECT_LE(budget.used, budget.planned);
    }
    EXPECT_EQ(budget.used, 0u);

    memory_budget roomy(std::size_t{1} << 30);
    {
        token_set set(16, &roomy);
        insert_words(
            set, 300'000, [](std::size_t i) { return i; }, [](const auto&) {});
        token_inserter inserter(set);
        for (int i = 0; i < 30'000; ++i) {
            const std::string padded =
                std::string(17 + i % 40, '0' + i % 10) + std::to_string(i) + std::string(16, '\0');
            insert_token(inserter, std::string_view(padded).substr(0, padded.size() - 16));
        }
        drain(inserter);
        EXPECT_GT(roomy.used, 0u);
        std::FILE* sink = std::tmpfile();
        EXPECT_EQ(print_tokens(set, fileno(sink)), 0);
        std::fclose(sink);
    }
    EXPECT_EQ(roomy.used, 0u) << "something did not give back what it took";
}

// Memory that runs out in a shard may leave it half changed, a merge of its
// runs half read: once it has on one inserter's thread, another's entries
// go into no shard, and it runs out of memory too.
TEST(MemoryBudget, NoShardTakesMoreOnceMemoryRanOutInOne)
{
    memory_budget budget(std::size_t{4} << 20);
    token_set set(2, &budget, 64 << 10);
    token_inserter first(set), second(set);
    const auto pair_token = [](std::size_t i) {
        return std::to_string(100'000'000'000'000'000 + i * 7919) + std::string(16, '\0');
    };
    const std::string early = pair_token(0);
    insert_token(second, std::string_view(early).substr(0, 21));
    bool ran_out = false;
    for (std::size_t i = 1; !ran_out && i < 10'000'000; ++i) {
        const std::string token = pair_token(i);
        try {
            insert_token(first, std::string_view(token).substr(0, 21));
        } catch (const std::bad_alloc&) {
            ran_out = true;
        }
    }
    ASSERT_TRUE(ran_out);
    ASSERT_TRUE(set.failed) << "memory ran out outside the shards";
    EXPECT_THROW(drain(second), std::bad_alloc) << "a shard took entries after memory ran out";
}

// Distinct words: the first run is written once the partitions' slabs hold
// their share of the budget, and not before. The share is well past the
// slabs that the table's words take when it spills.
TEST(MemoryPolicy, RunsStartAtTheirShareOfTheBudget)
{
    memory_budget budget(std::size_t{128} << 20);
    token_set set(1, &budget);
    const std::size_t first = first_run_bytes(budget.planned, 1);
    const std::size_t latest = std::max(first, of<word_kind>(set.batch) * slab_bytes<word_kind>);
    std::size_t most_before = 0;
    insert_words(
        set, 2 * latest / sizeof(std::uint64_t) + 200'000, [](std::size_t i) { return i; },
        [&](const auto& words) {
            if (words.runs.runs.empty())
                most_before = std::max(most_before, words.parts.slabs * slab_bytes<word_kind>);
        });
    EXPECT_FALSE(of<word_kind>(set.shards[0].held.forms).runs.runs.empty()) << "no run written";
    EXPECT_GE(most_before + slab_bytes<word_kind>, first) << "a run written too soon";
    EXPECT_LE(most_before, latest + slab_bytes<word_kind>) << "the first run written too late";
}

// Words that recur, each twice within a few thousand, are kept in
// partitions, until the budget is pressed: then they go into runs too,
// which lets what would not fit in partitions fit. Small parts, slabs of a
// few entries in extents of a page, take about thrice the memory.
TEST(MemoryPolicy, PressedBudgetWritesRecurringTokensAsRuns)
{
#ifdef TOKCOLLECT_SMALL_PARTS
    memory_budget budget(std::size_t{48} << 20);
#else
    memory_budget budget(std::size_t{16} << 20);
#endif
    token_set set(1, &budget);
    bool pressed_without_runs = false;
    insert_words(
        set, 3'000'000, [](std::size_t i) { return i / 10'000 * 5'000 + i % 5'000; },
        [&](const auto& words) {
            if (words.parts.parts && words.runs.runs.empty() &&
                budget.used > budget.planned / pressure_divisor + extent_bytes + (1 << 20))
                pressed_without_runs = true;
        });
    EXPECT_FALSE(of<word_kind>(set.shards[0].held.forms).runs.runs.empty());
    EXPECT_FALSE(pressed_without_runs);
}

} // namespace
