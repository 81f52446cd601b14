#!/bin/sh
# How fast the scenario runner goes: runs the 100,000-cycle scenario five times without and five
# times with a trace, and prints the median wall time and cycles per second of each.
# Usage: bench/scenario_speed.sh [DOORLOCK]   (default: build-bench/doorlock)
set -eu
here=$(dirname "$0")
doorlock=${1:-build-bench/doorlock}
scenario=$here/hundred-thousand-cycles.scn
cycles=100000
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT

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
echo "| run                          | seconds (median of 5) | cycles per second |"
echo "|------------------------------|-----------------------|-------------------|"
awk -v p="$plain" -v t="$traced" -v c=$cycles 'BEGIN {
    printf "| %-28s | %21.3f | %17.0f |\n", "100,000 cycles", p, c / p
    printf "| %-28s | %21.3f | %17.0f |\n", "100,000 cycles with --trace", t, c / t
}'
echo "trace: $(wc -c <"$trace") bytes"
