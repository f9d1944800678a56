// SPDX-License-Identifier: MIT
// Runs the built tokcollect binary with exact bytes on standard input and
// captures standard output, standard error and the exit status.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct run_result {
    std::string out;
    std::string err;
    int status;        // exit status, or 128 + signal number
    long peak_rss_kib; // meaningful only when the test process itself is small
};

// A filled pipe holds the whole input, written and closed before the program
// starts, so that every read takes as much as it asks for.
enum class stdin_is { piped, filled_pipe, file, descriptor, directory, closed };
enum class stdout_is { piped, dev_full, closed, file_with_stderr };

struct run_options {
    std::vector<std::string> args = {};
    stdin_is in = stdin_is::piped;
    std::string input_file = {}; // read when `in` is stdin_is::file
    int input_fd = -1;           // shared, offset and all, when `in` is stdin_is::descriptor
    stdout_is out = stdout_is::piped;
    std::string output_file = {};   // both streams, as `> file 2>&1`, for file_with_stderr
    long address_space_limit = 0;   // bytes; 0 for none
    bool without_getrandom = false; // the kernel refuses getrandom(), as some sandboxes do
    // A pread() of other than 4096 bytes (the threads' probes for newlines,
    // which read whole blocks away from the file's end) from this offset on,
    // and below the next, fails with `pread_errno`, or with 0 returns
    // nothing, as where a file has shrunk; -1 for never.
    long pread_fails_from = -1;
    long pread_fails_to = -1;
    int pread_errno = 0;
    // A read() of standard input asking for fewer bytes than this fails
    // with `read_errno`; 0 for never.
    unsigned read_fails_below = 0;
    int read_errno = 0;
    long stack_limit = 0; // bytes; 0 for none
    int cpus = 0;         // the first CPUs of the test's own it may run on; 0 for all
    // Standard input and output are non-blocking, the output a pipe of one
    // page, so that reads find nothing yet and writes find the pipe full.
    bool nonblocking = false;
};

run_result run_tokcollect(std::string_view input, const run_options& options = {});

// Makes the calls that `options` fails fail in this process, for good.
// Used by tests that run the collector in a child process of their own.
void install_filter(const run_options& options);

// A started tokcollect and our ends of its pipes, for tests that talk to it.
struct running_program {
    int pid;
    int in;
    int out;
    int err;
};

// With stdin_is::filled_pipe, `filled_input` is what the pipe holds.
running_program start_tokcollect(const run_options& options = {},
                                 std::string_view filled_input = {});

// Sends the rest of the input, closes standard input, collects the rest of
// the output and waits for the program to end.
run_result finish(const running_program& program, std::string_view input);

// Reads until `size` bytes have come, the pipe closes, or nothing has come
// for `timeout_ms`.
std::string read_within(int fd, size_t size, int timeout_ms);

// Everything a file holds, read from its start.
std::string contents(int fd);

// Makes control and non-ASCII bytes visible in assertion messages.
std::string escape(std::string_view bytes);
