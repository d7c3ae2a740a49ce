#!/usr/bin/env bash
# System calls per transaction over the pseudo-terminal, per process: the
# driver's host process and the simulated controller, and the floor's client
# and responder. Runs hux_bench under strace twice (N and 2N transactions)
# and divides the difference by N, so that start-up and set-up drop out.
#
#   bench/syscalls.sh [BUILD_DIR] [SCENARIO...]
set -euo pipefail
build=${1:-build/default}
shift || true
scenarios=("$@")
[ ${#scenarios[@]} -eq 0 ] && scenarios=(byte_read word_write bit_write block_read_64 block_write_64)
bench=$build/bin/hux_bench
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }
[ -x "$bench" ] || { echo "no $bench: build first" >&2; exit 1; }
n=500
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# count SIDE SCENARIO ITERATIONS: "process syscall count" lines. The first
# process (the lowest pid) is the host; the other one is its peer.
count() {
    local dir=$work/$1-$2-$3
    mkdir -p "$dir"
    strace -ff -o "$dir/t" "$bench" --parts line --side "$1" --scenario "$2" --iterations "$3" --rounds 1 \
        >/dev/null 2>&1
    local first=1
    for f in $(ls "$dir"/t.* | sort -t. -k2 -n); do
        local who=peer
        [ $first -eq 1 ] && who=host
        first=0
        sed -n 's/^\([a-z_0-9]*\)(.*/\1/p' "$f" | sort | uniq -c | awk -v who="$who" '{print who, $2, $1}'
    done
}

printf '%-16s %-7s %-5s %s\n' scenario side who "system calls per transaction"
for s in "${scenarios[@]}"; do
    for side in driver floor; do
        count "$side" "$s" $n >"$work/a"
        count "$side" "$s" $((2 * n)) >"$work/b"
        for who in host peer; do
            line=$(join -a2 -e0 -o '0,1.2,2.2' \
                <(awk -v w=$who '$1==w {print $2, $3}' "$work/a" | sort) \
                <(awk -v w=$who '$1==w {print $2, $3}' "$work/b" | sort) |
                awk -v n=$n '{d = ($3 - $2) / n; if (d >= 0.05) {printf "%s %.2f  ", $1, d; t += d}} END {printf "| total %.2f", t}')
            label=$who
            [ "$side" = driver ] && [ $who = host ] && label=driver
            [ "$side" = driver ] && [ $who = peer ] && label=ps4sim
            [ "$side" = floor ] && [ $who = host ] && label=client
            [ "$side" = floor ] && [ $who = peer ] && label=responder
            printf '%-16s %-7s %-9s %s\n' "$s" "$side" "$label" "$line"
        done
    done
done
