// SPDX-License-Identifier: MIT
// The scanner, feeding the token set. Flattened, so that the insertion of a
// token is inlined into the scanning loop.
#include "scan/collect.h"

#include "scan/scanner.h"

[[gnu::flatten]] std::size_t collect_bytes(char* bytes, std::size_t end, block_masks* masks,
                                           classify_blocks classify, token_inserter& tokens)
{
    classify_input(classify, bytes, end, masks);
    return cut_chunks(bytes, masks, end,
                      [&tokens](std::string_view token) { insert_token(tokens, token); });
}

[[gnu::flatten]] std::size_t collect_whole_chunks(char* bytes, std::size_t& end, block_masks* masks,
                                                  classify_blocks classify, token_inserter& tokens)
{
    return cut_whole_chunks(bytes, end, masks, classify,
                            [&tokens](std::string_view token) { insert_token(tokens, token); });
}
