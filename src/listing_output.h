// SPDX-License-Identifier: MIT
// The listing's output: lines collected in large blocks, so that they cost
// few writes. Stretches of the listing merged on several threads go out in
// order: each merger writes its stretch only in that stretch's turn.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

// Whose stretch goes out next.
struct turns {
    std::mutex lock;
    std::condition_variable changed;
    std::size_t current = 0;
    int error = 0; // of the first write that failed; only the writer in turn touches it
};

struct output {
    int fd = -1;
    turns* order = nullptr; // with several mergers
    std::size_t stretch = 0;
    int error = 0;
    std::size_t used = 0;
    std::size_t size = 0;
    std::unique_ptr<char[]> block; // not zeroed: a short listing touches few pages
};

// Writes what the block holds, in the stretch's turn, and empties it.
void flush(output& out);

// Flushes the stretch and hands the turn on.
void end_stretch(output& out);

// Room for one more line of at most `size` bytes with its newline.
char* make_room(output& out, std::size_t size);

// A token packed in one word, in a pair of words, and a long token's
// record, each as a line.
void emit_word(output& out, std::uint64_t word);
void emit_pair(output& out, std::uint64_t high, std::uint64_t low);
void emit_record(output& out, const unsigned char* record);
