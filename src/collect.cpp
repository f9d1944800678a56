// SPDX-License-Identifier: MIT
// The scanner, feeding the token set.
#include "collect.h"

#include <cassert>

// Flattened, so that the lookup of a token is inlined into the scanning loop.
[[gnu::flatten]] chunk_scan collect_chunks(const char* bytes, const block_masks* masks,
                                           std::size_t end, bool at_eof, token_inserter& tokens)
{
    return cut_chunks(bytes, masks, end, at_eof,
                      [&tokens](std::string_view token) { insert_padded_token(tokens, token); });
}

std::size_t collect_bytes(char* bytes, std::size_t end, block_masks* masks,
                          classify_blocks classify, token_inserter& tokens)
{
    classify_input(classify, bytes, end, masks);
    const chunk_scan scan = collect_chunks(bytes, masks, end, true, tokens);
    assert(scan.scanned_to == end);
    return scan.lists_missing;
}
