#!/usr/bin/env bash
# Sets up what a make target uses, in named parts: each installs or builds
# once what it stands for, caches it under .cache/ and says so in one line
# while it works; a part already in place only checks and returns.
#
#   Tools/bootstrap.sh PART...      the parts named, and the parts they need
#   Tools/bootstrap.sh              every part
#
#   EDK2_PATH=/path/to/edk2   use that kit instead of fetching one
#   EDK2_CURRENT_PATH=/path   the current EDK II release to build the package
#                             and the SCT with (default: the kit in
#                             ../shared/kits/, unpacked once into .cache/kits/)
#   SCT_PATH=/path            an edk2-test tree instead of ../shared/kits/'s
#
# The kit's root is written to build/.edk2-path, the current kit's (or
# nothing when there is none) to build/.edk2-current-path. What apt prints
# goes to build/bootstrap.log, shown when a step fails.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cache="$top/.cache"
cd "$top"
KIT=""
CURRENT=""

# ---------------------------------------------------------------------------
# The parts, in the order they run. One line each:
#   part NAME "PARTS IT NEEDS" "DEBIAN PACKAGES" 'COMMAND'
# COMMAND runs in the top folder after the packages are installed; in it
# $KIT is edk2-stable202211's tree and $CURRENT the current kit's (empty
# without one), set by the parts kit and current-kit.
# ---------------------------------------------------------------------------
main() {
  part packages    ""            "cmake ninja-build clang lld llvm libclang-rt-dev libgtest-dev libgmock-dev
                                  googletest libbenchmark-dev libpng-dev dpkg-dev xz-utils python3 sbsigntool
                                  openssl"                                     'true'
  part kit         "packages"    ""                                            'provide_kit'
  part current-kit "packages"    ""                                            'provide_current_kit'
  part basetools   "kit current-kit" "gcc g++ make nasm uuid-dev"              'provide_basetools'
  part cross       "packages"    "gcc-aarch64-linux-gnu g++-aarch64-linux-gnu gcc-riscv64-linux-gnu
                                  g++-riscv64-linux-gnu"                       'true'
  part qemu        "kit"         "qemu-system-x86 ovmf mtools dosfstools qemu-efi-aarch64
                                  qemu-system-data"                            'provide_qemu'
  part ovmf        "kit"         "gcc g++ make nasm uuid-dev acpica-tools
                                  efitools"                                    'Tools/build-ovmf.sh "$KIT"'
  part riscv-firmware "current-kit basetools cross" ""                         'provide_riscv_firmware'
  part sbom-check  "packages"    "python3-jsonschema"                          'true'
  part sct         "current-kit qemu" "gcc g++ make nasm uuid-dev"             'build_sct standard'
  part sct-full    "current-kit qemu" "gcc g++ make nasm uuid-dev"             'build_sct full'
  part bootdisk    "qemu"        ""                                            'Tools/build-bootdisk.sh'
  run_parts "$@"
}

log() { printf 'bootstrap: %s\n' "$*" >&2; }

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

# --- the table -----------------------------------------------------------------
names=()
declare -A needs=() debs=() commands=()

part() {
  local name=$1
  names+=("$name")
  needs[$name]=$2
  debs[$name]=$3
  commands[$name]=$4
}

run_parts() {
  local -A wanted=()
  local name need changed=1
  if [ $# -eq 0 ]; then
    for name in "${names[@]}"; do wanted[$name]=1; done
  fi
  for name in "$@"; do
    [ -n "${commands[$name]+set}" ] || { log "no part '$name' (parts: ${names[*]})"; exit 2; }
    wanted[$name]=1
  done
  while [ "$changed" = 1 ]; do     # the parts they need, and theirs
    changed=0
    for name in "${!wanted[@]}"; do
      for need in ${needs[$name]}; do
        [ -n "${wanted[$need]+set}" ] || { wanted[$need]=1; changed=1; }
      done
    done
  done
  for name in "${names[@]}"; do
    [ -n "${wanted[$name]+set}" ] || continue
    # shellcheck disable=SC2086
    install_packages ${debs[$name]}
    eval "${commands[$name]}" || { log "setting up '$name' failed"; exit 1; }
  done
}

# --- Debian packages -----------------------------------------------------------
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
# 'apt-get source' can fetch the kit and QEMU. Host names come from the
# existing configuration; nothing here names one.
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

# --- the kits ----------------------------------------------------------------------
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

# edk2-stable202211: the tree the user names, or Debian's edk2 source.
provide_kit() {
  if [ -n "${EDK2_PATH:-}" ]; then
    kit_ok "$EDK2_PATH" || { log "EDK2_PATH=$EDK2_PATH is not an EDK II tree"; exit 1; }
    KIT=$(cd "$EDK2_PATH" && pwd)
  else
    KIT=$(fetch_kit)
  fi
  echo "$KIT" >"$top/build/.edk2-path"
}

# The current release: a tree the user names, or the newest kit archive in
# the folder beside the project, unpacked once. Empty without one.
provide_current_kit() {
  CURRENT=""
  if [ -n "${EDK2_CURRENT_PATH:-}" ]; then
    kit_ok "$EDK2_CURRENT_PATH" || { log "EDK2_CURRENT_PATH=$EDK2_CURRENT_PATH is not an EDK II tree"; exit 1; }
    CURRENT=$(cd "$EDK2_CURRENT_PATH" && pwd)
  else
    local archive name dest
    archive=$(ls "$top"/../shared/kits/edk2-stable*.tar.xz 2>/dev/null | LC_ALL=C sort | tail -n 1)
    if [ -n "$archive" ]; then
      name=$(basename "$archive" .tar.xz)
      dest="$cache/kits/$name"
      if ! kit_ok "$dest"; then
        log "unpacking the EDK II kit $name (once, seconds)"
        rm -rf "$dest" "$dest.tmp"
        mkdir -p "$dest.tmp"
        tar -xf "$archive" -C "$dest.tmp" --strip-components=1
        mv "$dest.tmp" "$dest"
      fi
      CURRENT=$dest
    else
      log "no current EDK II kit (its kit builds and the SCT are skipped): put edk2-stable<release>.tar.xz in ../shared/kits/ or set EDK2_CURRENT_PATH"
    fi
  fi
  echo "$CURRENT" >"$top/build/.edk2-current-path"
}

# Each kit's BaseTools and the kit builds' workspace of edk2-stable202211
# (the current kit's is set up by its first build).
provide_basetools() {
  "$top/Tools/edk2-workspace.sh" "$KIT" "$top/build/edk2/workspace" >/dev/null
  if [ -n "$CURRENT" ]; then "$top/Tools/edk2-workspace.sh" "$CURRENT" >/dev/null; fi
}

# The UEFI SCT, built with the current kit (none without one: the test
# command then leaves the SCT out, as it does the current kit's builds).
build_sct() {
  if [ -n "$CURRENT" ]; then "$top/Tools/build-sct.sh" "$CURRENT" "$1"; fi
}

# QEMU with the QD520 device, built once from Debian's qemu source package.
provide_qemu() {
  [ -f "$cache/qemu/source/.qd520-package-version" ] || ensure_deb_src
  "$top/Tools/build-qemu.sh" "$KIT"
}

# The RISC-V firmware, built once from the current kit; without one, the
# RISC-V boots say why they skip.
provide_riscv_firmware() {
  if [ -n "$CURRENT" ]; then
    "$top/Tools/build-riscv-firmware.sh" "$CURRENT"
  else
    mkdir -p "$top/build/riscv-firmware"
    echo "no RISC-V firmware: it is built from the current EDK II kit, and there is none" \
      >"$top/build/riscv-firmware/unavailable"
  fi
}

main "$@"
