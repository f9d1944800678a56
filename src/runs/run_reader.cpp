// SPDX-License-Identifier: MIT
// Reading runs where the listing and merges need them: from the restart
// before a bucket, and how many tokens each bucket may hold.
#include "runs/run_reader.h"

#include <algorithm>
#include <cstdint>
#include <sys/mman.h>

template <typename Kind>
run_cursor<Kind> seek_run(const token_run& run, const order_cut& cut, std::size_t bucket)
{
    assert(run.size > 0);
    std::size_t low = 0, high = run.restarts.size();
    while (high - low > 1) {
        const std::size_t middle = low + (high - low) / 2;
        run_reader<Kind> reader = read_from_restart<Kind>(run, middle);
        (token_bucket(read_token(reader), cut) < bucket ? low : high) = middle;
    }
    run_cursor<Kind> cursor{read_from_restart<Kind>(run, low)};
    for (advance(cursor); !cursor.ended && token_bucket(cursor.reader.last, cut) < bucket;)
        advance(cursor);
    return cursor;
}

template <typename Kind>
void count_run(const token_run& run, const order_cut& cut, std::vector<std::ptrdiff_t>& steps)
{
    const std::size_t restarts = run.restarts.size();
    run_reader<Kind> reader = read_from_restart<Kind>(run, 0);
    std::size_t first = token_bucket(read_token(reader), cut);
    for (std::size_t r = 0; r < restarts; ++r) {
        std::size_t last = order_bucket(run.last_first, cut);
        if (r + 1 < restarts) {
            reader = read_from_restart<Kind>(run, r + 1);
            last = token_bucket(read_token(reader), cut);
        }
        const auto count = static_cast<std::ptrdiff_t>(
            std::min(restart_interval, run.size - r * restart_interval));
        steps[first] += count;
        steps[last + 1] -= count;
        first = last;
    }
}

// Pages go back a few at a time, which keeps the budget close to what is
// read, and the calls few.
constexpr std::size_t page_bytes = 4096;
constexpr std::size_t forget_bytes = std::size_t{16} << 10;

void forget_before(token_run& run, const unsigned char* read_to)
{
    const auto start = reinterpret_cast<std::uintptr_t>(run.bytes.get());
    const std::uintptr_t from = (start + run.forgotten + page_bytes - 1) & ~(page_bytes - 1);
    const std::uintptr_t to = reinterpret_cast<std::uintptr_t>(read_to) & ~(page_bytes - 1);
    if (to < from + forget_bytes)
        return;
    madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    resize(run.share, run.share.bytes - (to - from));
    run.forgotten = to - start;
}

// Blocks of this size hold a hundred records of the longest.
constexpr std::size_t arena_block_bytes = std::size_t{64} << 10;

unsigned char* arena_room(record_arena& arena)
{
    constexpr std::size_t most = max_record_size + record_slack;
    if (arena.used + most > arena_block_bytes && arena.filled < arena.blocks.size()) {
        ++arena.filled;
        arena.used = 0;
    }
    if (arena.filled == arena.blocks.size()) {
        resize(arena.share, arena.share.bytes + arena_block_bytes);
        arena.blocks.emplace_back(new unsigned char[arena_block_bytes]);
    }
    return arena.blocks[arena.filled].get() + arena.used;
}

std::size_t add_bounds(const std::vector<std::ptrdiff_t>& steps, std::vector<std::size_t>& bounds)
{
    std::size_t largest = 0;
    std::ptrdiff_t bound = 0;
    for (std::size_t b = 0; b < bounds.size(); ++b)
        largest = std::max(largest, bounds[b] += static_cast<std::size_t>(bound += steps[b]));
    return largest;
}

#define TOKCOLLECT_RUNS(Kind)                                                                      \
    template run_cursor<Kind> seek_run(const token_run&, const order_cut&, std::size_t);           \
    template void count_run<Kind>(const token_run&, const order_cut&, std::vector<std::ptrdiff_t>&);
TOKCOLLECT_FOR_EACH_FORM(TOKCOLLECT_RUNS)
