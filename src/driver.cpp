// SPDX-License-Identifier: MIT
// The read loop. A pipe, a terminal or a small file is read by this thread,
// through chunks.h; diagnostics are gathered and written before each read
// that may wait for input, so an interactive user sees them as lines are
// entered. A large regular file is first collected in ranges on
// threads (file_ranges.h), whose diagnostics are then written in file order,
// and this thread reads on from where the ranges end until read() returns 0,
// so that what the file's size did not tell is read too.
#include "driver.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <poll.h>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "chunks.h"
#include "collect.h"
#include "file_ranges.h"
#include "listing.h"
#include "token_set.h"
#include "write_all.h"

namespace
{

const std::string_view end_of_line = "End of line\n";

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

void add_missing_lists(diagnostics& diag, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        add(diag, end_of_line);
}

// One read into `to`, waiting for a non-blocking descriptor to be ready.
// Returns 0 at the end of the input, or -1 with `error` set when the read
// failed.
ssize_t read_some(int fd, char* to, std::size_t room, int& error)
{
    for (;;) {
        ssize_t n = read(fd, to, room);
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

// Collects every chunk of `in` into `tokens`, writing the diagnostics
// gathered before each read, which may wait for input. Returns false after a
// read error, which has been reported; what was read before it is collected
// all the same.
bool collect_stream(int in, classify_blocks classify, token_set& tokens, diagnostics& diag)
{
    auto read_block = [&](char* to, std::size_t room) {
        flush(diag);
        int error = 0;
        const ssize_t n = read_some(in, to, room, error);
        if (n < 0)
            report(diag, "error reading standard input", error);
        return n;
    };
    const auto buffer = std::make_unique_for_overwrite<input_buffer>();
    return read_chunks(*buffer, classify, chunk_collector(tokens), read_block,
                       [&diag](std::size_t count) { add_missing_lists(diag, count); });
}

// Collects the rest of the file `in` in the ranges of `plan` into `sets`,
// writes their diagnostics in file order, and moves the offset to where the
// ranges end. Returns false after a read error, which has been reported:
// then only the ranges up to it count.
bool collect_file(int in, const range_plan& plan, classify_blocks classify,
                  std::vector<sorted_tokens>& sets, diagnostics& diag)
{
    file_collection file = collect_ranges(in, plan, classify);
    sets = std::move(file.sets);
    add_missing_lists(diag, file.lists_missing);
    if (file.read_error) {
        report(diag, "error reading standard input", file.read_error);
        add_missing_lists(diag, file.missing_after_error);
        return false;
    }
    flush(diag);
    lseek(in, file.collected_to, SEEK_SET);
    return true;
}

} // namespace

int collect_tokens(int in, int out, int err, const collect_options& options)
{
    diagnostics diag{err};
    try {
        std::vector<sorted_tokens> sets;
        const range_plan plan = plan_ranges(in, options.threads, options.min_range);
        const classify_blocks classify = options.classify ? options.classify : widest_classifier();
        bool ok = plan.readers == 1 || collect_file(in, plan, classify, sets, diag);
        if (ok) {
            // What the ranges left, or the whole input from a single reader.
            token_set tokens;
            ok = collect_stream(in, classify, tokens, diag);
            sets.push_back(sort_tokens(release(tokens)));
        }
        flush(diag);
        int status = ok ? 0 : 1;
        if (int error = write_tokens(sets, out, plan.readers)) {
            report(diag, "error writing standard output", error);
            status = 1;
        }
        return status;
    } catch (const std::bad_alloc&) {
        report(diag, "out of memory");
        return 1;
    }
}
