// SPDX-License-Identifier: MIT
// The read loop. Input is read in large blocks and cut into the chunks that
// fgets() into a 1024-byte buffer would give: a line of up to 1023 bytes with
// its newline, otherwise the next 1023 bytes of the line, and at the end an
// unterminated last line. Cutting is exact, so a token split at a chunk end,
// or a continuation chunk without '[', gives the same result as line-at-a-time
// reading. Diagnostics are gathered and written before each read that may
// wait for input, so an interactive user sees them as lines are entered.
#include "driver.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <poll.h>
#include <string_view>
#include <unistd.h>

#include "scanner.h"
#include "token_set.h"
#include "write_all.h"

namespace
{

constexpr std::size_t max_chunk = 1023;
const std::string_view end_of_line = "End of line\n";

// Unread input; the tail of the last block moves to the front before a read.
// The extra byte leaves room for the NUL that ends the last chunk.
constexpr std::size_t input_size = 1 << 17;
char input[input_size + 1];

// Diagnostics not yet written.
struct diagnostics {
    int fd;
    std::size_t used = 0;
    char pending[4096] = {};
};

// Errors on standard error itself are not reported: there is nowhere to.
void flush(diagnostics& diag)
{
    write_all(diag.fd, diag.pending, diag.used);
    diag.used = 0;
}

void add(diagnostics& diag, std::string_view text)
{
    if (diag.used + text.size() > sizeof diag.pending)
        flush(diag);
    std::memcpy(diag.pending + diag.used, text.data(), text.size());
    diag.used += text.size();
}

// Allocates nothing, so that it can report running out of memory.
void report(diagnostics& diag, const char* message, int error = 0)
{
    add(diag, "tokcollect: ");
    add(diag, message);
    if (error) {
        add(diag, ": ");
        add(diag, std::strerror(error));
    }
    add(diag, "\n");
    flush(diag);
}

// The next chunk at the front of `unread`, or an empty view when the chunk
// may go on in input not yet read.
std::string_view next_chunk(std::string_view unread, bool at_eof)
{
    std::string_view window = unread.substr(0, max_chunk);
    if (const void* newline = std::memchr(window.data(), '\n', window.size()))
        return unread.substr(0, static_cast<const char*>(newline) - unread.data() + 1);
    if (window.size() == max_chunk || at_eof)
        return window;
    return {};
}

// Appends what one read gives to input[0, filled). Returns 0 at the end of
// the input, or -1 with `error` set when the read failed.
ssize_t read_more(int fd, std::size_t filled, int& error)
{
    for (;;) {
        ssize_t n = read(fd, input + filled, input_size - filled);
        if (n >= 0)
            return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd ready{fd, POLLIN, 0};
            poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            error = errno;
            return -1;
        }
    }
}

// Scans the `size` bytes at `chunk` as one NUL-terminated chunk. The byte
// after it is unread input, so it is put back afterwards.
bool scan_chunk(char* chunk, std::size_t size, token_set& tokens)
{
    const char saved = chunk[size];
    chunk[size] = '\0';
    const bool has_list = scan_line(chunk, tokens);
    chunk[size] = saved;
    return has_list;
}

// Scans every chunk of `in` into `tokens`. Returns false after a read error,
// which has been reported; what was read before it is scanned all the same.
bool scan_input(int in, token_set& tokens, diagnostics& diag)
{
    bool ok = true;
    std::size_t begin = 0, end = 0;
    for (bool at_eof = false;;) {
        std::string_view unread(input + begin, end - begin);
        if (std::string_view line = next_chunk(unread, at_eof); !line.empty()) {
            if (!scan_chunk(input + begin, line.size(), tokens))
                add(diag, end_of_line);
            begin += line.size();
            continue;
        }
        if (at_eof)
            return ok;
        flush(diag);
        std::memmove(input, unread.data(), unread.size());
        begin = 0;
        end = unread.size();
        int error = 0;
        ssize_t n = read_more(in, end, error);
        if (n < 0) {
            report(diag, "error reading standard input", error);
            ok = false;
        }
        at_eof = n <= 0;
        end += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}

} // namespace

int collect_tokens(int in, int out, int err)
{
    diagnostics diag{err};
    try {
        token_set tokens;
        int status = scan_input(in, tokens, diag) ? 0 : 1;
        flush(diag);
        if (int error = print_tokens(tokens, out)) {
            report(diag, "error writing standard output", error);
            status = 1;
        }
        return status;
    } catch (const std::bad_alloc&) {
        report(diag, "out of memory");
        return 1;
    }
}
