// SPDX-License-Identifier: MIT
// The floor under tokcollect's time: standard input read, classified, cut
// into chunks and lists, and every token found, as tokcollect does on one
// core, but no token stored. Prints how many tokens and token bytes it found
// and how many chunks had no list, so that none of the work can be skipped.
#include <cstdio>
#include <string_view>
#include <unistd.h>

#include "read_buffer.h"
#include "scanner.h"

namespace
{

read_buffer input;
block_masks masks[masks_per_buffer];

} // namespace

int main()
{
    std::size_t tokens = 0, token_bytes = 0, lists_missing = 0, end = 0;
    auto take = [&](std::string_view token) {
        ++tokens;
        token_bytes += token.size();
    };
    const classify_blocks classify = widest_classifier();
    ssize_t n;
    while ((n = read(0, input.bytes + end, buffer_size - end)) > 0) {
        end += static_cast<std::size_t>(n);
        lists_missing += cut_whole_chunks(input.bytes, end, masks, classify, take);
    }
    classify_input(classify, input.bytes, end, masks);
    lists_missing += cut_chunks(input.bytes, masks, end, take);
    std::printf("%zu tokens, %zu token bytes, %zu chunks without a list\n", tokens, token_bytes,
                lists_missing);
    return n < 0 ? 1 : 0;
}
