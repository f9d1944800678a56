#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Any C++20 toolchain: tokcollect built with clang and LLVM's libc++ must
# write what the reference build writes, listing, diagnostics and status,
# on every generated workload, read from a file and through a pipe. The
# tests themselves are not built there: the system's GoogleTest is built
# against libstdc++.
#   other_toolchain.sh SOURCE_DIR BUILD_DIR REFERENCE_BINARY GEN_BINARY
set -euo pipefail
source=$1 build=$2 reference=$3 gen=$4

cmake -S "$source" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
    -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DBUILD_TESTING=OFF -DTOKCOLLECT_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target tokcollect >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Listing, diagnostics and status of `$1` reading $work/input, from the file
# or through a pipe as `$2` says.
outcome() {
    local status=0
    if [ "$2" = file ]; then
        "$1" <"$work/input" >"$work/out" 2>"$work/err" || status=$?
    else
        cat "$work/input" | "$1" >"$work/out" 2>"$work/err" || status=$?
    fi
    echo "$(cksum <"$work/out") $(cksum <"$work/err") $status"
}
for workload in typical distinct nolist longlines ids repeats paths mixed dense skewed; do
    "$gen" "$workload" 3 >"$work/input"
    for from in file pipe; do
        if [ "$(outcome "$reference" $from)" != "$(outcome "$build/tokcollect" $from)" ]; then
            echo "clang and libc++: $workload from a $from differs from the reference build" >&2
            exit 1
        fi
    done
done
echo "clang and libc++: every workload as the reference build lists it"
