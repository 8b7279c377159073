/** @file
  Platform hooks of the serial DebugLib instance.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SERIAL_DEBUG_LIB_H_
#define SERIAL_DEBUG_LIB_H_

/**
  Called after an assertion report has been written to the serial port.
  Firmware builds halt here for good; a host build records the report for
  the running test and returns.

  @param[in] FileName     Source file of the assertion.
  @param[in] LineNumber   Line of the assertion.
  @param[in] Description  The asserted expression as text.
**/
VOID
EFIAPI
SerialDebugLibAssertHalt (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  );

#endif // SERIAL_DEBUG_LIB_H_
