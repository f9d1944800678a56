// SPDX-License-Identifier: MIT
// The floor under tokcollect's time: standard input read, classified, cut
// into chunks and lists, and every token found, as tokcollect does on one
// core, but no token stored. Prints how many tokens and token bytes it found
// and how many chunks had no list, so that none of the work can be skipped.
#include <cstdio>
#include <string_view>

#include "scan_input.h"

int main()
{
    std::size_t tokens = 0, token_bytes = 0;
    const scanned_input scanned = scan_input([&](std::string_view token) {
        ++tokens;
        token_bytes += token.size();
    });
    std::printf("%zu tokens, %zu token bytes, %zu chunks without a list\n", tokens, token_bytes,
                scanned.lists_missing);
    return scanned.read_failed ? 1 : 0;
}
