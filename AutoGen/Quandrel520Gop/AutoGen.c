/** @file
  Build glue of the Quandrel520Gop driver, written by hand in place of what
  the kit's build tool generates for the module: its identity, the driver
  revision and the module entry point list.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>
#include <Library/UefiDriverEntryPoint.h>

//
// FILE_GUID of the module's INF.
//
GLOBAL_REMOVE_IF_UNREFERENCED GUID   gEfiCallerIdGuid      = { 0x5A1E5E1D, 0x520C, 0x4D52, { 0x9F, 0x61, 0x51, 0x44, 0x35, 0x32, 0x30, 0x01 } };
GLOBAL_REMOVE_IF_UNREFERENCED CHAR8  *gEfiCallerBaseName   = "Quandrel520Gop";

//
// The driver needs UEFI 2.1 or later; it has no unload handler.
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
  return InitializeQdl520 (ImageHandle, SystemTable);
}

EFI_STATUS
EFIAPI
ProcessModuleUnloadList (
  IN EFI_HANDLE  ImageHandle
  )
{
  return EFI_SUCCESS;
}
