// SPDX-License-Identifier: MIT
// The workers that collect a stream: threads that each take the oldest piece
// waiting in the hand-off (block_queue.h), collect it into a token set of
// their own and give its block back, until the queue closes; each then sorts
// its set for the listing, so that the sets are sorted side by side. A
// worker that runs out of memory fails the queue, which ends the others.
#pragma once

#include <cstddef>
#include <thread>
#include <vector>

#include "block_queue.h"
#include "classify.h"
#include "token_set.h"

struct block_workers {
    block_workers(block_queue& queue, classify_blocks classify) : queue(queue), classify(classify)
    {
    }
    // Stops workers left running when the reader gives up.
    ~block_workers();
    block_workers(const block_workers&) = delete;
    block_workers& operator=(const block_workers&) = delete;

    block_queue& queue;
    classify_blocks classify;
    std::vector<std::thread> threads;
    std::vector<stored_tokens> sets; // a worker's, once it has ended
};

// Starts `count` workers, or as many as the system lets start: the reader
// collects what none takes.
void start_workers(block_workers& workers, std::size_t count);

// Closes the queue and waits for the workers to end; returns their sets.
// Throws std::bad_alloc if any ran out of memory.
std::vector<stored_tokens> stop_workers(block_workers& workers);
