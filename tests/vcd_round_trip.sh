#!/bin/sh
# Traces the automatic-lock example, converts the trace to GTKWave's FST format and back, and
# checks what comes back: lock_state goes 0, 2, 1, the lock 3010 ms (301 cycles) after the door
# closed, and the variables of every controller are there.
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
    cover_opened cover_closed; do
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
