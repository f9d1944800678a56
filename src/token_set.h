// The set of distinct tokens found in the input, and its listing.
//
// A token of up to 16 bytes is packed into one 64-bit word, four bits a byte
// ('/' as 1, '0' to '9' as 2 to 11), first byte in the top bits and zeros
// behind the last, so that comparing two words as integers compares their
// tokens in byte order. The words live in an open-addressing hash table: at
// most three eighths full while it fits in the caches, three quarters once
// larger (11 to 22 bytes a token). A token already present allocates
// nothing. Lookups in a large table are made in small batches, so that the
// cache misses for their slots overlap. Longer tokens, rare in practice, are
// kept whole in an ordered std::set. The listing sorts the words in place and
// merges them with the long tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>

struct token_set {
    // The hash table: 2^k zeroed slots from calloc(); 0 marks a free slot.
    std::unique_ptr<std::uint64_t[], void (*)(void*)> slots{nullptr, std::free};
    std::size_t slot_count = 0;
    std::size_t packed_count = 0;
    // Packed tokens not yet looked up.
    std::uint64_t pending[16] = {};
    std::size_t pending_count = 0;
    bool has_empty = false; // the empty token packs to 0, so it is kept apart
    std::set<std::string, std::less<>> long_tokens;
};

// Stores `token`, which consists of token bytes only, unless an equal token
// is already present. Throws std::bad_alloc when memory runs out.
void insert_token(token_set& tokens, std::string_view token);

// Writes every token to `fd` in ascending byte order, each followed by a
// newline, and releases the set, which is then empty. Returns 0, or the errno
// of the write that failed. Throws std::bad_alloc when memory runs out.
int print_tokens(token_set& tokens, int fd);
