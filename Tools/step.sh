#!/usr/bin/env bash
# One phase of a make target, in one line: runs COMMAND with everything it
# prints in LOG, then says what it did and how long it took. When COMMAND
# fails the log is shown whole.
#
#   Tools/step.sh LOG WHAT COMMAND...
set -uo pipefail

log=$1
what=$2
shift 2
mkdir -p "$(dirname "$log")"
start=$(date +%s)
if "$@" >"$log" 2>&1; then
  printf '%s: %s s (log: %s)\n' "$what" "$(( $(date +%s) - start ))" "$log"
else
  status=$?
  cat "$log" >&2
  printf '%s: FAILED (exit %s); the log above is %s\n' "$what" "$status" "$log" >&2
  exit "$status"
fi
