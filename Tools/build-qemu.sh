#!/usr/bin/env bash
# Builds QEMU's x86-64, AArch64 and RISC-V 64 system emulators with the
# QD520 device (Qemu/) from Debian's qemu source package, the version of the
# installed qemu-system-x86, in one build tree (the code the three share is
# compiled once), and puts them at build/qemu/qemu-system-x86_64,
# qemu-system-aarch64 and qemu-system-riscv64.
#
#   Tools/build-qemu.sh KIT     KIT: the EDK II tree (the model's headers)
#
# Cached under .cache/qemu/: the unpacked source and one build tree per
# configuration (shared by every work tree, so that a change to the device is
# a rebuild of a minute), and one set of binaries per key, the hash of the
# package version, the device's sources and this script. A key already built
# returns at once. Builds take a lock, since other work trees may build their
# own version of the device into the same tree. Everything the tools print
# goes to build/qemu/build.log, which is shown when a step fails.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=Tools/build-common.sh
. "$top/Tools/build-common.sh"
kit=${1:?usage: Tools/build-qemu.sh EDK2_TREE}
cache=$(cache_folder qemu)   # one path for every work tree: the build rule names it
out="$top/build/qemu"
log="$out/build.log"
packages=(meson ninja-build pkg-config libglib2.0-dev libpixman-1-dev libfdt-dev libpng-dev
          dpkg-dev clang lld xz-utils qemu-system-x86)

# What goes into the device: its QEMU side, the model and the scan-out it hosts.
device_sources=(
  Qemu/qd520.c AdapterModel/qd520-model.h AdapterModel/Qd520ModelInterface.cpp
  AdapterModel/Qd520Adapter.h AdapterModel/Qd520Adapter.cpp
  AdapterModel/Qd520ScanOut.h AdapterModel/Qd520ScanOut.cpp
  Tools/build-qemu.sh
)

fail() {
  say "$1; the log ($log) follows"
  cat "$log" >&2
  exit 1
}

# Runs a step with its output in the log; a failure shows the log.
step() {
  local what=$1
  shift
  printf '\n=== %s\n' "$what" >>"$log"
  "$@" >>"$log" 2>&1 || fail "$what failed"
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local need="" p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need="$need $p"
  done
  [ -z "$need" ] && return 0
  step "apt-get update" as_root apt-get update -qq
  # shellcheck disable=SC2086
  step "installing$need" as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends $need
}

mkdir -p "$out"
: >"$log"
install_packages

version=$(dpkg-query -W -f='${source:Version}' qemu-system-x86)
key=$( { echo "$version"; (cd "$top" && sha256sum "${device_sources[@]}"); } | sha256sum | cut -c1-16)
emulators=(qemu-system-x86_64 qemu-system-aarch64 qemu-system-riscv64)
root="$cache/bin/$key"   # the key's binaries

built() {
  local emulator
  for emulator in "${emulators[@]}"; do
    [ -x "$root/$emulator" ] || return 1
  done
}

publish() {
  local emulator
  for emulator in "${emulators[@]}"; do
    ln -f "$root/$emulator" "$out/$emulator" 2>/dev/null || cp -f "$root/$emulator" "$out/$emulator"
  done
  echo "$key" >"$out/key"
}

build() {
  started=$(date +%s)
  source="$cache/source"
  # The emulators' configuration: the three targets, TCG, VNC and PNG
  # screendumps, nothing else.
  configure=(--target-list=x86_64-softmmu,aarch64-softmmu,riscv64-softmmu --without-default-features --enable-tcg --enable-vnc --enable-png
             --enable-fdt=system --disable-docs --disable-tools --disable-werror --disable-install-blobs)
  # One build tree per configuration: work trees whose scripts configure QEMU
  # otherwise share the source without undoing each other's builds.
  tree="$cache/build-$(echo "${configure[*]}" | sha256sum | cut -c1-12)"
  if [ "$(cat "$source/.qd520-package-version" 2>/dev/null)" != "$version" ]; then
    say "building QEMU $version for x86-64, AArch64 and RISC-V 64 with the QD520 device: once, about 7 minutes on two cores (log: $log)"
    rm -rf "$source" "$cache"/build* "$cache/download"
    mkdir -p "$cache/download"
    step "fetching Debian's qemu source package $version" \
      bash -c "cd '$cache/download' && apt-get source --download-only 'qemu=$version'"
    step "unpacking it with Debian's patches" \
      dpkg-source -x "$cache/download"/qemu_*.dsc "$source"
    rm -rf "$cache/download"
    echo "$version" >"$source/.qd520-package-version"
  elif [ ! -f "$tree/build.ninja" ]; then
    say "building QEMU $version for x86-64, AArch64 and RISC-V 64 with the QD520 device: once, about 7 minutes on two cores (log: $log)"
  else
    say "rebuilding QEMU with this work tree's QD520 device (a minute; log: $log)"
  fi

  # The device in the QEMU tree: its C file and the model object it links,
  # each replaced only when it changed so that an unchanged device rebuilds
  # nothing.
  install_if_changed() {
    cmp -s "$1" "$2" || cp -f "$1" "$2"
  }

  install_if_changed "$top/Qemu/qd520.c" "$source/hw/display/qd520.c"
  install_if_changed "$top/AdapterModel/qd520-model.h" "$source/hw/display/qd520-model.h"
  model="$cache/model/qd520-model.o"
  # The device's Kconfig symbol and build rule, appended once between markers
  # and rewritten only when they change (a change makes meson reconfigure).
  add_block() {
    local file=$1 block=$2
    if [ "$(sed -n '/^# qd520 begin$/,/^# qd520 end$/p' "$file")" != "$block" ]; then
      sed -i '/^# qd520 begin$/,/^# qd520 end$/d' "$file"
      printf '%s\n' "$block" >>"$file"
    fi
  }
  add_block "$source/hw/display/Kconfig" "# qd520 begin
  config QD520
      bool
      default y if PCI_DEVICES
      depends on PCI
  # qd520 end"
  add_block "$source/hw/display/meson.build" "# qd520 begin
  qd520_model = static_library('qd520-model', objects: files('$model'))
  specific_ss.add(when: 'CONFIG_QD520', if_true: [files('qd520.c'), declare_dependency(link_with: qd520_model)])
  # qd520 end"

  # The model, compiled freestanding against the kit's headers and linked
  # into QEMU as one object that exports only the C interface.
  objects="$cache/model/objects"
  mkdir -p "$objects"
  units=()
  for unit in AdapterModel/Qd520Adapter.cpp AdapterModel/Qd520ScanOut.cpp AdapterModel/Qd520ModelInterface.cpp; do
    units+=("$objects/$(basename "$unit" .cpp).o")
    step "compiling $unit" clang++ -std=c++17 -O2 -g -fPIE -fno-exceptions -fno-rtti -fno-threadsafe-statics \
      -fshort-wchar -fno-strict-aliasing -fno-common -Wall -Wextra -Werror -Wglobal-constructors \
      "-DEFIAPI=__attribute__((ms_abi))" -I"$kit/MdePkg/Include" -I"$kit/MdePkg/Include/X64" \
      -I"$top/AdapterModel" -c "$top/$unit" -o "$objects/$(basename "$unit" .cpp).o"
  done
  step "linking the model object" ld -r -o "$objects/combined.o" "${units[@]}"
  step "keeping only the model's C interface global" \
    objcopy --wildcard --keep-global-symbol='qd520_model_*' "$objects/combined.o" "$objects/model.o"
  undefined=$(nm -u "$objects/model.o" | awk '{print $2}' | grep -vx 'memcpy\|memmove\|memset' || true)
  [ -z "$undefined" ] || { echo "the model needs: $undefined" >>"$log"; fail "the model object is not freestanding"; }
  install_if_changed "$objects/model.o" "$model"

  if [ ! -f "$tree/build.ninja" ] || [ "$(cat "$tree/.qd520-configure" 2>/dev/null)" != "${configure[*]}" ]; then
    rm -rf "$tree"
    mkdir -p "$tree"
    step "configuring QEMU" bash -c "cd '$tree' && '$source/configure' ${configure[*]}"
    echo "${configure[*]}" >"$tree/.qd520-configure"
  fi
  step "compiling QEMU" ninja -C "$tree" "${emulators[@]}"
  mkdir -p "$root"
  for emulator in "${emulators[@]}"; do
    "$tree/$emulator" -device help 2>&1 | grep -q '"qd520"' || fail "$emulator has no qd520 device"
    cp -f "$tree/$emulator" "$root/$emulator.tmp"
    mv -f "$root/$emulator.tmp" "$root/$emulator"
  done
  echo "built in $(( $(date +%s) - started )) s" >>"$log"
}

cached_build 3
