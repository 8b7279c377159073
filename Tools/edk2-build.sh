#!/usr/bin/env bash
# Builds the driver package with the kit's own build tool, as a firmware
# engineer would in an EDK II workspace, and copies the driver image and its
# option ROM out of the workspace's build tree.
#
#   Tools/edk2-build.sh KIT WORKSPACE TOOLCHAIN TARGET OUTPUT [ARCH]
#
#   KIT        the EDK II tree (read only)
#   WORKSPACE  the workspace folder (set up by Tools/edk2-workspace.sh on
#              first use); PACKAGES_PATH is the kit and this project
#   TOOLCHAIN  a toolchain of the kit (GCC5, GCC, CLANGPDB, CLANGDWARF)
#   TARGET     DEBUG or RELEASE
#   OUTPUT     receives the image and its option ROM: Quandrel520Gop.efi and
#              .rom for X64, Quandrel520Gop.<arch>.efi and .<arch>.rom for
#              the others (aarch64, riscv64), and the build's log
#              (build.log, build.<arch>.log)
#   ARCH       X64 (the default), AARCH64 or RISCV64
#
# Cross compilers come from Debian's gcc-aarch64-linux-gnu and
# gcc-riscv64-linux-gnu (the kit's GCC toolchains find them through
# <TOOLCHAIN>_<ARCH>_PREFIX).
set -euo pipefail

[ $# -eq 5 ] || [ $# -eq 6 ] || { echo "usage: $0 KIT WORKSPACE TOOLCHAIN TARGET OUTPUT [ARCH]" >&2; exit 2; }
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=Tools/build-common.sh
. "$top/Tools/build-common.sh"
kit=$(cd "$1" && pwd)
toolchain=$3
target=$4
mkdir -p "$2" "$5"
workspace=$(cd "$2" && pwd)
output=$(cd "$5" && pwd)
arch=${6:-X64}
case $arch in
  X64) suffix= ;;
  AARCH64) suffix=.aarch64; cross=aarch64-linux-gnu- ;;
  RISCV64) suffix=.riscv64; cross=riscv64-linux-gnu- ;;
  *) echo "edk2-build: no architecture $arch (X64, AARCH64, RISCV64)" >&2; exit 2 ;;
esac
log_file="$output/build$suffix.log"
image="$output/Quandrel520Gop$suffix.efi"
rom="$output/Quandrel520Gop$suffix.rom"

rm -f "$image" "$rom"

# The build tool keeps its state in the workspace's Conf/: one build at a time.
exec 9>"$workspace/.build-lock"
flock 9
tools=$("$top/Tools/edk2-workspace.sh" "$kit" "$workspace" | tail -n 1)

settings=()
[ "$arch" = X64 ] || settings=("${toolchain}_${arch}_PREFIX=$cross")
status=0
kit_build "$kit" "$workspace" "$tools" "$kit:$top" "${settings[@]}" -- \
  -a "$arch" -t "$toolchain" -b "$target" -p OptionRomPkg/OptionRomPkg.dsc -n "$(nproc)" >"$log_file" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log_file" >&2
  echo "edk2-build: $arch $target $toolchain build failed (exit $status); full log in $log_file" >&2
  exit 1
fi

bin="$workspace/Build/OptionRomPkg/${target}_${toolchain}/$arch"
cp "$bin/Quandrel520Gop.efi" "$image"
cp "$bin/Quandrel520Gop.rom" "$rom"
printf 'edk2-build: %s %s %s: %s %d bytes, %s %d bytes in %s\n' "$arch" "$target" "$toolchain" \
  "$(basename "$image")" "$(stat -c %s "$image")" "$(basename "$rom")" "$(stat -c %s "$rom")" "$output"
