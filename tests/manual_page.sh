#!/bin/sh
# The manual page renders without a warning, and the exit statuses it lists are those that
# --help and the README list.
# Usage: manual_page.sh GROFF MANUAL_PAGE README DOORLOCK
set -eu
groff=$1 page=$2 readme=$3 doorlock=$4

warnings=$("$groff" -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    echo "the manual page renders with warnings:"; echo "$warnings"; exit 1
fi

# The numbers in a piece of text, sorted, once each.
numbers() { tr -c '0-9' '\n' | grep -v '^$' | sort -n -u | tr '\n' ' '; }

in_help=$("$doorlock" --help | sed -n '/^Exit status:/,$p' | numbers)
in_readme=$(sed -n '/^Exit status:/,/^$/p' "$readme" | numbers)
in_page=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH [^E]/p' "$page" | sed '$d' | numbers)
echo "exit statuses: --help: $in_help; README: $in_readme; manual page: $in_page"
[ -n "$in_help" ] && [ "$in_help" = "$in_readme" ] && [ "$in_help" = "$in_page" ] ||
    { echo "the exit statuses disagree"; exit 1; }
