/** @file
  Build glue of the Qd520VirtualDevice driver (end-to-end runs), written by
  hand in place of what the kit's build tool generates for the module: its
  identity, the driver revision and the module
  entry point list.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>
#include <Library/UefiDriverEntryPoint.h>

//
// FILE_GUID of the module.
//
GLOBAL_REMOVE_IF_UNREFERENCED GUID   gEfiCallerIdGuid      = { 0x5A1E5E1D, 0x520C, 0x4D52, { 0x9F, 0x61, 0x51, 0x44, 0x35, 0x32, 0x30, 0x03 } };
GLOBAL_REMOVE_IF_UNREFERENCED CHAR8  *gEfiCallerBaseName   = "Qd520VirtualDevice";

//
// UEFI 2.1 or later; the virtual adapter stays for the rest of boot services.
//
GLOBAL_REMOVE_IF_UNREFERENCED const UINT32  _gUefiDriverRevision     = 0x0002000AU;
GLOBAL_REMOVE_IF_UNREFERENCED const UINT8   _gDriverUnloadImageCount = 0U;

EFI_STATUS
EFIAPI
ProcessModuleEntryPointList (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  return Qd520VirtualDeviceEntry (ImageHandle, SystemTable);
}

EFI_STATUS
EFIAPI
ProcessModuleUnloadList (
  IN EFI_HANDLE  ImageHandle
  )
{
  return EFI_SUCCESS;
}
