// SPDX-License-Identifier: MIT
// The workers that collect a stream: threads that each take the oldest piece
// waiting in the hand-off (hand_off.h), collect it into a token set of
// their own and give its buffer back, until the queue closes; each then
// releases its set for the listing, side by side with the others. A worker
// that runs out of memory fails the queue, which ends the others.
#pragma once

#include <cstddef>
#include <thread>
#include <vector>

#include "classify.h"
#include "hand_off.h"
#include "token_set.h"

struct stream_workers {
    stream_workers(hand_off& queue, classify_blocks classify) : queue(queue), classify(classify) {}
    // Stops workers left running when the reader gives up.
    ~stream_workers();
    stream_workers(const stream_workers&) = delete;
    stream_workers& operator=(const stream_workers&) = delete;

    hand_off& queue;
    classify_blocks classify;
    std::vector<std::thread> threads;
    std::vector<stored_tokens> sets; // a worker's, once it has ended
};

// Starts `count` workers, or as many as the system lets start: the reader
// collects what none takes.
void start_workers(stream_workers& workers, std::size_t count);

// Closes the queue and waits for the workers to end; returns their sets.
// Throws std::bad_alloc if any ran out of memory.
std::vector<stored_tokens> stop_workers(stream_workers& workers);
