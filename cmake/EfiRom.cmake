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

# qd520_add_option_rom(TARGET IMAGE ROM)
#   the PCI option ROM ROM of the EFI image IMAGE: the display class code and
#   the adapter's identifiers, the image compressed; held to the size budget.
function(qd520_add_option_rom TARGET IMAGE ROM)
  add_custom_command(
    OUTPUT "${ROM}"
    COMMAND efirom -f 0x7A3C -i 0x0520 -l 0x030000 -ec "${IMAGE}" -o "${ROM}" >/dev/null
    COMMAND ${CMAKE_COMMAND} -DFILE=${ROM} -DLIMIT=${OPTION_ROM_BUDGET} -P "${CMAKE_SOURCE_DIR}/cmake/CheckSize.cmake"
    DEPENDS efirom "${IMAGE}"
    COMMENT "Building the option ROM ${ROM}")
  add_custom_target(${TARGET} ALL DEPENDS "${ROM}")
endfunction()
