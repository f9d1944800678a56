// SPDX-License-Identifier: MIT
// The stream's reader: reads into buffers, cuts them after their last whole
// chunk, and hands them over or collects them itself.
#include "read/stream_reader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scan/collect.h"
#include "scan/scanner.h"

namespace
{

// Asks for a pipe of pipe_size; failing that, the pipe stays as it is.
void enlarge_pipe(int fd)
{
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode) && fcntl(fd, F_GETPIPE_SZ) < pipe_size)
        fcntl(fd, F_SETPIPE_SZ, pipe_size);
}

// One read into `to`, waiting for a non-blocking descriptor to be ready.
// Returns 0 at the end of the input, or -1 with `error` set when the read
// failed.
ssize_t read_some(int fd, char* to, std::size_t room, int& error)
{
    for (;;) {
        const ssize_t n = read(fd, to, room);
        if (n >= 0)
            return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd ready{fd, POLLIN, 0};
            poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            error = errno;
            return -1;
        }
    }
}

block_masks* reader_masks(stream_reader& reader)
{
    if (!reader.masks) {
        reader.masks_share = budget_share(reader.queue.buffers_share.budget);
        resize(reader.masks_share, masks_per_buffer * sizeof(block_masks));
        reader.masks.reset(new block_masks[masks_per_buffer]);
    }
    return reader.masks.get();
}

// Collects a waiting piece through the reader's own inserter.
void collect_piece(stream_reader& reader, const piece& waiting)
{
    finish_piece(reader.queue, waiting,
                 collect_bytes(waiting.buffer->bytes, waiting.size, reader_masks(reader),
                               reader.classify, reader.own));
}

// Collects the whole chunks of the buffer being filled, and moves the rest
// to its front.
void collect_own(stream_reader& reader)
{
    add_collected(reader.queue,
                  collect_whole_chunks(reader.buffer->bytes, reader.end, reader_masks(reader),
                                       reader.classify, reader.own));
}

// A buffer to fill next: when every one is in use, the reader collects the
// oldest waiting piece to free its buffer, or waits for a worker to free one.
read_buffer* next_buffer(stream_reader& reader)
{
    for (;;) {
        if (read_buffer* buffer = take_buffer(reader.queue))
            return buffer;
        if (const std::optional<piece> oldest = waiting_piece(reader.queue))
            collect_piece(reader, *oldest);
        else
            wait_for_buffer(reader.queue);
    }
}

// Passes the whole chunks of a full buffer on to the workers, starting them
// once the input has proved long enough, or else collects them here.
void pass_on(stream_reader& reader)
{
    if (!reader.workers_started && reader.bytes_read >= reader.min_range) {
        start_workers(reader.workers, reader.worker_count);
        reader.workers_started = true;
    }
    if (reader.workers.threads.empty()) {
        collect_own(reader);
        return;
    }
    const std::size_t cut = whole_chunks_end(reader.buffer->bytes, reader.end);
    read_buffer* next = next_buffer(reader);
    std::memcpy(next->bytes, reader.buffer->bytes + cut, reader.end - cut);
    hand_over(reader.queue, reader.buffer, cut);
    reader.buffer = next;
    reader.end -= cut;
}

// Collects the whole chunks the reader holds, and the pieces that wait.
void collect_held(stream_reader& reader)
{
    collect_own(reader);
    while (const std::optional<piece> oldest = waiting_piece(reader.queue))
        collect_piece(reader, *oldest);
}

} // namespace

stream_reader::stream_reader(int fd, classify_blocks classify, std::size_t workers,
                             std::size_t min_range, token_set& set)
    : fd(fd), classify(classify), worker_count(workers), min_range(min_range),
      queue(workers, set.budget), workers(queue, classify, set), buffer(take_buffer(queue)),
      own(set)
{
    enlarge_pipe(fd);
}

bool input_waiting(int fd)
{
    pollfd input{fd, POLLIN, 0};
    return poll(&input, 1, 0) > 0;
}

ssize_t read_stream(stream_reader& reader, int& error)
{
    const ssize_t n =
        read_some(reader.fd, reader.buffer->bytes + reader.end, buffer_size - reader.end, error);
    if (n > 0) {
        reader.end += static_cast<std::size_t>(n);
        reader.bytes_read += static_cast<std::size_t>(n);
        if (reader.end == buffer_size)
            pass_on(reader);
    }
    return n;
}

std::size_t take_lists_missing(stream_reader& reader)
{
    return take_lists_missing(reader.queue);
}

void settle_stream(stream_reader& reader)
{
    collect_held(reader);
    wait_until_collected(reader.queue);
}

// A worker finishes a piece in a fraction of a millisecond; the reader
// looks for input that often meanwhile.
void settle_before_wait(stream_reader& reader)
{
    collect_held(reader);
    while (!wait_until_collected_for(reader.queue, std::chrono::microseconds(200)) &&
           !input_waiting(reader.fd)) {
    }
}

// The reader drains its inserter first, and then the workers theirs, once
// the queue has closed.
void finish_stream(stream_reader& reader)
{
    collect_held(reader);
    // The last chunk, cut short or not.
    add_collected(reader.queue, collect_bytes(reader.buffer->bytes, reader.end,
                                              reader_masks(reader), reader.classify, reader.own));
    drain(reader.own);
    stop_workers(reader.workers);
}
