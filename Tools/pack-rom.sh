#!/usr/bin/env bash
# Packs EFI images into the QD520's PCI option ROM with the kit's EfiRom.
# Every ROM the project makes comes from here: the build's, the signed one,
# and the ROMs the tests make of changed or re-signed images.
#
#   Tools/pack-rom.sh EFIROM ROM IMAGE...
#
#   EFIROM  the kit's EfiRom
#   ROM     the option ROM to write (written aside, then renamed: it appears
#           whole or not at all)
#   IMAGE   EFI images in the order the ROM carries them; firmware runs the
#           first whose machine type is its own
#
# The adapter's identifiers, class code, code revision and compression come
# from the driver's INF (PCI_VENDOR_ID, PCI_DEVICE_ID, PCI_CLASS_CODE,
# PCI_REVISION, PCI_COMPRESS), the same defines the kit's own build packs its
# ROM from. EfiRom applies a class code and a revision to the one image that
# follows them, so both are given again before each image. It sets the
# last-image indicator on the last image only.
set -euo pipefail

[ $# -ge 3 ] || { echo "usage: $0 EFIROM ROM IMAGE..." >&2; exit 2; }
efirom=$1
rom=$2
shift 2
inf="$(cd "$(dirname "$0")/.." && pwd)/OptionRomPkg/Quandrel520Gop/Quandrel520Gop.inf"

fail() {
  echo "pack-rom: $*" >&2
  exit 1
}

define() {
  local value
  value=$(sed -n -E "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*([^[:space:]#]+).*/\1/p" "$inf")
  [ -n "$value" ] || fail "$inf has no $1"
  echo "$value"
}

vendor=$(define PCI_VENDOR_ID)
device=$(define PCI_DEVICE_ID)
class=$(define PCI_CLASS_CODE)
revision=$(define PCI_REVISION)
case $(define PCI_COMPRESS) in
  TRUE) kind=-ec ;;
  FALSE) kind=-e ;;
  *) fail "PCI_COMPRESS in $inf is neither TRUE nor FALSE" ;;
esac

arguments=(-f "$vendor" -i "$device")
for image in "$@"; do
  [ -f "$image" ] || fail "no image $image"
  arguments+=(-l "$class" -r "$revision" "$kind" "$image")
done

partial="$rom.tmp.$$"
trap 'rm -f "$partial"' EXIT
if ! output=$("$efirom" "${arguments[@]}" -o "$partial" 2>&1); then
  fail "EfiRom failed on $*: $(printf '%s\n' "$output" | tail -n 1)"
fi
mv -f "$partial" "$rom"
