#!/usr/bin/env bash
# Builds the UEFI Self-Certification Test (SCT) once, with the kit's own
# build tool and the toolchain GCC, and lays it out as the suite runs from a
# disk: SCT/Sct.efi, SCT/Support/, SCT/Test/, SCT/Data/, ...
#
#   Tools/build-sct.sh KIT [standard|full]
#
#   KIT       the EDK II tree to build with (the current release; read only)
#   standard  the tests the test command runs: graphics output (the UEFI
#             and the IHV suite), and of the IHV suite driver binding,
#             component name (1 and 2), driver supported EFI version and
#             device path
#   full      the graphics output tests of both suites built with
#             EFI_TEST_EXHAUSTIVE: their stress tests (make sct-full), and
#             SCT/Sequence/Qd520Auto.seq, the sequence of their automatic
#             cases (EndToEnd/Sct/auto-sequence.py; `Sct -s` runs it)
#
# The SCT's source: SCT_PATH (an edk2-test tree), or the newest
# edk2-test-*-uefi-sct.tar.xz in ../shared/kits/, unpacked once into
# .cache/kits/. Built once per key (the source, the kit's packages it
# compiles against and its BaseTools, this script, the isolation
# application, the variant, gcc) under .cache/sct/<key>/, of which the
# laid-out SCT/ folder and the build's log are kept, and copied to
# build/sct/<variant>/SCT/. Both SCT/ folders hold Qd520SctIsolate.efi
# (EndToEnd/Sct/), which leaves each adapter to its own driver.
#
# Two changes are made to the SCT's copy in the build's workspace, nowhere
# else: the DSC is the SCT's UEFI_SCT.dsc up to its [Components] (its
# library classes and build options, -mabi=ms among them) with the
# components above; IhvComponentNameBBTest.inf gets the protocol GUID its
# sources use (gBlackBoxEfiComponentNameProtocolGuid), without which it does
# not link.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=Tools/build-common.sh
. "$top/Tools/build-common.sh"
kit=$(cd "${1:?usage: Tools/build-sct.sh KIT [standard|full]}" && pwd)
variant=${2:-standard}
cache=$(cache_folder sct)
out="$top/build/sct/$variant"

framework=(
  SctPkg/TestInfrastructure/SCT/Framework/Sct.inf
  SctPkg/TestInfrastructure/SCT/Drivers/StandardTest/StandardTest.inf
  SctPkg/TestInfrastructure/SCT/Drivers/TestProfile/TestProfile.inf
  SctPkg/TestInfrastructure/SCT/Drivers/TestRecovery/TestRecovery.inf
  SctPkg/TestInfrastructure/SCT/Drivers/TestLogging/TestLogging.inf
  Qd520SctPkg/Qd520SctIsolate/Qd520SctIsolate.inf
)
gop_tests=(
  SctPkg/TestCase/UEFI/EFI/Protocol/GraphicsOutput/BlackBoxTest/GraphicsOutputBBTest.inf
  SctPkg/TestCase/UEFI/IHV/Protocol/GraphicsOutput/BlackBoxTest/IhvGraphicsOutputBBTest.inf
)
driver_tests=(
  SctPkg/TestCase/UEFI/IHV/Protocol/DriverBinding/BlackBoxTest/IhvDriverBindingBBTest.inf
  SctPkg/TestCase/UEFI/IHV/Protocol/ComponentName/BlackBoxTest/IhvComponentNameBBTest.inf
  SctPkg/TestCase/UEFI/IHV/Protocol/ComponentName2/BlackBoxTest/IhvComponentName2BBTest.inf
  SctPkg/TestCase/UEFI/IHV/Protocol/DriverSupportedEfiVersion/BlackBoxTest/IhvDriverSupportedEfiVersionBBTest.inf
  SctPkg/TestCase/UEFI/IHV/Protocol/DevicePath/BlackBoxTest/IhvDevicePathBBTest.inf
)
case "$variant" in
  standard) tests=("${gop_tests[@]}" "${driver_tests[@]}"); gop_options="" ;;
  full)     tests=("${gop_tests[@]}"); gop_options="-DEFI_TEST_EXHAUSTIVE" ;;
  *) echo "usage: Tools/build-sct.sh KIT [standard|full]" >&2; exit 2 ;;
esac

# --- the source ---------------------------------------------------------------
if [ -n "${SCT_PATH:-}" ]; then
  source_tree=$(cd "$SCT_PATH" && pwd)
  [ -f "$source_tree/uefi-sct/SctPkg/SctPkg.dec" ] || { say "SCT_PATH=$SCT_PATH is not an edk2-test tree"; exit 1; }
  source_id=$("$top/Tools/kit-digest.sh" "$source_tree" "$cache/digests" uefi-sct/SctPkg)
else
  archive=$(ls "$top"/../shared/kits/edk2-test-*-uefi-sct.tar.xz 2>/dev/null | LC_ALL=C sort | tail -n 1)
  [ -n "$archive" ] || { say "no SCT: put edk2-test-<commit>-uefi-sct.tar.xz in ../shared/kits/ or set SCT_PATH"; exit 1; }
  source_tree="$(dirname "$cache")/kits/$(basename "$archive" .tar.xz)"
  source_id=$(sha256sum "$archive" | cut -c1-32)
fi

toolchain=GCC
grep -q '^\*_GCC_\*_\*_FAMILY' "$kit/BaseTools/Conf/tools_def.template" || toolchain=GCC5

key=$( { echo "$source_id $variant $toolchain"; "$top/Tools/kit-digest.sh" "$kit" "$cache/digests" MdePkg MdeModulePkg BaseTools;
         (cd "$top" && sha256sum Tools/build-sct.sh EndToEnd/Sct/Qd520SctIsolate/* EndToEnd/Sct/auto-sequence.py);
         gcc --version | sed -n 1p; } |
       sha256sum | cut -c1-16)
root="$cache/$key"
log="$root/build.log"

publish() {
  [ "$(cat "$out/key" 2>/dev/null)" = "$key" ] && return 0
  rm -rf "$out"
  mkdir -p "$out"
  cp -a "$root/SCT" "$out/SCT"
  echo "$key" >"$out/key"
}

build() {
  if [ -z "${SCT_PATH:-}" ] && [ ! -f "$source_tree/uefi-sct/SctPkg/SctPkg.dec" ]; then
    rm -rf "$source_tree" "$source_tree.tmp"
    mkdir -p "$source_tree.tmp"
    tar -xf "$archive" -C "$source_tree.tmp" --strip-components=1
    mv "$source_tree.tmp" "$source_tree"
  fi

  # --- the build ----------------------------------------------------------------
  rm -rf "$root"
  mkdir -p "$root"
  started=$(date +%s)
  what="the UEFI SCT ($variant: ${#tests[@]} test files) with $(basename "$kit")"
  say "building $what: once, under a minute on two cores (log: $log)"

  fail() {
    tail -n 40 "$log" >&2
    say "the SCT build failed: $1; full log in $log"
    rm -rf "$root/workspace"
    exit 1
  }

  workspace="$root/workspace"
  mkdir -p "$workspace/Qd520SctPkg"
  cp -a "$source_tree/uefi-sct/SctPkg" "$workspace/SctPkg"
  cp -a "$top/EndToEnd/Sct/Qd520SctIsolate" "$workspace/Qd520SctPkg/"
  ihv_name="$workspace/SctPkg/TestCase/UEFI/IHV/Protocol/ComponentName/BlackBoxTest/IhvComponentNameBBTest.inf"
  grep -q gBlackBoxEfiComponentNameProtocolGuid "$ihv_name" ||
    printf '  gBlackBoxEfiComponentNameProtocolGuid\n' >>"$ihv_name"

  platform=Qd520Sct
  {
    sed -n '1,/^\[Components\]/p' "$workspace/SctPkg/UEFI/UEFI_SCT.dsc" |
      sed -e "s/^\(  PLATFORM_NAME *= *\).*/\1$platform/" -e "s|^\(  OUTPUT_DIRECTORY *= *\).*|\1Build/$platform|"
    printf '  %s\n' "${framework[@]}"
    for inf in "${tests[@]}"; do
      case "$inf" in
        */GraphicsOutput/*) [ -n "$gop_options" ] &&
          printf '  %s {\n    <BuildOptions>\n      GCC:*_*_*_CC_FLAGS = %s\n  }\n' "$inf" "$gop_options" && continue ;;
      esac
      printf '  %s\n' "$inf"
    done
  } >"$workspace/Qd520SctPkg/$platform.dsc"

  tools=$("$top/Tools/edk2-workspace.sh" "$kit" "$workspace" 2>>"$log" | tail -n 1) || fail "no BaseTools"
  status=0
  kit_build "$kit" "$workspace" "$tools" "$workspace:$kit" -- -a X64 -t "$toolchain" -b DEBUG \
    -p "Qd520SctPkg/$platform.dsc" -n 2 >>"$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || fail "build exited $status"

  # The layout of the SCT's CommonGenFramework.sh, for these files.
  bin="$workspace/Build/$platform/DEBUG_$toolchain/X64"
  sct="$root/SCT"
  mkdir -p "$sct"/{Data,Dependency,Support,Test,Sequence,Report,Application,Proxy}
  cp "$bin/SCT.efi" "$sct/Sct.efi" || fail "no SCT.efi"
  for support in StandardTest TestProfile TestRecovery TestLogging; do
    cp "$bin/$support.efi" "$sct/Support/" || fail "no $support.efi"
  done
  for inf in "${tests[@]}"; do
    name=$(sed -n 's/^ *BASE_NAME *= *\([^ \r]*\).*/\1/p' "$workspace/$inf")
    cp "$bin/$name.efi" "$sct/Test/" || fail "no $name.efi"
  done
  cp "$bin/Qd520SctIsolate.efi" "$sct/" || fail "no Qd520SctIsolate.efi"
  cp "$workspace/SctPkg/Config/Data/Category.ini" "$workspace/SctPkg/Config/Data/GuidFile.txt" "$sct/Data/"
  if [ "$variant" = full ]; then
    folders=()
    for inf in "${tests[@]}"; do folders+=("$workspace/$(dirname "$inf")"); done
    python3 "$top/EndToEnd/Sct/auto-sequence.py" "$sct/Sequence/Qd520Auto.seq" "${folders[@]}" >>"$log" 2>&1 ||
      fail "no sequence of the automatic cases"
  fi
  rm -rf "$workspace"
  echo "built in $(( $(date +%s) - started )) s" >>"$log"
  say "built $what in $(( $(date +%s) - started )) s"
}

cached_build 4
