#!/usr/bin/env bash
# The main job's page: it succeeds, fits a page (45 lines), and every file it
# names (the traces and the pictures) is there and not empty.
#
#   Tools/Qd520Run/check-page.sh QD520_RUN OUTPUT
set -euo pipefail

page=$("$1" --output "$2")
printf '%s\n' "$page"
lines=$(printf '%s\n' "$page" | wc -l)
[ "$lines" -le 45 ] || { echo "the page has $lines lines, more than 45" >&2; exit 1; }
printf '%s\n' "$page" | grep -q '^Done\.$' || { echo "the page does not end in Done." >&2; exit 1; }
named=$(printf '%s\n' "$page" | grep -oE "$2/[A-Za-z0-9_.-]+" | sort -u)
[ "$(printf '%s\n' "$named" | grep -c 'trace\.txt$')" -eq 4 ] || { echo "the page names no start trace and three mode traces" >&2; exit 1; }
[ "$(printf '%s\n' "$named" | grep -c '\.png$')" -eq 3 ] || { echo "the page names no picture of each mode" >&2; exit 1; }
for file in $named; do
  [ -s "$file" ] || { echo "$file is named on the page but missing or empty" >&2; exit 1; }
done
