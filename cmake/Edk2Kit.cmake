# Source lists of the EDK II kit libraries the driver links, as the kit's INF
# files give them for X64 with a GCC-family compiler. Both builds compile the
# same files; the host build swaps the processor-specific parts of BaseLib for
# the kit's host stand-ins and supplies its own IoLib.

set(_md "${EDK2_PATH}/MdePkg/Library")
set(_mm "${EDK2_PATH}/MdeModulePkg/Library")

set(_baselib_common
  CheckSum.c SwitchStack.c SwapBytes64.c SwapBytes32.c SwapBytes16.c LongJump.c
  SetJump.c QuickSort.c RShiftU64.c RRotU64.c RRotU32.c MultU64x64.c MultU64x32.c
  MultS64x64.c ModU64x32.c LShiftU64.c LRotU64.c LRotU32.c LowBitSet64.c
  LowBitSet32.c HighBitSet64.c HighBitSet32.c GetPowerOfTwo64.c GetPowerOfTwo32.c
  DivU64x64Remainder.c DivU64x32Remainder.c DivU64x32.c DivS64x64Remainder.c
  ARShiftU64.c BitField.c CpuDeadLoop.c Cpu.c LinkedList.c SafeString.c String.c
  FilePaths.c)
set(_baselib_x64 Math64.c Unaligned.c X86Msr.c X86SpeculationBarrier.c)
set(_baselib_target X64/GccInline.c X64/GccInlinePriv.c X86GetInterruptState.c)
set(_baselib_host X64/GccInline.c UnitTestHost.c X86UnitTestHost.c X86FxSave.c
  X86FxRestore.c X86RdRand.c)

list(TRANSFORM _baselib_common PREPEND "${_md}/BaseLib/")
list(TRANSFORM _baselib_x64 PREPEND "${_md}/BaseLib/")
list(TRANSFORM _baselib_target PREPEND "${_md}/BaseLib/")
list(TRANSFORM _baselib_host PREPEND "${_md}/BaseLib/")

set(_memorylib SetMem.c ScanMem64Wrapper.c ScanMem32Wrapper.c ScanMem16Wrapper.c
  ScanMem8Wrapper.c ZeroMemWrapper.c CompareMemWrapper.c SetMem64Wrapper.c
  SetMem32Wrapper.c SetMem16Wrapper.c SetMemWrapper.c CopyMemWrapper.c
  IsZeroBufferWrapper.c MemLibGeneric.c MemLibGuid.c CopyMem.c)
list(TRANSFORM _memorylib PREPEND "${_md}/BaseMemoryLib/")

set(_devicepathlib DevicePathUtilities.c DevicePathUtilitiesDxeSmm.c
  DevicePathToText.c DevicePathFromText.c UefiDevicePathLib.c)
list(TRANSFORM _devicepathlib PREPEND "${_md}/UefiDevicePathLib/")

set(_uefilib UefiLibPrint.c UefiNotTiano.c UefiDriverModel.c Console.c UefiLib.c Acpi.c)
list(TRANSFORM _uefilib PREPEND "${_md}/UefiLib/")

set(KIT_COMMON_SOURCES
  ${_baselib_common}
  ${_baselib_x64}
  ${_memorylib}
  ${_devicepathlib}
  ${_uefilib}
  "${_md}/BasePrintLib/PrintLibInternal.c"
  "${_md}/BasePrintLib/PrintLib.c"
  "${_md}/UefiMemoryAllocationLib/MemoryAllocationLib.c"
  "${_md}/UefiBootServicesTableLib/UefiBootServicesTableLib.c"
  "${_md}/UefiRuntimeServicesTableLib/UefiRuntimeServicesTableLib.c"
  "${_md}/BasePciLibCf8/PciLib.c"
  "${_md}/BasePciCf8Lib/PciCf8Lib.c"
  "${_mm}/BaseSerialPortLib16550/BaseSerialPortLib16550.c"
  "${_mm}/BasePlatformHookLibNull/BasePlatformHookLibNull.c")

set(KIT_TARGET_SOURCES
  ${_baselib_target}
  "${_md}/BaseIoLibIntrinsic/IoLibGcc.c"
  "${_md}/BaseIoLibIntrinsic/IoLib.c"
  "${_md}/BaseIoLibIntrinsic/IoHighLevel.c"
  "${_md}/BaseIoLibIntrinsic/IoLibInternalTdxNull.c"
  "${_md}/RegisterFilterLibNull/RegisterFilterLibNull.c")

# The UEFI decompressor, for the host tests that unpack the option ROM.
set(KIT_HOST_SOURCES ${_baselib_host} "${_md}/BaseUefiDecompressLib/BaseUefiDecompressLib.c")

set(KIT_INCLUDE_DIRS
  "${EDK2_PATH}/MdePkg/Include"
  "${EDK2_PATH}/MdePkg/Include/X64"
  "${EDK2_PATH}/MdeModulePkg/Include")
set(KIT_HOST_INCLUDE_DIRS "${EDK2_PATH}/MdePkg/Test/UnitTest/Include")

# Each kit library finds its private headers in its own folder.
set(KIT_LIBRARY_DIRS
  "${_md}/BaseLib" "${_md}/BaseMemoryLib" "${_md}/UefiDevicePathLib" "${_md}/UefiLib"
  "${_md}/BasePrintLib" "${_md}/BaseIoLibIntrinsic" "${_md}/BaseUefiDecompressLib"
  "${_mm}/BaseSerialPortLib16550")

# ---------------------------------------------------------------------------
# The UEFI images link each library instance from an archive of its own, as
# the kit's build tool does, so that the link map names the instances an
# image is made of. For each architecture ARCH (X64, AARCH64, RISCV64):
#
#   KIT_TARGET_LIBRARIES_<ARCH>   the kit's instances, by their INF's BASE_NAME
#   KIT_<NAME>_INF                the instance's INF, relative to the kit
#   KIT_<NAME>_SOURCES_<ARCH>     the files compiled for ARCH (C, and GNU
#                                 assembly .S that the kit preprocesses)
#
# The X64 files are those of the lists above; AArch64 and RISC-V 64 take the
# INF's common C files and what its [Sources.<ARCH>] section adds, of which
# only the assembly that an image can reach (CpuPause, through CpuDeadLoop).

# qd520_kit_library(NAME INF [COMMON file...] [X64 file...] [AARCH64 file...]
#                   [RISCV64 file...])
#   files relative to the INF's folder.
macro(qd520_kit_library NAME INF)
  cmake_parse_arguments(_lib "" "" "COMMON;X64;AARCH64;RISCV64" ${ARGN})
  set(KIT_${NAME}_INF "${INF}")
  get_filename_component(_lib_dir "${EDK2_PATH}/${INF}" DIRECTORY)
  foreach(_lib_arch X64 AARCH64 RISCV64)
    set(KIT_${NAME}_SOURCES_${_lib_arch} ${_lib_COMMON} ${_lib_${_lib_arch}})
    list(TRANSFORM KIT_${NAME}_SOURCES_${_lib_arch} PREPEND "${_lib_dir}/")
    if(KIT_${NAME}_SOURCES_${_lib_arch})
      list(APPEND KIT_TARGET_LIBRARIES_${_lib_arch} ${NAME})
    endif()
  endforeach()
endmacro()

set(KIT_TARGET_LIBRARIES_X64)
set(KIT_TARGET_LIBRARIES_AARCH64)
set(KIT_TARGET_LIBRARIES_RISCV64)

list(TRANSFORM _baselib_common REPLACE "^.*/BaseLib/" "" OUTPUT_VARIABLE _baselib_files)
list(TRANSFORM _baselib_x64 REPLACE "^.*/BaseLib/" "" OUTPUT_VARIABLE _baselib_x64_files)
list(TRANSFORM _baselib_target REPLACE "^.*/BaseLib/" "" OUTPUT_VARIABLE _baselib_x64_target_files)
qd520_kit_library(BaseLib MdePkg/Library/BaseLib/BaseLib.inf
  COMMON ${_baselib_files}
  X64 ${_baselib_x64_files} ${_baselib_x64_target_files}
  AARCH64 Math64.c Arm/Unaligned.c Arm/InternalSwitchStack.c AArch64/SwitchStack.S
  RISCV64 Math64.c Unaligned.c RiscV64/InternalSwitchStack.c RiscV64/CpuPause.c RiscV64/RiscVCpuPause.S)
list(TRANSFORM _memorylib REPLACE "^.*/BaseMemoryLib/" "" OUTPUT_VARIABLE _memorylib_files)
qd520_kit_library(BaseMemoryLib MdePkg/Library/BaseMemoryLib/BaseMemoryLib.inf COMMON ${_memorylib_files})
list(TRANSFORM _devicepathlib REPLACE "^.*/UefiDevicePathLib/" "" OUTPUT_VARIABLE _devicepathlib_files)
qd520_kit_library(UefiDevicePathLib MdePkg/Library/UefiDevicePathLib/UefiDevicePathLib.inf
  COMMON ${_devicepathlib_files})
list(TRANSFORM _uefilib REPLACE "^.*/UefiLib/" "" OUTPUT_VARIABLE _uefilib_files)
qd520_kit_library(UefiLib MdePkg/Library/UefiLib/UefiLib.inf COMMON ${_uefilib_files})
qd520_kit_library(BasePrintLib MdePkg/Library/BasePrintLib/BasePrintLib.inf
  COMMON PrintLibInternal.c PrintLib.c)
qd520_kit_library(UefiMemoryAllocationLib MdePkg/Library/UefiMemoryAllocationLib/UefiMemoryAllocationLib.inf
  COMMON MemoryAllocationLib.c)
qd520_kit_library(UefiBootServicesTableLib MdePkg/Library/UefiBootServicesTableLib/UefiBootServicesTableLib.inf
  COMMON UefiBootServicesTableLib.c)
qd520_kit_library(UefiRuntimeServicesTableLib
  MdePkg/Library/UefiRuntimeServicesTableLib/UefiRuntimeServicesTableLib.inf
  COMMON UefiRuntimeServicesTableLib.c)
# The PC's debug serial port and what reaches it: x64 only.
qd520_kit_library(BasePciLibCf8 MdePkg/Library/BasePciLibCf8/BasePciLibCf8.inf X64 PciLib.c)
qd520_kit_library(BasePciCf8Lib MdePkg/Library/BasePciCf8Lib/BasePciCf8Lib.inf X64 PciCf8Lib.c)
qd520_kit_library(BaseSerialPortLib16550 MdeModulePkg/Library/BaseSerialPortLib16550/BaseSerialPortLib16550.inf
  X64 BaseSerialPortLib16550.c)
qd520_kit_library(BasePlatformHookLibNull MdeModulePkg/Library/BasePlatformHookLibNull/BasePlatformHookLibNull.inf
  X64 BasePlatformHookLibNull.c)
qd520_kit_library(BaseIoLibIntrinsic MdePkg/Library/BaseIoLibIntrinsic/BaseIoLibIntrinsic.inf
  X64 IoLibGcc.c IoLib.c IoHighLevel.c IoLibInternalTdxNull.c)
qd520_kit_library(RegisterFilterLibNull MdePkg/Library/RegisterFilterLibNull/RegisterFilterLibNull.inf
  X64 RegisterFilterLibNull.c)

# The kit's include folders for an architecture.
function(qd520_kit_include_dirs ARCH OUT)
  set(_folder ${ARCH})
  if(ARCH STREQUAL "AARCH64")
    set(_folder AArch64)
  elseif(ARCH STREQUAL "RISCV64")
    set(_folder RiscV64)
  endif()
  set(${OUT} "${EDK2_PATH}/MdePkg/Include" "${EDK2_PATH}/MdePkg/Include/${_folder}"
      "${EDK2_PATH}/MdeModulePkg/Include" PARENT_SCOPE)
endfunction()

# The release of a kit, for the images' SBOM: what the bootstrap noted when
# it fetched the kit (.qd520-release), else git's description of a checkout,
# else the folder's name when it is a release's, else the version of its
# MdePkg.
function(qd520_kit_release KIT OUT)
  set(_release "")
  if(EXISTS "${KIT}/.qd520-release")
    file(STRINGS "${KIT}/.qd520-release" _release LIMIT_COUNT 1)
  elseif(EXISTS "${KIT}/.git")
    execute_process(COMMAND git -C "${KIT}" describe --tags --always OUTPUT_VARIABLE _release
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(_release STREQUAL "")
    get_filename_component(_name "${KIT}" NAME)
    if(_name MATCHES "^edk2-stable[0-9]+$")
      set(_release "${_name}")
    else()
      file(STRINGS "${KIT}/MdePkg/MdePkg.dec" _version REGEX "^[ \t]*PACKAGE_VERSION")
      string(REGEX REPLACE ".*=[ \t]*" "" _version "${_version}")
      set(_release "unknown release (MdePkg ${_version})")
    endif()
  endif()
  set(${OUT} "${_release}" PARENT_SCOPE)
endfunction()
