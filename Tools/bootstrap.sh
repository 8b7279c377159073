#!/usr/bin/env bash
# Installs what the build and the tests need and provides the EDK II kit.
# Idempotent: when everything is already in place it only checks and exits.
#
#   EDK2_PATH=/path/to/edk2   use that kit instead of fetching one
#   EDK2_CURRENT_PATH=/path   the current EDK II release to build the package
#                             with as well (default: the kit in ../shared/kits/,
#                             unpacked once into .cache/kits/)
#
# Prints the kit's root on its last line of output (also in build/.edk2-path);
# the current kit's root, or nothing when there is none, is in
# build/.edk2-current-path.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cache="$top/.cache"
packages=(cmake ninja-build clang lld llvm libclang-rt-dev libgtest-dev libgmock-dev googletest
          qemu-system-x86 ovmf mtools dosfstools
          libbenchmark-dev libpng-dev dpkg-dev xz-utils python3
          gcc g++ make nasm uuid-dev
          sbsigntool openssl acpica-tools efitools python3-jsonschema
          gcc-aarch64-linux-gnu g++-aarch64-linux-gnu gcc-riscv64-linux-gnu g++-riscv64-linux-gnu
          qemu-efi-aarch64 qemu-system-data)

log() { printf 'bootstrap: %s\n' "$*" >&2; }

# What apt prints goes to this log, shown when a step fails.
mkdir -p "$top/build"
apt_log="$top/build/bootstrap.log"

# Runs a step with its output in the log; a failure shows the log.
quiet() {
  printf '\n=== %s\n' "$*" >>"$apt_log"
  "$@" >>"$apt_log" 2>&1 || { log "failed: $* (the log, $apt_log, follows)"; cat "$apt_log" >&2; exit 1; }
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

install_packages() {
  local need
  need=$(missing_packages "$@")
  [ -z "$need" ] && return 0
  log "installing Debian packages (a minute or two; log: $apt_log):" $need
  quiet as_root apt-get update -qq
  # shellcheck disable=SC2086
  quiet as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need
}

# A deb-src entry mirroring the machine's own binary sources, so that
# 'apt-get source' can fetch the kit. Host names come from the existing
# configuration; nothing here names one.
ensure_deb_src() {
  local out=/etc/apt/sources.list.d/qd520-deb-src.sources
  local list=/etc/apt/sources.list.d/qd520-deb-src.list
  if apt-get source --print-uris edk2 >/dev/null 2>&1; then return 0; fi
  log "adding deb-src entries derived from the machine's apt sources"
  local tmp
  tmp=$(mktemp)
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    [ "$f" = "$out" ] && continue
    # Keep only the stanzas of Debian's own archive (those signed with its keyring).
    awk 'BEGIN{RS=""; ORS="\n\n"} /debian-archive-keyring/ {sub(/Types:[^\n]*/, "Types: deb-src"); print}' "$f" >>"$tmp"
  done
  if [ -s "$tmp" ]; then as_root cp "$tmp" "$out"; fi
  : >"$tmp"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    [ "$f" = "$list" ] && continue
    grep -E '^[[:space:]]*deb[[:space:]]' "$f" | grep -Ei 'debian' | sed -E 's/^[[:space:]]*deb[[:space:]]/deb-src /' >>"$tmp" || true
  done
  if [ -s "$tmp" ]; then as_root cp "$tmp" "$list"; fi
  rm -f "$tmp"
  quiet as_root apt-get update -qq
}

kit_ok() {
  [ -f "$1/MdePkg/MdePkg.dec" ] && [ -f "$1/MdeModulePkg/Library/BaseSerialPortLib16550/BaseSerialPortLib16550.c" ]
}

fetch_kit() {
  local dest="$cache/edk2"
  if kit_ok "$dest"; then echo "$dest"; return 0; fi
  ensure_deb_src
  local work="$cache/edk2-src"
  rm -rf "$work" "$dest"
  mkdir -p "$work"
  log "fetching Debian's edk2 source package (under a minute; log: $apt_log)"
  quiet bash -c "cd '$work' && apt-get source --download-only edk2"
  local orig
  orig=$(ls "$work"/edk2_*.orig.tar.* | head -n 1)
  mkdir -p "$dest.tmp"
  tar -xf "$orig" -C "$dest.tmp" --strip-components=1
  mv "$dest.tmp" "$dest"
  grep -q 'edk2-stable202211\|2022.11' "$work"/edk2_*.dsc || log "warning: the source package is not edk2-stable202211"
  # The release, for the images' SBOM (the tree itself does not say it).
  printf 'edk2-stable202211 (Debian source package edk2 %s)\n' \
    "$(sed -n 's/^Version: //p' "$work"/edk2_*.dsc)" >"$dest/.qd520-release"
  rm -rf "$work"
  echo "$dest"
}

# The current release: a tree the user names, or the newest kit archive in
# the folder beside the project, unpacked once. Prints nothing without one.
current_kit() {
  if [ -n "${EDK2_CURRENT_PATH:-}" ]; then
    kit_ok "$EDK2_CURRENT_PATH" || { log "EDK2_CURRENT_PATH=$EDK2_CURRENT_PATH is not an EDK II tree"; exit 1; }
    (cd "$EDK2_CURRENT_PATH" && pwd)
    return 0
  fi
  local archive
  archive=$(ls "$top"/../shared/kits/edk2-stable*.tar.xz 2>/dev/null | LC_ALL=C sort | tail -n 1)
  [ -n "$archive" ] || return 0
  local name dest
  name=$(basename "$archive" .tar.xz)
  dest="$cache/kits/$name"
  if ! kit_ok "$dest"; then
    log "unpacking the EDK II kit $name (once, seconds)"
    rm -rf "$dest" "$dest.tmp"
    mkdir -p "$dest.tmp"
    tar -xf "$archive" -C "$dest.tmp" --strip-components=1
    mv "$dest.tmp" "$dest"
  fi
  echo "$dest"
}

install_packages "${packages[@]}"

if [ -n "${EDK2_PATH:-}" ]; then
  kit_ok "$EDK2_PATH" || { log "EDK2_PATH=$EDK2_PATH is not an EDK II tree"; exit 1; }
  kit=$(cd "$EDK2_PATH" && pwd)
else
  kit=$(fetch_kit)
fi
mkdir -p "$top/build"
echo "$kit" >"$top/build/.edk2-path"
"$top/Tools/edk2-workspace.sh" "$kit" "$top/build/edk2/workspace" >/dev/null
current=$(current_kit)
echo "$current" >"$top/build/.edk2-current-path"
# Its BaseTools; the kit build's first use sets up its workspace.
if [ -n "$current" ]; then
  "$top/Tools/edk2-workspace.sh" "$current" >/dev/null
else
  log "no current EDK II kit (its kit builds are skipped): put edk2-stable<release>.tar.xz in ../shared/kits/ or set EDK2_CURRENT_PATH"
fi
# QEMU with the QD520 device, built once from Debian's qemu source package.
[ -f "$cache/qemu/source/.qd520-package-version" ] || ensure_deb_src
"$top/Tools/build-qemu.sh" "$kit"
# OVMF with Secure Boot and W^X, built once from the kit, and its varstore.
"$top/Tools/build-ovmf.sh" "$kit"
# The RISC-V firmware, built once from the current kit.
if [ -n "$current" ]; then
  "$top/Tools/build-riscv-firmware.sh" "$current"
else
  mkdir -p "$top/build/riscv-firmware"
  echo "no RISC-V firmware: it is built from the current EDK II kit, and there is none" >"$top/build/riscv-firmware/unavailable"
fi
echo "$kit"
