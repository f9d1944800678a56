// SPDX-License-Identifier: MIT
// tokcollect: lists the distinct digit-and-slash tokens of the first
// bracketed list of every chunk of standard input (a line, or each 1023
// bytes of a longer one), in byte order, and writes "End of line" to
// standard error for each chunk without a list. It reads no arguments.
#include <unistd.h>

#include "driver.h"

int main()
{
    return collect_tokens(STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO);
}
