#!/usr/bin/env bash
# Prints a digest of an EDK II tree's contents (every file but .git, Build
# and Conf), the key part that says which kit a firmware was built from.
# Hashing a whole kit takes seconds, so the digest is remembered per set of
# file names, sizes and times in MEMO_DIR.
#
#   Tools/kit-digest.sh KIT MEMO_DIR
set -euo pipefail

kit=$(cd "${1:?usage: Tools/kit-digest.sh KIT MEMO_DIR}" && pwd)
memo_dir=${2:?usage: Tools/kit-digest.sh KIT MEMO_DIR}

# (Each pipeline reads all of its input: with pipefail, a tool cut off early
# would fail the digest.)
files() {
  find . \( -path ./.git -o -path ./Build -o -path ./Conf \) -prune -o -type f "$@"
}

fingerprint=$(cd "$kit" && files -printf '%P %s %T@\n' | LC_ALL=C sort | sha256sum | cut -c1-32)
memo="$memo_dir/$fingerprint"
if [ ! -s "$memo" ]; then
  mkdir -p "$memo_dir"
  (cd "$kit" && files -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -c1-32) >"$memo.tmp.$$"
  mv -f "$memo.tmp.$$" "$memo"
fi
cat "$memo"
