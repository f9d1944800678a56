// Runs the built tokcollect binary with exact bytes on standard input and
// captures standard output, standard error and the exit status.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct run_result {
    std::string out;
    std::string err;
    int status; // exit status, or 128 + signal number
};

enum class stdin_is { piped, directory, closed };
enum class stdout_is { piped, dev_full, closed };

struct run_options {
    std::vector<std::string> args = {};
    stdin_is in = stdin_is::piped;
    stdout_is out = stdout_is::piped;
    long address_space_limit = 0; // bytes; 0 for none
};

run_result run_tokcollect(std::string_view input, const run_options& options = {});

// Makes control and non-ASCII bytes visible in assertion messages.
std::string escape(std::string_view bytes);
