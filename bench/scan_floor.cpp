// SPDX-License-Identifier: MIT
// The floor under tokcollect's time: standard input read, classified, cut
// into chunks and lists, and every token found, as tokcollect does on one
// core, but no token stored. Prints how many tokens and token bytes it found
// and how many chunks had no list, so that none of the work can be skipped.
#include <cstdio>
#include <string_view>
#include <unistd.h>

#include "chunks.h"
#include "scanner.h"

namespace
{

input_buffer input;

} // namespace

int main()
{
    std::size_t tokens = 0, token_bytes = 0, lists_missing = 0;
    auto scan = [&](const char* bytes, const block_masks* masks, std::size_t end, bool at_eof) {
        return cut_chunks(bytes, masks, end, at_eof, [&](std::string_view token) {
            ++tokens;
            token_bytes += token.size();
        });
    };
    auto read_block = [](char* to, std::size_t room) { return read(0, to, room); };
    const bool ok = read_chunks(input, widest_classifier(), scan, read_block,
                                [&](std::size_t n) { lists_missing += n; });
    std::printf("%zu tokens, %zu token bytes, %zu chunks without a list\n", tokens, token_bytes,
                lists_missing);
    return ok ? 0 : 1;
}
