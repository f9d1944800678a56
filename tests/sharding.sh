#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Shards cut at line boundaries, collected apart and merged with sort -m -u,
# list exactly what one run over the whole input lists, and the diagnostics
# come back as one run writes them:
#   split  cut by split(1);
#   slots  the README's GNU parallel recipe with four local job slots;
#   ssh    the same recipe over real ssh, to two hosts on loopback addresses
#          served by an sshd of the test's own;
#   memory the README's recipe for an input larger than memory: under an
#          address-space limit at which one run over the whole input runs
#          out of memory, parts cut from the file and from a pipe.
# Exits 77, which CTest reports as skipped, when a tool the mode needs is
# missing.
#   sharding.sh split|slots|ssh|memory TOKCOLLECT GENERATOR
set -euo pipefail
mode=$1 bin=$2 gen=$3

source "$(dirname "$0")/needs.sh"
case $mode in
slots | memory) needs parallel ;;
ssh) needs parallel ssh ssh-keygen rsync /usr/sbin/sshd ;;
esac

work=$(mktemp -d)
sshd_pid=
cleanup() {
    [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null && wait "$sshd_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
{ "$gen" typical 1; "$gen" longlines 1; "$gen" distinct 1; printf '[ 7 ]\nno list\n'; } >"$work/input"
"$bin" <"$work/input" >"$work/whole" 2>"$work/whole.err"

# The README's recipe, run in $work/jobs over the hosts file given; prints
# the jobs' standard error but for the lines that `filter` drops.
recipe() { # HOSTS FILTER [PARALLEL_OPTION...]
    local hosts=$1 filter=$2
    shift 2
    mkdir -p "$work/jobs"
    printf '%s\n' $hosts >"$work/jobs/hosts"
    (cd "$work/jobs" && timeout 90 parallel --will-cite --pipepart -a ../input --block -1 \
        --keep-order --sshloginfile hosts --return {#}.tokens --cleanup "$@" \
        'tokcollect > {#}.tokens') 2>&1 >/dev/null | grep -v -E "$filter" >"$work/parallel.err" || true
    LC_ALL=C sort -m -u "$work"/jobs/*.tokens >"$work/merged"
    cmp -s "$work/whole" "$work/merged" || { echo "GNU parallel's parts merge differently"; exit 1; }
    cmp -s "$work/whole.err" "$work/parallel.err" || {
        echo "GNU parallel's diagnostics differ:"
        diff "$work/whole.err" "$work/parallel.err" | head -20
        exit 1
    }
}

# Where the jobs find `tokcollect` first on their PATH.
mkdir "$work/bin"
ln -s "$(realpath "$bin")" "$work/bin/tokcollect"

# An sshd on 127.0.0.2 and 127.0.0.3 at a free unprivileged port, with keys
# made for this run and key login only; the client reads only the config and
# files made here, never ~/.ssh.
start_sshd() {
    local dir=$work/ssh port
    mkdir -m 700 "$dir"
    ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key"
    ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key"
    cp "$dir/client_key.pub" "$dir/authorized_keys"
    # sshd, started as root, wants its privilege separation directory.
    [ "$(id -u)" != 0 ] || mkdir -p -m 755 /run/sshd
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        cat >"$dir/sshd_config" <<EOF
ListenAddress 127.0.0.2:$port
ListenAddress 127.0.0.3:$port
HostKey $dir/host_key
AuthorizedKeysFile $dir/authorized_keys
PidFile $dir/sshd.pid
AuthenticationMethods publickey
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PermitRootLogin prohibit-password
SetEnv PATH=$work/bin:/usr/local/bin:/usr/bin:/bin
EOF
        /usr/sbin/sshd -D -e -f "$dir/sshd_config" 2>"$dir/sshd.log" &
        sshd_pid=$!
        cat >"$dir/config" <<EOF
Host 127.0.0.2 127.0.0.3
    Port $port
    IdentityFile $dir/client_key
    IdentitiesOnly yes
    UserKnownHostsFile $dir/known_hosts
    StrictHostKeyChecking yes
    BatchMode yes
    ConnectTimeout 10
EOF
        for host in 127.0.0.2 127.0.0.3; do
            echo "[$host]:$port $(cut -d' ' -f1,2 "$dir/host_key.pub")"
        done >"$dir/known_hosts"
        for _ in $(seq 50); do
            ssh -F "$dir/config" 127.0.0.3 true 2>/dev/null && return 0
            kill -0 "$sshd_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$sshd_pid" 2>/dev/null && wait "$sshd_pid" 2>/dev/null
        sshd_pid=
    done
    echo "could not start sshd:"
    cat "$dir/sshd.log"
    exit 1
}

case $mode in
split)
    for pieces in 2 5 13; do
        rm -f "$work"/piece.*
        split -n "l/$pieces" -d "$work/input" "$work/piece."
        for piece in "$work"/piece.*; do
            "$bin" <"$piece" >"$piece.tokens" 2>/dev/null
        done
        LC_ALL=C sort -m -u "$work"/piece.*.tokens >"$work/merged"
        cmp -s "$work/whole" "$work/merged" || { echo "$pieces shards merge differently"; exit 1; }
    done
    ;;
slots)
    # Four job slots on this machine (":"), where --return has nothing to
    # bring back and says so.
    PATH=$work/bin:$PATH recipe "4/:" '^parallel: Warning: --return ignored'
    ;;
ssh)
    start_sshd
    # Two job slots a host, so that every host runs jobs; they work in a
    # folder of the test's instead of the remote home.
    # What the hosts' shell start-up files may print is no diagnostic of ours.
    recipe "2/127.0.0.2 2/127.0.0.3" '^(pyenv|rm|bash|-bash): ' --ssh "ssh -F $work/ssh/config" --workdir "$work/remote"
    grep -q 'Accepted publickey' "$work/ssh/sshd.log" || { echo "no job logged in over ssh"; exit 1; }
    ;;
memory)
    { "$gen" distinct 24; "$gen" nolist 1; cat "$work/input"; } >"$work/large"
    "$bin" <"$work/large" >"$work/large.whole" 2>"$work/large.whole.err"
    # Halve the limit until one run over the whole no longer fits.
    limit=$((1 << 20)) # KiB
    while (ulimit -v $limit && "$bin" <"$work/large" >/dev/null 2>"$work/limited.err"); do
        limit=$((limit / 2))
        [ $limit -ge 8192 ] || { echo "one run fits in 8 MiB of address space"; exit 1; }
    done
    grep -qx 'tokcollect: out of memory' "$work/limited.err" ||
        { echo "one run under the limit fails otherwise:"; cat "$work/limited.err"; exit 1; }
    for cut in --pipepart --pipe; do
        rm -rf "$work/parts"
        mkdir "$work/parts"
        source=(-a ../large)
        [ $cut = --pipe ] && source=()
        (cd "$work/parts" && PATH=$work/bin:$PATH timeout 90 parallel --will-cite "$cut" \
            "${source[@]}" --block 1M -j1 --keep-order \
            "ulimit -v $limit; tokcollect > part.{#}" <"$work/large") 2>"$work/parts.err"
        LC_ALL=C sort -m -u "$work"/parts/part.* >"$work/merged"
        cmp -s "$work/large.whole" "$work/merged" ||
            { echo "parts cut $cut under $limit KiB merge differently"; exit 1; }
        cmp -s "$work/large.whole.err" "$work/parts.err" || {
            echo "parts cut $cut under $limit KiB give other diagnostics:"
            diff "$work/large.whole.err" "$work/parts.err" | head -20
            exit 1
        }
    done
    ;;
*)
    echo "unknown mode $mode"
    exit 2
    ;;
esac
echo "sharded runs ($mode) merge to the whole run's listing"
