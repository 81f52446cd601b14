#!/bin/sh
# How fast the scenario runner goes: runs the 100,000-cycle scenario five times without and five
# times with a trace, and prints the median wall time and cycles per second of each; then a wait of
# a billion cycles (four months of simulated time) from the start and, with a trace, from a
# registered and locked lock whose light is out, each run whole (the process's start included).
# Usage: bench/scenario_speed.sh [DOORLOCK]   (default: build-bench/doorlock)
set -eu
here=$(dirname "$0")
doorlock=${1:-build-bench/doorlock}
scenario=$here/hundred-thousand-cycles.scn
cycles=100000
trace=$(mktemp)
folder=$(mktemp -d)
trap 'rm -f "$trace"; rm -rf "$folder"' EXIT
printf 'wait 1000000000\nexpect cycle=1000000000 light_timer=1000000000\n' >"$folder/start.scn"
printf 'type 1357\nwait 3\ntype LC\nwait 1000000000\nexpect cycle=1000000009 locked=1 backlight=0\n' \
    >"$folder/locked.scn"

median_seconds() { # runs "$@" five times; prints the median wall time in seconds
    for run in 1 2 3 4 5; do
        start=$(date +%s%N)
        "$@" >/dev/null
        end=$(date +%s%N)
        echo $((end - start))
    done | sort -n | sed -n 3p | awk '{ printf "%.3f", $1 / 1e9 }'
}

plain=$(median_seconds "$doorlock" --scenario "$scenario")
traced=$(median_seconds "$doorlock" --scenario "$scenario" --trace "$trace")
billion=$(median_seconds "$doorlock" --scenario "$folder/start.scn")
billion_locked=$(median_seconds "$doorlock" --scenario "$folder/locked.scn" --trace "$folder/locked.vcd")
echo "| run                          | seconds (median of 5) | cycles per second |"
echo "|------------------------------|-----------------------|-------------------|"
awk -v p="$plain" -v t="$traced" -v c=$cycles -v b="$billion" -v l="$billion_locked" 'BEGIN {
    printf "| %-28s | %21.3f | %17.0f |\n", "100,000 cycles", p, c / p
    printf "| %-28s | %21.3f | %17.0f |\n", "100,000 cycles with --trace", t, c / t
    printf "| %-28s | %21.3f | %17.3g |\n", "wait 1000000000, from start", b, 1e9 / b
    printf "| %-28s | %21.3f | %17.3g |\n", "the same, locked, --trace", l, 1e9 / l
}'
echo "trace: $(wc -c <"$trace") bytes"
