// SPDX-License-Identifier: MIT
// The built binary, fed exact bytes: what it writes to each stream and how it
// exits, for ordinary input, chunking at 1023 bytes, and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <sched.h>
#include <string>
#include <unistd.h>

#include "driver.h"
#include "model.h"
#include "read/read_buffer.h"
#include "run_program.h"
#include "system/write_all.h"

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

// A case that the model's listing and diagnostics answer, on a pipe that
// holds the whole input from the start: then the program's reads fill its
// buffers exactly, and the input decides where they end.
e2e_case modelled(const char* name, const std::string& input)
{
    const model_output expected = model_tokcollect(input);
    return {name, input, expected.out, expected.err, 0, {.in = stdin_is::filled_pipe}};
}

// Whole lines of lists, `size` bytes of them, the last one padded.
std::string lines_of_lists(size_t size)
{
    std::string lines;
    for (int i = 0; lines.size() + 12 < size; ++i)
        lines += "[" + std::to_string(i % 1000) + ", 7]\n";
    return lines + "[]" + std::string(size - lines.size() - 3, 'x') + "\n";
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
        {"no getrandom", "[3, 1/2]\n[3]\n", "1/2\n3\n", "", 0, {.without_getrandom = true}},
        {"empty list", "[]\n", "\n", "", 0},
        {"opener then newline", "[\n", "\n", "", 0},
    });
}

TEST(EndToEnd, WhitespaceBeforeToken)
{
    expect_runs({
        {"tab", "[\t1]\n", "1\n", "", 0},
        {"vertical tab", "[\v1]\n", "1\n", "", 0},
        {"form feed", "[\f1]\n", "1\n", "", 0},
        {"carriage return", "[\r1]\n", "1\n", "", 0},
        {"blank", "[ 1]\n", "1\n", "", 0},
        {"NEL is no space",
         "[\x85"
         "1]\n",
         "\n1\n", "", 0},
        {"no-break space is no space",
         "[\xa0"
         "1]\n",
         "\n1\n", "", 0},
        {"file separator is no space",
         "[\x1c"
         "1]\n",
         "\n1\n", "", 0},
    });
}

TEST(EndToEnd, NulBytes)
{
    expect_runs({
        {"NUL first", "\0[1]\n"s, "", eol, 0},
        {"NUL before opener", "ab\0[1]\n"s, "", eol, 0},
        {"NUL inside list", "[1,2\0,3]\n[4]\n"s, "1\n2\n4\n", "", 0},
        {"NUL does not end the line", "\0\0\n[5]\n"s, "5\n", eol, 0},
        modelled("NULs across a buffer's end",
                 lines_of_lists(buffer_size - 2) + "a\0\0[7]\n[\0\n"s),
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
        modelled("a line longer than two buffers", "["s + repeat("12,", buffer_size) + "]\n[3]"),
        modelled("a buffer's end in a long line",
                 (buffer_size > 1500 ? lines_of_lists(buffer_size - 1500) : "") +
                     repeat("[1/2, ", 500) + "\n"),
    });
}

TEST(EndToEnd, Failures)
{
    const std::string read_error = "tokcollect: error reading standard input: ";
    const std::string write_error = "tokcollect: error writing standard output: ";
    const run_options directory{.in = stdin_is::directory}, no_stdin{.in = stdin_is::closed};
    const run_options full{.out = stdout_is::dev_full}, no_stdout{.out = stdout_is::closed};
    // A read that has room for less than a buffer fails: the first buffer is
    // read whole and its whole chunks collected, then the read for the rest
    // of the line that it ends in fails. That line, cut short, still counts.
    const run_options fails_after_a_buffer{
        .in = stdin_is::filled_pipe, .read_fails_below = buffer_size, .read_errno = EIO};
    // A first line whose length makes the buffer end inside a line with a list.
    std::string stream;
    for (std::string first = "[0]\n";; first.insert(1, "0")) {
        stream = first;
        for (int i = 0; stream.size() < 2 * buffer_size; ++i)
            stream += i % 5 ? "[" + std::to_string(1000 + i % 9000) + "]\n" : "nolist\n";
        if (stream[buffer_size - 1] != '\n' &&
            stream[stream.rfind('\n', buffer_size - 1) + 1] == '[')
            break;
    }
    const model_output first_buffer = model_tokcollect(stream.substr(0, buffer_size));
    expect_runs({
        {"read fails after a buffer", stream, first_buffer.out,
         first_buffer.err + read_error + "Input/output error\n", 1, fails_after_a_buffer},
        {"stdin a directory", "", "", read_error + "Is a directory\n", 1, directory},
        {"stdin closed", "", "", read_error + "Bad file descriptor\n", 1, no_stdin},
        {"stdout full", "[1]\n", "", write_error + "No space left on device\n", 1, full},
        {"stdout closed", "[1]\n", "", write_error + "Bad file descriptor\n", 1, no_stdout},
        {"nothing for a closed stdout", "x\n", "", eol, 0, no_stdout},
    });
}

// Descriptors that another program left non-blocking, as shells sometimes
// do: reads that find no input yet and writes that find the pipe full wait
// instead of failing.
TEST(EndToEnd, NonBlockingPipes)
{
    std::string input;
    for (int i = 0; i < 30'000; ++i)
        input += (i % 9 ? "[" + std::to_string(i) + "]" : "none") + "\n";
    const model_output expected = model_tokcollect(input);
    // The input sent whole and the output left undrained a while, so that
    // the listing finds the pipe full.
    running_program program = start_tokcollect({.nonblocking = true});
    for (size_t sent = 0; sent < input.size();) {
        const ssize_t n = write(program.in, input.data() + sent, input.size() - sent);
        ASSERT_GT(n, 0);
        sent += static_cast<size_t>(n);
    }
    close(program.in);
    usleep(300'000);
    const run_result r = finish({program.pid, -1, program.out, program.err}, "");
    EXPECT_TRUE(r.out == expected.out) << "listing differs from the model's";
    EXPECT_TRUE(r.err == expected.err) << "diagnostics differ from the model's";
    EXPECT_EQ(r.status, 0);
}

// Input written a piece at a time, as a user types lines, each piece's
// diagnostics awaited before the next is written; one piece is large enough
// for workers to start and collect most of it.
TEST(EndToEnd, DiagnosticsArriveWhileInputIsOpen)
{
    const std::pair<std::string, std::string> steps[] = {
        {"no list\n", eol},
        {lines_of_lists(least_threaded_input + 3 * buffer_size) + "no list\n", eol},
        {"[2]\nstill none\n", eol},
        {"x\ny\n[3\n", eol + eol},
    };
    running_program program = start_tokcollect();
    const int generous_ms = 30'000;
    std::string input;
    for (const auto& [piece, diagnostics] : steps) {
        ASSERT_EQ(write_all(program.in, piece.data(), piece.size()), 0);
        EXPECT_EQ(read_within(program.err, diagnostics.size(), generous_ms), diagnostics)
            << "after " << escape(piece.substr(piece.size() - 8));
        input += piece;
    }
    EXPECT_EQ(read_within(program.out, 1, 0), "") << "listing before the end of input";

    const run_result rest = finish(program, "[1]\n");
    EXPECT_TRUE(rest.out == model_tokcollect(input + "[1]\n").out);
    EXPECT_EQ(rest.err, "");
    EXPECT_EQ(rest.status, 0);
}

std::string file_contents(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

// A file large enough to be read on several threads, with lines without a
// list, long lines and no final newline.
std::string large_input()
{
    std::mt19937_64 random(8);
    std::string input;
    while (input.size() < (9 << 20)) {
        input +=
            "id " + std::to_string(random() % 100) + " = [" + std::to_string(random() % 100000);
        input += random() % 50 ? ", 1/2]\n" : "]" + std::string(random() % 3000, 'x') + "\n";
    }
    return input + "[7, 8";
}

// A regular file is read on threads from where its offset stands, and left
// at its end; what the file's size does not tell is read all the same; the
// diagnostics all come before the listing, as from a single reader.
TEST(EndToEnd, RegularFileOnThreads)
{
    const std::string path = testing::TempDir() + "large-input", both = path + ".both";
    const std::string input = large_input();
    std::ofstream(path, std::ios::binary) << input;
    const model_output whole = model_tokcollect(input);

    for (off_t offset : {off_t{0}, off_t{12345}, static_cast<off_t>(input.size() / 3)}) {
        const int fd = open(path.c_str(), O_RDONLY);
        lseek(fd, offset, SEEK_SET);
        const run_result r = run_tokcollect("", {.in = stdin_is::descriptor, .input_fd = fd});
        const model_output expected = model_tokcollect(std::string_view(input).substr(offset));
        EXPECT_TRUE(r.out == expected.out) << "from offset " << offset;
        EXPECT_TRUE(r.err == expected.err) << "from offset " << offset;
        EXPECT_EQ(r.status, 0) << "from offset " << offset;
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), static_cast<off_t>(input.size())) << "offset left behind";
        close(fd);
    }

    const run_result r = run_tokcollect("", {.in = stdin_is::file,
                                             .input_file = path,
                                             .out = stdout_is::file_with_stderr,
                                             .output_file = both});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_contents(both) == whole.err + whole.out) << "2>&1 into one file";

    const int write_only = open(path.c_str(), O_WRONLY);
    EXPECT_EQ(run_tokcollect("", {.in = stdin_is::descriptor, .input_fd = write_only}).err,
              "tokcollect: error reading standard input: Bad file descriptor\n");
    close(write_only);

    // A file that shrinks while it is read ends early, but not by a signal.
    running_program shrinking = start_tokcollect({.in = stdin_is::file, .input_file = path});
    EXPECT_EQ(truncate(path.c_str(), 1 << 20), 0);
    EXPECT_EQ(finish(shrinking, "").status, 0) << "file truncated while read";
    std::remove(path.c_str());
    std::remove(both.c_str());
}

// Two halves of 4.5 MiB, so that two threads read the file, the second
// from just past the empty line that opens the second half. When every read
// of that range fails, or returns nothing as where the file has shrunk, the
// first range alone is listed, its diagnostics before any message.
TEST(EndToEnd, ThreadedRangeStops)
{
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) < 2)
        GTEST_SKIP() << "one CPU: the file is read by one thread";
    const size_t half = 9 << 19;
    std::string first, second = "\n";
    for (int i = 0; first.size() < half - 40; ++i)
        first += i % 7 ? "[1" + std::to_string(i) + ", 3/4]\n" : "no list\n";
    first += std::string(half - 1 - first.size(), 'x') + "\n";
    for (int i = 0; second.size() < half - 40; ++i)
        second += i % 5 ? "[2" + std::to_string(i) + "]\n" : "none\n";
    second += std::string(half - second.size(), '\n');
    const std::string path = testing::TempDir() + "two-halves";
    std::ofstream(path, std::ios::binary) << first + second;
    const model_output read = model_tokcollect(first + "\n");
    const std::string io_error = "tokcollect: error reading standard input: Input/output error\n";
    const run_options failing{.in = stdin_is::file,
                              .input_file = path,
                              .pread_fails_from = static_cast<long>(half + 1),
                              .pread_errno = EIO};
    run_options shrunk = failing;
    shrunk.pread_errno = 0;
    // Compared whole, since a diff of megabytes would take the test's time.
    for (const e2e_case& c : std::vector<e2e_case>{
             {"second range fails", "", read.out, read.err + io_error, 1, failing},
             {"file ends after the first range", "", read.out, read.err, 0, shrunk},
         }) {
        const run_result r = run_tokcollect("", c.options);
        EXPECT_TRUE(r.out == c.out) << c.name << ": listing differs";
        EXPECT_TRUE(r.err == c.err) << c.name << ": diagnostics differ, ending "
                                    << escape(std::string_view(r.err).substr(
                                           r.err.size() - std::min<size_t>(r.err.size(), 80)));
        EXPECT_EQ(r.status, c.status) << c.name;
    }
    std::remove(path.c_str());
}

// Files under /proc say they are empty, but are read through: this test's
// memory map names its "[stack]", a list of one empty token.
TEST(EndToEnd, FileWhoseSizeSaysLess)
{
    const std::string maps = "/proc/" + std::to_string(getpid()) + "/maps";
    const run_result r = run_tokcollect("", {.in = stdin_is::file, .input_file = maps});
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(r.status, 0);
}

// `count` distinct tokens, one list a line: the numbers up to `count`,
// lengthened to `size` bytes, or for a size of 0 to lengths from 1 to 300,
// most of them short.
std::string distinct_tokens(int count, size_t size)
{
    std::mt19937_64 random(size);
    std::string input;
    for (int i = 0; i < count; ++i) {
        std::string token = std::to_string(i);
        const size_t length = size ? size : std::min<size_t>(300, 1 + 60 / (1 + random() % 60));
        while (token.size() < length)
            token += "/0123456789"[random() % 11];
        input.append("[").append(token).append("]\n");
    }
    return input;
}

// The least address-space limit, in MiB, under which the program loads at
// all, which depends on how it was built: below it the loader fails, not
// the program.
long least_limit_that_loads()
{
    const auto loads = [](long mib) {
        const run_options limited{.address_space_limit = mib << 20, .stack_limit = 1 << 20};
        return run_tokcollect("", limited).status == 0;
    };
    long mib = 1;
    while (mib < 64 && !loads(mib))
        ++mib;
    return mib;
}

// Wherever memory runs out, while reading, growing the table or partitions,
// or sorting for the listing, on the reading thread or a worker, the run
// ends with the message and nothing on standard output, whether the input
// comes from a pipe or a file; and on every CPU of the machine's, it lists
// wherever it lists on one, where the limits let two threads collect.
TEST(EndToEnd, OutOfMemoryAtAnyPoint)
{
#ifdef TOKCOLLECT_SANITIZED
    GTEST_SKIP() << "the sanitizers need more address space than any limit here";
#endif
    const std::string path = testing::TempDir() + "out-of-memory-input";
    const long least = least_limit_that_loads();
    ASSERT_LT(least, 64);
    for (const auto& [count, size] : {std::pair{780'000, 1}, {300'000, 20}, {200'000, 0}}) {
        // Padded past 8 MiB with a token already there, so that the file is
        // read on threads, which run out of memory in their turn.
        std::string input = distinct_tokens(count, size);
        while (input.size() < (17 << 19))
            input += "[1]\n";
        std::ofstream(path, std::ios::binary) << input;
        const run_result full = run_tokcollect(input);
        ASSERT_EQ(full.status, 0);
        int failures = 0;
        for (long mib = least; mib <= least + 31; ++mib) {
            for (const run_options& from :
                 {run_options{}, run_options{.in = stdin_is::file, .input_file = path}}) {
                bool listed_on_one = false;
                for (int cpus : {1, 0}) {
                    // Below that, one thread collects on any number of CPUs.
                    if (cpus == 1 && mib < least + 20)
                        continue;
                    run_options limited = from;
                    limited.address_space_limit = mib << 20;
                    limited.stack_limit = 1 << 20;
                    limited.cpus = cpus;
                    const run_result r = run_tokcollect(input, limited);
                    const std::string where =
                        std::to_string(mib) + " MiB, " + std::to_string(size) + "-byte tokens" +
                        (from.input_file.empty() ? "" : ", file") + (cpus ? ", one CPU" : "");
                    if (r.status == 0) {
                        EXPECT_TRUE(r.out == full.out) << where;
                        EXPECT_EQ(r.err, "") << where;
                        listed_on_one |= cpus == 1;
                        continue;
                    }
                    ++failures;
                    EXPECT_FALSE(listed_on_one) << where << ": listed on one CPU alone";
                    EXPECT_EQ(r.status, 1) << where;
                    EXPECT_EQ(r.out, "") << where;
                    EXPECT_EQ(r.err, "tokcollect: out of memory\n") << where;
                }
            }
        }
        EXPECT_GT(failures, 0) << size;
    }
    std::remove(path.c_str());
}

// Where an address-space limit leaves room for it, the C library would
// reserve 64 MiB for each thread's malloc arena, which the budget does not
// plan for: a pipe, which cannot be collected again on one thread, would
// then run out of memory on several at some limits well above what it
// needs. Under any limit, every thread allocates from the one arena.
TEST(EndToEnd, ThreadsListUnderEveryAddressSpaceLimitAboveWhatTheyNeed)
{
#ifdef TOKCOLLECT_SANITIZED
    GTEST_SKIP() << "the sanitizers need more address space than any limit here";
#endif
    const std::string input = distinct_tokens(2'000'000, 9);
    const run_result full = run_tokcollect(input);
    ASSERT_EQ(full.status, 0);
    for (long mib = 60; mib <= 110; ++mib) {
        const run_result r =
            run_tokcollect(input, {.address_space_limit = mib << 20, .stack_limit = 1 << 20});
        EXPECT_EQ(r.status, 0) << mib << " MiB: " << r.err;
        EXPECT_TRUE(r.out == full.out) << mib << " MiB";
    }
}

} // namespace
