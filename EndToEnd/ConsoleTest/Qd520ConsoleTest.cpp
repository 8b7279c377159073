/** @file
  Console test application of the end-to-end runs, started from the UEFI
  Shell. Four commands, files named relative to the root of the volume the
  application was loaded from:

  Qd520ConsoleTest.efi script DEVICES DRIVERS TEMPLATE SCRIPT
    Finds the shell handle indices of the QD520 controller (the line of the
    shell's "devices" listing DEVICES that names "Quandrel QD520 PCI
    Adapter") and of the QD520 driver (the line of the "drivers" listing
    DRIVERS that names "Quandrel QD520 GOP Driver"), and writes SCRIPT:
    TEMPLATE with every @CONTROLLER@ and @DRIVER@ replaced by the index in
    hexadecimal. Shell scripts cannot capture command output; this is how a
    later script step names the handles.

  Qd520ConsoleTest.efi console LINES NAME [VVVV:DDDD]
    Drives the text output that the firmware's graphics console bound to the
    QD520's graphics output (or to that of the display controller with PCI
    vendor VVVV and device DDDD, hexadecimal): text mode 0 (80x25), yellow
    on blue, cursor on, clear screen, then LINES lines followed by CR LF,
    enough to scroll. Line k
    (from 1) is k + LINE_LENGTH_BASE characters long: k as two decimal
    digits, ':', then the letters a to z over and over. Then it writes:
    - NAME.bgrx: the frame buffer as the adapter holds it, FrameBufferSize
      bytes read from FrameBufferBase;
    - NAME-blt.bgrx: the visible screen read back through Blt
      (EfiBltVideoToBltBuffer), width x height pixels;
    - NAME.txt: key=value lines describing the graphics and text modes,
      the status of every call and the time the lines took (processor
      time-stamp ticks, and ticks per millisecond measured with Stall).
  Then it holds the screen for the host (see "hold") and prints one summary
  line on the shell console ("QD520 console test:").

  Qd520ConsoleTest.efi samemode NAME
    On the QD520's graphics output: fills the visible screen blue through
    Blt and reads it back, sets the current mode again and reads the screen
    back through Blt and straight from the frame buffer. The visible screen
    and the mode's whole frame must be black, and the mode record unchanged.
    Holds the black screen for the host, writes NAME.txt and prints one
    summary line.

  Qd520ConsoleTest.efi hold NAME
    Holds the screen for the host: writes "QD520 console test: hold NAME" to
    the serial port only (nothing reaches the screens) and waits for a key,
    at most HOLD_SECONDS. A harness takes its screenshots on that line and
    then sends the key.

  Qd520ConsoleTest.efi endnode NAME
    The QD520 controller must have no graphics output (disconnected). It is
    connected with an end-node remaining device path, which asks for the
    controller without children: the graphics output must appear on the
    controller, no new child with a path below the controller's, the mode
    set must have cleared all of BAR 0 (filled with a pattern beforehand)
    and the console text output bound to it must draw; then
    DisconnectController must remove the graphics output and leave PCI I/O open BY_DRIVER by
    nobody. The controller is left disconnected. Writes NAME.txt and prints
    one summary line.

  This file dispatches the commands; each has a file of its own
  (ScriptCommand, ConsoleCommand, HoldCommand, SameModeCommand,
  EndNodeCommand), and ConsoleTest.h lists what they share.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ConsoleTest.h"

using namespace Qd520ConsoleTest;

/**
  Application entry: dispatches on the first shell argument.
**/
EFI_STATUS
EFIAPI
Qd520ConsoleTestMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS                     Status;
  EFI_SHELL_PARAMETERS_PROTOCOL  *Parameters;
  EFI_FILE_PROTOCOL              *Root;

  Status = gBS->HandleProtocol (ImageHandle, &gEfiShellParametersProtocolGuid, reinterpret_cast<VOID **>(&Parameters));
  if (EFI_ERROR (Status)) {
    Print (QD520_TEXT ("QD520 console test: run me from the UEFI Shell\n"));
    return Status;
  }

  Status = OpenOwnVolume (ImageHandle, &Root);
  if (EFI_ERROR (Status)) {
    Print (QD520_TEXT ("QD520 console test: no file system on the image's device: %r\n"), Status);
    return Status;
  }

  if ((Parameters->Argc == 6) && (StrCmp (Parameters->Argv[1], QD520_TEXT ("script")) == 0)) {
    Status = RunScriptCommand (Root, Parameters->Argv);
  } else if (((Parameters->Argc == 4) || (Parameters->Argc == 5)) && (StrCmp (Parameters->Argv[1], QD520_TEXT ("console")) == 0)) {
    Status = RunConsoleCommand (Root, Parameters->Argc, Parameters->Argv);
  } else if ((Parameters->Argc == 3) && (StrCmp (Parameters->Argv[1], QD520_TEXT ("hold")) == 0)) {
    Status = HoldForHost (Parameters->Argv[2]);
  } else if ((Parameters->Argc == 3) && (StrCmp (Parameters->Argv[1], QD520_TEXT ("samemode")) == 0)) {
    Status = RunSameModeCommand (Root, Parameters->Argv);
  } else if ((Parameters->Argc == 3) && (StrCmp (Parameters->Argv[1], QD520_TEXT ("endnode")) == 0)) {
    Status = RunEndNodeCommand (Root, Parameters->Argv);
  } else {
    Print (QD520_TEXT ("usage: Qd520ConsoleTest.efi script DEVICES DRIVERS TEMPLATE SCRIPT\n"));
    Print (QD520_TEXT ("       Qd520ConsoleTest.efi console LINES NAME [VVVV:DDDD]\n"));
    Print (QD520_TEXT ("       Qd520ConsoleTest.efi hold NAME\n"));
    Print (QD520_TEXT ("       Qd520ConsoleTest.efi samemode NAME\n"));
    Print (QD520_TEXT ("       Qd520ConsoleTest.efi endnode NAME\n"));
    Status = EFI_INVALID_PARAMETER;
  }

  Root->Close (Root);
  return Status;
}
