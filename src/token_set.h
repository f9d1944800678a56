// The set of distinct tokens found in the input, and its listing.
#pragma once

#include <cstdio>
#include <set>
#include <string>
#include <string_view>

// Tokens in ascending byte order; std::less<> lets a string_view look one up
// without building a std::string.
using token_set = std::set<std::string, std::less<>>;

// Stores a copy of `token` unless an equal token is already present, in which
// case nothing is allocated. Throws std::bad_alloc when memory runs out.
void insert_token(token_set& tokens, std::string_view token);

// Writes every token to `out` in ascending byte order, each followed by a
// newline. Write errors are left in the stream's error flag.
void print_tokens(const token_set& tokens, std::FILE* out);
