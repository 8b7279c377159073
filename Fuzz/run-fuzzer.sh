#!/usr/bin/env bash
# Fuzzes the graphics output protocol until stopped (Ctrl-C) or until a
# libFuzzer limit given on the command line ends the run.
#
#   Fuzz/run-fuzzer.sh BUILD_DIR [libFuzzer options...]
#   e.g. Fuzz/run-fuzzer.sh build-sanitize -max_total_time=3600
#
# BUILD_DIR is a sanitizer build configured with -DQD520_FUZZ=ON (make
# sanitize-build). The work corpus grows in .cache/fuzz-corpus and is kept
# between runs; the seeds in Fuzz/Corpus are read, never written. Crash
# reproducers go to .cache/fuzz-artifacts; replay one with
#   BUILD_DIR/Fuzz/qd520-gop-fuzz FILE
# (QD520_GOP_FUZZ_VERBOSE=1 prints every call it makes).
set -euo pipefail

if [[ $# -lt 1 ]]; then
  echo "usage: $0 BUILD_DIR [libFuzzer options...]" >&2
  exit 2
fi

build_dir=$1
shift
fuzz_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$fuzz_dir")
fuzzer="$build_dir/Fuzz/qd520-gop-fuzz"

if [[ ! -x "$fuzzer" ]]; then
  echo "$0: $fuzzer not found; build it with 'make sanitize-build'" >&2
  exit 1
fi

work="$root/.cache/fuzz-corpus"
artifacts="$root/.cache/fuzz-artifacts"
mkdir -p "$work" "$artifacts"

# Options given on the command line come last and win over these.
exec "$fuzzer" -max_len=256 -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
  "-artifact_prefix=$artifacts/" "$@" "$work" "$fuzz_dir/Corpus"
