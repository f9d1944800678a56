// tokcollect: reads standard input a chunk at a time, collects the tokens of
// the first bracketed list of every chunk, and lists the distinct tokens in
// byte order once the input has ended.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "scanner.h"
#include "token_set.h"

namespace
{

// One chunk of input: a line of up to 1023 bytes with its newline, a 1023-byte
// piece of a longer line, or the unterminated last line.
char line[1024];

void report(const char* message, int error)
{
    if (error)
        std::fprintf(stderr, "tokcollect: %s: %s\n", message, std::strerror(error));
    else
        std::fprintf(stderr, "tokcollect: %s\n", message);
}

} // namespace

int main()
{
    token_set tokens;
    int status = 0;
    try {
        while (std::fgets(line, sizeof line, stdin)) {
            if (!scan_line(line, tokens))
                std::fwrite("End of line\n", 1, 12, stderr);
        }
    } catch (const std::bad_alloc&) {
        report("out of memory", 0);
        return 1;
    }
    if (std::ferror(stdin)) {
        report("error reading standard input", errno);
        status = 1;
    }

    print_tokens(tokens, stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        report("error writing standard output", errno);
        status = 1;
    }
    return status;
}
