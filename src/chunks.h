// SPDX-License-Identifier: MIT
// Cutting input into chunks. Input is read in large blocks and cut into the
// chunks that fgets() into a 1024-byte buffer would give: a line of up to
// 1023 bytes with its newline, otherwise the next 1023 bytes of the line,
// and at the end an unterminated last line. Cutting is exact, so a token
// split at a chunk end, or a continuation chunk without '[', gives the same
// result as line-at-a-time reading; and since cutting starts afresh after
// every newline, a file cut at newlines gives, piece by piece, the same
// chunks as the whole.
#pragma once

#include <cstring>
#include <string_view>
#include <sys/types.h>

#include "scanner.h"
#include "token_set.h"

constexpr std::size_t max_chunk = 1023;

// Unread input; the tail of the last block moves to the front before a read.
// The extra byte leaves room for the NUL that ends the last chunk.
struct input_buffer {
    static constexpr std::size_t size = 1 << 17;
    char bytes[size + 1];
};

// The next chunk at the front of `unread`, or an empty view when the chunk
// may go on in input not yet read.
inline std::string_view next_chunk(std::string_view unread, bool at_eof)
{
    std::string_view window = unread.substr(0, max_chunk);
    if (const void* newline = std::memchr(window.data(), '\n', window.size()))
        return unread.substr(0, static_cast<const char*>(newline) - unread.data() + 1);
    if (window.size() == max_chunk || at_eof)
        return window;
    return {};
}

// Scans the `size` bytes at `chunk` as one NUL-terminated chunk. The byte
// after it is unread input, so it is put back afterwards.
inline bool scan_chunk(char* chunk, std::size_t size, token_set& tokens)
{
    const char saved = chunk[size];
    chunk[size] = '\0';
    const bool has_list = scan_line(chunk, tokens);
    chunk[size] = saved;
    return has_list;
}

// Scans every chunk of the input into `tokens`, calling no_list() for each
// chunk without a list. read_block(to, room) reads the next block: it
// returns the bytes read, 0 at the end of the input, or -1 when the read
// failed, which ends the input just the same. Returns false after a failed
// read.
template <typename Read, typename NoList>
bool scan_blocks(input_buffer& buffer, token_set& tokens, Read&& read_block, NoList&& no_list)
{
    char* input = buffer.bytes;
    bool ok = true;
    std::size_t begin = 0, end = 0;
    for (bool at_eof = false;;) {
        std::string_view unread(input + begin, end - begin);
        if (std::string_view chunk = next_chunk(unread, at_eof); !chunk.empty()) {
            if (!scan_chunk(input + begin, chunk.size(), tokens))
                no_list();
            begin += chunk.size();
            continue;
        }
        if (at_eof)
            return ok;
        std::memmove(input, unread.data(), unread.size());
        begin = 0;
        end = unread.size();
        const ssize_t n = read_block(input + end, input_buffer::size - end);
        ok = ok && n >= 0;
        at_eof = n <= 0;
        end += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}
