#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Shards cut at line boundaries, collected apart and merged with sort -m -u,
# list exactly what one run over the whole input lists.
#   sharding.sh TOKCOLLECT GENERATOR
set -euo pipefail
bin=$1 gen=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
{ "$gen" typical 1; "$gen" longlines 1; "$gen" distinct 1; printf '[ 7 ]\nno list\n'; } >"$work/input"
"$bin" <"$work/input" >"$work/whole" 2>/dev/null
for pieces in 2 5 13; do
    rm -f "$work"/piece.*
    split -n "l/$pieces" -d "$work/input" "$work/piece."
    for piece in "$work"/piece.*; do
        "$bin" <"$piece" >"$piece.tokens" 2>/dev/null
    done
    LC_ALL=C sort -m -u "$work"/piece.*.tokens >"$work/merged"
    cmp -s "$work/whole" "$work/merged" || { echo "$pieces shards merge differently"; exit 1; }
done
echo "sharded runs merge to the whole run's listing"
