// SPDX-License-Identifier: MIT
// The workers' threads.
#include "read/stream_workers.h"

#include <memory>
#include <new>

#include "scan/collect.h"
#include "set/token_inserter.h"

namespace
{

void collect_pieces(hand_off& queue, classify_blocks classify, token_set& set)
{
    try {
        budget_share masks_share(set.budget);
        resize(masks_share, masks_per_buffer * sizeof(block_masks));
        const std::unique_ptr<block_masks[]> masks(new block_masks[masks_per_buffer]);
        token_inserter inserter(set);
        while (const std::optional<piece> next = next_piece(queue))
            finish_piece(
                queue, *next,
                collect_bytes(next->buffer->bytes, next->size, masks.get(), classify, inserter));
        drain(inserter);
    } catch (const std::bad_alloc&) {
        fail_queue(queue);
    }
}

void join_all(stream_workers& workers)
{
    for (const std::unique_ptr<program_thread>& thread : workers.threads)
        join_thread(*thread);
    workers.threads.clear();
}

} // namespace

void start_workers(stream_workers& workers, std::size_t count)
{
    workers.threads.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        workers.threads.push_back(start_thread(
            [&workers] { collect_pieces(workers.queue, workers.classify, workers.set); },
            workers.set.budget));
        if (!workers.threads.back()) {
            workers.threads.pop_back();
            break; // the reader collects what fewer workers leave
        }
    }
}

void stop_workers(stream_workers& workers)
{
    close_queue(workers.queue);
    join_all(workers);
    throw_if_failed(workers.queue);
}

stream_workers::~stream_workers()
{
    if (threads.empty())
        return;
    fail_queue(queue);
    join_all(*this);
}
