#!/bin/sh
# Runs a passing, a failing and a rejected scenario with --junit and checks the file: well-formed
# XML (xmllint), the counts on the testsuite, one testcase per file with its folder and name, and
# the hostile texts (markup characters, a control character, bytes that are not UTF-8, in the
# file names and the messages) escaped; no partial file is left beside it.
# Usage: junit_report.sh DOORLOCK EXAMPLES_DIR XMLLINT
set -eu
doorlock=$1 examples=$2 xmllint=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/a&b"
printf 'type 1\nexpect text 0 0 "<&\\"'"'"']]>"\n' >"$dir/a&b/<fail>.scn"
printf 'wait 1\ntpye\001\377<&>]]> 1\n' >"$dir/error.scn"
status=0
(cd "$dir" && "$doorlock" --scenario "$examples/auto-lock.scn" "a&b/<fail>.scn" error.scn \
    --junit "$dir/results.xml" >"$dir/out.txt" 2>&1) || status=$?
[ "$status" = 2 ] || { echo "exit status $status, not 2"; cat "$dir/out.txt"; exit 1; }
"$xmllint" --noout "$dir/results.xml" || { cat "$dir/results.xml"; exit 1; }
[ ! -e "$dir/results.xml.partial" ] || { echo "a partial file was left"; exit 1; }

value() { "$xmllint" --xpath "$1" "$dir/results.xml"; }
got="tests=$(value 'string(//testsuite/@tests)') failures=$(value 'string(//testsuite/@failures)')"
got="$got errors=$(value 'string(//testsuite/@errors)') cases=$(value 'count(//testcase)')"
echo "$got"
[ "$got" = "tests=3 failures=1 errors=1 cases=3" ] || { cat "$dir/results.xml"; exit 1; }

check() { # XPATH EXPECTED
    actual=$(value "$1")
    [ "$actual" = "$2" ] || { echo "$1: '$actual', not '$2'"; cat "$dir/results.xml"; exit 1; }
}
check 'string(//testcase[1]/@classname)' "$examples"
check 'string(//testcase[1]/@name)' auto-lock.scn
check 'string(//testcase[2]/@classname)' 'a&b'
check 'string(//testcase[2]/@name)' '<fail>.scn'
check 'string(//testcase[2]/failure)' \
    "a&b/<fail>.scn:2: cycle 1: expected text 0 0 \"<&\\\"']]>\", screen shows \"       \""
check 'string(//testcase[3]/@classname)' .
check 'string(//testcase[3]/error/@message)' \
    "unknown step 'tpye\\x01\\xFF<&>]]>' (type, press, wait, expect)"
echo "well-formed, counted and escaped"
