// SPDX-License-Identifier: MIT
// The read loop. A large regular file is first collected in ranges on
// threads (file_ranges.h), whose diagnostics are then written in file order.
// Anything else, a pipe, a terminal or a small file, and what the ranges
// left, is read as a stream by this thread and collected on every CPU
// (stream_reader.h); its diagnostics are written in input order as the pieces
// they come from are collected, and all of them before each read that would
// wait for input, so an interactive user sees them as lines are entered.
#include "driver.h"

#include <algorithm>
#include <cstring>
#include <malloc.h>
#include <new>
#include <poll.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "listing/listing.h"
#include "read/file_ranges.h"
#include "read/stream_reader.h"
#include "set/token_inserter.h"
#include "store/memory_policy.h"
#include "system/limits.h"
#include "system/memory_budget.h"
#include "system/pages.h"
#include "system/threads.h"
#include "system/write_all.h"

namespace
{

const std::string_view end_of_line = "End of line\n";

// The C library maps allocations of this size and more on their own.
constexpr int large_allocation = 128 << 10;

// An input this short starts no threads, and its set takes less memory
// than the program's own code: its run need not read the system's limits,
// which would take longer than collecting it.
constexpr std::size_t small_input = 64 << 10;

// Whether all that is left of `in` is known to be shorter than
// small_input: the rest of a regular file, or what a pipe holds once its
// writers have closed it.
bool known_small(int in)
{
    struct stat status;
    if (fstat(in, &status) != 0)
        return false;
    if (S_ISREG(status.st_mode)) {
        const off_t at = lseek(in, 0, SEEK_CUR);
        return at >= 0 && status.st_size - at < static_cast<off_t>(small_input);
    }
    pollfd ready{in, POLLIN, 0};
    int held = 0;
    return S_ISFIFO(status.st_mode) && poll(&ready, 1, 0) == 1 && (ready.revents & POLLHUP) &&
           ioctl(in, FIONREAD, &held) == 0 && static_cast<std::size_t>(held) < small_input;
}

// What a thread that collects holds of its own, at most: its stack, the
// buffer it reads or is handed and one more waiting, its masks, and what
// its inserter holds.
constexpr std::size_t thread_bytes = thread_stack_bytes + page_bytes + 2 * sizeof(read_buffer) +
                                     masks_per_buffer * sizeof(block_masks) + most_inserter_bytes;

// Diagnostics not yet written, and what a second collection of the same
// input writes again, to be left out.
struct diagnostics {
    int fd;
    std::size_t used = 0;
    std::size_t written = 0;  // bytes, those left out among them
    std::size_t repeated = 0; // bytes still to leave out
    bool reported = false;    // a failure
    char pending[4096] = {};
};

// Errors on standard error itself are not reported: there is nowhere to.
void write_pending(diagnostics& diag)
{
    const std::size_t again = std::min(diag.repeated, diag.used);
    write_all(diag.fd, diag.pending + again, diag.used - again);
    diag.repeated -= again;
    diag.written += diag.used;
    diag.used = 0;
}

void append(diagnostics& diag, std::string_view text)
{
    if (diag.used + text.size() > sizeof diag.pending)
        write_pending(diag);
    std::memcpy(diag.pending + diag.used, text.data(), text.size());
    diag.used += text.size();
}

// Allocates nothing, so that it can report running out of memory.
void report(diagnostics& diag, const char* message, int error = 0)
{
    write_pending(diag);
    diag.repeated = 0;
    diag.reported = true;
    append(diag, "tokcollect: ");
    append(diag, message);
    if (error) {
        append(diag, ": ");
        append(diag, std::strerror(error));
    }
    append(diag, "\n");
    write_pending(diag);
}

void add_missing_lists(diagnostics& diag, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        append(diag, end_of_line);
}

// Collects the stream `in` to its end into `set`, writing the diagnostics
// as the pieces they come from are collected, and all of them before each
// read that would wait for input. Returns false after a read error, which has
// been reported: what was read before it is collected all the same, and the
// diagnostics of its whole chunks written before the message.
bool collect_stream(int in, classify_blocks classify, std::size_t workers, std::size_t min_range,
                    token_set& set, diagnostics& diag)
{
    stream_reader reader(in, classify, workers, min_range, set);
    const auto write_collected = [&] { add_missing_lists(diag, take_lists_missing(reader)); };
    int error = 0;
    for (;;) {
        if (!input_waiting(in)) {
            settle_before_wait(reader);
            write_collected();
            write_pending(diag);
        }
        const ssize_t n = read_stream(reader, error);
        if (n < 0) {
            settle_stream(reader);
            write_collected();
            report(diag, "error reading standard input", error);
        }
        if (n <= 0)
            break;
        write_collected();
    }
    finish_stream(reader);
    write_collected();
    return error == 0;
}

// Collects the rest of the file `in` in the ranges of `plan` into `set`,
// writes their diagnostics in file order, and moves the offset to where the
// ranges end. Returns false after a read error, which has been reported:
// then only the ranges up to it count.
bool collect_file(int in, const range_plan& plan, classify_blocks classify, token_set& set,
                  diagnostics& diag)
{
    const file_collection file = collect_ranges(in, plan, classify, set);
    add_missing_lists(diag, file.lists_missing);
    if (file.read_error) {
        report(diag, "error reading standard input", file.read_error);
        add_missing_lists(diag, file.missing_after_error);
        return false;
    }
    write_pending(diag);
    lseek(in, file.collected_to, SEEK_SET);
    return true;
}

// Collects `in` to its end on `threads` threads, writing its diagnostics,
// and lists its tokens on `out`. Returns the exit status. Throws
// std::bad_alloc when memory runs out.
int collect_and_list(int in, int out, diagnostics& diag, std::size_t threads, memory_budget& budget,
                     const collect_options& options)
{
    token_set set(threads, &budget, options.compact_from);
    set.key = options.key.value_or(set.key);
    const range_plan plan = plan_ranges(in, threads, options.min_range);
    const classify_blocks classify = options.classify ? options.classify : widest_classifier();
    bool ok = plan.readers == 1 || collect_file(in, plan, classify, set, diag);
    // What the ranges left, or the whole input as a stream.
    // The reader collects too, on one more CPU than its workers.
    ok = ok && collect_stream(in, classify, threads - 1, options.min_range, set, diag);
    write_pending(diag);
    int status = ok ? 0 : 1;
    std::vector<shard_forms> shards = release(set);
    if (int error = write_tokens(shards, out, threads, &budget)) {
        report(diag, "error writing standard output", error);
        status = 1;
    }
    return status;
}

// Whether `in` is a regular file, now read again from `start`.
bool rewind(int in, off_t start)
{
    struct stat status;
    return start >= 0 && fstat(in, &status) == 0 && S_ISREG(status.st_mode) &&
           lseek(in, start, SEEK_SET) == start;
}

} // namespace

int collect_tokens(int in, int out, int err, const collect_options& options)
{
    diagnostics diag{err};
    // Large allocations freed go back to the system at once, as the budget
    // counts them; the C library would otherwise raise its threshold for
    // mapping them, and keep those freed later.
    mallopt(M_MMAP_THRESHOLD, large_allocation);
    const off_t start = lseek(in, 0, SEEK_CUR);
    try {
        const process_limits limits =
            known_small(in) ? process_limits{UINT64_MAX, UINT64_MAX, 1} : read_process_limits();
        // Under an address-space limit every thread allocates from the one
        // arena: the C library would reserve 64 MiB for each thread's own,
        // which the limit counts, for the few hundred allocations that the
        // program makes. Where none binds, threads keep their own arenas,
        // whose freed memory does not scatter through one heap.
        if (limits.address_space != UINT64_MAX)
            mallopt(M_ARENA_MAX, 1);
        memory_budget system_budget(planned_for(limits), ceiling_for(limits));
        memory_budget& budget = options.budget ? *options.budget : system_budget;
        const std::size_t threads = options.threads
                                        ? options.threads
                                        : threads_within(options.cpus ? options.cpus : limits.cpus,
                                                         budget.planned, thread_bytes);
        try {
            return collect_and_list(in, out, diag, threads, budget, options);
        } catch (const std::bad_alloc&) {
            // Threads hold memory of their own, and split the set into
            // shards: a regular file that runs out of memory on several is
            // collected again on one, as on one CPU, so that more CPUs never
            // fail where one lists. The same diagnostics come again.
            if (threads == 1 || diag.reported || !rewind(in, start))
                throw;
            diag.used = 0;
            diag.repeated = std::exchange(diag.written, 0);
            return collect_and_list(in, out, diag, 1, budget, options);
        }
    } catch (const std::bad_alloc&) {
        report(diag, "out of memory");
        return 1;
    }
}
