/** @file
  Console test application: the "hold" command, which the other commands
  end with too: the screens held for the host's screenshots until a key
  comes.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ConsoleTest.h"

namespace Qd520ConsoleTest {

/**
  Holds the screens for the host: drops pending keys, writes
  "QD520 console test: hold NAME" to the serial port only and waits for a
  key, at most HOLD_SECONDS.

  @retval EFI_SUCCESS  A key came.
  @retval EFI_TIMEOUT  None came.
**/
EFI_STATUS
HoldForHost (
  IN CONST CHAR16  *Name
  )
{
  EFI_STATUS     Status;
  EFI_INPUT_KEY  Key;
  EFI_EVENT      Events[2];
  UINTN          Signalled;
  CHAR8          Line[128];
  UINTN          Length;

  while (!EFI_ERROR (gST->ConIn->ReadKeyStroke (gST->ConIn, &Key))) {
  }

  Status = gBS->CreateEvent (EVT_TIMER, TPL_APPLICATION, NULL, NULL, &Events[1]);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Length = AsciiSPrint (Line, sizeof (Line), "QD520 console test: hold %s\r\n", Name);
  SerialPortWrite (reinterpret_cast<UINT8 *>(Line), Length);

  Events[0] = gST->ConIn->WaitForKey;
  Status    = gBS->SetTimer (Events[1], TimerRelative, HOLD_SECONDS * TIMER_UNITS_PER_SECOND);
  if (!EFI_ERROR (Status)) {
    Status = gBS->WaitForEvent (2, Events, &Signalled);
  }

  gBS->CloseEvent (Events[1]);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (Signalled != 0) {
    return EFI_TIMEOUT;
  }

  gST->ConIn->ReadKeyStroke (gST->ConIn, &Key);
  return EFI_SUCCESS;
}

} // namespace Qd520ConsoleTest
