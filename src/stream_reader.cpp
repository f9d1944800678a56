// SPDX-License-Identifier: MIT
// The stream's reader: reads into buffers, cuts them after their last whole
// chunk, and hands them over or collects them itself.
#include "stream_reader.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "collect.h"
#include "scanner.h"

namespace
{

// A pipe holds 64 KiB unless asked for more; the kernel grants up to
// /proc/sys/fs/pipe-max-size, 1 MiB by default, to anyone. Failing that, the
// pipe stays as it is.
void enlarge_pipe(int fd)
{
    constexpr int wanted = 1 << 20;
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode) && fcntl(fd, F_GETPIPE_SZ) < wanted)
        fcntl(fd, F_SETPIPE_SZ, wanted);
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

// Where the last whole chunk of bytes[0, end) ends, given that a chunk
// starts at 0: just past the last newline, or past the last whole 1023
// bytes after it.
std::size_t whole_chunks_end(const char* bytes, std::size_t end)
{
    const void* newline = memrchr(bytes, '\n', end);
    const std::size_t line =
        newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - bytes) + 1 : 0;
    return line + (end - line) / max_chunk * max_chunk;
}

block_masks* reader_masks(stream_reader& reader)
{
    if (!reader.masks)
        reader.masks = std::make_unique_for_overwrite<block_masks[]>(masks_per_buffer);
    return reader.masks.get();
}

// Collects a waiting piece on the reader's own set.
void collect_piece(stream_reader& reader, const piece& waiting)
{
    finish_piece(reader.queue, waiting,
                 collect_bytes(waiting.buffer->bytes, waiting.size, reader_masks(reader),
                               reader.classify, reader.own));
}

// Collects the first `size` bytes of the buffer being filled, and moves the
// rest to its front. The rest is set aside meanwhile, since the classifier
// clears what follows the bytes it is given.
void collect_own(stream_reader& reader, std::size_t size)
{
    if (size == 0)
        return;
    char rest[max_chunk];
    const std::size_t rest_size = reader.end - size;
    assert(rest_size < max_chunk);
    std::memcpy(rest, reader.buffer->bytes + size, rest_size);
    add_collected(reader.queue, collect_bytes(reader.buffer->bytes, size, reader_masks(reader),
                                              reader.classify, reader.own));
    std::memcpy(reader.buffer->bytes, rest, rest_size);
    reader.end = rest_size;
}

// A buffer to fill next: when every one is in use, the reader collects the
// oldest waiting piece to free its buffer, or waits for a worker to free one.
stream_buffer* next_buffer(stream_reader& reader)
{
    for (;;) {
        if (stream_buffer* buffer = take_buffer(reader.queue))
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
    const std::size_t cut = whole_chunks_end(reader.buffer->bytes, reader.end);
    if (!reader.workers_started && reader.bytes_read >= reader.min_range) {
        start_workers(reader.workers, reader.worker_count);
        reader.workers_started = true;
    }
    if (reader.workers.threads.empty()) {
        collect_own(reader, cut);
        return;
    }
    stream_buffer* next = next_buffer(reader);
    std::memcpy(next->bytes, reader.buffer->bytes + cut, reader.end - cut);
    hand_over(reader.queue, reader.buffer, cut);
    reader.buffer = next;
    reader.end -= cut;
}

// Collects the whole chunks the reader holds, and the pieces that wait.
void collect_held(stream_reader& reader)
{
    collect_own(reader, whole_chunks_end(reader.buffer->bytes, reader.end));
    while (const std::optional<piece> oldest = waiting_piece(reader.queue))
        collect_piece(reader, *oldest);
}

} // namespace

// A buffer for each worker to collect, one for the reader to fill, and three
// waiting for whichever worker is free first, so that none runs dry while the
// reader fills the next. With one worker, fewer slowed a pipe down; more
// gained nothing, with one worker or many.
stream_reader::stream_reader(int fd, classify_blocks classify, std::size_t workers,
                             std::size_t min_range, token_set& tokens)
    : fd(fd), classify(classify), worker_count(workers), min_range(min_range), queue(workers + 4),
      workers(queue, classify, tokens), buffer(take_buffer(queue)), own(tokens)
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

// The reader drains its inserter while the workers drain theirs.
void finish_stream(stream_reader& reader)
{
    collect_own(reader, reader.end); // the last chunk, cut short or not
    collect_held(reader);
    drain(reader.own);
    stop_workers(reader.workers);
}
