#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# memcheck over the bundled example and 1 MiB of generated input: no errors,
# nothing definitely lost.
#   valgrind.sh TOKCOLLECT EXAMPLE GENERATOR
set -euo pipefail
source "$(dirname "$0")/needs.sh"
needs valgrind
bin=$1 example=$2 gen=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$gen" typical 1 >"$work/typical"
for input in "$example" "$work/typical"; do
    valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
        --log-file="$work/log" "$bin" <"$input" >/dev/null 2>&1 || {
        echo "valgrind reports errors for $(basename "$input"):"
        cat "$work/log"
        exit 1
    }
done
echo "valgrind: no errors, nothing definitely lost"
