/** @file
  Console test application of the end-to-end runs: what its commands
  share. Qd520ConsoleTest.cpp describes the commands and dispatches them;
  each has a file of its own (ScriptCommand, ConsoleCommand, HoldCommand,
  SameModeCommand, EndNodeCommand); ConsoleFiles holds the files and the
  report, ConsoleAdapter finds the adapter and reads its screen.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_CONSOLE_TEST_H_
#define QD520_CONSOLE_TEST_H_

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/Acpi.h>
#include <IndustryStandard/Pci.h>
#include <Protocol/DevicePath.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/PciIo.h>
#include <Protocol/ShellParameters.h>
#include <Protocol/SimpleFileSystem.h>
#include <Protocol/SimpleTextOut.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/SerialPortLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

//
// Wide literals are UTF-16 code units here (-fshort-wchar); the kit spells
// them CHAR16.
//
#define QD520_TEXT(Literal)  reinterpret_cast<CONST CHAR16 *>(L"" Literal)

STATIC_ASSERT (sizeof (L"") == sizeof (CHAR16), "wide literals are UTF-16 code units");

namespace Qd520ConsoleTest {

//
// The adapter and the names its driver reports.
//
constexpr UINT16  QD520_VENDOR_ID = 0x7A3C;
constexpr UINT16  QD520_DEVICE_ID = 0x0520;
constexpr CHAR8   QD520_CONTROLLER_NAME[] = "Quandrel QD520 PCI Adapter";
constexpr CHAR8   QD520_DRIVER_NAME[]     = "Quandrel QD520 GOP Driver";

/// PCI identifiers of the display controller a command works on.
struct PCI_IDENTITY {
  UINT16    VendorId;
  UINT16    DeviceId;
};

constexpr PCI_IDENTITY  QD520_IDENTITY = { QD520_VENDOR_ID, QD520_DEVICE_ID };

//
// Files.
//
constexpr UINTN  MAX_LISTING_BYTES = 0x20000;   ///< a shell listing or script template
constexpr UINTN  MAX_REPORT_BYTES  = 0x1000;

/// Text accumulated for NAME.txt.
struct REPORT {
  CHAR8    Text[MAX_REPORT_BYTES];
  UINTN    Length;
};

/// The report of the command under way (ConsoleFiles.cpp).
extern REPORT  mReport;

//
// Holding the screen for the host.
//
constexpr UINT64  HOLD_SECONDS             = 60;
constexpr UINT64  TIMER_UNITS_PER_SECOND   = 10000000;   ///< SetTimer counts 100 ns units

/**
  Appends one formatted line to the report; output beyond its capacity is
  cut off.
**/
VOID
ReportLine (
  IN CONST CHAR8  *Format,
  ...
  );

/**
  Ends the report with the result and writes it to NAME.txt.
**/
VOID
FinishReport (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CONST CHAR16       *Name,
  IN EFI_STATUS         Status
  );

/**
  Opens the root directory of the volume this application was loaded from.
**/
EFI_STATUS
OpenOwnVolume (
  IN  EFI_HANDLE         ImageHandle,
  OUT EFI_FILE_PROTOCOL  **Root
  );

/**
  Replaces the file Name in Root with Size bytes from Data.
**/
EFI_STATUS
WriteWholeFile (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CONST CHAR16       *Name,
  IN CONST VOID         *Data,
  IN UINTN              Size
  );

/**
  Reads the whole file Name into a new pool buffer, NUL-terminated.

  @param[out] Text  The contents; the caller frees it. NULL on failure.
**/
EFI_STATUS
ReadTextFile (
  IN  EFI_FILE_PROTOCOL  *Root,
  IN  CONST CHAR16       *Name,
  OUT CHAR8              **Text
  );

//
// The adapter and its screen.
//

/**
  TRUE when Handle, or the PCI controller its device path lies below (a
  driver may put its graphics output on a child), carries PCI I/O whose
  identifiers are Wanted.
**/
BOOLEAN
IsAdapter (
  IN EFI_HANDLE    Handle,
  IN PCI_IDENTITY  Wanted
  );

/**
  Reads "VVVV:DDDD" (hexadecimal) into Identity.

  @retval FALSE  Text is not of that form.
**/
BOOLEAN
ParseIdentity (
  IN  CONST CHAR16  *Text,
  OUT PCI_IDENTITY  *Identity
  );

/**
  Finds the first handle with Protocol that is the controller Wanted
  identifies (the QD520 unless a command names another).
**/
EFI_STATUS
FindAdapterWith (
  IN  EFI_GUID    *Protocol,
  OUT EFI_HANDLE  *Controller,
  IN  PCI_IDENTITY  Wanted = QD520_IDENTITY
  );

/**
  Finds the graphics output protocol of the QD520: the handle with both a
  graphics output and PCI I/O whose identifiers are the adapter's.
**/
EFI_STATUS
FindAdapterGraphicsOutput (
  OUT EFI_HANDLE                    *Controller,
  OUT EFI_GRAPHICS_OUTPUT_PROTOCOL  **GraphicsOutput,
  IN  PCI_IDENTITY                  Wanted = QD520_IDENTITY
  );

/**
  Reports the graphics mode as the protocol publishes it.
**/
VOID
ReportGraphicsMode (
  IN EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput
  );

/**
  Reads the visible screen through Blt into Screen (width x height pixels).
**/
EFI_STATUS
ReadScreen (
  IN  EFI_GRAPHICS_OUTPUT_PROTOCOL   *GraphicsOutput,
  OUT EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *Screen
  );

/**
  Pixels of Screen whose colour bytes (the reserved byte aside) differ from
  Colour's.
**/
UINTN
CountOtherThan (
  IN CONST EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *Screen,
  IN UINTN                                Pixels,
  IN EFI_GRAPHICS_OUTPUT_BLT_PIXEL        Colour
  );

//
// The commands.
//

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
  );

/**
  The "script" command.
**/
EFI_STATUS
RunScriptCommand (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CHAR16             **Argv
  );

/**
  The "console" command.
**/
EFI_STATUS
RunConsoleCommand (
  IN EFI_FILE_PROTOCOL  *Root,
  IN UINTN              Argc,
  IN CHAR16             **Argv
  );

/**
  The "samemode" command.
**/
EFI_STATUS
RunSameModeCommand (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CHAR16             **Argv
  );

/**
  The "endnode" command.
**/
EFI_STATUS
RunEndNodeCommand (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CHAR16             **Argv
  );

} // namespace Qd520ConsoleTest

#endif // QD520_CONSOLE_TEST_H_
