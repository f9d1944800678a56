// SPDX-License-Identifier: MIT
// The hand-off between the reader of a stream and the workers that collect
// it: a bounded number of input buffers, the pieces of input waiting in them,
// and what collecting each piece found, kept in input order.
//
// The reader fills a free buffer, hands a piece of it over, and takes the
// next free buffer; a worker takes the oldest waiting piece, collects it and
// gives its buffer back. Buffers are made as they are first needed, up to the
// bound (stream_buffers() in read_buffer.h), and then reused, so that
// the input read ahead never takes more than the bound. Each piece is
// numbered as it is handed over, or as the reader collects it itself, and its
// count of chunks without a list is kept under that number until the reader
// takes the counts of all pieces up to it, in order, for the diagnostics.
//
// A worker that runs out of memory marks the queue failed: every wait ends,
// no piece is handed out any more, and the reader gives up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "read/read_buffer.h"
#include "system/memory_budget.h"

// Bytes [0, size) of a buffer, which end where a chunk does.
struct piece {
    read_buffer* buffer;
    std::size_t size;
    std::size_t number; // in input order
};

struct hand_off {
    // The hand-off for `workers`, whose buffers count against `budget`.
    hand_off(std::size_t workers, memory_budget* budget)
        : max_buffers(stream_buffers(workers)), buffers_share(budget)
    {
        free.reserve(max_buffers);
    }

    std::mutex lock;
    std::condition_variable for_workers; // a piece waits, or the queue closed or failed
    std::condition_variable for_reader;  // a piece is done, or the queue failed
    std::size_t max_buffers;
    std::vector<std::unique_ptr<read_buffer>> buffers; // every buffer made
    budget_share buffers_share;
    std::vector<read_buffer*> free;
    std::deque<piece> waiting;
    std::size_t taken = 0;       // pieces a worker has taken and not yet finished
    std::size_t next_number = 0; // of the next piece
    // Chunks without a list in each piece from number `first_unreported` on;
    // empty while the piece is collected.
    std::deque<std::optional<std::size_t>> lists_missing;
    std::size_t first_unreported = 0;
    bool closed = false;
    bool failed = false;
};

// For the reader: a free buffer, or a new one while there are fewer than the
// bound; null when every buffer is in use. Throws std::bad_alloc when memory
// runs out, or the queue has failed.
read_buffer* take_buffer(hand_off& queue);

// For the reader, when every buffer is in use and no piece waits: waits
// until a worker frees a buffer. Throws std::bad_alloc if the queue fails.
void wait_for_buffer(hand_off& queue);

// For the reader: numbers bytes [0, size) of `buffer` as the next piece, and
// hands it to the workers.
void hand_over(hand_off& queue, read_buffer* buffer, std::size_t size);

// Numbers a piece that the reader collects itself, not in a buffer of the
// hand-off, and records what collecting it found.
void add_collected(hand_off& queue, std::size_t lists_missing);

// For a worker: the oldest waiting piece, once there is one; nothing once the
// queue is closed and no piece waits. The reader takes one too, without
// waiting, to collect it itself: nothing when none waits. Both throw
// std::bad_alloc once the queue has failed.
std::optional<piece> next_piece(hand_off& queue);
std::optional<piece> waiting_piece(hand_off& queue);

// Records what collecting `done` found, and frees its buffer.
void finish_piece(hand_off& queue, const piece& done, std::size_t lists_missing);

// For the reader: the chunks without a list in the pieces collected since it
// last asked, up to the first not yet collected.
std::size_t take_lists_missing(hand_off& queue);

// For the reader: waits until every piece handed over has been collected.
// Throws std::bad_alloc if the queue has failed.
void wait_until_collected(hand_off& queue);

// As wait_until_collected(), for `most` at most: false if some piece is
// still being collected then.
bool wait_until_collected_for(hand_off& queue, std::chrono::microseconds most);

// No piece will be handed over any more: idle workers end.
void close_queue(hand_off& queue);

// A worker ran out of memory.
void fail_queue(hand_off& queue);

// Throws std::bad_alloc if the queue has failed.
void throw_if_failed(hand_off& queue);
