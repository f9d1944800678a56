// SPDX-License-Identifier: MIT
// The floor under tokcollect's time: standard input read, classified, cut
// into chunks and lists, and every token found, as tokcollect does on one
// core, but no token stored. Prints how many tokens and token bytes it found
// and how many chunks had no list, so that none of the work can be skipped.
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "read/read_buffer.h"
#include "scan/scanner.h"

namespace
{

read_buffer input;
block_masks masks[masks_per_buffer];

} // namespace

int main()
{
    std::size_t tokens = 0, token_bytes = 0, lists_missing = 0, end = 0;
    const classify_blocks classify = widest_classifier();
    ssize_t n = 1;
    for (bool at_eof = false; !at_eof;) {
        n = read(0, input.bytes + end, buffer_size - end);
        at_eof = n <= 0;
        end += n > 0 ? static_cast<std::size_t>(n) : 0;
        // What tokcollect does through cut_whole_chunks(), and at the end
        // with the last chunk, here in one loop, so that the counting is
        // inlined into the scanning as tokcollect's insertion is.
        const std::size_t whole = at_eof ? end : whole_chunks_end(input.bytes, end);
        char rest[max_chunk];
        std::memcpy(rest, input.bytes + whole, end - whole);
        classify_input(classify, input.bytes, whole, masks);
        lists_missing += cut_chunks(input.bytes, masks, whole, [&](std::string_view token) {
            ++tokens;
            token_bytes += token.size();
        });
        std::memcpy(input.bytes, rest, end - whole);
        end -= whole;
    }
    std::printf("%zu tokens, %zu token bytes, %zu chunks without a list\n", tokens, token_bytes,
                lists_missing);
    return n < 0 ? 1 : 0;
}
