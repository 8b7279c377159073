# EDK II BaseTools' EfiRom, built from the fetched kit as a host tool, and
# the PCI option ROM of the driver made with it.

set(_bt "${EDK2_PATH}/BaseTools/Source/C")
add_executable(efirom
  "${_bt}/EfiRom/EfiRom.c"
  "${_bt}/Common/CommonLib.c"
  "${_bt}/Common/EfiUtilityMsgs.c"
  "${_bt}/Common/EfiCompress.c"
  "${_bt}/Common/ParseInf.c")
target_include_directories(efirom PRIVATE
  "${_bt}" "${_bt}/Include/Common" "${_bt}/Include" "${_bt}/Include/IndustryStandard"
  "${_bt}/Common" "${_bt}/Include/X64")
target_compile_options(efirom PRIVATE -fshort-wchar -fno-strict-aliasing -fwrapv -w)

# The option ROM: the display class code and the adapter's identifiers, the
# EFI image compressed.
set(OPTION_ROM "${CMAKE_BINARY_DIR}/Quandrel520Gop.rom")
add_custom_command(
  OUTPUT "${OPTION_ROM}"
  COMMAND efirom -f 0x7A3C -i 0x0520 -l 0x030000 -ec "${EFI_IMAGE}" -o "${OPTION_ROM}" >/dev/null
  COMMAND ${CMAKE_COMMAND} -DFILE=${OPTION_ROM} -DLIMIT=${OPTION_ROM_BUDGET} -P "${CMAKE_SOURCE_DIR}/cmake/CheckSize.cmake"
  DEPENDS efirom "${EFI_IMAGE}"
  COMMENT "Building the option ROM Quandrel520Gop.rom")
add_custom_target(Quandrel520GopRom ALL DEPENDS "${OPTION_ROM}")
