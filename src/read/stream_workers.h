// SPDX-License-Identifier: MIT
// The workers that collect a stream: threads that each take the oldest piece
// waiting in the hand-off (hand_off.h), collect it into the set through an
// inserter of their own and give its buffer back, until the queue closes;
// each then drains its inserter into the set. A worker that runs out of
// memory fails the queue, which ends the others.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "read/hand_off.h"
#include "scan/classify.h"
#include "set/token_inserter.h"
#include "system/threads.h"

struct stream_workers {
    stream_workers(hand_off& queue, classify_blocks classify, token_set& set)
        : queue(queue), classify(classify), set(set)
    {
    }
    // Stops workers left running when the reader gives up.
    ~stream_workers();
    stream_workers(const stream_workers&) = delete;
    stream_workers& operator=(const stream_workers&) = delete;

    hand_off& queue;
    classify_blocks classify;
    token_set& set;
    std::vector<std::unique_ptr<program_thread>> threads;
};

// Starts `count` workers, or as many as the system lets start and the
// budget has room for the stacks of: the reader collects what none takes.
void start_workers(stream_workers& workers, std::size_t count);

// Closes the queue and waits for the workers to end, their inserters
// drained. Throws std::bad_alloc if any ran out of memory.
void stop_workers(stream_workers& workers);
