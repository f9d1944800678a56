// SPDX-License-Identifier: MIT
// The buffer that every reader reads input into, file range and stream
// alike, and every size that decides when and how much is read.
#pragma once

#include <cstddef>

// A buffer, with its slack, stays below the 128 KiB from which malloc() maps
// memory of its own: mapping and unmapping it cost a one-line input more than
// reading the line. Built with small parts, every input of a few KiB fills
// buffers.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t buffer_size = 1024;
#else
constexpr std::size_t buffer_size = (std::size_t{1} << 17) - 256;
#endif
static_assert(buffer_size % 64 == 0 && buffer_size > 1023, "a full buffer holds a whole chunk");

// Input, and room past it for the classifier to read the block of 64 bytes
// after the last whole one.
struct read_buffer {
    alignas(64) char bytes[buffer_size + 64];
};

// The masks of a buffer's bytes, with the two blocks of 64 past them that
// the scanner reads.
constexpr std::size_t masks_per_buffer = buffer_size / 64 + 2;

// The least input worth a thread of its own: a regular file is cut into
// ranges no shorter, and a stream is collected on one thread until this
// much has come. Below it, starting threads costs more than they save.
// Built with small parts, inputs of a few KiB are read on threads.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t least_threaded_input = 4096;
#else
constexpr std::size_t least_threaded_input = std::size_t{4} << 20;
#endif

// The buffers a stream may fill ahead: one for each worker to collect, one
// for the reader to fill, and three waiting for whichever worker is free
// first, so that none runs dry while the reader fills the next. With one
// worker, fewer slowed a pipe down; more gained nothing, with one worker or
// many.
constexpr std::size_t stream_buffers(std::size_t workers)
{
    return workers + 4;
}

// A pipe holds 64 KiB unless asked for more, so that a read would take half
// a buffer; the kernel grants up to /proc/sys/fs/pipe-max-size, 1 MiB by
// default, to anyone.
constexpr int pipe_size = 1 << 20;
