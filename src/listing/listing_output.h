// SPDX-License-Identifier: MIT
// The listing's output: lines collected in large buffers, so that they cost
// few writes, each token unpacked from its form (forms.h) sixteen bytes at
// a time. Stretches of the listing merged on several threads go out in
// order: each is written only in its turn. A merger that finishes a stretch
// before its turn parks it in its spare buffer and goes on to the next;
// whoever hands the turn on to a parked stretch writes it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "forms/forms.h"

struct output;

// Whose stretch goes out next.
struct turns {
    std::mutex lock;
    std::condition_variable changed;
    std::size_t current = 0;
    int error = 0;          // of the first write that failed; only the writer in turn touches it
    bool abandoned = false; // by a merger that ran out of memory
    std::vector<output*> mergers; // whose parked stretches to look among
};

// Ends the turns for good, for a merger that ran out of memory before its
// stretch went out: every merger waiting for a turn then throws too.
void abandon(turns& order);

struct output {
    int fd = -1;
    turns* order = nullptr; // with several mergers
    std::size_t stretch = 0;
    int error = 0;
    std::size_t used = 0;
    std::size_t size = 0;
    std::unique_ptr<char[]> buffer; // not zeroed: a short listing touches few pages
    // Where the mergers have them, as large as the buffer: a stretch
    // finished before its turn waits there, until the writer in turn
    // empties it.
    std::unique_ptr<char[]> spare;
    std::size_t spare_used = 0;
    std::size_t parked = no_stretch; // the stretch the spare holds
    static constexpr std::size_t no_stretch = SIZE_MAX;
};

// Writes what the buffer holds, in the stretch's turn, and empties it.
// Throws std::bad_alloc where the turns were abandoned.
void flush(output& out);

// Ends the stretch: in its turn, writes it and hands the turn on, writing
// the parked stretches that come next; before its turn, parks it once the
// spare is empty. Throws std::bad_alloc where the turns were abandoned.
void end_stretch(output& out);

// Room for one more line of at most `size` bytes with its newline.
inline char* make_room(output& out, std::size_t size)
{
    if (out.used + size + 1 > out.size)
        flush(out);
    return out.buffer.get() + out.used;
}

// A token of form Kind as a line. Unpacking writes up to 15 bytes past the
// token, where the newline and the lines after it go.
template <typename Kind> inline void emit(output& out, const typename Kind::sort_entry& token)
{
    constexpr std::size_t most = (Kind::max_size + bytes_per_limb - 1) / bytes_per_limb;
    char* at = make_room(out, most * bytes_per_limb);
    const std::size_t size = Kind::unpack(at, token);
    at[size] = '\n';
    out.used += size + 1;
}
