#!/usr/bin/env bash
# Prints a digest of an EDK II tree's contents (every file but .git, Build
# and Conf), or of some of its folders, the key part that says what a
# firmware or test suite was built from. Hashing a whole kit takes seconds,
# so the digest is remembered per set of file names, sizes and times in
# MEMO_DIR.
#
#   Tools/kit-digest.sh TREE MEMO_DIR [FOLDER...]
set -euo pipefail

usage="usage: Tools/kit-digest.sh TREE MEMO_DIR [FOLDER...]"
tree=$(cd "${1:?$usage}" && pwd)
memo_dir=${2:?$usage}
shift 2
folders=("$@")
[ ${#folders[@]} -gt 0 ] || folders=(.)

# (Each pipeline reads all of its input: with pipefail, a tool cut off early
# would fail the digest.)
files() {
  find "${folders[@]}" \( -path ./.git -o -path ./Build -o -path ./Conf \) -prune -o -type f "$@"
}

fingerprint=$(cd "$tree" && { echo "${folders[*]}"; files -printf '%p %s %T@\n' | LC_ALL=C sort; } |
              sha256sum | cut -c1-32)
memo="$memo_dir/$fingerprint"
if [ ! -s "$memo" ]; then
  mkdir -p "$memo_dir"
  (cd "$tree" && files -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -c1-32) >"$memo.tmp.$$"
  mv -f "$memo.tmp.$$" "$memo"
fi
cat "$memo"
