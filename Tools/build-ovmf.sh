#!/usr/bin/env bash
# Builds OVMF from the kit with Secure Boot, option-ROM image verification
# and memory protection of the images it loads (W^X), and makes a varstore
# beside it whose db holds Debian's snakeoil TEST certificate. The end-to-end
# Secure Boot boots run on it.
#
#   Tools/build-ovmf.sh KIT     KIT: the EDK II tree (read only)
#
# The firmware is built once per key, the hash of the kit's contents, the
# platform description and the build options, and the versions of gcc, nasm
# and iasl, in a workspace of its own under
# .cache/ovmf/<key>/workspace (its Conf/ and Build/; the kit is never written
# to), of which only the firmware files and the build's log are kept:
#
#   .cache/ovmf/<key>/OVMF_CODE.fd         the firmware (read-only flash)
#   .cache/ovmf/<key>/OVMF_VARS.fd         its empty varstore
#   .cache/ovmf/<key>/OVMF_VARS.test-db.fd the varstore with the test
#                                          certificate as PK, KEK and db
#                                          (Secure Boot on, user mode)
#
# and linked to build/ovmf/. A key already built returns at once; builds
# hold a lock, since every work tree shares the cache. When the kit lacks
# what the firmware needs, build/ovmf/unavailable says why in one line and
# the script succeeds: the Secure Boot tests then report themselves skipped.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=Tools/build-common.sh
. "$top/Tools/build-common.sh"
kit=$(cd "${1:?usage: Tools/build-ovmf.sh EDK2_TREE}" && pwd)
cache=$(cache_folder ovmf)
out="$top/build/ovmf"
snakeoil_vars=/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd
snakeoil_cert=/usr/share/ovmf/PkKek-1-snakeoil.pem

mkdir -p "$out"
rm -f "$out/unavailable"

unavailable() {
  echo "$1" >"$out/unavailable"
  rm -f "$out/OVMF_CODE.fd" "$out/OVMF_VARS.test-db.fd" "$out/key"
  say "$1"
  exit 0
}

for need in OvmfPkg/OvmfPkgX64.dsc SecurityPkg/SecurityPkg.dec CryptoPkg/CryptoPkg.dec \
            CryptoPkg/Library/OpensslLib/openssl/include/openssl/opensslv.h ShellPkg/ShellPkg.dec; do
  [ -f "$kit/$need" ] || unavailable "no Secure Boot firmware: the kit $kit lacks ${need%%/*} ($need); give a full edk2-stable202211 tree (with OvmfPkg, SecurityPkg, CryptoPkg and its openssl) as EDK2_PATH, or none for Debian's edk2 source package"
done
for need in "$snakeoil_vars" "$snakeoil_cert"; do
  [ -f "$need" ] || unavailable "no Secure Boot varstore: $need is missing (Debian's ovmf package provides it)"
done

# The options of the build: Secure Boot; option-ROM images verified against
# db (0x04: a failed verification denies the image); code of the images
# loaded from anywhere read-only and their data no-execute (0x03); no
# execution from data memory types; a 4 MiB flash (the varstore layout of
# Debian's snakeoil varstore). The firmware's log goes to the debug port
# 0x402 (OVMF's DEBUG default). Networking is left out: no test needs it and
# it is a fifth of the build.
options=(-a X64 -t GCC5 -b DEBUG
         -D SECURE_BOOT_ENABLE=TRUE -D FD_SIZE_4MB -D SMM_REQUIRE=FALSE -D NETWORK_ENABLE=FALSE
         --pcd gEfiSecurityPkgTokenSpaceGuid.PcdOptionRomImageVerificationPolicy=0x04
         --pcd gEfiMdeModulePkgTokenSpaceGuid.PcdImageProtectionPolicy=0x03
         --pcd gEfiMdeModulePkgTokenSpaceGuid.PcdDxeNxMemoryProtectionPolicy=0xC000000000007FD5)
# The DXE core alone also logs DEBUG_VERBOSE (0x00400000), where it reports
# an image it cannot protect and the attributes it gives the pages of those
# it can.
dxe_core_debug_level=0x8040004F

# The kit's platform with one change, made in the workspace: the DXE core's
# own debug level. (The kit's DSC has CRLF line ends.)
platform_dsc() {
  sed "/^  MdeModulePkg\/Core\/Dxe\/DxeMain.inf {\r\?\$/,/^  }\r\?\$/ s/^  }\(\r\?\)\$/    <PcdsFixedAtBuild>\1\n      gEfiMdePkgTokenSpaceGuid.PcdDebugPrintErrorLevel|$dxe_core_debug_level\1\n  }\1/" \
    "$kit/OvmfPkg/OvmfPkgX64.dsc"
}
[ "$(platform_dsc | grep -c "PcdDebugPrintErrorLevel|$dxe_core_debug_level")" = 1 ] ||
  { say "OvmfPkgX64.dsc of the kit has no DxeMain.inf block to give a debug level"; exit 1; }

tools=$("$top/Tools/edk2-workspace.sh" "$kit" | tail -n 1)

kit_digest() {
  "$top/Tools/kit-digest.sh" "$kit" "$cache/kit-digests"
}

# (Each reads all of its input: with pipefail, a tool cut off early would
# fail the key.)
versions() {
  gcc --version | sed -n 1p
  nasm -v
  iasl -v 2>/dev/null | awk 'tolower($0) ~ /version/ && !seen { print; seen = 1 }'
}
for tool in gcc nasm iasl python3; do
  command -v "$tool" >/dev/null || { say "the OVMF build needs $tool (Tools/bootstrap.sh installs it: gcc, nasm, acpica-tools)"; exit 1; }
done

# What the firmware is made of: the kit (its BaseTools included), the
# platform description and the options built with, the compilers.
key=$( { kit_digest; platform_dsc | sha256sum; echo "${options[*]}"; versions; } |
       sha256sum | cut -c1-16)
root="$cache/$key"
log="$root/build.log"

# The varstore with the test certificate: the live variables of Debian's
# snakeoil varstore, byte for byte, in this firmware's own empty varstore
# (Tools/ovmf_varstore.py). Remade when the package or the tool changes.
varstore_stamp() {
  { dpkg-query -W -f='${Version}\n' ovmf 2>/dev/null || echo none; sha256sum "$snakeoil_vars" "$snakeoil_cert" \
      "$top/Tools/ovmf_varstore.py"; } | sha256sum | cut -c1-16
}

make_varstore() {
  local stamp
  stamp=$(varstore_stamp)
  [ -f "$root/OVMF_VARS.test-db.fd" ] && [ "$(cat "$root/varstore.stamp" 2>/dev/null)" = "$stamp" ] && return 0
  python3 -B "$top/Tools/ovmf_varstore.py" live-copy "$snakeoil_vars" "$root/OVMF_VARS.fd" \
    "$root/OVMF_VARS.test-db.fd.tmp" >"$root/varstore.log" 2>&1 &&
  python3 -B "$top/Tools/ovmf_varstore.py" check-secure-boot "$root/OVMF_VARS.test-db.fd.tmp" "$snakeoil_cert" \
    >>"$root/varstore.log" 2>&1 || {
      cat "$root/varstore.log" >&2
      say "making the Secure Boot varstore failed (log: $root/varstore.log)"
      rm -f "$root/OVMF_VARS.test-db.fd.tmp"
      exit 1
    }
  mv -f "$root/OVMF_VARS.test-db.fd.tmp" "$root/OVMF_VARS.test-db.fd"
  echo "$stamp" >"$root/varstore.stamp"
}

# The code is read-only flash, linked; the varstore is copied, so that a
# boot that writes its copy leaves the cache's as it is.
publish() {
  ln -f "$root/OVMF_CODE.fd" "$out/OVMF_CODE.fd" 2>/dev/null || cp -f "$root/OVMF_CODE.fd" "$out/OVMF_CODE.fd"
  cmp -s "$root/OVMF_VARS.test-db.fd" "$out/OVMF_VARS.test-db.fd" ||
    { rm -f "$out/OVMF_VARS.test-db.fd"; cp "$root/OVMF_VARS.test-db.fd" "$out/OVMF_VARS.test-db.fd"; }
  echo "$key" >"$out/key"
}

build_firmware() {
  [ -f "$root/ready" ] && return 0
  local workspace="$root/workspace" started status=0
  rm -rf "$root"
  mkdir -p "$root"
  say "building OVMF with Secure Boot, option-ROM verification and W^X from the kit: once, 3 to 6 minutes on two cores (log: $log)"
  started=$(date +%s)
  "$top/Tools/edk2-workspace.sh" "$kit" "$workspace" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
  mkdir -p "$workspace/Qd520Ovmf"
  platform_dsc >"$workspace/Qd520Ovmf/OvmfPkgX64.dsc"
  kit_build "$kit" "$workspace" "$tools" "$workspace:$kit" -- "${options[@]}" -p Qd520Ovmf/OvmfPkgX64.dsc -n "$(nproc)" \
    >>"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log" >&2
    say "the OVMF build failed (exit $status); full log in $log"
    exit 1
  fi
  local fv="$workspace/Build/OvmfX64/DEBUG_GCC5/FV"
  cp "$fv/OVMF_CODE.fd" "$root/OVMF_CODE.fd"
  cp "$fv/OVMF_VARS.fd" "$root/OVMF_VARS.fd"
  rm -rf "$workspace"
  echo "built in $(( $(date +%s) - started )) s" >>"$log"
  say "OVMF built in $(( $(date +%s) - started )) s"
  touch "$root/ready"
}

# The firmware built and the varstore made from today's package.
built() {
  [ -f "$root/ready" ] && [ -f "$root/OVMF_VARS.test-db.fd" ] &&
    [ "$(cat "$root/varstore.stamp" 2>/dev/null)" = "$(varstore_stamp)" ]
}

build() {
  build_firmware
  make_varstore
}

cached_build 3
