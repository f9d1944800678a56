// SPDX-License-Identifier: MIT
// Writing a whole buffer to a file descriptor.
#pragma once

#include <cstddef>

// Writes all `size` bytes of `data` to `fd`, carrying on after partial writes,
// interruptions and a full non-blocking descriptor. Returns 0, or the errno
// of the write that failed.
int write_all(int fd, const char* data, std::size_t size);
