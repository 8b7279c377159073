/** @file
  Firmware half of the assertion hook: a failed assertion stops the driver
  where it stands, so that the report on the serial port is the last thing
  it does.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Base.h>
#include <Library/BaseLib.h>

#include "SerialDebugLib.h"

VOID
EFIAPI
SerialDebugLibAssertHalt (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  )
{
  CpuDeadLoop ();
}
