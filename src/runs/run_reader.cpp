// SPDX-License-Identifier: MIT
// Reading runs where the listing and merges need them: from the restart
// before a bucket, and how many tokens each bucket may hold.
#include "runs/run_reader.h"

#include <algorithm>

template <typename Kind>
run_cursor<Kind> seek_run(const token_run& run, int shift, int bits, std::size_t bucket)
{
    assert(run.size > 0);
    std::size_t low = 0, high = run.restarts.size();
    while (high - low > 1) {
        const std::size_t middle = low + (high - low) / 2;
        run_reader<Kind> reader = read_from_restart<Kind>(run, middle);
        (token_bucket(read_token(reader), shift, bits) < bucket ? low : high) = middle;
    }
    run_cursor<Kind> cursor{read_from_restart<Kind>(run, low)};
    for (advance(cursor); !cursor.ended && token_bucket(cursor.token, shift, bits) < bucket;)
        advance(cursor);
    return cursor;
}

template <typename Kind>
void count_run(const token_run& run, int shift, int bits, std::vector<std::ptrdiff_t>& steps)
{
    const std::size_t restarts = run.restarts.size();
    run_reader<Kind> reader = read_from_restart<Kind>(run, 0);
    std::size_t first = token_bucket(read_token(reader), shift, bits);
    for (std::size_t r = 0; r < restarts; ++r) {
        std::size_t last = order_bucket(run.last_word, shift, bits);
        if (r + 1 < restarts) {
            reader = read_from_restart<Kind>(run, r + 1);
            last = token_bucket(read_token(reader), shift, bits);
        }
        const auto count = static_cast<std::ptrdiff_t>(
            std::min(restart_interval, run.size - r * restart_interval));
        steps[first] += count;
        steps[last + 1] -= count;
        first = last;
    }
}

#define TOKCOLLECT_RUNS(Kind)                                                                      \
    template run_cursor<Kind> seek_run(const token_run&, int, int, std::size_t);                   \
    template void count_run<Kind>(const token_run&, int, int, std::vector<std::ptrdiff_t>&);
TOKCOLLECT_RUNS(word_kind)
TOKCOLLECT_RUNS(pair_kind)
