/** @file
  Build glue of the Qd520ConsoleTest application (end-to-end runs), written
  by hand in place of what the kit's build tool generates for the module:
  its identity, the required UEFI revision and the module
  entry point list of an application.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>
#include <Library/UefiApplicationEntryPoint.h>

//
// FILE_GUID of the module.
//
GLOBAL_REMOVE_IF_UNREFERENCED GUID   gEfiCallerIdGuid      = { 0x5A1E5E1D, 0x520C, 0x4D52, { 0x9F, 0x61, 0x51, 0x44, 0x35, 0x32, 0x30, 0x04 } };
GLOBAL_REMOVE_IF_UNREFERENCED CHAR8  *gEfiCallerBaseName   = "Qd520ConsoleTest";

//
// The application needs UEFI 2.1 or later.
//
GLOBAL_REMOVE_IF_UNREFERENCED const UINT32  _gUefiDriverRevision = 0x0002000AU;

EFI_STATUS
EFIAPI
ProcessModuleEntryPointList (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  return Qd520ConsoleTestMain (ImageHandle, SystemTable);
}
