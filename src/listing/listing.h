// SPDX-License-Identifier: MIT
// The listing: the tokens of the set's shards, in byte order, one a line.
#pragma once

#include <cstddef>
#include <span>

#include "set/shard_forms.h"
#include "system/memory_budget.h"

struct token_set;

// Writes to `fd` every token that any of `shards` holds, once, in ascending
// byte order, each followed by a newline. Up to `threads` threads sort and
// write disjoint stretches of the order, whose output goes out in turn, as
// many as the room to sort and write a stretch leaves room for in `budget`.
// All the memory the listing needs is taken before the first write, so
// running out of it throws std::bad_alloc with nothing written. Leaves
// `shards` empty, their memory given back. Returns 0, or the errno of the
// write that failed.
int write_tokens(std::span<shard_forms> shards, int fd, std::size_t threads, memory_budget* budget);

// write_tokens() of the whole set, which every inserter has been drained
// into, on one thread. Used by tests.
int print_tokens(token_set& set, int fd);
