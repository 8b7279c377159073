#!/usr/bin/env bash
# The kit's own build tool for the driver package: BaseTools built from the
# kit once, and an EDK II workspace set up to use it.
#
#   Tools/edk2-workspace.sh KIT [WORKSPACE]
#
# BaseTools are built in a copy of the kit's BaseTools under
# .cache/edk2-basetools/<digest of the kit's BaseTools>/, so the kit itself
# (a user's EDK2_PATH included) is never written to. With WORKSPACE, that
# folder gets its Conf/ from the copy's templates through the kit's
# edksetup.sh, and the build-rule fix below when the kit needs it.
#
# Prints the BaseTools folder (EDK_TOOLS_PATH) on its last line of output.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
kit=$(cd "$1" && pwd)
workspace=${2:-}

log() { printf 'bootstrap: %s\n' "$*" >&2; }

# Debian's source package leaves out BaseTools' copy of the Brotli library;
# the kit carries the same library for its decompressor.
brotli_src="$kit/MdeModulePkg/Library/BrotliCustomDecompressLib/brotli"

# Kits since edk2-stable2024xx compile BaseTools' C tools against the kit's
# own MdePkg headers (EDK2_PATH); those headers are then part of the key.
if grep -q 'EDK2_PATH' "$kit/BaseTools/Source/C/Makefiles/header.makefile" 2>/dev/null; then
  tool_headers=MdePkg/Include
else
  tool_headers=
fi

kit_digest() {
  # shellcheck disable=SC2086
  (cd "$kit" && find BaseTools "${brotli_src#"$kit"/}" $tool_headers -type f -print0 | LC_ALL=C sort -z |
     xargs -0 sha256sum | sha256sum | cut -c1-16)
}

cache="$top/.cache/edk2-basetools"
tools_root="$cache/$(kit_digest)"
tools="$tools_root/BaseTools"

build_basetools() {
  [ -f "$tools_root/ready" ] && return 0
  local log_file="$tools_root/build.log"
  rm -rf "$tools_root"
  mkdir -p "$tools_root"
  log "building EDK II BaseTools from the kit into ${tools_root#"$top"/} (about a minute, once)"
  cp -a "$kit/BaseTools" "$tools.tmp"
  local brotli="$tools.tmp/Source/C/BrotliCompress/brotli"
  if [ ! -f "$brotli/c/common/constants.h" ]; then
    rm -rf "$brotli"
    cp -a "$brotli_src" "$brotli"
  fi
  if ! { make -C "$tools.tmp/Source/C" -j"$(nproc)" EDK2_PATH="$kit" &&
         python3 -m compileall -q "$tools.tmp/Source/Python"; } >"$log_file" 2>&1; then
    tail -n 40 "$log_file" >&2
    log "BaseTools build failed; full log in $log_file"
    exit 1
  fi
  mv "$tools.tmp" "$tools"
  touch "$tools_root/ready"
}

# Some kits make the .efi of a module twice over in the rule of linked
# images ([Dynamic-Library-File] lists $(DEBUG_DIR)/<module>.efi as an output
# beside $(OUTPUT_DIR)/<module>.efi); for an option-ROM module the build tool
# then finds a cycle and stops before compiling anything. edk2-stable202211
# has that output, the releases of 2023 to 2025 dropped it, and it is back
# since edk2-stable202508; the fix removes it wherever it is found.
fix_build_rule() {
  local rule="$1/build_rule.txt"
  local stale='^[[:space:]]*\$\(DEBUG_DIR\)\(\+\)\$\(MODULE_NAME\)\.efi[[:space:]]*$'
  if sed -n '/^\[Dynamic-Library-File\]/,/^\[/p' "$rule" | grep -Eq "$stale"; then
    sed -Ei "/^\[Dynamic-Library-File\]/,/^\[/{/$stale/d}" "$rule"
    log "${1#"$top"/}/build_rule.txt: removed the duplicate .efi output of [Dynamic-Library-File] (the option-ROM build-rule cycle)"
  fi
}

# The kit's GCC AArch64 toolchains link a small library of its own,
# $(WORKSPACE)/ArmPkg/Library/GccLto/liblto-aarch64.a, that upstream keeps
# prebuilt beside its assembly source; Debian's source package ships the
# source alone. It is assembled into the workspace when the kit lacks it and
# an AArch64 cross assembler is at hand.
lto_library() {
  local ws=$1 source="$kit/ArmPkg/Library/GccLto/liblto-aarch64.s"
  local library="$ws/ArmPkg/Library/GccLto/liblto-aarch64.a"
  [ -f "$source" ] && [ ! -f "${source%.s}.a" ] || return 0
  [ -f "$library" ] && return 0
  command -v aarch64-linux-gnu-gcc >/dev/null || return 0
  mkdir -p "$(dirname "$library")"
  aarch64-linux-gnu-gcc -c "$source" -o "$library.o" &&
    aarch64-linux-gnu-ar rcsD "$library" "$library.o" && rm -f "$library.o" ||
    { log "assembling $source failed"; exit 1; }
}

prepare_workspace() {
  local ws="$1"
  local stamp="$ws/Conf/.qd520-basetools"
  exec 8>"$ws/.setup-lock"
  flock 8
  lto_library "$ws"
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$tools" ] && return 0
  rm -rf "$ws/Conf" "$ws/Build"
  mkdir -p "$ws/Conf"
  (
    cd "$ws"
    unset WORKSPACE
    export EDK_TOOLS_PATH="$tools" CONF_PATH="$ws/Conf" PACKAGES_PATH="$kit:$top"
    set +eu --
    # shellcheck disable=SC1091
    . "$kit/edksetup.sh" >"$ws/Conf/edksetup.log" 2>&1
  ) || { cat "$ws/Conf/edksetup.log" >&2; log "edksetup.sh failed in $ws"; exit 1; }
  fix_build_rule "$ws/Conf"
  echo "$tools" >"$stamp"
}

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
build_basetools
flock -u 9
[ -n "$workspace" ] && prepare_workspace "$(mkdir -p "$workspace" && cd "$workspace" && pwd)"
echo "$tools"
