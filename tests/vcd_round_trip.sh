#!/bin/sh
# Traces the automatic-lock example, converts the trace to GTKWave's FST format and back, and
# checks what comes back: lock_state goes 0, 2, 1, the lock 3010 ms (301 cycles) after the door
# closed, and the variables of every controller are there; the state names come back as strings
# with the numbers, and the scenario's steps and expectations too. Then a failing run: its trace
# ends with the failed expectation, at the failing cycle; and the GTKWave save file is beside it.
# Usage: vcd_round_trip.sh DOORLOCK EXAMPLES_DIR VCD2FST FST2VCD
set -eu
doorlock=$1 examples=$2 vcd2fst=$3 fst2vcd=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$doorlock" --scenario "$examples/auto-lock.scn" --trace "$dir/trace.vcd" >/dev/null
"$vcd2fst" "$dir/trace.vcd" "$dir/trace.fst" >"$dir/convert.log" 2>&1
if [ -s "$dir/convert.log" ]; then
    echo "vcd2fst complained:"; cat "$dir/convert.log"; exit 1
fi
"$fst2vcd" "$dir/trace.fst" >"$dir/back.vcd"
for name in pw_state pw_timer count pw_result key_clicked lock_state lock_timer locked changed \
    sound_state sound_timer sound light_state light_timer backlight door cover digit \
    button_toggle key_toggle lock_button pressed value key_sensor door_opened door_closed \
    cover_opened cover_closed pw_state_name lock_state_name sound_state_name light_state_name \
    step expectation; do
    grep -q "\$var .* $name \$end" "$dir/back.vcd" || { echo "no variable $name"; exit 1; }
done
changes=$(awk '
    function value(bits,    n, i) { n = 0; for (i = 2; i <= length(bits); i++) n = n * 2 + substr(bits, i, 1); return n }
    $1 == "$var" && $5 == "lock_state" { id = $4 }
    /^#/ { time = substr($1, 2) }
    id != "" && $1 ~ /^b/ && $2 == id { print time, value($1) }' "$dir/back.vcd")
echo "lock_state changes (time value): $(echo "$changes" | tr '\n' ' ')"
first=$(echo "$changes" | sed -n 1p) second=$(echo "$changes" | sed -n 2p) third=$(echo "$changes" | sed -n 3p)
[ "${first#* }" = 0 ] && [ "${second#* }" = 2 ] && [ "${third#* }" = 1 ] ||
    { echo "lock_state does not go 0, 2, 1"; exit 1; }
closed=${second% *} locked=${third% *}
[ $((locked - closed)) -eq 3010 ] || { echo "locked $((locked - closed)) ms after the door closed, not 3010"; exit 1; }
echo "locked 3010 ms (301 cycles) after the door closed"

# The names change with the numbers: lock_state_name unlocked, closing, locked at the same times.
names=$(awk '
    $1 == "$var" && $5 == "lock_state_name" { id = $4 }
    /^#/ { time = substr($1, 2) }
    id != "" && $1 ~ /^s/ && $2 == id { print time, substr($1, 2) }' "$dir/back.vcd" | head -n 3)
expected_names="0 unlocked
$closed closing
$locked locked"
[ "$names" = "$expected_names" ] || { echo "lock_state_name: $names"; exit 1; }
grep -q '^s[0-9]*:_type_1234 ' "$dir/back.vcd" || { echo "no step type 1234"; exit 1; }
# fst2vcd writes a string's quotes as \" (and bytes beyond ASCII in octal).
grep -q '^s[0-9]*:_expect_within_1_lock_\\"LOCK__\\"_ok;[0-9]*:_expect_action' "$dir/back.vcd" ||
    { echo "no expectation of the lock with its outcome"; exit 1; }
echo "state names and the scenario's steps survive the round trip"

# A failed run writes its trace up to the failing cycle, and the save file beside it.
printf 'type 1234\nwait 3\ntype d\nexpect within 10 lock "LOCK  "\n' >"$dir/fails.scn"
status=0
"$doorlock" --scenario "$dir/fails.scn" --trace "$dir/fails.vcd" 2>/dev/null || status=$?
[ "$status" = 1 ] || { echo "the failing run's status is $status"; exit 1; }
last="$(grep '^#' "$dir/fails.vcd" | tail -n 1) $(tail -n 1 "$dir/fails.vcd")"
[ "$last" = '#180 s4:_expect_within_10_lock_"LOCK__"_FAILED B' ] ||
    { echo "the failed run's trace ends with: $last"; exit 1; }
grep -qx "\[dumpfile\] \"$dir/fails.vcd\"" "$dir/fails.gtkw" ||
    { echo "no save file naming the trace:"; cat "$dir/fails.gtkw"; exit 1; }
echo "a failed run's trace ends at its failing cycle, with a save file beside it"
