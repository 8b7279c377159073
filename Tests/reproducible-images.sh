#!/usr/bin/env bash
# Equal sources give equal images, wherever the tree lies: the project is
# copied into a folder of another name and depth, built there, and its images
# compared byte for byte with the ones of the build that runs this test.
#
#   Tests/reproducible-images.sh BUILD KIT CURRENT_KIT [CURRENT_IMAGES]
#
#   BUILD           the build folder of this tree (holds the images of the
#                   three architectures and the ROM, and their production
#                   builds in production/)
#   KIT             the EDK II tree the CMake build uses
#   CURRENT_KIT     the current EDK II release the build was configured with
#                   (its GenFw converts the RISC-V image), or "" for none
#   CURRENT_IMAGES  the folder of the current release's kit builds: its
#                   RELEASE CLANGPDB images are compared too (the kit images
#                   of the other toolchains name the workspace; see
#                   Docs/Edk2Workspace.md)
#
# The copy has no git history: it is given the time of this tree's last
# commit as SOURCE_DATE_EPOCH, which is what the images' SBOM carries.
# The copy and its build are left in BUILD/reproducible/ for a look.
set -euo pipefail

[ $# -eq 3 ] || [ $# -eq 4 ] || { echo "usage: $0 BUILD KIT CURRENT_KIT [CURRENT_IMAGES]" >&2; exit 2; }
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
kit=$2
current_kit=$3
current_images=${4:-}
SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct)
export SOURCE_DATE_EPOCH

copy="$build/reproducible/another-place/two/levels/qd520"
rm -rf "$build/reproducible"
mkdir -p "$copy"
tar -C "$top" --exclude=./.git --exclude=./.cache --exclude='./build*' -cf - . | tar -C "$copy" -xf -
# The copy shares the one-time builds (the kit's BaseTools) of this tree.
[ -d "$top/.cache" ] && ln -s "$(cd "$top/.cache" && pwd -P)" "$copy/.cache"

log="$build/reproducible/build.log"
failed() { tail -n 30 "$log" >&2; echo "reproducible-images: $1; log in $log" >&2; exit 1; }

{
  cmake -S "$copy" -B "$copy/build" -G Ninja -DEDK2_PATH="$kit" -DEDK2_CURRENT_PATH="$current_kit" &&
  cmake --build "$copy/build" --target Quandrel520GopRom Quandrel520GopRom_production
} >"$log" 2>&1 || failed "the CMake build of the copy failed"

status=0
compare() {
  if cmp -s "$1" "$2"; then
    echo "same: ${1#"$build"/} and the copy's (${2#"$copy"/})"
  else
    echo "differ: $1 and $2 ($(cmp -l "$1" "$2" 2>/dev/null | wc -l) bytes)" >&2
    status=1
  fi
}

for folder in "" production/; do
  for file in Quandrel520Gop.efi Quandrel520Gop.aarch64.efi Quandrel520Gop.riscv64.efi Quandrel520Gop.rom; do
    compare "$build/$folder$file" "$copy/build/$folder$file"
  done
done

if [ -n "$current_images" ]; then
  "$copy/Tools/edk2-build.sh" "$current_kit" "$copy/build/kit/workspace" CLANGPDB RELEASE \
    "$copy/build/kit/RELEASE_CLANGPDB" >>"$log" 2>&1 || failed "the kit build of the copy failed"
  for file in Quandrel520Gop.efi Quandrel520Gop.rom; do
    compare "$current_images/RELEASE_CLANGPDB/$file" "$copy/build/kit/RELEASE_CLANGPDB/$file"
  done
fi

exit "$status"
