// The built binary, fed exact bytes: what it writes to each stream and how it
// exits, for ordinary input, chunking at 1023 bytes, and failures.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "run_program.h"

namespace
{

using namespace std::string_literals;

const std::string eol = "End of line\n";

struct e2e_case {
    const char* name;
    std::string input;
    std::string out;
    std::string err;
    int status;
    run_options options = {};
};

void expect_runs(const std::vector<e2e_case>& cases)
{
    for (const e2e_case& c : cases) {
        run_result r = run_tokcollect(c.input, c.options);
        EXPECT_EQ(escape(r.out), escape(c.out)) << c.name;
        EXPECT_EQ(escape(r.err), escape(c.err)) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
    }
}

std::string repeat(const std::string& text, size_t times)
{
    std::string result;
    for (size_t i = 0; i < times; ++i)
        result += text;
    return result;
}

TEST(EndToEnd, Basics)
{
    expect_runs({
        {"empty input", "", "", "", 0},
        {"two lines", "a = [3, 1/2]\nb = [3]\n", "1/2\n3\n", "", 0},
        {"merged in byte order", "[3,1,2]\n[2,10,1]\n", "1\n10\n2\n3\n", "", 0},
        {"text without newline", "abc", "", eol, 0},
        {"empty line", "\n", "", eol, 0},
        {"lines without list", "x\n[1]\ny\n", "1\n", eol + eol, 0},
        {"empty token first", "[ 7 ]\n", "\n7\n", "", 0},
        {"last line without newline", "[1, 2", "1\n2\n", "", 0},
        {"open list at newline", "[1, 2\n", "\n1\n2\n", "", 0},
        {"CRLF line", "[4,5]\r\n[6\r\n", "\n4\n5\n6\n", "", 0},
        {"arguments ignored", "[1]\n", "1\n", "", 0, {.args = {"--help", "-x", "file"}}},
    });
}

TEST(EndToEnd, NulBytes)
{
    expect_runs({
        {"NUL first", "\0[1]\n"s, "", eol, 0},
        {"NUL before opener", "ab\0[1]\n"s, "", eol, 0},
        {"NUL inside list", "[1,2\0,3]\n[4]\n"s, "1\n2\n4\n", "", 0},
        {"NUL does not end the line", "\0\0\n[5]\n"s, "5\n", eol, 0},
    });
}

TEST(EndToEnd, LongLinesAreReadIn1023BytePieces)
{
    expect_runs({
        {"340 times 12 then 345", "["s + repeat("12,", 340) + "345]\n", "12\n34\n", eol, 0},
        {"1023 bytes then newline", "[1]"s + std::string(1020, 'x') + "\n", "1\n", eol, 0},
        {"1022 bytes then newline", "[1]"s + std::string(1019, 'x') + "\n", "1\n", "", 0},
        {"opener after byte 1023", std::string(1023, 'x') + "[5]\n", "5\n", eol, 0},
        {"every piece scanned",
         repeat(std::string(1022, 'x') + "[", 2) + std::string(1021, 'x') + "[\n", "\n", "", 0},
        {"2047 bytes without list", std::string(2047, 'x') + "\n", "", eol + eol + eol, 0},
    });
}

TEST(EndToEnd, Failures)
{
    const std::string read_error = "tokcollect: error reading standard input: ";
    const std::string write_error = "tokcollect: error writing standard output: ";
    const run_options directory{.in = stdin_is::directory}, no_stdin{.in = stdin_is::closed};
    const run_options full{.out = stdout_is::dev_full}, no_stdout{.out = stdout_is::closed};
    expect_runs({
        {"stdin a directory", "", "", read_error + "Is a directory\n", 1, directory},
        {"stdin closed", "", "", read_error + "Bad file descriptor\n", 1, no_stdin},
        {"stdout full", "[1]\n", "", write_error + "No space left on device\n", 1, full},
        {"stdout closed", "[1]\n", "", write_error + "Bad file descriptor\n", 1, no_stdout},
        {"nothing for a closed stdout", "x\n", "", eol, 0, no_stdout},
    });
}

TEST(EndToEnd, DiagnosticsArriveWhileInputIsOpen)
{
    running_program program = start_tokcollect();
    const int generous_ms = 30'000;
    ASSERT_EQ(write(program.in, "no list\n", 8), 8);
    EXPECT_EQ(read_within(program.err, eol.size(), generous_ms), eol);
    ASSERT_EQ(write(program.in, "[2]\nstill none\n", 15), 15);
    EXPECT_EQ(read_within(program.err, eol.size(), generous_ms), eol);
    EXPECT_EQ(read_within(program.out, 1, 0), "") << "listing before the end of input";

    run_result rest = finish(program, "[1]\n");
    EXPECT_EQ(rest.out, "1\n2\n");
    EXPECT_EQ(rest.err, "");
    EXPECT_EQ(rest.status, 0);
}

std::string distinct_tokens(int count)
{
    std::string input;
    for (int i = 0; i < count; ++i)
        input.append("[").append(std::to_string(i)).append("]\n");
    return input;
}

// Wherever memory runs out, while reading or while sorting for the listing,
// the run ends with the message and nothing on standard output.
TEST(EndToEnd, OutOfMemoryAtAnyPoint)
{
#ifdef TOKCOLLECT_SANITIZED
    GTEST_SKIP() << "the sanitizers need more address space than any limit here";
#endif
    const std::string input = distinct_tokens(780'000);
    const run_result full = run_tokcollect(input);
    ASSERT_EQ(full.status, 0);
    int failures = 0;
    for (long mib = 10; mib <= 30; ++mib) {
        run_result r = run_tokcollect(input, {.address_space_limit = mib << 20});
        if (r.status == 0) {
            EXPECT_EQ(r.out, full.out) << mib << " MiB";
            EXPECT_EQ(r.err, "") << mib << " MiB";
            continue;
        }
        ++failures;
        EXPECT_EQ(r.status, 1) << mib << " MiB";
        EXPECT_EQ(r.out, "") << mib << " MiB";
        EXPECT_EQ(r.err, "tokcollect: out of memory\n") << mib << " MiB";
    }
    EXPECT_GT(failures, 0);
}

} // namespace
