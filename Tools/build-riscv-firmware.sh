#!/usr/bin/env bash
# Builds the RISC-V 64 UEFI firmware for QEMU's virt machine from the
# current kit (OvmfPkg/RiscVVirt/RiscVVirtQemu.dsc, Debian's
# gcc-riscv64-linux-gnu), the firmware the RISC-V boots run the driver in.
# Debian packages no RISC-V UEFI firmware, and edk2-stable202211 has no
# RISC-V QEMU platform.
#
#   Tools/build-riscv-firmware.sh KIT     KIT: the current EDK II tree (read only)
#
# QEMU 7.2 hands over to firmware in the first flash bank in machine mode,
# without OpenSBI, where it hangs; so the code is linked for the second bank
# (0x22000000) and the variables for the first, and QEMU is given the code
# as the second bank alone, padded to its 32 MiB, with OpenSBI as -bios. The
# variable store then lives in memory (formatted at each boot).
#
# Built once per key, the hash of the kit's contents, the options and the
# cross compiler's version, in a workspace of its own under
# .cache/riscv-firmware/<key>/ (the kit is never written to), of which only
# the firmware and the build's log are kept:
#
#   .cache/riscv-firmware/<key>/RISCV_VIRT_CODE.fd   the code, 32 MiB
#
# and linked to build/riscv-firmware/. A key already built returns at once.
# A kit without the platform: build/riscv-firmware/unavailable says why in
# one line, and the script succeeds; the RISC-V boots then report
# themselves skipped.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=Tools/build-common.sh
. "$top/Tools/build-common.sh"
kit=$(cd "${1:?usage: Tools/build-riscv-firmware.sh KIT}" && pwd)
cache=$(cache_folder riscv-firmware)
out="$top/build/riscv-firmware"
cross=riscv64-linux-gnu-

mkdir -p "$out"
rm -f "$out/unavailable"

unavailable() {
  echo "$1" >"$out/unavailable"
  rm -f "$out/RISCV_VIRT_CODE.fd" "$out/key"
  say "$1"
  exit 0
}

[ -f "$kit/OvmfPkg/RiscVVirt/RiscVVirtQemu.dsc" ] ||
  unavailable "no RISC-V firmware: the kit $kit has no OvmfPkg/RiscVVirt/RiscVVirtQemu.dsc (edk2-stable202302 and later have it)"
command -v "${cross}gcc" >/dev/null ||
  { say "the RISC-V firmware needs ${cross}gcc (Debian's gcc-riscv64-linux-gnu; the bootstrap installs it)"; exit 1; }

options=(-a RISCV64 -t GCC -b DEBUG -p OvmfPkg/RiscVVirt/RiscVVirtQemu.dsc
         -D CODE_BASE_ADDRESS=0x22000000 -D VARS_BASE_ADDRESS=0x20000000)
flash_size=$((32 * 1024 * 1024))

key=$( { "$top/Tools/kit-digest.sh" "$kit" "$cache/kit-digests"; echo "${options[*]}"; "${cross}gcc" --version | sed -n 1p; } |
       sha256sum | cut -c1-16)
root="$cache/$key"
log="$root/build.log"

publish() {
  ln -f "$root/RISCV_VIRT_CODE.fd" "$out/RISCV_VIRT_CODE.fd" 2>/dev/null ||
    cp -f "$root/RISCV_VIRT_CODE.fd" "$out/RISCV_VIRT_CODE.fd"
  echo "$key" >"$out/key"
}

build() {
  local tools workspace="$root/workspace" started status=0
  tools=$("$top/Tools/edk2-workspace.sh" "$kit" | tail -n 1)
  rm -rf "$root"
  mkdir -p "$root"
  say "building the RISC-V firmware for QEMU's virt machine from the kit: once, about a minute (log: $log)"
  started=$(date +%s)
  "$top/Tools/edk2-workspace.sh" "$kit" "$workspace" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
  kit_build "$kit" "$workspace" "$tools" "$kit" GCC_RISCV64_PREFIX="$cross" -- "${options[@]}" -n "$(nproc)" \
    >>"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log" >&2
    say "the RISC-V firmware build failed (exit $status); full log in $log"
    exit 1
  fi
  cp "$workspace/Build/RiscVVirtQemu/DEBUG_GCC/FV/RISCV_VIRT_CODE.fd" "$root/RISCV_VIRT_CODE.fd"
  truncate -s "$flash_size" "$root/RISCV_VIRT_CODE.fd"
  rm -rf "$workspace"
  echo "built in $(( $(date +%s) - started )) s" >>"$log"
  say "RISC-V firmware built in $(( $(date +%s) - started )) s"
}

cached_build 3
