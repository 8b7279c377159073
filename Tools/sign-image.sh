#!/usr/bin/env bash
# Signs the driver image for UEFI Secure Boot with sbsigntool and makes the
# option ROM of the signed image with the kit's EfiRom.
#
#   Tools/sign-image.sh [--test-key] [--passin ARG] KEY CERT EFIROM IMAGE SIGNED_IMAGE SIGNED_ROM
#   Tools/sign-image.sh --image-only [--test-key] [--passin ARG] KEY CERT IMAGE SIGNED_IMAGE
#
#   KEY     the signer's private key (PEM, encrypted or not)
#   CERT    its X.509 certificate (PEM); firmware runs the ROM when this
#           certificate (or one that issued it) is in its db
#   EFIROM  the kit's EfiRom
#   --passin ARG  the key's passphrase as openssl's -passin takes it
#           (pass:TEXT, env:VAR, file:PATH, fd:N)
#   --test-key    the pair is a published test key: the line that reports
#           the signing says so
#   --image-only  sign IMAGE (any EFI image: an application too), no ROM
#
# A failure (sbsigntool missing, a key that cannot be read, a certificate
# that is not the key's) ends the script with one line on stderr and exit
# status 1, and leaves neither signed file behind; IMAGE is only read. The
# signed files appear whole or not at all (written aside, then renamed).
set -euo pipefail

usage="usage: $0 [--image-only] [--test-key] [--passin ARG] KEY CERT [EFIROM] IMAGE SIGNED_IMAGE [SIGNED_ROM]"
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
  key=$1 cert=$2 efirom= image=$3 signed_image=$4 signed_rom=
else
  [ $# -eq 6 ] || { echo "$usage" >&2; exit 2; }
  key=$1 cert=$2 efirom=$3 image=$4 signed_image=$5 signed_rom=$6
fi

rm -f "$signed_image" ${signed_rom:+"$signed_rom"}

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

sbsign --key "$work/key.pem" --cert "$cert" --output "$work/signed.efi" "$image" >"$work/sbsign.log" 2>&1 ||
  fail "sbsign failed on $image: $(tail -n 1 "$work/sbsign.log")"
sbverify --cert "$cert" "$work/signed.efi" >"$work/sbverify.log" 2>&1 ||
  fail "the signed image does not verify against $cert: $(tail -n 1 "$work/sbverify.log")"
if [ -n "$signed_rom" ]; then
  "$efirom" -f 0x7A3C -i 0x0520 -l 0x030000 -ec "$work/signed.efi" -o "$work/signed.rom" >"$work/efirom.log" 2>&1 ||
    fail "EfiRom failed on the signed image: $(tail -n 1 "$work/efirom.log")"
fi

subject=$(openssl x509 -in "$cert" -noout -subject -nameopt oneline 2>/dev/null | sed 's/^subject= *//')
umask 022
outputs=("signed.efi:$signed_image")
[ -z "$signed_rom" ] || outputs+=("signed.rom:$signed_rom")
for pair in "${outputs[@]}"; do
  cp "$work/${pair%%:*}" "${pair#*:}.tmp.$$"
  chmod 644 "${pair#*:}.tmp.$$"
  mv -f "${pair#*:}.tmp.$$" "${pair#*:}"
done
what=$(basename "$signed_image")
[ -z "$signed_rom" ] || what="$what and $(basename "$signed_rom")"
if [ "$test_key" -eq 1 ]; then
  echo "sign: $what signed by $subject with Debian's snakeoil TEST key: its private key is published, for tests only, never ship it (make sign KEY=... CERT=... signs with yours)"
else
  echo "sign: $what signed by $subject"
fi
