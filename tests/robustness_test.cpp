// SPDX-License-Identifier: MIT
// Hostile and huge inputs, and a reader that goes away: the program neither
// crashes nor grows, and ends the way a filter should.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>

#include "model.h"
#include "run_program.h"

namespace
{

constexpr size_t mib = 1 << 20;

#ifdef TOKCOLLECT_SANITIZED
constexpr bool sanitized = true; // the sanitizers' own memory hides ours
#else
constexpr bool sanitized = false;
#endif

void expect_model_output(const std::string& input, const run_result& r)
{
    model_output expected = model_tokcollect(input);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == expected.out) << "listing differs from the model's";
    EXPECT_TRUE(r.err == expected.err) << "diagnostics differ from the model's";
}

TEST(Robustness, RandomBytes)
{
    std::mt19937_64 random(64);
    std::string input(64 * mib, '\0');
    for (char& c : input)
        c = static_cast<char>(random());
    expect_model_output(input, run_tokcollect(input));
}

// The line is written to a file piece by piece, so that the test process is
// still small when it starts the program, whose peak RSS inherits its size.
TEST(Robustness, OneHugeLineWithoutNewline)
{
    const std::string path = testing::TempDir() + "huge-line";
    {
        std::ofstream file(path, std::ios::binary);
        const std::string pattern = "[12, 7/4, 0042] then [9] and some text ";
        for (size_t size = 0; size < 64 * mib; size += pattern.size())
            file << pattern;
    }
    run_result r = run_tokcollect("", {.in = stdin_is::file, .input_file = path});
    if (!sanitized) {
        EXPECT_LT(r.peak_rss_kib, 16 * 1024);
    }
    std::ifstream file(path, std::ios::binary);
    expect_model_output(std::string(std::istreambuf_iterator<char>(file), {}), r);
    std::remove(path.c_str());
}

// As in `tokcollect < big | head -1`: the reader leaves after one line, and
// the program ends quietly on SIGPIPE instead of reporting an error.
TEST(Robustness, ReaderGoesAway)
{
    std::string input;
    for (int i = 0; i < 200'000; ++i)
        input.append("[").append(std::to_string(i)).append("]\n");
    running_program program = start_tokcollect();
    std::string first = read_within(program.out, 2, 0);
    EXPECT_EQ(first, "") << "listing before the end of input";
    for (size_t sent = 0; sent < input.size();) {
        ssize_t n = write(program.in, input.data() + sent, input.size() - sent);
        ASSERT_GT(n, 0);
        sent += static_cast<size_t>(n);
    }
    close(program.in);
    EXPECT_EQ(read_within(program.out, 2, 30'000), "0\n");
    close(program.out);
    run_result rest = finish({program.pid, -1, -1, program.err}, "");
    EXPECT_EQ(rest.status, 128 + SIGPIPE);
    EXPECT_EQ(rest.err, "");
}

} // namespace
