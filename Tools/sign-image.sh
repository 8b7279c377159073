#!/usr/bin/env bash
# Signs the driver's images for UEFI Secure Boot with sbsigntool and makes
# the option ROM of the signed images (Tools/pack-rom.sh).
#
#   Tools/sign-image.sh [--test-key] [--passin ARG] [--chain CHAIN] KEY CERT EFIROM SIGNED_ROM IMAGE SIGNED_IMAGE...
#   Tools/sign-image.sh --image-only [--test-key] [--passin ARG] [--chain CHAIN] KEY CERT IMAGE SIGNED_IMAGE
#
#   KEY     the signer's private key (PEM, encrypted or not)
#   CERT    its X.509 certificate (PEM); firmware runs the ROM when this
#           certificate (or one that issued it) is in its db
#   --chain CHAIN  the intermediate CA certificates (PEM, any order) from
#           CERT up to the root the firmware trusts: each signature
#           carries them (firmware has only the root, in db). Every one of
#           them must be on the path from CERT, and the root is left out,
#           or nothing is signed.
#           Validity dates are not checked: firmware has no trusted time,
#           and an expired signer still verifies there (the line that
#           reports the signing says so).
#   EFIROM  the kit's EfiRom
#   IMAGE SIGNED_IMAGE  pairs: each image and where its signed copy goes;
#           the ROM carries the signed images in the order given
#   --passin ARG  the key's passphrase as openssl's -passin takes it
#           (pass:TEXT, env:VAR, file:PATH, fd:N)
#   --test-key    the pair is a published test key: the line that reports
#           the signing says so
#   --image-only  sign IMAGE (any EFI image: an application too), no ROM
#
# An image that is signed already gets one more signature (sbsign appends
# it); firmware runs it when any one of its signatures leads to db and none
# is revoked in dbx.
#
# A failure (sbsigntool missing, a key that cannot be read, a certificate
# that is not the key's, a chain that does not lead from it) ends the
# script with one line on stderr and exit status 1, and leaves no signed
# file behind; the images are only read. The signed files appear whole or
# not at all (written aside, then renamed).
set -euo pipefail

usage="usage: $0 [--image-only] [--test-key] [--passin ARG] [--chain CHAIN] KEY CERT [EFIROM SIGNED_ROM] IMAGE SIGNED_IMAGE..."
test_key=0
image_only=0
passin=
chain=
while [ $# -gt 0 ]; do
  case $1 in
    --test-key) test_key=1; shift ;;
    --image-only) image_only=1; shift ;;
    --passin) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; passin=$2; shift 2 ;;
    --chain) [ $# -ge 2 ] && [ -n "$2" ] || { echo "$usage" >&2; exit 2; }; chain=$2; shift 2 ;;
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

for tool in sbsign sbverify sbattach; do
  command -v "$tool" >/dev/null || fail "$tool not found: install sbsigntool (Tools/bootstrap.sh does); nothing signed"
done
command -v openssl >/dev/null || fail "openssl not found: install openssl (Tools/bootstrap.sh does); nothing signed"
[ -r "$key" ] && [ -f "$key" ] || fail "cannot read the key $key; nothing signed"
[ -r "$cert" ] && [ -f "$cert" ] || fail "cannot read the certificate $cert; nothing signed"
[ -z "$chain" ] || { [ -r "$chain" ] && [ -f "$chain" ]; } || fail "cannot read the chain $chain; nothing signed"

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

# The chain leads from the certificate when one of its certificates, taken
# as the anchor, gives a path from the certificate through all of them
# (openssl verify: the others only as intermediates, no dates).
# split_pem FILE PREFIX: each certificate of FILE into PREFIX01.pem, ...
split_pem() {
  awk -v out="$2" '
    /-----BEGIN CERTIFICATE-----/ { file = sprintf("%s%02d.pem", out, ++count) }
    file { print > file }
    /-----END CERTIFICATE-----/ { close(file); file = "" }' "$1"
}
# fingerprints CERT...: their SHA-256 fingerprints, sorted.
fingerprints() {
  local file
  for file in "$@"; do openssl x509 -in "$file" -noout -fingerprint -sha256; done | sort -u
}

chain_top=
if [ -n "$chain" ]; then
  split_pem "$chain" "$work/chain"
  chain_certs=("$work"/chain[0-9]*.pem)
  [ -f "${chain_certs[0]}" ] || fail "the chain $chain holds no PEM certificate; nothing signed"
  for member in "${chain_certs[@]}"; do
    names=$(openssl x509 -in "$member" -noout -subject -issuer -nameopt oneline 2>>"$work/openssl.log") ||
      fail "cannot read the chain $chain (a certificate in it is not a PEM X.509 certificate); nothing signed"
    # A root in the signature is of no use (firmware holds it in db) and
    # makes sbverify refuse the chain.
    [ "$(sed -n 's/^subject= *//p' <<<"$names")" != "$(sed -n 's/^issuer= *//p' <<<"$names")" ] ||
      fail "the chain $chain holds the root $(sed -n 's/^subject= *//p' <<<"$names"): give the intermediates only (firmware holds the root in db); nothing signed"
  done
  for member in "${chain_certs[@]}"; do
    if openssl verify -no_check_time -partial_chain -show_chain -CAfile "$member" -untrusted "$chain" "$cert" \
         >"$work/verify.log" 2>&1 &&
       [ "$(grep -c '^depth=' "$work/verify.log")" -eq $(( ${#chain_certs[@]} + 1 )) ]; then
      chain_top=$member
      break
    fi
  done
  if [ -z "$chain_top" ]; then
    issuer=$(openssl x509 -in "$cert" -noout -issuer -nameopt oneline 2>/dev/null | sed 's/^issuer= *//')
    if openssl verify -no_check_time -partial_chain -CAfile "$chain" "$cert" >/dev/null 2>&1; then
      fail "the chain $chain does not lead from the certificate $cert: it holds certificates off the path from it to a root; nothing signed"
    fi
    fail "the chain $chain does not lead from the certificate $cert: no certificate in it issued it (issuer $issuer); nothing signed"
  fi
fi

signed=()
for index in "${!images[@]}"; do
  image=${images[$index]}
  sbsign --key "$work/key.pem" --cert "$cert" ${chain:+--addcert "$chain"} --output "$work/signed$index.efi" "$image" \
    >"$work/sbsign.log" 2>&1 || fail "sbsign failed on $image: $(tail -n 1 "$work/sbsign.log")"
  sbverify --cert "$cert" "$work/signed$index.efi" >"$work/sbverify.log" 2>&1 ||
    fail "the signed $image does not verify against $cert: $(tail -n 1 "$work/sbverify.log")"
  # sbverify takes any certificate as the anchor of a signature that
  # carries intermediates, so the new signature (the last one) is checked
  # apart: it carries the signer's certificate and the chain, no more, no
  # less.
  if [ -n "$chain_top" ]; then
    rm -f "$work/signature.p7" "$work"/carried*.pem
    count=$(sbverify --list "$work/signed$index.efi" 2>/dev/null | grep -c '^signature ') &&
    sbattach --detach "$work/signature.p7" --signum "$count" "$work/signed$index.efi" >"$work/sbattach.log" 2>&1 &&
    openssl pkcs7 -inform DER -in "$work/signature.p7" -print_certs -out "$work/carried.pem" 2>>"$work/openssl.log" &&
    split_pem "$work/carried.pem" "$work/carried" &&
    [ "$(fingerprints "$work"/carried[0-9]*.pem)" = "$(fingerprints "$cert" "${chain_certs[@]}")" ] ||
      fail "the signature on the signed $image does not carry the certificate and the chain $chain; nothing signed"
  fi
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
through=
[ -z "$chain" ] || through=" through ${#chain_certs[@]} intermediate(s) of $(basename "$chain")"
expired=
openssl x509 -in "$cert" -noout -checkend 0 >/dev/null 2>&1 ||
  expired="; its certificate expired $(openssl x509 -in "$cert" -noout -enddate | sed 's/^notAfter=//') (firmware checks no dates, so it still verifies there)"
if [ "$test_key" -eq 1 ]; then
  echo "sign: $what signed by $subject$through with Debian's snakeoil TEST key: its private key is published, for tests only, never ship it (make sign KEY=... CERT=... signs with yours)$expired"
else
  echo "sign: $what signed by $subject$through$expired"
fi
