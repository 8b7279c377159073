/** @file
  Host hooks with C linkage that the driver's host build calls.

  SerialDebugLibAssertHalt: the debug library calls it after printing
  "ASSERT file(line): expression", where the target would halt. The host
  records the assertion in the active platform and returns, so the test can
  look at it.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

extern "C" {

VOID
EFIAPI
SerialDebugLibAssertHalt (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  );

VOID
EFIAPI
SerialDebugLibAssertHalt (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  )
{
  Qd520Sim::SimPlatform  *Platform = Qd520Sim::SimPlatform::Current ();

  if (Platform == nullptr) {
    QD520_SIM_FAIL (
      std::string ("driver assertion with no active SimPlatform: ") + (FileName != nullptr ? FileName : "<null>") +
      "(" + std::to_string (LineNumber) + "): " + (Description != nullptr ? Description : "<null>")
      );
    return;
  }

  Platform->RecordAssertion (FileName, LineNumber, Description);
}

} // extern "C"

