// SPDX-License-Identifier: MIT
// Writing a whole buffer to a file descriptor.
#include "system/write_all.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

int write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n >= 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd ready{fd, POLLOUT, 0};
            poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}
