/** @file
  Build glue written by hand in place of what the kit's build tool
  generates from the modules' INF files and the platform DSC: the fixed PCD
  values of the platform, the caller's identity and the prototypes of the
  library constructors and entry points. Force-included into every
  translation unit of the modules and of the kit libraries they link, in
  both the UEFI images and the host build.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef AUTOGEN_QUANDREL520GOP_H_
#define AUTOGEN_QUANDREL520GOP_H_

#ifdef __cplusplus
extern "C" {
#endif

#include <Uefi.h>
#include <Library/PcdLib.h>

extern GUID   gEfiCallerIdGuid;
extern GUID   gEdkiiDscPlatformGuid;
extern CHAR8  *gEfiCallerBaseName;


//
// MdePkg fixed PCDs.
//
#define _PCD_VALUE_PcdMaximumLinkedListLength              1000000U
#define _PCD_GET_MODE_32_PcdMaximumLinkedListLength        _PCD_VALUE_PcdMaximumLinkedListLength
#define _PCD_VALUE_PcdMaximumAsciiStringLength             1000000U
#define _PCD_GET_MODE_32_PcdMaximumAsciiStringLength       _PCD_VALUE_PcdMaximumAsciiStringLength
#define _PCD_VALUE_PcdMaximumUnicodeStringLength           1000000U
#define _PCD_GET_MODE_32_PcdMaximumUnicodeStringLength     _PCD_VALUE_PcdMaximumUnicodeStringLength
#define _PCD_VALUE_PcdMaximumDevicePathNodeCount           0U
#define _PCD_GET_MODE_32_PcdMaximumDevicePathNodeCount     _PCD_VALUE_PcdMaximumDevicePathNodeCount
#define _PCD_VALUE_PcdVerifyNodeInList                     ((BOOLEAN)0U)
#define _PCD_GET_MODE_BOOL_PcdVerifyNodeInList             _PCD_VALUE_PcdVerifyNodeInList
#define _PCD_VALUE_PcdControlFlowEnforcementPropertyMask   0x0U
#define _PCD_GET_MODE_32_PcdControlFlowEnforcementPropertyMask  _PCD_VALUE_PcdControlFlowEnforcementPropertyMask
#define _PCD_VALUE_PcdSpeculationBarrierType               0x1U
#define _PCD_GET_MODE_8_PcdSpeculationBarrierType          _PCD_VALUE_PcdSpeculationBarrierType
#define _PCD_VALUE_PcdUefiLibMaxPrintBufferSize            320U
#define _PCD_GET_MODE_32_PcdUefiLibMaxPrintBufferSize      _PCD_VALUE_PcdUefiLibMaxPrintBufferSize
#define _PCD_VALUE_PcdDriverDiagnosticsDisable             ((BOOLEAN)0U)
#define _PCD_GET_MODE_BOOL_PcdDriverDiagnosticsDisable     _PCD_VALUE_PcdDriverDiagnosticsDisable
#define _PCD_VALUE_PcdDriverDiagnostics2Disable            ((BOOLEAN)0U)
#define _PCD_GET_MODE_BOOL_PcdDriverDiagnostics2Disable    _PCD_VALUE_PcdDriverDiagnostics2Disable
#define _PCD_VALUE_PcdComponentNameDisable                 ((BOOLEAN)0U)
#define _PCD_GET_MODE_BOOL_PcdComponentNameDisable         _PCD_VALUE_PcdComponentNameDisable
#define _PCD_VALUE_PcdComponentName2Disable                ((BOOLEAN)0U)
#define _PCD_GET_MODE_BOOL_PcdComponentName2Disable        _PCD_VALUE_PcdComponentName2Disable
#define _PCD_VALUE_PcdUgaConsumeSupport                    ((BOOLEAN)1U)
#define _PCD_GET_MODE_BOOL_PcdUgaConsumeSupport            _PCD_VALUE_PcdUgaConsumeSupport

//
// Debug output: assertions and prints enabled, an assertion halts in a dead
// loop; messages print when their level shares a bit with error, warning or
// information (DEBUG_ERROR | DEBUG_INFO | DEBUG_WARN).
//
#define _PCD_VALUE_PcdDebugPropertyMask                    0x27U
#define _PCD_GET_MODE_8_PcdDebugPropertyMask               _PCD_VALUE_PcdDebugPropertyMask
#define _PCD_VALUE_PcdDebugClearMemoryValue                0xAFU
#define _PCD_GET_MODE_8_PcdDebugClearMemoryValue           _PCD_VALUE_PcdDebugClearMemoryValue
#define _PCD_VALUE_PcdDebugPrintErrorLevel                 0x80000042U
#define _PCD_GET_MODE_32_PcdDebugPrintErrorLevel           _PCD_VALUE_PcdDebugPrintErrorLevel
#define _PCD_VALUE_PcdFixedDebugPrintErrorLevel            0x80000042U
#define _PCD_GET_MODE_32_PcdFixedDebugPrintErrorLevel      _PCD_VALUE_PcdFixedDebugPrintErrorLevel

//
// Debug serial port: a 16550 at I/O port 0x3F8, 115200 baud from the
// standard 1.8432 MHz clock (divisor 1), 8 data bits, no parity, 1 stop bit,
// 16-byte transmit FIFO, no flow control.
//
#define _PCD_VALUE_PcdSerialUseMmio                        ((BOOLEAN)0U)
#define _PCD_GET_MODE_BOOL_PcdSerialUseMmio                _PCD_VALUE_PcdSerialUseMmio
#define _PCD_VALUE_PcdSerialRegisterBase                   0x03F8ULL
#define _PCD_GET_MODE_64_PcdSerialRegisterBase             _PCD_VALUE_PcdSerialRegisterBase
#define _PCD_VALUE_PcdSerialRegisterAccessWidth            8U
#define _PCD_GET_MODE_8_PcdSerialRegisterAccessWidth       _PCD_VALUE_PcdSerialRegisterAccessWidth
#define _PCD_VALUE_PcdSerialRegisterStride                 1U
#define _PCD_GET_MODE_32_PcdSerialRegisterStride           _PCD_VALUE_PcdSerialRegisterStride
#define _PCD_VALUE_PcdSerialUseHardwareFlowControl         ((BOOLEAN)0U)
#define _PCD_GET_MODE_BOOL_PcdSerialUseHardwareFlowControl _PCD_VALUE_PcdSerialUseHardwareFlowControl
#define _PCD_VALUE_PcdSerialDetectCable                    ((BOOLEAN)0U)
#define _PCD_GET_MODE_BOOL_PcdSerialDetectCable            _PCD_VALUE_PcdSerialDetectCable
#define _PCD_VALUE_PcdSerialBaudRate                       115200U
#define _PCD_GET_MODE_32_PcdSerialBaudRate                 _PCD_VALUE_PcdSerialBaudRate
#define _PCD_VALUE_PcdSerialClockRate                      1843200U
#define _PCD_GET_MODE_32_PcdSerialClockRate                _PCD_VALUE_PcdSerialClockRate
#define _PCD_VALUE_PcdSerialLineControl                    0x03U
#define _PCD_GET_MODE_8_PcdSerialLineControl               _PCD_VALUE_PcdSerialLineControl
#define _PCD_VALUE_PcdSerialFifoControl                    0x01U
#define _PCD_GET_MODE_8_PcdSerialFifoControl               _PCD_VALUE_PcdSerialFifoControl
#define _PCD_VALUE_PcdSerialExtendedTxFifoSize             64U
#define _PCD_GET_MODE_32_PcdSerialExtendedTxFifoSize       _PCD_VALUE_PcdSerialExtendedTxFifoSize
extern const UINT8 _gPcd_FixedAtBuild_PcdSerialPciDeviceInfo[1];
#define _PCD_VALUE_PcdSerialPciDeviceInfo                  _gPcd_FixedAtBuild_PcdSerialPciDeviceInfo
#define _PCD_GET_MODE_PTR_PcdSerialPciDeviceInfo           ((VOID *)_PCD_VALUE_PcdSerialPciDeviceInfo)
#define _PCD_SIZE_PcdSerialPciDeviceInfo                   1
#define _PCD_GET_MODE_SIZE_PcdSerialPciDeviceInfo          _PCD_SIZE_PcdSerialPciDeviceInfo

//
// Library constructors, in the order ProcessLibraryConstructorList runs them.
//
RETURN_STATUS EFIAPI SerialDebugLibConstructor (VOID);
EFI_STATUS EFIAPI UefiBootServicesTableLibConstructor (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI UefiRuntimeServicesTableLibConstructor (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

//
// Entry point of the Quandrel520Gop driver.
//
EFI_STATUS EFIAPI InitializeQdl520 (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

//
// Entry point of the end-to-end console test application.
//
EFI_STATUS EFIAPI Qd520ConsoleTestMain (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

#ifdef __cplusplus
}
#endif

#endif // AUTOGEN_QUANDREL520GOP_H_
