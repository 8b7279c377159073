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

# qd520_add_option_rom(TARGET ROM BUDGET IMAGE...)
#   the PCI option ROM ROM of the EFI IMAGEs, in that order, packed by
#   Tools/pack-rom.sh (the adapter's identifiers, class code and revision
#   from the driver's INF, each image compressed); at most BUDGET bytes.
set(PACK_ROM_TOOL "${CMAKE_SOURCE_DIR}/Tools/pack-rom.sh")
set(DRIVER_INF "${CMAKE_SOURCE_DIR}/OptionRomPkg/Quandrel520Gop/Quandrel520Gop.inf")
function(qd520_add_option_rom TARGET ROM BUDGET)
  add_custom_command(
    OUTPUT "${ROM}"
    COMMAND "${PACK_ROM_TOOL}" $<TARGET_FILE:efirom> "${ROM}" ${ARGN}
    COMMAND ${CMAKE_COMMAND} -DFILE=${ROM} -DLIMIT=${BUDGET} -P "${CMAKE_SOURCE_DIR}/cmake/CheckSize.cmake"
    DEPENDS efirom "${PACK_ROM_TOOL}" "${DRIVER_INF}" ${ARGN}
    COMMENT "Building the option ROM ${ROM}"
    VERBATIM)
  add_custom_target(${TARGET} ALL DEPENDS "${ROM}")
endfunction()
