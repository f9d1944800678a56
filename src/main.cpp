// SPDX-License-Identifier: MIT
// tokcollect: lists the distinct digit-and-slash tokens of the first
// bracketed list of every input line, in byte order. It takes no arguments.
#include <unistd.h>

#include "driver.h"

int main()
{
    return collect_tokens(STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO);
}
