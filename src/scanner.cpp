// SPDX-License-Identifier: MIT
// The list scanner, feeding the token set.
#include "scanner.h"

// Flattened, so that the lookup of a token is inlined into the scanning loop.
[[gnu::flatten]] bool scan_line(const char* chunk, token_set& tokens)
{
    return cut_list(chunk, [&tokens](std::string_view token) { insert_token(tokens, token); });
}
