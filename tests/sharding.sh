#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Shards cut at line boundaries, collected apart and merged with sort -m -u,
# list exactly what one run over the whole input lists: cut by split(1),
# and by the README's GNU parallel recipe, with local job slots.
#   sharding.sh TOKCOLLECT GENERATOR
set -euo pipefail
bin=$1 gen=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
{ "$gen" typical 1; "$gen" longlines 1; "$gen" distinct 1; printf '[ 7 ]\nno list\n'; } >"$work/input"
"$bin" <"$work/input" >"$work/whole" 2>"$work/whole.err"
for pieces in 2 5 13; do
    rm -f "$work"/piece.*
    split -n "l/$pieces" -d "$work/input" "$work/piece."
    for piece in "$work"/piece.*; do
        "$bin" <"$piece" >"$piece.tokens" 2>/dev/null
    done
    LC_ALL=C sort -m -u "$work"/piece.*.tokens >"$work/merged"
    cmp -s "$work/whole" "$work/merged" || { echo "$pieces shards merge differently"; exit 1; }
done

# Four job slots on this machine (":"), where --return has nothing to bring
# back and says so.
mkdir "$work/jobs"
echo "4/:" >"$work/jobs/hosts"
(cd "$work/jobs" && parallel --will-cite --pipepart -a ../input --block -1 --keep-order \
    --sshloginfile hosts --return {#}.tokens --cleanup "'$bin' > {#}.tokens") 2>&1 >/dev/null |
    grep -v '^parallel: Warning: --return ignored' >"$work/parallel.err" || true
LC_ALL=C sort -m -u "$work"/jobs/*.tokens >"$work/merged"
cmp -s "$work/whole" "$work/merged" || { echo "GNU parallel's parts merge differently"; exit 1; }
cmp -s "$work/whole.err" "$work/parallel.err" || { echo "GNU parallel's diagnostics differ"; exit 1; }
echo "sharded runs merge to the whole run's listing"
