#!/bin/sh
# How fast and how big the exploration is: the single-key alphabet with digits 0 and 1, the
# default alphabet (two-key windows as well) and all ten digits with single keys, each with every
# built-in property; prints each run's last line (states, transitions, depth, seconds, states per
# second, peak memory), its wall and CPU seconds (the search runs on two threads, so CPU can
# exceed wall) and the load. Then the same two alphabets of digits 0 and 1 searched by
# explore_floor, beside it, which checks nothing: what any such search costs on this machine, and
# what each piece of a window's work costs.
# Minutes of work: not a test.
# Usage: bench/explore_speed.sh [DOORLOCK]   (default: build/doorlock)
set -eu
doorlock=${1:-build/doorlock}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run() { # label, then the options
    label=$1
    shift
    /usr/bin/time -f "%e %U %S" -o "$scratch/time" "$doorlock" --explore "$@" \
        --counterexample "$scratch/" >"$scratch/out" || status=$?
    wall=$(awk '{ printf "%.0f", $1 }' "$scratch/time")
    cpu=$(awk '{ printf "%.0f", $2 + $3 }' "$scratch/time")
    echo "$label: $(tail -n 1 "$scratch/out" | grep -v '^search' || true)"
    grep -v '^holds' "$scratch/out" | grep -v 'states/s' || true
    echo "    wall seconds: $wall; CPU seconds: $cpu; load: $(cut -d' ' -f1-3 /proc/loadavg)"
}

run "single keys, --digits 01" --single-keys --digits 01
run "default alphabet (two-key windows), --digits 01"
run "single keys, --digits 0123456789" --single-keys --digits 0123456789

floor=$(dirname "$doorlock")/bench/explore_floor
echo "checking nothing, single keys: $("$floor" pieces)"
echo "checking nothing, the default alphabet: $("$floor" pairs)"
