// SPDX-License-Identifier: MIT
// The list scanner, feeding the token set.
#include "scanner.h"

bool scan_line(const char* chunk, token_set& tokens)
{
    return cut_list(chunk, [&tokens](std::string_view token) { insert_token(tokens, token); });
}
