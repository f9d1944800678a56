// SPDX-License-Identifier: MIT
// The real program against the model of its rules, on generated inputs full
// of the bytes that matter: brackets, token bytes, separators, whitespace,
// CR, NUL and bytes above 0x7F, in lines around the 1023-byte chunk size.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "driver.h"
#include "model.h"
#include "run_program.h"
#include "scan/classify.h"
#include "system/write_all.h"

namespace
{

struct generator {
    std::mt19937_64 random;

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); }

    char any_byte()
    {
        static const std::string common = "[[]],,,  /0123456789\t\r\n\v\f;.-+ax";
        switch (below(8)) {
        case 0:
            return static_cast<char>(0x80 + below(0x80));
        case 1:
            return static_cast<char>(below(0x80));
        default:
            return common[below(common.size())];
        }
    }

    // Mostly short lines, some with long runs of digits, some cut near the
    // chunk size, with or without a list.
    std::string line()
    {
        static const size_t near_chunk_sizes[] = {1021, 1022, 1023, 1024, 1025, 2046, 2047, 2048};
        size_t size = below(4) == 0 ? near_chunk_sizes[below(8)] - below(3) : below(60);
        std::string text;
        if (below(4) != 0)
            text += std::string(below(3), 'x') + '[';
        while (text.size() < size) {
            if (below(10) == 0)
                text += std::string(1 + below(40), static_cast<char>('0' + below(10)));
            else if (below(30) == 0)
                text += '\0';
            else
                text += any_byte();
        }
        text.resize(size);
        return text + '\n';
    }

    std::string input(size_t lines)
    {
        std::string text;
        for (size_t i = 0; i < lines; ++i)
            text += line();
        if (below(2) == 0 && !text.empty())
            text.pop_back();
        return text;
    }
};

// The collector run in this process on a file in memory, so that tiny
// ranges make the threaded path cut the input anywhere: ranges of a few
// bytes, ranges ending inside long lines, empty ranges.
run_result collect_from_file(std::string_view input, const collect_options& options)
{
    const int in = memfd_create("input", 0), out = memfd_create("output", 0),
              err = memfd_create("errors", 0);
    EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(in, 0, SEEK_SET);
    run_result result{};
    result.status = collect_tokens(in, out, err, options);
    result.out = contents(out);
    result.err = contents(err);
    for (int fd : {in, out, err})
        close(fd);
    return result;
}

// The collector run in this process on a pipe that a thread of the test
// fills in pieces of random sizes, so that reads take lines in pieces and now
// and then find the pipe empty. A collector that ends before the input does
// closes the pipe under the writer, whose writes then fail rather than
// raise SIGPIPE.
run_result collect_from_pipe(std::string_view input, const collect_options& options,
                             std::uint64_t seed)
{
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    std::thread writer([&] {
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
        std::mt19937_64 random(seed);
        for (size_t at = 0, piece; at < input.size(); at += piece) {
            piece = std::min<size_t>(input.size() - at, 1 + random() % 3000);
            if (write_all(ends[1], input.data() + at, piece) != 0)
                break;
        }
        close(ends[1]);
    });
    const int out = memfd_create("output", 0), err = memfd_create("errors", 0);
    run_result result{};
    result.status = collect_tokens(ends[0], out, err, options);
    close(ends[0]);
    writer.join();
    result.out = contents(out);
    result.err = contents(err);
    for (int fd : {out, err})
        close(fd);
    return result;
}

// Three ranges of a file on three threads, the second failing at its first
// read while the first and third read whole: the listing and diagnostics are
// what one reader would have had before the failure, none of the third's,
// not even its empty token. Run in a child, whose reads a seccomp filter
// fails for good.
TEST(Differential, ReadErrorBeforeTheLastRange)
{
    const size_t part = 1 << 16;
    std::string parts[3];
    for (int p = 0; p < 3; ++p) {
        // Each but the first opens with an empty line, just past which a
        // range starts, and then a list of the empty token.
        parts[p] = p ? "\n[ ]\n" : "";
        for (int i = 0; parts[p].size() < part - 20; ++i)
            parts[p] += i % 7 ? "[" + std::to_string(p + 1) + std::to_string(i) + "]\n" : "none\n";
        parts[p] += std::string(part - 1 - parts[p].size(), 'x') + "\n";
    }
    const std::string input = parts[0] + parts[1] + parts[2];
    const int in = memfd_create("input", 0), out = memfd_create("output", 0),
              err = memfd_create("errors", 0);
    ASSERT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(in, 0, SEEK_SET);
    const pid_t child = fork();
    if (child == 0) {
        install_filter(
            {.pread_fails_from = part + 1, .pread_fails_to = 2 * part + 1, .pread_errno = EIO});
        _exit(collect_tokens(in, out, err, {.threads = 3, .min_range = 1}));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const model_output read = model_tokcollect(parts[0] + "\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_TRUE(contents(out) == read.out) << "the listing has more or less than the first range";
    EXPECT_TRUE(contents(err) ==
                read.err + "tokcollect: error reading standard input: Input/output error\n");
    for (int fd : {in, out, err})
        close(fd);
}

void expect_model_output(std::string_view input, const run_result& actual, const std::string& where)
{
    const model_output expected = model_tokcollect(input);
    ASSERT_EQ(actual.status, 0) << where;
    ASSERT_EQ(escape(actual.out), escape(expected.out)) << where;
    ASSERT_EQ(escape(actual.err), escape(expected.err)) << where;
}

// Runs `input` through every classifying kernel this CPU can run by one
// reader, and through one of them on threads, from a file and a pipe.
void expect_model_output_by_every_kernel(std::string_view input, generator& gen,
                                         const std::string& where)
{
    const auto kernels = usable_classifiers();
    for (const classifier& kernel : kernels)
        expect_model_output(input, collect_from_file(input, {1, 1, kernel.classify}),
                            where + ", " + kernel.name);
    const classifier& kernel = kernels[gen.below(kernels.size())];
    // Now and then as many threads as a large machine has, each with an
    // inserter of its own into the one set.
    const std::size_t threads =
        gen.below(8) == 0 ? std::size_t{16} << 2 * gen.below(2) : 2 + gen.below(7);
    const collect_options threaded{threads, 1 + gen.below(gen.below(2) ? 64 : 4096),
                                   kernel.classify};
    const std::string on_threads =
        where + ", " + kernel.name + " on " + std::to_string(threaded.threads) + " threads";
    expect_model_output(input, collect_from_file(input, threaded),
                        on_threads + ", ranges of " + std::to_string(threaded.min_range));
    expect_model_output(input, collect_from_pipe(input, threaded, gen.random()),
                        on_threads + ", from a pipe");
}

TEST(Differential, MatchesModel)
{
    const uint64_t seed = 20261208;
    generator gen{std::mt19937_64(seed)};
    for (int round = 0; round < 200; ++round) {
        std::string input = gen.input(round < 150 ? gen.below(40) : 400 + gen.below(400));
        const std::string where =
            "seed " + std::to_string(seed) + " round " + std::to_string(round);
        expect_model_output(input, run_tokcollect(input), where);
        expect_model_output_by_every_kernel(input, gen, where);
    }
}

// Lines that put what the scanner looks for at the edges of its 64-byte
// blocks: each is repeated after shifts of 0 to 63 bytes, and the whole is
// more than one read buffer, so that some also straddle a read.
TEST(Differential, BlockAndBufferEdges)
{
    std::vector<std::string> lines;
    for (size_t size : {1022, 1023, 1024}) {
        for (size_t open : {size_t{0}, size - 40, size - 3, size - 2, size - 1}) {
            std::string line = std::string(open, 'x') + "[";
            for (int i = 0; line.size() < size; ++i)
                line += i % 3 ? "12/" : ", ";
            lines.push_back(line.substr(0, size) + "\n");
        }
    }
    for (size_t nul = 0; nul < 64; ++nul) {
        std::string line = "ab [12, 3/4 ,, 56789012]  [7] ,, 890123456789012345678901234567\n";
        ASSERT_EQ(line.size(), 64u);
        line[nul] = '\0';
        lines.push_back(line);
    }
    for (size_t edge = 60; edge < 68; ++edge)
        lines.push_back("[" + std::string(edge - 1, ' ') + ",, ,1\v\f,2 ]\n");
    lines.push_back("[" + std::string(200, '1') + "," + std::string(100, '/') + "\n");
    std::string input;
    for (size_t shift = 0; shift < 64; ++shift) {
        input += std::string(shift, 'z') + "\n";
        for (const std::string& line : lines)
            input += line;
    }
    ASSERT_GT(input.size(), 2u << 17);
    generator gen{std::mt19937_64(64)};
    expect_model_output_by_every_kernel(input, gen, "block edges");
}

// Enough distinct tokens for the words to spill out of the tables into the
// shards, mostly up to 40 bytes and a few up to 1000, so that tokens of
// every length interleave in the listing and share long prefixes. The first
// part alone spills, and tokens of 17 to 32 bytes from one small pool recur
// throughout, so that on many threads every inserter sends them to the same
// shards, and the shards must hold each once.
TEST(Differential, ManyDistinctTokens)
{
    generator gen{std::mt19937_64(7)};
    std::vector<std::string> recurring;
    for (int i = 0; i < 500; ++i)
        recurring.push_back(std::string(17 + gen.below(16), '0' + gen.below(10)));
    std::string input;
    for (int line = 0; line < 60'000; ++line) {
        input += "[" + recurring[gen.below(recurring.size())];
        for (int i = 0; i < 5; ++i) {
            const size_t longest = line < 25'000        ? 10
                                   : gen.below(50) == 0 ? 1000
                                   : gen.below(4) == 0  ? 40
                                                        : 10;
            input += ", " + std::string(gen.below(3) == 0 ? gen.below(longest) : 0, '7');
            for (size_t n = 1 + gen.below(longest); n > 0; --n)
                input += "/0123456789"[gen.below(11)];
        }
        input += "]\n";
    }
    model_output expected = model_tokcollect(input);
    for (const run_result& actual :
         {run_tokcollect(input), collect_from_file(input, {.threads = 2, .min_range = 1 << 16}),
          collect_from_file(input, {.threads = 4, .min_range = 1 << 16}),
          collect_from_file(input, {.threads = 64, .min_range = 1 << 14}),
          collect_from_pipe(input, {.threads = 3, .min_range = 1 << 16}, 3),
          collect_from_pipe(input, {.threads = 16, .min_range = 1 << 16}, 16),
          // Runs of every form from a few thousand entries a shard, of a
          // thousand each.
          collect_from_file(input, {.threads = 1, .compact_from = 64 << 10}),
          collect_from_file(input, {.threads = 2, .min_range = 1 << 16, .compact_from = 64 << 10}),
          collect_from_pipe(input, {.threads = 16, .min_range = 1 << 16, .compact_from = 64 << 10},
                            16)}) {
        ASSERT_EQ(actual.status, 0);
        EXPECT_TRUE(actual.out == expected.out) << "listing differs from the model's";
        EXPECT_EQ(actual.err, expected.err);
    }
}

// Half a million distinct integers: a budget in which they fit only as
// runs lists them, from a file and from a pipe, on one thread, two and
// sixteen, whose own memory presses the budget;
// budgets too small for the buffers, or for the threads' own memory, end
// with the message, status 1 and nothing listed. Small parts take twice
// the memory, in slabs of a few entries and extents of a page.
TEST(Differential, Budgets)
{
    generator gen{std::mt19937_64(9)};
    std::string input;
    for (int line = 0; line < 65'000; ++line) {
        input += '[' + std::to_string(gen.below(1'000'000'000));
        for (int i = 1; i < 8; ++i)
            input.append(",").append(std::to_string(gen.below(1'000'000'000)));
        input += "]\n";
    }
    const model_output expected = model_tokcollect(input);
    const run_result out_of_memory{"", "tokcollect: out of memory\n", 1, 0};
#ifdef TOKCOLLECT_SMALL_PARTS
    const std::size_t one_thread = 18 << 20, two_threads = 18 << 20;
#else
    const std::size_t one_thread = 8 << 20, two_threads = 12 << 20;
#endif
    struct budget_case {
        std::size_t threads;
        std::size_t memory;
        const run_result* listed; // null for the model's
    };
    const budget_case cases[] = {
        {1, one_thread, nullptr},       {2, two_threads, nullptr},    {16, 40 << 20, nullptr},
        {1, 256 << 10, &out_of_memory}, {2, 1 << 20, &out_of_memory}, {16, 2 << 20, &out_of_memory},
    };
    for (const budget_case& c : cases) {
        memory_budget budget(c.memory);
        const collect_options options{
            .threads = c.threads, .min_range = 1 << 16, .budget = &budget};
        const std::string where = std::to_string(c.threads) + " threads, budget of " +
                                  std::to_string(c.memory >> 10) + " KiB";
        for (const run_result& actual :
             {collect_from_file(input, options), collect_from_pipe(input, options, 1)}) {
            const run_result wanted =
                c.listed ? *c.listed : run_result{expected.out, expected.err, 0, 0};
            EXPECT_EQ(actual.status, wanted.status) << where;
            EXPECT_TRUE(actual.out == wanted.out) << where << ": the listing differs";
            EXPECT_EQ(actual.err, wanted.err) << where;
        }
        EXPECT_EQ(budget.used, 0u) << where << ": memory not given back";
    }
}

// Lines of three lists' worth of tokens of `low` to `high` bytes each, from
// `distinct` of them, some drawn twice or more.
std::string tokens_of_sizes(std::size_t distinct, std::size_t low, std::size_t high,
                            std::uint64_t seed)
{
    generator gen{std::mt19937_64(seed)};
    std::vector<std::string> tokens(distinct);
    for (std::string& token : tokens)
        for (std::size_t n = low + gen.below(high - low + 1); n > 0; --n)
            token += "/0123456789"[gen.below(11)];
    std::string input;
    for (std::size_t i = 0; i < distinct * 3 / 2; i += 3) {
        input += "[";
        for (std::size_t t = 0; t < 3; ++t)
            input +=
                (t ? ", " : "") + tokens[(i + t) % distinct < distinct / 2 ? (i + t) % distinct
                                                                           : gen.below(distinct)];
        input += "]\n";
    }
    return input;
}

// Budgets from a 256th of what a free run takes to an eighth past it, in
// steps of a 256th, on one thread, two and sixteen, from a file and from a
// pipe: each run lists exactly what the model lists, or says it ran out of
// memory and lists nothing; either way it gives back all it took. A file
// that one thread lists, more list too, collecting it again on one where
// they run out of memory. The free runs' peaks vary with their threads'
// timing, and a budget no larger plans differently, so the last steps must
// list on one thread. Near its least budget, whether a run lists depends
// on the hash key it draws, so these runs take one key. The checking
// builds, several times slower, take steps of a 16th.
void expect_whole_or_nothing(const std::string& input)
{
#if defined(TOKCOLLECT_SANITIZED) || defined(TOKCOLLECT_SMALL_PARTS)
    const std::size_t steps = 16;
#else
    const std::size_t steps = 256;
#endif
    const model_output expected = model_tokcollect(input);
    ASSERT_EQ(expected.err, "");
    for (bool piped : {false, true}) {
        const auto collect = [&](std::size_t threads, memory_budget& budget) {
            const collect_options options{.threads = threads,
                                          .min_range = 1 << 16,
                                          .budget = &budget,
                                          .key = hash_key{0x0123456789abcdef, 0x9e3779b97f4a7c15}};
            return piped ? collect_from_pipe(input, options, threads)
                         : collect_from_file(input, options);
        };
        std::size_t free = 0;
        for (std::size_t threads : {1, 2, 16}) {
            memory_budget roomy(std::size_t{1} << 30);
            ASSERT_TRUE(collect(threads, roomy).out == expected.out);
            free = std::max<std::size_t>(free, roomy.peak);
        }
        bool listed_on_one = false;
        for (std::size_t step = 1; step <= steps + steps / 8; ++step) {
            listed_on_one = false;
            for (std::size_t threads : {1, 2, 16}) {
                memory_budget budget(free * step / steps);
                const run_result r = collect(threads, budget);
                const std::string where = std::to_string(threads) + " threads, " +
                                          (piped ? "a pipe" : "a file") + ", budget of " +
                                          std::to_string(budget.planned) + " bytes";
                ASSERT_EQ(budget.used, 0u) << where << ": memory not given back";
                if (r.status == 0 && r.out == expected.out && r.err.empty()) {
                    listed_on_one |= threads == 1;
                    continue;
                }
                ASSERT_EQ(r.out, "") << where << ": a listing begun, then abandoned";
                ASSERT_EQ(r.err, "tokcollect: out of memory\n") << where;
                ASSERT_EQ(r.status, 1) << where;
                ASSERT_FALSE(listed_on_one && !piped) << where << ": listed on one thread alone";
            }
        }
        EXPECT_TRUE(listed_on_one) << (piped ? "a pipe" : "a file") << ": free runs' peak " << free
                                   << " bytes, and one thread runs out within it";
    }
}

TEST(Differential, EveryBudgetListsWordsWholeOrNothing)
{
    expect_whole_or_nothing(tokens_of_sizes(40'000, 1, 16, 1));
}

TEST(Differential, EveryBudgetListsPairsWholeOrNothing)
{
    expect_whole_or_nothing(tokens_of_sizes(25'000, 17, 32, 2));
}

TEST(Differential, EveryBudgetListsRecordsWholeOrNothing)
{
    expect_whole_or_nothing(tokens_of_sizes(12'000, 33, 120, 3));
}

// Words, pairs and records, the records all in the listing's last bucket,
// so that it writes the words before it reads the records from runs.
TEST(Differential, EveryBudgetListsAMixWholeOrNothing)
{
    generator gen{std::mt19937_64(4)};
    std::string input;
    for (int line = 0; line < 5'000; ++line) {
        input += "[";
        for (int i = 0; i < 6; ++i) {
            const std::size_t size = i < 3 ? 35 + gen.below(56) : i == 3 ? 20 : 9;
            input += i ? ", " : "";
            input += static_cast<char>(size > 32 ? '9' : '1' + gen.below(4));
            for (std::size_t n = 1; n < size; ++n)
                input += static_cast<char>('0' + gen.below(10));
        }
        input += "]\n";
    }
    expect_whole_or_nothing(input);
}

} // namespace
