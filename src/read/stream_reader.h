// SPDX-License-Identifier: MIT
// Reading a stream on every CPU: standard input that cannot be cut into
// ranges ahead of time (a pipe, a socket, a terminal), a file too small to
// be worth cutting, or what a file's size did not tell.
//
// The stream is read in buffers (read_buffer.h, where every size that
// decides when and how much is read is kept), a pipe enlarged first where
// the kernel lets it, so that a read takes a whole buffer. A full buffer is
// cut after its last whole chunk (whole_chunks_end() in scanner.h), and the
// rest, shorter than a chunk, moves to the front of the next buffer. The
// pieces go through the hand-off (hand_off.h) to the workers
// (stream_workers.h), each with an inserter of its own into the set. The
// hand-off bounds the buffers read ahead; when every one is in use, the
// reader collects the oldest waiting piece itself rather than wait, so that
// the stream goes on even where no worker could start.
//
// An input shorter than `min_range`, the least worth a thread of its own,
// starts none: until that much has come, the reader collects each full
// buffer itself.
//
// The driver talks to the reader alone. Diagnostics keep the input's order
// because the hand-off numbers every piece, those the reader collects itself
// too, and gives out the counts of chunks without a list only up to the
// first piece not yet collected (take_lists_missing()).
//
// Input that trickles in, from a terminal or a slow producer, is seen to at
// once: before a read that would wait, settle_before_wait() collects the
// whole chunks held and waits for the workers to collect every piece, so
// that the driver writes the diagnostics of all that has come before it
// waits for more. Should more input come meanwhile, the read no longer
// waits, and the reader goes back to it rather than leave the workers short
// of pieces: a fast producer finds the pipe empty now and then, and waiting
// for every worker each time would idle CPUs.
#pragma once

#include <cstddef>
#include <memory>
#include <sys/types.h>
#include <vector>

#include "read/hand_off.h"
#include "read/stream_workers.h"
#include "scan/classify.h"
#include "set/token_inserter.h"
#include "system/memory_budget.h"

struct stream_reader {
    stream_reader(int fd, classify_blocks classify, std::size_t workers, std::size_t min_range,
                  token_set& set);

    int fd;
    classify_blocks classify;
    std::size_t worker_count; // to start once min_range bytes have come
    std::size_t min_range;
    std::size_t bytes_read = 0;
    // The workers, who use the queue, end first.
    hand_off queue;
    stream_workers workers;
    bool workers_started = false;
    read_buffer* buffer;                  // being filled
    std::size_t end = 0;                  // bytes in it
    token_inserter own;                   // what the reader collects itself
    std::unique_ptr<block_masks[]> masks; // for that, taken at first use
    budget_share masks_share;
};

// Whether a read of `fd` would return at once, with input, its end or an
// error.
bool input_waiting(int fd);

// Reads more of the stream, waiting for input if need be, and passes a buffer
// on once it is full. Returns the bytes read, 0 at the end of the input, or
// -1 with `error` set when the read failed. Throws std::bad_alloc when memory
// runs out here or on any worker.
ssize_t read_stream(stream_reader& reader, int& error);

// Collects the whole chunks read so far, and waits until every piece handed
// over has been collected: then the hand-off has the count of chunks without
// a list for all of them. Throws std::bad_alloc as read_stream() does.
void settle_stream(stream_reader& reader);

// As settle_stream(), but gives up waiting once more input has come.
void settle_before_wait(stream_reader& reader);

// The chunks without a list in the pieces collected since the last call, up
// to the first not yet collected: the input's order, whoever collected them.
std::size_t take_lists_missing(stream_reader& reader);

// Collects what is left as the input's last chunks, and drains the reader's
// inserter and every worker's into the set. Throws std::bad_alloc as
// read_stream() does.
void finish_stream(stream_reader& reader);
