// SPDX-License-Identifier: MIT
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
// of the NUL-terminated `chunk`, in order; each token is a view into `chunk`.
// Returns false, taking nothing, when no '[' comes before the NUL.
template <typename Take> bool cut_list(const char* chunk, Take&& take)
{
    const char* p = std::strchr(chunk, '[');
    if (!p)
        return false;
    for (++p;;) {
        while (is_list_space(static_cast<unsigned char>(*p)))
            ++p;
        const char* start = p;
        while (is_token_char(static_cast<unsigned char>(*p)))
            ++p;
        take(std::string_view(start, static_cast<size_t>(p - start)));
        // The NUL is neither whitespace nor a token byte, so the cursor
        // always stops on it rather than passing it.
        if (*p == ']' || *p == '\0')
            return true;
        ++p;
    }
}

// Inserts every token of the chunk's list into `tokens`; the result is that
// of cut_list().
bool scan_line(const char* chunk, token_set& tokens);
