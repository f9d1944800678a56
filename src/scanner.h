// The list scanner: cuts the first bracketed list of one chunk of input into
// tokens. It does no I/O and keeps no state between chunks.
//
// After the first '[', each step skips whitespace, takes the run of token
// bytes found there (possibly empty) as a token, and then either stops at ']'
// or the chunk end, or consumes the one byte after the token as a separator,
// whatever that byte is.
#pragma once

#include <cstring>
#include <string_view>

#include "token_set.h"

// Tokens are made of the slash and the ten digits, bytes 0x2F to 0x39.
constexpr bool is_token_char(unsigned char c)
{
    return c >= '/' && c <= '9';
}

// The whitespace of isspace() in the POSIX locale: blank, \t, \n, \v, \f, \r.
constexpr bool is_list_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Calls take(token) for every token of the list that opens at the first '['
// of `chunk`, in order; each token is a view into `chunk`. The chunk ends at
// its first NUL byte or at its size, whichever comes first. Returns false,
// taking nothing, when no '[' comes before that end.
template <typename Take> bool cut_list(std::string_view chunk, Take&& take)
{
    if (chunk.empty())
        return false;
    const char* end = chunk.data() + chunk.size();
    if (const void* nul = std::memchr(chunk.data(), '\0', chunk.size()))
        end = static_cast<const char*>(nul);
    const void* opener = std::memchr(chunk.data(), '[', static_cast<size_t>(end - chunk.data()));
    if (!opener)
        return false;

    const char* p = static_cast<const char*>(opener) + 1;
    for (;;) {
        while (p != end && is_list_space(static_cast<unsigned char>(*p)))
            ++p;
        const char* start = p;
        while (p != end && is_token_char(static_cast<unsigned char>(*p)))
            ++p;
        take(std::string_view(start, static_cast<size_t>(p - start)));
        if (p == end || *p == ']')
            return true;
        ++p;
    }
}

// Inserts every token of the chunk's list into `tokens`; the result is that
// of cut_list().
bool scan_line(std::string_view chunk, token_set& tokens);
