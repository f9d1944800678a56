#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A packager's build on a machine with only CMake, a C++20 compiler and
# GoogleTest: the optional tools are hidden in a mount namespace of this
# script's own, then the plain configure, build and CTest run must pass
# with the tests that need those tools reported as skipped. Needs root, for
# the namespace; exits 77 without it.
#   bare_machine.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/needs.sh"
needs unshare
[ "$(id -u)" = 0 ] || { echo "skipped: hiding tools needs root"; exit 77; }
source=$(realpath "$1") build=$2
hidden=(groff man parallel rsync ssh sshd valgrind lintian)
expected_skips="ManPage Package Sharding.memory Sharding.slots Sharding.ssh Valgrind"

blank=$(mktemp)
trap 'rm -f "$blank"' EXIT
unshare -m bash -s "$source" "$build" "$blank" "${hidden[@]}" <<'EOF_INNER'
set -euo pipefail
source=$1 build=$2 blank=$3
shift 3
# An empty file without execute permission over each tool: found by no
# lookup, and gone again when the namespace ends.
for tool in "$@"; do
    for path in $(command -v "$tool") "/usr/sbin/$tool"; do
        [ -x "$path" ] && mount --bind "$blank" "$(realpath "$path")"
    done
done
rm -rf "$build"
mkdir -p "$build"
cmake -S "$source" -B "$build" >"$build/configure.log"
cmake --build "$build" -j "$(nproc)" >/dev/null
ctest --test-dir "$build" -j "$(nproc)" >"$build/ctest.log" || {
    cat "$build/ctest.log"
    exit 1
}
EOF_INNER
skipped=$(sed -n 's/^\s*[0-9]* - \(.*\) (Skipped)$/\1/p' "$build/ctest.log" | sort | xargs)
[ "$skipped" = "$expected_skips" ] || {
    echo "skipped: '$skipped', expected '$expected_skips'"
    exit 1
}
grep "not found" "$build/configure.log"
echo "bare machine: builds, passes, skips $skipped"
