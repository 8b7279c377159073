/** @file
  Console test application: the "script" command, which writes a shell
  script naming the QD520's controller and driver by their handle indices.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ConsoleTest.h"

namespace Qd520ConsoleTest {

namespace {

/**
  Finds the first line of a shell listing that contains Name and returns
  the handle index it starts with (hexadecimal, after leading blanks).

  @retval FALSE  No line names it.
**/
BOOLEAN
FindListedHandle (
  IN  CONST CHAR8  *Listing,
  IN  CONST CHAR8  *Name,
  OUT UINTN        *Index
  )
{
  CONST CHAR8  *Match;
  CONST CHAR8  *Line;

  Match = AsciiStrStr (Listing, Name);
  if (Match == NULL) {
    return FALSE;
  }

  Line = Match;
  while ((Line > Listing) && (Line[-1] != '\n')) {
    Line--;
  }

  while ((*Line == ' ') || (*Line == '\t')) {
    Line++;
  }

  if (!(((*Line >= '0') && (*Line <= '9')) || ((*Line >= 'A') && (*Line <= 'F')) || ((*Line >= 'a') && (*Line <= 'f')))) {
    return FALSE;
  }

  *Index = AsciiStrHexToUintn (Line);
  return TRUE;
}

/**
  Writes Template to Output with each @CONTROLLER@ and @DRIVER@ replaced.
**/
EFI_STATUS
ExpandTemplate (
  IN  CONST CHAR8  *Template,
  IN  UINTN        Controller,
  IN  UINTN        Driver,
  OUT CHAR8        *Output,
  IN  UINTN        OutputSize,
  OUT UINTN        *OutputLength
  )
{
  constexpr CHAR8  ControllerKey[] = "@CONTROLLER@";
  constexpr CHAR8  DriverKey[]     = "@DRIVER@";
  UINTN            Length;

  Length = 0;
  while (*Template != '\0') {
    if (Length + 2 * sizeof (UINTN) + 1 >= OutputSize) {
      return EFI_BUFFER_TOO_SMALL;
    }

    if (AsciiStrnCmp (Template, ControllerKey, sizeof (ControllerKey) - 1) == 0) {
      Length   += AsciiSPrint (&Output[Length], OutputSize - Length, "%X", Controller);
      Template += sizeof (ControllerKey) - 1;
    } else if (AsciiStrnCmp (Template, DriverKey, sizeof (DriverKey) - 1) == 0) {
      Length   += AsciiSPrint (&Output[Length], OutputSize - Length, "%X", Driver);
      Template += sizeof (DriverKey) - 1;
    } else {
      Output[Length++] = *Template++;
    }
  }

  *OutputLength = Length;
  return EFI_SUCCESS;
}

} // namespace

/**
  The "script" command.
**/
EFI_STATUS
RunScriptCommand (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CHAR16             **Argv
  )
{
  EFI_STATUS  Status;
  CHAR8       *Devices;
  CHAR8       *Drivers;
  CHAR8       *Template;
  CHAR8       *Script;
  UINTN       Controller;
  UINTN       Driver;
  UINTN       Length;

  Devices  = NULL;
  Drivers  = NULL;
  Template = NULL;
  Script   = NULL;

  Status = ReadTextFile (Root, Argv[2], &Devices);
  if (!EFI_ERROR (Status)) {
    Status = ReadTextFile (Root, Argv[3], &Drivers);
  }

  if (!EFI_ERROR (Status)) {
    Status = ReadTextFile (Root, Argv[4], &Template);
  }

  if (EFI_ERROR (Status)) {
    Print (QD520_TEXT ("QD520 console test: cannot read the listings or the template: %r\n"), Status);
  } else if (!FindListedHandle (Devices, QD520_CONTROLLER_NAME, &Controller)) {
    Print (QD520_TEXT ("QD520 console test: no device named \"%a\" in %s\n"), QD520_CONTROLLER_NAME, Argv[2]);
    Status = EFI_NOT_FOUND;
  } else if (!FindListedHandle (Drivers, QD520_DRIVER_NAME, &Driver)) {
    Print (QD520_TEXT ("QD520 console test: no driver named \"%a\" in %s\n"), QD520_DRIVER_NAME, Argv[3]);
    Status = EFI_NOT_FOUND;
  } else {
    Script = static_cast<CHAR8 *>(AllocatePool (MAX_LISTING_BYTES));
    Status = (Script == NULL) ? EFI_OUT_OF_RESOURCES :
             ExpandTemplate (Template, Controller, Driver, Script, MAX_LISTING_BYTES, &Length);
    if (!EFI_ERROR (Status)) {
      Status = WriteWholeFile (Root, Argv[5], Script, Length);
    }

    Print (QD520_TEXT ("QD520 console test: controller %X, driver %X, script %s: %r\n"), Controller, Driver, Argv[5], Status);
  }

  CHAR8  *Buffers[] = { Devices, Drivers, Template, Script };

  for (CHAR8 *Buffer : Buffers) {
    if (Buffer != NULL) {
      FreePool (Buffer);
    }
  }

  return Status;
}

} // namespace Qd520ConsoleTest
