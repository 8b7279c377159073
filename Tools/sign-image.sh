#!/usr/bin/env bash
# Signs the driver's images for UEFI Secure Boot with sbsigntool and makes
# the option ROM of the signed images (Tools/pack-rom.sh).
#
#   Tools/sign-image.sh [--test-key] [--passin ARG] KEY CERT EFIROM SIGNED_ROM IMAGE SIGNED_IMAGE...
#   Tools/sign-image.sh --image-only [--test-key] [--passin ARG] KEY CERT IMAGE SIGNED_IMAGE
#
#   KEY     the signer's private key (PEM, encrypted or not)
#   CERT    its X.509 certificate (PEM); firmware runs the ROM when this
#           certificate (or one that issued it) is in its db
#   EFIROM  the kit's EfiRom
#   IMAGE SIGNED_IMAGE  pairs: each image and where its signed copy goes;
#           the ROM carries the signed images in the order given
#   --passin ARG  the key's passphrase as openssl's -passin takes it
#           (pass:TEXT, env:VAR, file:PATH, fd:N)
#   --test-key    the pair is a published test key: the line that reports
#           the signing says so
#   --image-only  sign IMAGE (any EFI image: an application too), no ROM
#
# A failure (sbsigntool missing, a key that cannot be read, a certificate
# that is not the key's) ends the script with one line on stderr and exit
# status 1, and leaves no signed file behind; the images are only read. The
# signed files appear whole or not at all (written aside, then renamed).
set -euo pipefail

usage="usage: $0 [--image-only] [--test-key] [--passin ARG] KEY CERT [EFIROM SIGNED_ROM] IMAGE SIGNED_IMAGE..."
test_key=0
image_only=0
passin=
while [ $# -gt 0 ]; do
  case $1 in
    --test-key) test_key=1; shift ;;
    --image-only) image_only=1; shift ;;
    --passin) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; passin=$2; shift 2 ;;
    *) break ;;
  esac
done
if [ "$image_only" -eq 1 ]; then
  [ $# -eq 4 ] || { echo "$usage" >&2; exit 2; }
  key=$1 cert=$2 efirom= signed_rom=
  shift 2
else
  [ $# -ge 6 ] && [ $(( $# % 2 )) -eq 0 ] || { echo "$usage" >&2; exit 2; }
  key=$1 cert=$2 efirom=$3 signed_rom=$4
  shift 4
fi
images=() signed_images=()
while [ $# -gt 0 ]; do
  images+=("$1") signed_images+=("$2")
  shift 2
done

rm -f "${signed_images[@]}" ${signed_rom:+"$signed_rom"}

fail() {
  echo "sign: $*" >&2
  exit 1
}

for tool in sbsign sbverify; do
  command -v "$tool" >/dev/null || fail "$tool not found: install sbsigntool (Tools/bootstrap.sh does); nothing signed"
done
command -v openssl >/dev/null || fail "openssl not found: install openssl (Tools/bootstrap.sh does); nothing signed"
[ -r "$key" ] && [ -f "$key" ] || fail "cannot read the key $key; nothing signed"
[ -r "$cert" ] && [ -f "$cert" ] || fail "cannot read the certificate $cert; nothing signed"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 077

# sbsign asks for a passphrase on the terminal; the key is decrypted here,
# into a folder only this user can read, removed on exit.
if ! openssl pkey -in "$key" ${passin:+-passin "$passin"} -out "$work/key.pem" 2>"$work/openssl.log" </dev/null; then
  fail "cannot read the key $key (not a PEM private key, or a wrong passphrase); nothing signed"
fi
openssl x509 -in "$cert" -noout -pubkey >"$work/cert.pub" 2>>"$work/openssl.log" ||
  fail "cannot read the certificate $cert (not a PEM X.509 certificate); nothing signed"
openssl pkey -in "$work/key.pem" -pubout -out "$work/key.pub" 2>>"$work/openssl.log" ||
  fail "cannot read the key $key; nothing signed"
cmp -s "$work/cert.pub" "$work/key.pub" ||
  fail "the certificate $cert is not the key's ($key): its public key differs; nothing signed"

signed=()
for index in "${!images[@]}"; do
  image=${images[$index]}
  sbsign --key "$work/key.pem" --cert "$cert" --output "$work/signed$index.efi" "$image" >"$work/sbsign.log" 2>&1 ||
    fail "sbsign failed on $image: $(tail -n 1 "$work/sbsign.log")"
  sbverify --cert "$cert" "$work/signed$index.efi" >"$work/sbverify.log" 2>&1 ||
    fail "the signed $image does not verify against $cert: $(tail -n 1 "$work/sbverify.log")"
  signed+=("$work/signed$index.efi")
done
if [ -n "$signed_rom" ]; then
  "$(dirname "$0")/pack-rom.sh" "$efirom" "$work/signed.rom" "${signed[@]}" 2>"$work/pack-rom.log" ||
    fail "packing the option ROM failed: $(tail -n 1 "$work/pack-rom.log")"
fi

subject=$(openssl x509 -in "$cert" -noout -subject -nameopt oneline 2>/dev/null | sed 's/^subject= *//')
umask 022
sources=("${signed[@]}") targets=("${signed_images[@]}")
[ -z "$signed_rom" ] || { sources+=("$work/signed.rom"); targets+=("$signed_rom"); }
for index in "${!sources[@]}"; do
  cp "${sources[$index]}" "${targets[$index]}.tmp.$$"
  chmod 644 "${targets[$index]}.tmp.$$"
  mv -f "${targets[$index]}.tmp.$$" "${targets[$index]}"
done
what=$(for target in "${targets[@]}"; do basename "$target"; done | paste -sd, - | sed 's/,\([^,]*\)$/ and \1/; s/,/, /g')
if [ "$test_key" -eq 1 ]; then
  echo "sign: $what signed by $subject with Debian's snakeoil TEST key: its private key is published, for tests only, never ship it (make sign KEY=... CERT=... signs with yours)"
else
  echo "sign: $what signed by $subject"
fi
