// SPDX-License-Identifier: MIT
// Collecting a file in ranges on threads. Each thread reads with pread(),
// which leaves the file offset alone and, unlike a mapping, returns what is
// there when the file shrinks. Failures travel back in each range's result,
// and are joined here into one for the driver to report. A read that fails
// before the last range leaves the set holding the ranges after it too, so
// the set is emptied and the file collected again up to the failed read:
// the listing is then what one reader would have read before it failed.
#include "read/file_ranges.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "read/read_buffer.h"
#include "scan/collect.h"
#include "system/threads.h"

namespace
{

// What collecting one range found.
struct range_result {
    std::size_t lists_missing = 0;        // chunks without a list
    std::size_t missing_before_error = 0; // of them, those before a failed read
    int read_error = 0;                   // errno of the failed read, or 0
    off_t failed_at = 0;                  // the offset it was to read from
    bool out_of_memory = false;
};

// Newlines are looked for this many bytes at a time.
constexpr std::size_t search_size = 4096;

// The offset just past the first newline at or after `from`, or `end`.
off_t after_newline(int fd, off_t from, off_t end)
{
    char bytes[search_size];
    while (from < end) {
        const ssize_t n =
            pread(fd, bytes,
                  std::min<std::size_t>(search_size, static_cast<std::size_t>(end - from)), from);
        if (n <= 0)
            return end;
        if (const void* newline = std::memchr(bytes, '\n', static_cast<std::size_t>(n)))
            return from + (static_cast<const char*>(newline) - bytes) + 1;
        from += n;
    }
    return end;
}

// The offset just past the last newline between `start` and `end`, or
// `start` when there is none, or the file no longer reaches `end`.
off_t after_last_newline(int fd, off_t start, off_t end)
{
    char bytes[search_size];
    while (end > start) {
        const auto size = std::min<std::size_t>(search_size, static_cast<std::size_t>(end - start));
        if (pread(fd, bytes, size, end - static_cast<off_t>(size)) != static_cast<ssize_t>(size))
            return start;
        if (const void* newline = memrchr(bytes, '\n', size))
            return end - static_cast<off_t>(size) + (static_cast<const char*>(newline) - bytes) + 1;
        end -= static_cast<off_t>(size);
    }
    return start;
}

// Reads [from, to) into `to_fill`, from `from` on. Returns the bytes read, 0 at
// the end of the range, or -1 with the failure in `result`.
ssize_t read_range(int fd, off_t& from, off_t to, char* to_fill, std::size_t room,
                   range_result& result)
{
    for (;;) {
        const ssize_t n = pread(
            fd, to_fill, std::min<std::size_t>(room, static_cast<std::size_t>(to - from)), from);
        if (n >= 0) {
            from += n;
            return n;
        }
        if (errno != EINTR) {
            result.read_error = errno;
            result.failed_at = from;
            result.missing_before_error = result.lists_missing;
            return -1;
        }
    }
}

// Collects [from, to) a buffer at a time, each buffer's last chunk, which
// may go on, left for the next; a failed read ends the range as its end
// does. Stops early, its result unused, once `stop` is set.
void collect_range(int fd, off_t from, off_t to, classify_blocks classify, token_set& set,
                   range_result& result, std::atomic<bool>& stop)
{
    try {
        budget_share share(set.budget);
        resize(share, sizeof(read_buffer) + masks_per_buffer * sizeof(block_masks));
        const std::unique_ptr<read_buffer> buffer(new read_buffer);
        const std::unique_ptr<block_masks[]> masks(new block_masks[masks_per_buffer]);
        token_inserter inserter(set);
        std::size_t end = 0;
        for (ssize_t n;
             from < to && !stop &&
             (n = read_range(fd, from, to, buffer->bytes + end, buffer_size - end, result)) > 0;) {
            end += static_cast<std::size_t>(n);
            result.lists_missing +=
                collect_whole_chunks(buffer->bytes, end, masks.get(), classify, inserter);
        }
        result.lists_missing += collect_bytes(buffer->bytes, end, masks.get(), classify, inserter);
        drain(inserter);
    } catch (const std::bad_alloc&) {
        result.out_of_memory = true;
        stop = true;
    }
}

// The ranges' results in file order, as one: up to the first failed read.
file_collection join_results(const std::vector<range_result>& ranges, off_t collected_to)
{
    file_collection file;
    file.collected_to = collected_to;
    for (const range_result& range : ranges) {
        if (range.read_error) {
            file.lists_missing += range.missing_before_error;
            file.read_error = range.read_error;
            file.missing_after_error = range.lists_missing - range.missing_before_error;
            break;
        }
        file.lists_missing += range.lists_missing;
    }
    return file;
}

// Collects each range [bounds[i], bounds[i + 1]) into `set` on threads.
std::vector<range_result> collect_bounds(int fd, const std::vector<off_t>& bounds,
                                         classify_blocks classify, token_set& set)
{
    const std::size_t count = bounds.size() - 1;
    std::vector<range_result> ranges(count);
    std::atomic<bool> stop = false;
    std::atomic<std::size_t> next = 0;
    work_on_threads(count, set.budget, [&](std::size_t) {
        for (std::size_t i; (i = next++) < count;)
            collect_range(fd, bounds[i], bounds[i + 1], classify, set, ranges[i], stop);
    });
    if (std::any_of(ranges.begin(), ranges.end(),
                    [](const range_result& r) { return r.out_of_memory; }))
        throw std::bad_alloc();
    return ranges;
}

// The first range whose read failed, or the count of ranges.
std::size_t first_failed(const std::vector<range_result>& ranges)
{
    return static_cast<std::size_t>(
        std::find_if(ranges.begin(), ranges.end(),
                     [](const range_result& r) { return r.read_error != 0; }) -
        ranges.begin());
}

} // namespace

range_plan plan_ranges(int fd, std::size_t threads, std::size_t min_range)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return {};
    const off_t start = lseek(fd, 0, SEEK_CUR), end = status.st_size;
    if (start < 0 || end <= start)
        return {};
    const std::size_t ranges =
        static_cast<std::size_t>(end - start) / std::max<std::size_t>(min_range, 1);
    return {std::max<std::size_t>(1, std::min(threads, ranges)), start, end};
}

file_collection collect_ranges(int fd, const range_plan& plan, classify_blocks classify,
                               token_set& set)
{
    const off_t start = plan.start;
    const std::size_t count = plan.readers;
    const off_t collected_to = after_last_newline(fd, start, plan.end);
    std::vector<off_t> bounds{start};
    for (std::size_t i = 1; i < count; ++i)
        bounds.push_back(std::max(
            bounds.back(), after_newline(fd,
                                         start + (collected_to - start) * static_cast<off_t>(i) /
                                                     static_cast<off_t>(count),
                                         collected_to)));
    bounds.push_back(collected_to);

    std::vector<range_result> ranges = collect_bounds(fd, bounds, classify, set);
    // The ranges after a failed one are left out: collected again up to where
    // it failed, the same chunks give the same diagnostics, counted already.
    for (std::size_t failed; (failed = first_failed(ranges)) + 1 < bounds.size() - 1;) {
        bounds.resize(failed + 1);
        bounds.push_back(ranges[failed].failed_at);
        clear(set);
        std::vector<range_result> again = collect_bounds(fd, bounds, classify, set);
        if (first_failed(again) == again.size())
            again[failed] = ranges[failed];
        ranges = std::move(again);
    }
    return join_results(ranges, collected_to);
}
