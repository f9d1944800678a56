// SPDX-License-Identifier: MIT
// Scanning a file in ranges on threads. Each thread reads with pread(), which
// leaves the file offset alone and, unlike a mapping, returns what is there
// when the file shrinks. Failures travel back in the scans.
#include "file_ranges.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <unistd.h>

#include "chunks.h"

namespace
{

constexpr std::size_t probe_size = 4096;

// The offset just past the first newline at or after `from`, or `end`.
off_t after_newline(int fd, off_t from, off_t end)
{
    char block[probe_size];
    while (from < end) {
        const ssize_t n =
            pread(fd, block,
                  std::min<std::size_t>(probe_size, static_cast<std::size_t>(end - from)), from);
        if (n <= 0)
            return end;
        if (const void* newline = std::memchr(block, '\n', static_cast<std::size_t>(n)))
            return from + (static_cast<const char*>(newline) - block) + 1;
        from += n;
    }
    return end;
}

// The offset just past the last newline between `start` and `end`, or
// `start` when there is none, or the file no longer reaches `end`.
off_t after_last_newline(int fd, off_t start, off_t end)
{
    char block[probe_size];
    while (end > start) {
        const auto size = std::min<std::size_t>(probe_size, static_cast<std::size_t>(end - start));
        if (pread(fd, block, size, end - static_cast<off_t>(size)) != static_cast<ssize_t>(size))
            return start;
        if (const void* newline = memrchr(block, '\n', size))
            return end - static_cast<off_t>(size) + (static_cast<const char*>(newline) - block) + 1;
        end -= static_cast<off_t>(size);
    }
    return start;
}

// Scans [from, to). Stops early, its result unused, once `stop` is set.
void scan_range(int fd, off_t from, off_t to, classify_blocks classify, range_scan& scan,
                std::atomic<bool>& stop)
{
    try {
        auto buffer = std::make_unique<input_buffer>();
        token_set tokens;
        auto read_block = [&](char* at, std::size_t room) -> ssize_t {
            if (from >= to || stop)
                return 0;
            for (;;) {
                const ssize_t n = pread(
                    fd, at, std::min<std::size_t>(room, static_cast<std::size_t>(to - from)), from);
                if (n >= 0) {
                    from += n;
                    return n;
                }
                if (errno != EINTR) {
                    scan.read_error = errno;
                    scan.missing_before_error = scan.lists_missing;
                    return -1;
                }
            }
        };
        scan_blocks(*buffer, classify, tokens, read_block,
                    [&scan](std::size_t n) { scan.lists_missing += n; });
        scan.tokens = sort_tokens(tokens);
    } catch (const std::bad_alloc&) {
        scan.out_of_memory = true;
        stop = true;
    }
}

} // namespace

std::vector<range_scan> scan_ranges(int fd, off_t start, off_t end, std::size_t count,
                                    classify_blocks classify, off_t& scanned_to)
{
    scanned_to = after_last_newline(fd, start, end);
    std::vector<off_t> bounds{start};
    for (std::size_t i = 1; i < count; ++i)
        bounds.push_back(std::max(
            bounds.back(), after_newline(fd,
                                         start + (scanned_to - start) * static_cast<off_t>(i) /
                                                     static_cast<off_t>(count),
                                         scanned_to)));
    bounds.push_back(scanned_to);

    std::vector<range_scan> scans(count);
    std::vector<std::thread> helpers;
    helpers.reserve(count - 1);
    std::atomic<bool> stop = false;
    std::atomic<std::size_t> next = 0;
    auto work = [&] {
        for (std::size_t i; (i = next++) < count;)
            scan_range(fd, bounds[i], bounds[i + 1], classify, scans[i], stop);
    };
    for (std::size_t i = 1; i < count; ++i) {
        try {
            helpers.emplace_back(work);
        } catch (const std::exception&) {
            break; // fewer threads scan the same ranges
        }
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
    return scans;
}
