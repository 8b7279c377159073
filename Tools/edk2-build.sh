#!/usr/bin/env bash
# Builds the driver package with the kit's own build tool, as a firmware
# engineer would in an EDK II workspace, and copies the driver image and its
# option ROM out of the workspace's build tree.
#
#   Tools/edk2-build.sh KIT WORKSPACE TOOLCHAIN TARGET OUTPUT
#
#   KIT        the EDK II tree (read only)
#   WORKSPACE  the workspace folder (set up by Tools/edk2-workspace.sh on
#              first use); PACKAGES_PATH is the kit and this project
#   TOOLCHAIN  GCC5 or CLANGPDB;  TARGET  DEBUG or RELEASE
#   OUTPUT     receives Quandrel520Gop.efi, Quandrel520Gop.rom and build.log
set -euo pipefail

[ $# -eq 5 ] || { echo "usage: $0 KIT WORKSPACE TOOLCHAIN TARGET OUTPUT" >&2; exit 2; }
top=$(cd "$(dirname "$0")/.." && pwd)
kit=$(cd "$1" && pwd)
toolchain=$3
target=$4
mkdir -p "$2" "$5"
workspace=$(cd "$2" && pwd)
output=$(cd "$5" && pwd)
log_file="$output/build.log"

rm -f "$output/Quandrel520Gop.efi" "$output/Quandrel520Gop.rom"

# The build tool keeps its state in the workspace's Conf/: one build at a time.
exec 9>"$workspace/.build-lock"
flock 9
tools=$("$top/Tools/edk2-workspace.sh" "$kit" "$workspace" | tail -n 1)

status=0
(
  set +eu --
  cd "$workspace"
  unset WORKSPACE
  export EDK_TOOLS_PATH="$tools" CONF_PATH="$workspace/Conf" PACKAGES_PATH="$kit:$top"
  # shellcheck disable=SC1091
  . "$kit/edksetup.sh" || exit 1
  build -a X64 -t "$toolchain" -b "$target" -p OptionRomPkg/OptionRomPkg.dsc -n "$(nproc)"
) >"$log_file" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log_file" >&2
  echo "edk2-build: $target $toolchain build failed (exit $status); full log in $log_file" >&2
  exit 1
fi

bin="$workspace/Build/OptionRomPkg/${target}_${toolchain}/X64"
cp "$bin/Quandrel520Gop.efi" "$bin/Quandrel520Gop.rom" "$output/"
printf 'edk2-build: %s %s: Quandrel520Gop.efi %d bytes, Quandrel520Gop.rom %d bytes in %s\n' \
  "$target" "$toolchain" "$(stat -c %s "$output/Quandrel520Gop.efi")" \
  "$(stat -c %s "$output/Quandrel520Gop.rom")" "$output"
