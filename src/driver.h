// SPDX-License-Identifier: MIT
// The program's read loop: chunks in, diagnostics and the listing out.
#pragma once

// Reads `in` to its end in the chunks that fgets() into a 1024-byte buffer
// would give, scans each one, writes "End of line\n" to `err` for every
// chunk without a list, and finally lists the distinct tokens on `out`.
// Failures are reported on `err` as "tokcollect: ...". Returns the exit
// status: 0, or 1 after a failure.
int collect_tokens(int in, int out, int err);
