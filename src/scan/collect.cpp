// SPDX-License-Identifier: MIT
// The scanner, feeding the token set. Flattened, so that the insertion of a
// token is inlined into the scanning loop.
#include "scan/collect.h"

#include "scan/scanner.h"

[[gnu::flatten]] std::size_t collect_bytes(char* bytes, std::size_t end, block_masks* masks,
                                           classify_blocks classify, token_inserter& inserter)
{
    classify_input(classify, bytes, end, masks);
    return cut_chunks(bytes, masks, end,
                      [&inserter](std::string_view token) { insert_token(inserter, token); });
}

[[gnu::flatten]] std::size_t collect_whole_chunks(char* bytes, std::size_t& end, block_masks* masks,
                                                  classify_blocks classify,
                                                  token_inserter& inserter)
{
    return cut_whole_chunks(bytes, end, masks, classify,
                            [&inserter](std::string_view token) { insert_token(inserter, token); });
}
