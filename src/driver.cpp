// SPDX-License-Identifier: MIT
// The read loop. A pipe, a terminal or a small file is read by this thread,
// through chunks.h; diagnostics are gathered and written before each read
// that may wait for input, so an interactive user sees them as lines are
// entered. A large regular file is first scanned in ranges on
// threads (file_ranges.h), whose diagnostics are then written in file order,
// and this thread reads on from where the ranges end until read() returns 0,
// so that what the file's size did not tell is read too.
#include "driver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <poll.h>
#include <sched.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "chunks.h"
#include "file_ranges.h"
#include "listing.h"
#include "token_set.h"
#include "write_all.h"

namespace
{

const std::string_view end_of_line = "End of line\n";
input_buffer input;

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

// Scans every chunk of `in` into `tokens`, writing the diagnostics gathered
// before each read, which may wait for input. Returns false after a read
// error, which has been reported; what was read before it is scanned all the
// same.
bool scan_stream(int in, classify_blocks classify, token_set& tokens, diagnostics& diag)
{
    auto read_block = [&](char* to, std::size_t room) {
        flush(diag);
        int error = 0;
        const ssize_t n = read_some(in, to, room, error);
        if (n < 0)
            report(diag, "error reading standard input", error);
        return n;
    };
    return scan_blocks(input, classify, tokens, read_block,
                       [&diag](std::size_t count) { add_missing_lists(diag, count); });
}

std::size_t usable_cpus()
{
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0
               ? static_cast<std::size_t>(CPU_COUNT(&cpus))
               : 1;
}

// How many threads should read `in`: one, unless it is a regular file with
// enough left in it for two and more than one CPU to run them. Sets `start`
// and `end` to the part of the file left to read.
std::size_t reader_count(int in, const collect_options& options, off_t& start, off_t& end)
{
    struct stat status;
    if (fstat(in, &status) != 0 || !S_ISREG(status.st_mode))
        return 1;
    start = lseek(in, 0, SEEK_CUR);
    end = status.st_size;
    if (start < 0 || end <= start)
        return 1;
    const std::size_t threads = options.threads ? options.threads : usable_cpus();
    const auto ranges =
        static_cast<std::size_t>(end - start) / std::max<std::size_t>(options.min_range, 1);
    return std::max<std::size_t>(1, std::min(threads, ranges));
}

// Scans the rest of the file `in` on `count` threads into `sets`, writes
// their diagnostics in file order, and moves the offset to where the ranges
// end. Returns false after a read error, which has been reported: then only
// the ranges up to it count.
bool scan_file(int in, off_t start, off_t end, std::size_t count, classify_blocks classify,
               std::vector<sorted_tokens>& sets, diagnostics& diag)
{
    off_t scanned_to = 0;
    std::vector<range_scan> scans = scan_ranges(in, start, end, count, classify, scanned_to);
    if (std::any_of(scans.begin(), scans.end(),
                    [](const range_scan& s) { return s.out_of_memory; }))
        throw std::bad_alloc();
    for (range_scan& scan : scans) {
        sets.push_back(std::move(scan.tokens));
        if (scan.read_error) {
            add_missing_lists(diag, scan.missing_before_error);
            report(diag, "error reading standard input", scan.read_error);
            add_missing_lists(diag, scan.lists_missing - scan.missing_before_error);
            return false;
        }
        add_missing_lists(diag, scan.lists_missing);
    }
    flush(diag);
    lseek(in, scanned_to, SEEK_SET);
    return true;
}

} // namespace

int collect_tokens(int in, int out, int err, const collect_options& options)
{
    diagnostics diag{err};
    try {
        std::vector<sorted_tokens> sets;
        off_t start = 0, end = 0;
        const std::size_t readers = reader_count(in, options, start, end);
        const classify_blocks classify = options.classify ? options.classify : widest_classifier();
        bool ok = readers == 1 || scan_file(in, start, end, readers, classify, sets, diag);
        if (ok) {
            // What the ranges left, or the whole input from a single reader.
            token_set tokens;
            ok = scan_stream(in, classify, tokens, diag);
            sets.push_back(sort_tokens(tokens));
        }
        flush(diag);
        int status = ok ? 0 : 1;
        if (int error = write_tokens(sets, out, readers)) {
            report(diag, "error writing standard output", error);
            status = 1;
        }
        return status;
    } catch (const std::bad_alloc&) {
        report(diag, "out of memory");
        return 1;
    }
}
