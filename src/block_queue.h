// SPDX-License-Identifier: MIT
// The hand-off between the reader of a stream and the workers that collect
// it: a bounded pool of input blocks, the pieces of input waiting in them,
// and what collecting each piece found, kept in input order.
//
// The reader fills a free block, hands a piece of it over, and takes the
// next free block; a worker takes the oldest waiting piece, collects it and
// gives its block back. Blocks are made as they are first needed, up to the
// pool's bound, and then reused, so that the input read ahead never takes
// more than the bound. Each piece is numbered as it is handed over, and its
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

// A block, with its slack, stays below the 128 KiB from which malloc() maps
// memory of its own: mapping and unmapping it cost a one-line run more than
// reading the line. Built with small parts, every input of a few KiB fills
// blocks.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t block_size = 1024;
#else
constexpr std::size_t block_size = (std::size_t{1} << 17) - 256;
#endif
static_assert(block_size % 64 == 0 && block_size > 1023, "a full block holds a whole chunk");

// Input, and room past it for the classifier to read the block after the
// last whole.
struct input_block {
    alignas(64) char bytes[block_size + 64];
};

// The masks of a block's bytes, with the two blocks past them that the
// scanner reads.
constexpr std::size_t masks_per_block = block_size / 64 + 2;

// Bytes [0, size) of a block, which end where a chunk does.
struct piece {
    input_block* block;
    std::size_t size;
    std::size_t number; // in input order
};

struct block_queue {
    explicit block_queue(std::size_t max_blocks) : max_blocks(max_blocks)
    {
        free.reserve(max_blocks);
    }

    std::mutex lock;
    std::condition_variable for_workers; // a piece waits, or the queue closed or failed
    std::condition_variable for_reader;  // a piece is done, or the queue failed
    std::size_t max_blocks;
    std::vector<std::unique_ptr<input_block>> blocks; // every block made
    std::vector<input_block*> free;
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

// For the reader: a free block, or a new one while the pool is below its
// bound; null when every block is in use. Throws std::bad_alloc when memory
// runs out, or the queue has failed.
input_block* take_block(block_queue& queue);

// For the reader, when every block is in use and no piece waits: waits
// until a worker frees a block. Throws std::bad_alloc if the queue fails.
void wait_for_block(block_queue& queue);

// For the reader: numbers bytes [0, size) of `block` as the next piece, and
// hands it to the workers.
void hand_over(block_queue& queue, input_block* block, std::size_t size);

// Numbers a piece that the reader collects itself, not in a block of the
// pool, and records what collecting it found.
void add_collected(block_queue& queue, std::size_t lists_missing);

// For a worker: the oldest waiting piece, once there is one; nothing once the
// queue is closed and no piece waits. Throws std::bad_alloc once the queue
// has failed. The reader takes one too, without waiting, when every block is
// in use: nothing when none waits.
std::optional<piece> next_piece(block_queue& queue);
std::optional<piece> waiting_piece(block_queue& queue);

// Records what collecting `done` found, and frees its block.
void finish_piece(block_queue& queue, const piece& done, std::size_t lists_missing);

// For the reader: the chunks without a list in the pieces collected since it
// last asked, up to the first not yet collected.
std::size_t take_lists_missing(block_queue& queue);

// For the reader: waits until every piece handed over has been collected.
// Throws std::bad_alloc if the queue has failed.
void wait_until_collected(block_queue& queue);

// As wait_until_collected(), for `most` at most: false if some piece is
// still being collected then.
bool wait_until_collected_for(block_queue& queue, std::chrono::microseconds most);

// No piece will be handed over any more: idle workers end.
void close_queue(block_queue& queue);

// A worker ran out of memory.
void fail_queue(block_queue& queue);
