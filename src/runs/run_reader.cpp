// SPDX-License-Identifier: MIT
// Reading runs where the listing and merges need them: from the restart
// before a bucket, and how many tokens each bucket may hold.
#include "runs/run_reader.h"

#include <algorithm>
#include <cstdint>
#include <sys/mman.h>

#include "system/pages.h"

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
void count_run(const token_run& run, const order_cut& cut, std::vector<bucket_bound>& steps)
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
        const bucket_bound interval{std::min(restart_interval, run.size - r * restart_interval),
                                    run.arena_bytes.empty() ? 0 : run.arena_bytes[r]};
        steps[first].tokens += interval.tokens;
        steps[first].arena += interval.arena;
        steps[last + 1].tokens -= interval.tokens;
        steps[last + 1].arena -= interval.arena;
        first = last;
    }
}

// Pages go back a few at a time, which keeps the budget close to what is
// read, and the calls few.
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

void make_arena(record_arena& arena, std::size_t bytes, memory_budget* budget)
{
    arena = record_arena();
    arena.share = budget_share(budget);
    if (bytes == 0)
        return;
    resize(arena.share, bytes + record_slack);
    arena.bytes.reset(new unsigned char[bytes + record_slack]);
    arena.size = bytes;
}

bucket_bound add_bounds(const std::vector<bucket_bound>& steps, std::vector<bucket_bound>& bounds)
{
    bucket_bound largest, bound;
    for (std::size_t b = 0; b < bounds.size(); ++b) {
        bound.tokens += steps[b].tokens;
        bound.arena += steps[b].arena;
        largest.tokens = std::max(largest.tokens, bounds[b].tokens += bound.tokens);
        largest.arena = std::max(largest.arena, bounds[b].arena += bound.arena);
    }
    return largest;
}

#define TOKCOLLECT_RUNS(Kind)                                                                      \
    template run_cursor<Kind> seek_run(const token_run&, const order_cut&, std::size_t);           \
    template void count_run<Kind>(const token_run&, const order_cut&, std::vector<bucket_bound>&);
TOKCOLLECT_FOR_EACH_FORM(TOKCOLLECT_RUNS)
