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
  FilePaths.c Math64.c Unaligned.c X86Msr.c X86SpeculationBarrier.c)
set(_baselib_target X64/GccInline.c X64/GccInlinePriv.c X86GetInterruptState.c)
set(_baselib_host X64/GccInline.c UnitTestHost.c X86UnitTestHost.c X86FxSave.c
  X86FxRestore.c X86RdRand.c)

list(TRANSFORM _baselib_common PREPEND "${_md}/BaseLib/")
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
