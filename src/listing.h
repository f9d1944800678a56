// SPDX-License-Identifier: MIT
// The listing: every token of a set in byte order, one a line.
#pragma once

#include "token_set.h"

// Sorts what `tokens` holds, writes it to `fd` and releases the set. Every
// allocation comes before the first write, so running out of memory throws
// std::bad_alloc with nothing written. Returns 0, or the errno of the write
// that failed.
int write_listing(token_set& tokens, int fd);
