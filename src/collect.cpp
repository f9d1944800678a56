// SPDX-License-Identifier: MIT
// The scanner, feeding the token set.
#include "collect.h"

// Flattened, so that the lookup of a token is inlined into the scanning loop.
[[gnu::flatten]] chunk_scan collect_chunks(const char* bytes, const block_masks* masks,
                                           std::size_t end, bool at_eof, token_set& tokens)
{
    return cut_chunks(bytes, masks, end, at_eof,
                      [&tokens](std::string_view token) { insert_padded_token(tokens, token); });
}
