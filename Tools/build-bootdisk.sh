#!/usr/bin/env bash
# Fetches what the boot-loader and Linux runs boot, from the machine's own
# Debian archive: GRUB (grub-efi-amd64-bin: its signed-style monolithic
# grubx64.efi and the videoinfo module), systemd-boot (systemd-boot-efi),
# the kernel that linux-image-amd64 names (its EFI stub and efifb built in)
# and busybox-static for the initramfs. Each package is fetched with
# `apt-get download` and unpacked with `dpkg-deb -x` into the cache, once
# per set of versions: nothing is installed into the system.
#
#   Tools/build-bootdisk.sh
#
# Cached under .cache/bootdisk/<key>/ (the key: the packages' names and
# versions), of which only the files used are kept, and copied to
# build/bootdisk/: grubx64.efi, videoinfo.mod, systemd-bootx64.efi,
# vmlinuz, busybox, versions.txt (one "package version" a line).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=Tools/build-common.sh
. "$top/Tools/build-common.sh"
cache=$(cache_folder bootdisk)
out="$top/build/bootdisk"

# The candidate versions, in one query of apt's lists. linux-image-amd64 is
# a metapackage: the kernel is the package (and version) it depends on.
listing=$(apt-cache show --no-all-versions linux-image-amd64 grub-efi-amd64-bin systemd-boot-efi busybox-static \
            2>/dev/null | grep -E '^(Package|Version|Depends):' || true)
versions=$(printf '%s\n' "$listing" | awk '
  /^Package:/ { package = $2 }
  /^Version:/ && package != "linux-image-amd64" { print package, $2 }
  /^Depends:/ && package == "linux-image-amd64" { version = $4; sub(/[),].*/, "", version); print $2, version }')
kernel=$(printf '%s\n' "$versions" | awk '/^linux-image-[0-9]/ { print $1 }')
[ -n "$kernel" ] && [ "$(printf '%s\n' "$versions" | wc -l)" = 4 ] ||
  { say "apt knows no linux-image-amd64, grub-efi-amd64-bin, systemd-boot-efi or busybox-static (is the machine's Debian archive configured?)"; exit 1; }
packages=(grub-efi-amd64-bin systemd-boot-efi "$kernel" busybox-static)
key=$( { echo "$versions"; (cd "$top" && sha256sum Tools/build-bootdisk.sh); } | sha256sum | cut -c1-16)
root="$cache/$key"
files=(grubx64.efi videoinfo.mod systemd-bootx64.efi vmlinuz busybox versions.txt)

publish() {
  [ "$(cat "$out/key" 2>/dev/null)" = "$key" ] && return 0
  rm -rf "$out"
  mkdir -p "$out"
  for file in "${files[@]}"; do cp "$root/$file" "$out/"; done
  echo "$key" >"$out/key"
}

build() {
  rm -rf "$root"
  mkdir -p "$root/debs" "$root/unpacked"
  log="$root/fetch.log"
  started=$(date +%s)
  say "fetching and unpacking GRUB, systemd-boot, $kernel and busybox-static (once, seconds; log: $log)"
  fail() {
    cat "$log" >&2
    say "$1; the log is $log"
    rm -rf "$root"
    exit 1
  }
  # apt's sandbox user must be able to write the folder it downloads into.
  chmod 0777 "$root/debs"
  (cd "$root/debs" && apt-get download "${packages[@]}") >"$log" 2>&1 || fail "apt-get download failed"
  for deb in "$root"/debs/*.deb; do
    dpkg-deb -x "$deb" "$root/unpacked" >>"$log" 2>&1 || fail "dpkg-deb -x $(basename "$deb") failed"
  done

  u="$root/unpacked"
  pick() { cp "$1" "$root/$2" 2>>"$log" || fail "the packages hold no ${1#"$u"/}"; }
  pick "$u/usr/lib/grub/x86_64-efi/monolithic/grubx64.efi" grubx64.efi
  pick "$u/usr/lib/grub/x86_64-efi/videoinfo.mod" videoinfo.mod
  pick "$u/usr/lib/systemd/boot/efi/systemd-bootx64.efi" systemd-bootx64.efi
  pick "$(ls "$u"/boot/vmlinuz-* | head -n 1)" vmlinuz
  pick "$u/bin/busybox" busybox
  echo "$versions" >"$root/versions.txt"
  rm -rf "$root/debs" "$root/unpacked"
  say "boot loaders and kernel unpacked in $(( $(date +%s) - started )) s"
}

cached_build 2
