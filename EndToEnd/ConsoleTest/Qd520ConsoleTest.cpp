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

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

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

namespace {

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
// The console pattern.
//
constexpr UINTN  LINE_LENGTH_BASE   = 10;   ///< line k is k + LINE_LENGTH_BASE characters long
constexpr UINTN  LINE_NUMBER_DIGITS = 2;
constexpr UINTN  MAX_LINES          = 99;   ///< two decimal digits
constexpr UINTN  TEXT_MODE          = 0;    ///< 80x25, offered by every console
constexpr UINTN  TEXT_ATTRIBUTE     = EFI_TEXT_ATTR (EFI_YELLOW, EFI_BLUE);
constexpr UINTN  LETTERS            = 26;

//
// Holding the screen for the host, and timing.
//
constexpr UINT64  HOLD_SECONDS             = 60;
constexpr UINT64  TIMER_UNITS_PER_SECOND   = 10000000;   ///< SetTimer counts 100 ns units
constexpr UINTN   CALIBRATION_MICROSECONDS = 100000;
constexpr UINTN   MICROSECONDS_PER_MS      = 1000;

//
// BAR 0 filled before a mode set: a pixel no mode set leaves behind.
//
constexpr UINT8   FRAME_BUFFER_BAR = 0;
constexpr UINT32  BAR_FILL_PIXEL   = 0xA5C3E1F0;

constexpr UINTN
LineLength (
  UINTN  LineNumber
  )
{
  return LineNumber + LINE_LENGTH_BASE;
}

STATIC_ASSERT (LineLength (1) > LINE_NUMBER_DIGITS + 1, "a line holds its number and the colon");
STATIC_ASSERT (LineLength (40) == 50, "line 40 fills 50 columns");

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

REPORT  mReport;

/**
  Appends one formatted line to the report; output beyond its capacity is
  cut off.
**/
VOID
ReportLine (
  IN CONST CHAR8  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  mReport.Length += AsciiVSPrint (&mReport.Text[mReport.Length], sizeof (mReport.Text) - mReport.Length, Format, Marker);
  VA_END (Marker);
}

/**
  Opens the root directory of the volume this application was loaded from.
**/
EFI_STATUS
OpenOwnVolume (
  IN  EFI_HANDLE         ImageHandle,
  OUT EFI_FILE_PROTOCOL  **Root
  )
{
  EFI_STATUS                       Status;
  EFI_LOADED_IMAGE_PROTOCOL        *LoadedImage;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *FileSystem;

  Status = gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&LoadedImage));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->HandleProtocol (
                  LoadedImage->DeviceHandle,
                  &gEfiSimpleFileSystemProtocolGuid,
                  reinterpret_cast<VOID **>(&FileSystem)
                  );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return FileSystem->OpenVolume (FileSystem, Root);
}

/**
  Replaces the file Name in Root with Size bytes from Data.
**/
EFI_STATUS
WriteWholeFile (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CONST CHAR16       *Name,
  IN CONST VOID         *Data,
  IN UINTN              Size
  )
{
  EFI_STATUS         Status;
  EFI_FILE_PROTOCOL  *File;
  UINTN              Written;

  Status = Root->Open (Root, &File, const_cast<CHAR16 *>(Name), EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0);
  if (!EFI_ERROR (Status)) {
    File->Delete (File);
  }

  Status = Root->Open (
                   Root,
                   &File,
                   const_cast<CHAR16 *>(Name),
                   EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE,
                   0
                   );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Written = Size;
  Status  = File->Write (File, &Written, const_cast<VOID *>(Data));
  if (!EFI_ERROR (Status) && (Written != Size)) {
    Status = EFI_VOLUME_FULL;
  }

  File->Close (File);
  return Status;
}

/**
  Reads the whole file Name into a new pool buffer, NUL-terminated.

  @param[out] Text  The contents; the caller frees it. NULL on failure.
**/
EFI_STATUS
ReadTextFile (
  IN  EFI_FILE_PROTOCOL  *Root,
  IN  CONST CHAR16       *Name,
  OUT CHAR8              **Text
  )
{
  EFI_STATUS         Status;
  EFI_FILE_PROTOCOL  *File;
  UINTN              Size;

  *Text = static_cast<CHAR8 *>(AllocateZeroPool (MAX_LISTING_BYTES + 1));
  if (*Text == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = Root->Open (Root, &File, const_cast<CHAR16 *>(Name), EFI_FILE_MODE_READ, 0);
  if (!EFI_ERROR (Status)) {
    Size   = MAX_LISTING_BYTES;
    Status = File->Read (File, &Size, *Text);
    File->Close (File);
  }

  if (EFI_ERROR (Status)) {
    FreePool (*Text);
    *Text = NULL;
  }

  return Status;
}

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

/**
  TRUE when Handle, or the PCI controller its device path lies below (a
  driver may put its graphics output on a child), carries PCI I/O whose
  identifiers are Wanted.
**/
BOOLEAN
IsAdapter (
  IN EFI_HANDLE    Handle,
  IN PCI_IDENTITY  Wanted
  )
{
  EFI_PCI_IO_PROTOCOL       *PciIo;
  EFI_DEVICE_PATH_PROTOCOL  *Path;
  EFI_HANDLE                PciHandle;
  UINT16                    Identity[2];

  PciHandle = Handle;
  if (EFI_ERROR (gBS->HandleProtocol (Handle, &gEfiPciIoProtocolGuid, reinterpret_cast<VOID **>(&PciIo)))) {
    if (EFI_ERROR (gBS->HandleProtocol (Handle, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path))) ||
        EFI_ERROR (gBS->LocateDevicePath (&gEfiPciIoProtocolGuid, &Path, &PciHandle)))
    {
      return FALSE;
    }
  }

  return (BOOLEAN)(!EFI_ERROR (gBS->HandleProtocol (PciHandle, &gEfiPciIoProtocolGuid, reinterpret_cast<VOID **>(&PciIo))) &&
                   !EFI_ERROR (PciIo->Pci.Read (PciIo, EfiPciIoWidthUint16, PCI_VENDOR_ID_OFFSET, 2, Identity)) &&
                   (Identity[0] == Wanted.VendorId) && (Identity[1] == Wanted.DeviceId));
}

/**
  Reads "VVVV:DDDD" (hexadecimal) into Identity.

  @retval FALSE  Text is not of that form.
**/
BOOLEAN
ParseIdentity (
  IN  CONST CHAR16  *Text,
  OUT PCI_IDENTITY  *Identity
  )
{
  constexpr UINTN  DIGITS = 4;
  CHAR16           Vendor[DIGITS + 1];

  if ((StrLen (Text) != 2 * DIGITS + 1) || (Text[DIGITS] != L':')) {
    return FALSE;
  }

  StrnCpyS (Vendor, DIGITS + 1, Text, DIGITS);
  Identity->VendorId = static_cast<UINT16>(StrHexToUintn (Vendor));
  Identity->DeviceId = static_cast<UINT16>(StrHexToUintn (&Text[DIGITS + 1]));
  return TRUE;
}

/**
  Finds the first handle with Protocol that is the controller Wanted
  identifies (the QD520 unless a command names another).
**/
EFI_STATUS
FindAdapterWith (
  IN  EFI_GUID    *Protocol,
  OUT EFI_HANDLE  *Controller,
  IN  PCI_IDENTITY  Wanted = QD520_IDENTITY
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  *Handles;
  UINTN       Count;

  Status = gBS->LocateHandleBuffer (ByProtocol, Protocol, NULL, &Count, &Handles);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = EFI_NOT_FOUND;
  for (UINTN Index = 0; Index < Count; Index++) {
    if (IsAdapter (Handles[Index], Wanted)) {
      *Controller = Handles[Index];
      Status      = EFI_SUCCESS;
      break;
    }
  }

  FreePool (Handles);
  return Status;
}

/**
  Finds the graphics output protocol of the QD520: the handle with both a
  graphics output and PCI I/O whose identifiers are the adapter's.
**/
EFI_STATUS
FindAdapterGraphicsOutput (
  OUT EFI_HANDLE                    *Controller,
  OUT EFI_GRAPHICS_OUTPUT_PROTOCOL  **GraphicsOutput,
  IN  PCI_IDENTITY                  Wanted = QD520_IDENTITY
  )
{
  EFI_STATUS  Status;

  Status = FindAdapterWith (&gEfiGraphicsOutputProtocolGuid, Controller, Wanted);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return gBS->HandleProtocol (*Controller, &gEfiGraphicsOutputProtocolGuid, reinterpret_cast<VOID **>(GraphicsOutput));
}

/**
  Builds line LineNumber of the pattern, with CR LF, into Line (room for
  Columns characters plus CR, LF and NUL).
**/
VOID
BuildLine (
  IN  UINTN   LineNumber,
  OUT CHAR16  *Line
  )
{
  UINTN  Length;
  UINTN  Index;

  Length  = LineLength (LineNumber);
  Line[0] = static_cast<CHAR16>(L'0' + LineNumber / 10);
  Line[1] = static_cast<CHAR16>(L'0' + LineNumber % 10);
  Line[2] = L':';
  for (Index = LINE_NUMBER_DIGITS + 1; Index < Length; Index++) {
    Line[Index] = static_cast<CHAR16>(L'a' + (Index - (LINE_NUMBER_DIGITS + 1)) % LETTERS);
  }

  Line[Length]     = L'\r';
  Line[Length + 1] = L'\n';
  Line[Length + 2] = L'\0';
}

/**
  Prints the pattern through TextOut. Returns the number of calls that
  failed; the first failing status goes to *FirstError.
**/
UINTN
DrawPattern (
  IN  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *TextOut,
  IN  UINTN                            Lines,
  OUT EFI_STATUS                       *FirstError
  )
{
  CHAR16      Line[MAX_LINES + LINE_LENGTH_BASE + 3];
  UINTN       Failures;
  EFI_STATUS  Status;

  STATIC_ASSERT (sizeof (Line) / sizeof (Line[0]) >= LineLength (MAX_LINES) + 3, "longest line, CR LF and NUL");

  Failures    = 0;
  *FirstError = EFI_SUCCESS;
  for (UINTN LineNumber = 1; LineNumber <= Lines; LineNumber++) {
    BuildLine (LineNumber, Line);
    Status = TextOut->OutputString (TextOut, Line);
    if (EFI_ERROR (Status)) {
      if (Failures++ == 0) {
        *FirstError = Status;
      }
    }
  }

  return Failures;
}

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

/**
  Time-stamp counter ticks per millisecond, measured against Stall.
**/
UINT64
TicksPerMillisecond (
  VOID
  )
{
  UINT64  Start;

  Start = AsmReadTsc ();
  gBS->Stall (CALIBRATION_MICROSECONDS);
  return (AsmReadTsc () - Start) / (CALIBRATION_MICROSECONDS / MICROSECONDS_PER_MS);
}

/**
  Reports the graphics mode as the protocol publishes it.
**/
VOID
ReportGraphicsMode (
  IN EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput
  )
{
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE  *Mode;

  Mode = GraphicsOutput->Mode;
  ReportLine ("gop_mode=%u\ngop_max_mode=%u\n", Mode->Mode, Mode->MaxMode);
  ReportLine (
    "width=%u\nheight=%u\npixel_format=%u\npixels_per_scan_line=%u\n",
    Mode->Info->HorizontalResolution,
    Mode->Info->VerticalResolution,
    (UINT32)Mode->Info->PixelFormat,
    Mode->Info->PixelsPerScanLine
    );
  ReportLine ("frame_buffer_base=0x%lx\nframe_buffer_size=%lu\n", Mode->FrameBufferBase, (UINT64)Mode->FrameBufferSize);
}

/**
  Writes the frame buffer (as the adapter holds it) and the screen as Blt
  reads it back.
**/
VOID
DumpScreen (
  IN EFI_FILE_PROTOCOL             *Root,
  IN EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput,
  IN CONST CHAR16                  *Name
  )
{
  EFI_STATUS                         Status;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE  *Mode;
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL      *Screen;
  UINTN                              Width;
  UINTN                              Height;
  CHAR16                             FileName[64];

  Mode   = GraphicsOutput->Mode;
  Width  = Mode->Info->HorizontalResolution;
  Height = Mode->Info->VerticalResolution;

  UnicodeSPrint (FileName, sizeof (FileName), QD520_TEXT ("%s.bgrx"), Name);
  Status = WriteWholeFile (
             Root,
             FileName,
             reinterpret_cast<CONST VOID *>(static_cast<UINTN>(Mode->FrameBufferBase)),
             Mode->FrameBufferSize
             );
  ReportLine ("frame_buffer_file_status=%r\n", Status);

  Screen = static_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(AllocateZeroPool (Width * Height * sizeof (*Screen)));
  if (Screen == NULL) {
    ReportLine ("blt_read_status=%r\n", EFI_OUT_OF_RESOURCES);
    return;
  }

  Status = GraphicsOutput->Blt (GraphicsOutput, Screen, EfiBltVideoToBltBuffer, 0, 0, 0, 0, Width, Height, 0);
  ReportLine ("blt_read_status=%r\n", Status);
  UnicodeSPrint (FileName, sizeof (FileName), QD520_TEXT ("%s-blt.bgrx"), Name);
  Status = WriteWholeFile (Root, FileName, Screen, Width * Height * sizeof (*Screen));
  ReportLine ("blt_file_status=%r\n", Status);
  FreePool (Screen);
}

/**
  The "console" command.
**/
EFI_STATUS
RunConsoleCommand (
  IN EFI_FILE_PROTOCOL  *Root,
  IN UINTN              Argc,
  IN CHAR16             **Argv
  )
{
  EFI_STATUS                       Status;
  EFI_STATUS                       FirstError;
  EFI_HANDLE                       Controller;
  EFI_GRAPHICS_OUTPUT_PROTOCOL     *GraphicsOutput;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *TextOut;
  UINTN                            Lines;
  UINTN                            Columns;
  UINTN                            Rows;
  UINTN                            Failures;
  CHAR16                           FileName[64];
  PCI_IDENTITY                     Identity;
  UINT64                           Ticks;

  Lines    = StrDecimalToUintn (Argv[2]);
  Identity = QD520_IDENTITY;
  if ((Lines == 0) || (Lines > MAX_LINES) || ((Argc > 4) && !ParseIdentity (Argv[4], &Identity))) {
    Print (QD520_TEXT ("QD520 console test: LINES must be 1 to %u, the controller VVVV:DDDD\n"), (UINT32)MAX_LINES);
    return EFI_INVALID_PARAMETER;
  }

  mReport.Length = 0;
  ReportLine ("lines=%u\nline_length_base=%u\ntext_attribute=0x%x\n", (UINT32)Lines, (UINT32)LINE_LENGTH_BASE, (UINT32)TEXT_ATTRIBUTE);
  ReportLine ("vendor_id=0x%04x\ndevice_id=0x%04x\n", Identity.VendorId, Identity.DeviceId);

  Status = FindAdapterGraphicsOutput (&Controller, &GraphicsOutput, Identity);
  ReportLine ("graphics_output_status=%r\n", Status);
  if (!EFI_ERROR (Status)) {
    Status = gBS->HandleProtocol (Controller, &gEfiSimpleTextOutProtocolGuid, reinterpret_cast<VOID **>(&TextOut));
    ReportLine ("text_output_status=%r\n", Status);
  }

  if (!EFI_ERROR (Status)) {
    ReportLine ("set_text_mode_status=%r\n", TextOut->SetMode (TextOut, TEXT_MODE));
    Status = TextOut->QueryMode (TextOut, TEXT_MODE, &Columns, &Rows);
    ReportLine ("text_mode=%d\ncolumns=%u\nrows=%u\nquery_text_mode_status=%r\n", TextOut->Mode->Mode, (UINT32)Columns, (UINT32)Rows, Status);
  }

  if (!EFI_ERROR (Status) && (LineLength (Lines) >= Columns)) {
    Status = EFI_INVALID_PARAMETER;
    ReportLine ("lines_too_long=1\n");
  }

  if (!EFI_ERROR (Status)) {
    ReportLine ("set_attribute_status=%r\n", TextOut->SetAttribute (TextOut, TEXT_ATTRIBUTE));
    ReportLine ("enable_cursor_status=%r\n", TextOut->EnableCursor (TextOut, TRUE));
    ReportLine ("clear_screen_status=%r\n", TextOut->ClearScreen (TextOut));
    Ticks    = AsmReadTsc ();
    Failures = DrawPattern (TextOut, Lines, &FirstError);
    Ticks    = AsmReadTsc () - Ticks;
    ReportLine ("output_string_failures=%u\noutput_string_first_error=%r\n", (UINT32)Failures, FirstError);
    ReportLine ("draw_ticks=%lu\nticks_per_ms=%lu\n", Ticks, TicksPerMillisecond ());
    ReportLine ("cursor_column=%d\ncursor_row=%d\ncursor_visible=%d\n", TextOut->Mode->CursorColumn, TextOut->Mode->CursorRow, (INT32)TextOut->Mode->CursorVisible);
    ReportGraphicsMode (GraphicsOutput);
    DumpScreen (Root, GraphicsOutput, Argv[3]);
    ReportLine ("hold_status=%r\n", HoldForHost (Argv[3]));
  }

  ReportLine ("result=%r\n", Status);
  UnicodeSPrint (FileName, sizeof (FileName), QD520_TEXT ("%s.txt"), Argv[3]);
  WriteWholeFile (Root, FileName, mReport.Text, mReport.Length);
  Print (QD520_TEXT ("QD520 console test: %u lines drawn, screen written to %s: %r\n"), (UINT32)Lines, Argv[3], Status);
  return Status;
}

/**
  Writes the report to NAME.txt and prints the summary line.
**/
VOID
FinishReport (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CONST CHAR16       *Name,
  IN EFI_STATUS         Status
  )
{
  CHAR16  FileName[64];

  ReportLine ("result=%r\n", Status);
  UnicodeSPrint (FileName, sizeof (FileName), QD520_TEXT ("%s.txt"), Name);
  WriteWholeFile (Root, FileName, mReport.Text, mReport.Length);
}

/**
  Pixels of Screen whose colour bytes (the reserved byte aside) differ from
  Colour's.
**/
UINTN
CountOtherThan (
  IN CONST EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *Screen,
  IN UINTN                                Pixels,
  IN EFI_GRAPHICS_OUTPUT_BLT_PIXEL        Colour
  )
{
  UINTN  Count;

  Count = 0;
  for (UINTN Index = 0; Index < Pixels; Index++) {
    if ((Screen[Index].Blue != Colour.Blue) || (Screen[Index].Green != Colour.Green) || (Screen[Index].Red != Colour.Red)) {
      Count++;
    }
  }

  return Count;
}

/**
  Reads the visible screen through Blt into Screen (width x height pixels).
**/
EFI_STATUS
ReadScreen (
  IN  EFI_GRAPHICS_OUTPUT_PROTOCOL   *GraphicsOutput,
  OUT EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *Screen
  )
{
  return GraphicsOutput->Blt (
                           GraphicsOutput,
                           Screen,
                           EfiBltVideoToBltBuffer,
                           0,
                           0,
                           0,
                           0,
                           GraphicsOutput->Mode->Info->HorizontalResolution,
                           GraphicsOutput->Mode->Info->VerticalResolution,
                           0
                           );
}

/**
  The "samemode" command.
**/
EFI_STATUS
RunSameModeCommand (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CHAR16             **Argv
  )
{
  constexpr EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Blue  = { 0xFF, 0x00, 0x00, 0x00 };
  constexpr EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Black = { 0x00, 0x00, 0x00, 0x00 };
  EFI_STATUS                               Status;
  EFI_HANDLE                               Controller;
  EFI_GRAPHICS_OUTPUT_PROTOCOL             *GraphicsOutput;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE        Before;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION     InfoBefore;
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL            *Screen;
  UINTN                                    Pixels;
  UINTN                                    NotBlue;
  UINTN                                    NotBlack;
  UINTN                                    FrameNotBlack;
  BOOLEAN                                  Unchanged;
  CONST UINT32                             *Frame;

  mReport.Length = 0;
  Screen         = NULL;
  Pixels         = 0;
  NotBlue        = 0;
  Status         = FindAdapterGraphicsOutput (&Controller, &GraphicsOutput);
  ReportLine ("graphics_output_status=%r\n", Status);
  if (!EFI_ERROR (Status)) {
    CopyMem (&Before, GraphicsOutput->Mode, sizeof (Before));
    CopyMem (&InfoBefore, GraphicsOutput->Mode->Info, sizeof (InfoBefore));
    ReportGraphicsMode (GraphicsOutput);
    Pixels = (UINTN)InfoBefore.HorizontalResolution * InfoBefore.VerticalResolution;
    Screen = static_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(AllocatePool (Pixels * sizeof (*Screen)));
    Status = (Screen == NULL) ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
  }

  if (!EFI_ERROR (Status)) {
    //
    // Draw: the visible screen blue, and proof that it is.
    //
    Status = GraphicsOutput->Blt (
                               GraphicsOutput,
                               const_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(&Blue),
                               EfiBltVideoFill,
                               0,
                               0,
                               0,
                               0,
                               InfoBefore.HorizontalResolution,
                               InfoBefore.VerticalResolution,
                               0
                               );
    ReportLine ("fill_status=%r\n", Status);
  }

  if (!EFI_ERROR (Status)) {
    Status  = ReadScreen (GraphicsOutput, Screen);
    NotBlue = CountOtherThan (Screen, Pixels, Blue);
    ReportLine ("read_before_status=%r\nnot_blue_before=%u\n", Status, (UINT32)NotBlue);
  }

  if (!EFI_ERROR (Status)) {
    Status = GraphicsOutput->SetMode (GraphicsOutput, Before.Mode);
    ReportLine ("set_mode_status=%r\n", Status);
  }

  if (!EFI_ERROR (Status)) {
    SetMem (Screen, Pixels * sizeof (*Screen), 0x5A);
    Status   = ReadScreen (GraphicsOutput, Screen);
    NotBlack = CountOtherThan (Screen, Pixels, Black);
    ReportLine ("read_after_status=%r\nvisible_pixels=%u\nnot_black_after=%u\n", Status, (UINT32)Pixels, (UINT32)NotBlack);

    //
    // The adapter's own view: every 32-bit pixel of the mode's frame.
    //
    Frame         = reinterpret_cast<CONST UINT32 *>(static_cast<UINTN>(GraphicsOutput->Mode->FrameBufferBase));
    FrameNotBlack = 0;
    for (UINTN Index = 0; Index < GraphicsOutput->Mode->FrameBufferSize / sizeof (UINT32); Index++) {
      FrameNotBlack += (Frame[Index] != 0) ? 1 : 0;
    }

    Unchanged = (BOOLEAN)((CompareMem (&Before, GraphicsOutput->Mode, sizeof (Before)) == 0) &&
                          (CompareMem (&InfoBefore, GraphicsOutput->Mode->Info, sizeof (InfoBefore)) == 0));
    ReportLine ("frame_buffer_words_not_zero_after=%u\nmode_record_unchanged=%u\n", (UINT32)FrameNotBlack, (UINT32)Unchanged);
    ReportLine ("hold_status=%r\n", HoldForHost (Argv[2]));
    if (!EFI_ERROR (Status) && ((NotBlue != 0) || (NotBlack != 0) || (FrameNotBlack != 0) || !Unchanged)) {
      Status = EFI_DEVICE_ERROR;
    }

    Print (
      QD520_TEXT ("QD520 console test: SetMode to the current mode %u left %u of %u visible pixels not black: %r\n"),
      Before.Mode,
      (UINT32)NotBlack,
      (UINT32)Pixels,
      Status
      );
  } else {
    Print (QD520_TEXT ("QD520 console test: SetMode to the current mode not checked: %r\n"), Status);
  }

  if (Screen != NULL) {
    FreePool (Screen);
  }

  FinishReport (Root, Argv[2], Status);
  return Status;
}

/**
  Handles whose device path lies below Path (Path's nodes, then more).
**/
UINTN
CountPathsBelow (
  IN EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  EFI_HANDLE                *Handles;
  UINTN                     Count;
  UINTN                     Below;
  UINTN                     Prefix;
  EFI_DEVICE_PATH_PROTOCOL  *Other;

  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiDevicePathProtocolGuid, NULL, &Count, &Handles))) {
    return 0;
  }

  Below  = 0;
  Prefix = GetDevicePathSize (Path) - END_DEVICE_PATH_LENGTH;
  for (UINTN Index = 0; Index < Count; Index++) {
    if (!EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Other))) &&
        (GetDevicePathSize (Other) > Prefix + END_DEVICE_PATH_LENGTH) && (CompareMem (Other, Path, Prefix) == 0))
    {
      Below++;
    }
  }

  FreePool (Handles);
  return Below;
}

/**
  Agents that hold the controller's PCI I/O open BY_DRIVER.
**/
UINTN
CountPciIoDriverOpens (
  IN EFI_HANDLE  Controller
  )
{
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  *Entries;
  UINTN                                Count;
  UINTN                                Opens;

  if (EFI_ERROR (gBS->OpenProtocolInformation (Controller, &gEfiPciIoProtocolGuid, &Entries, &Count))) {
    return 0;
  }

  Opens = 0;
  for (UINTN Index = 0; Index < Count; Index++) {
    Opens += ((Entries[Index].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) ? 1 : 0;
  }

  FreePool (Entries);
  return Opens;
}

/**
  "absent" or "present" for Protocol on Handle.
**/
CONST CHAR8 *
Presence (
  IN EFI_HANDLE  Handle,
  IN EFI_GUID    *Protocol
  )
{
  VOID  *Interface;

  return EFI_ERROR (gBS->HandleProtocol (Handle, Protocol, &Interface)) ? "absent" : "present";
}

/**
  The text output bound to Controller writes a line; the screen read back
  through GraphicsOutput then shows ink. Reports both.
**/
EFI_STATUS
CheckConsoleDraws (
  IN EFI_HANDLE                    Controller,
  IN EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput
  )
{
  constexpr EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Black = { 0x00, 0x00, 0x00, 0x00 };
  EFI_STATUS                               Status;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL          *TextOut;
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL            *Screen;
  UINTN                                    Pixels;
  UINTN                                    Inked;

  Status = gBS->HandleProtocol (Controller, &gEfiSimpleTextOutProtocolGuid, reinterpret_cast<VOID **>(&TextOut));
  ReportLine ("text_output_status=%r\n", Status);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  ReportLine ("set_attribute_status=%r\n", TextOut->SetAttribute (TextOut, EFI_TEXT_ATTR (EFI_WHITE, EFI_BLACK)));
  ReportLine ("clear_screen_status=%r\n", TextOut->ClearScreen (TextOut));
  Status = TextOut->OutputString (TextOut, const_cast<CHAR16 *>(QD520_TEXT ("QD520 started without a child\r\n")));
  ReportLine ("output_string_status=%r\n", Status);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Pixels = (UINTN)GraphicsOutput->Mode->Info->HorizontalResolution * GraphicsOutput->Mode->Info->VerticalResolution;
  Screen = static_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(AllocatePool (Pixels * sizeof (*Screen)));
  if (Screen == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = ReadScreen (GraphicsOutput, Screen);
  Inked  = CountOtherThan (Screen, Pixels, Black);
  FreePool (Screen);
  ReportLine ("read_status=%r\ninked_pixels=%u\n", Status, (UINT32)Inked);
  if (!EFI_ERROR (Status) && (Inked == 0)) {
    Status = EFI_NOT_FOUND;
  }

  return Status;
}

/**
  Where BAR 0 of PciIo lies and how long it is.
**/
EFI_STATUS
GetFrameBufferBar (
  IN  EFI_PCI_IO_PROTOCOL  *PciIo,
  OUT UINT32               **Base,
  OUT UINT64               *Length
  )
{
  EFI_STATUS                         Status;
  EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR  *Resources;

  Status = PciIo->GetBarAttributes (PciIo, FRAME_BUFFER_BAR, NULL, reinterpret_cast<VOID **>(&Resources));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  *Base   = reinterpret_cast<UINT32 *>(static_cast<UINTN>(Resources->AddrRangeMin));
  *Length = Resources->AddrLen;
  FreePool (Resources);
  return EFI_SUCCESS;
}

/**
  Fills all of BAR 0 with BAR_FILL_PIXEL, with memory decoding on for the
  fill and the attributes put back afterwards.
**/
EFI_STATUS
FillFrameBufferBar (
  IN EFI_HANDLE  Controller
  )
{
  EFI_STATUS           Status;
  EFI_PCI_IO_PROTOCOL  *PciIo;
  UINT64               Attributes;
  UINT32               *Base;
  UINT64               Length;

  Status = gBS->HandleProtocol (Controller, &gEfiPciIoProtocolGuid, reinterpret_cast<VOID **>(&PciIo));
  if (!EFI_ERROR (Status)) {
    Status = GetFrameBufferBar (PciIo, &Base, &Length);
  }

  if (!EFI_ERROR (Status)) {
    Status = PciIo->Attributes (PciIo, EfiPciIoAttributeOperationGet, 0, &Attributes);
  }

  if (!EFI_ERROR (Status)) {
    Status = PciIo->Attributes (PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_IO_ATTRIBUTE_MEMORY, NULL);
  }

  if (!EFI_ERROR (Status)) {
    SetMem32 (Base, Length, BAR_FILL_PIXEL);
    Status = PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSet, Attributes, NULL);
  }

  return Status;
}

/**
  32-bit words of BAR 0 from Offset to its end that are not zero.
**/
UINT64
CountFrameBufferWordsNotZero (
  IN EFI_HANDLE  Controller,
  IN UINT64      Offset
  )
{
  EFI_PCI_IO_PROTOCOL  *PciIo;
  UINT32               *Base;
  UINT64               Length;
  UINT64               Count;

  if (EFI_ERROR (gBS->HandleProtocol (Controller, &gEfiPciIoProtocolGuid, reinterpret_cast<VOID **>(&PciIo))) ||
      EFI_ERROR (GetFrameBufferBar (PciIo, &Base, &Length)))
  {
    return MAX_UINT64;
  }

  Count = 0;
  for (UINT64 Index = Offset / sizeof (UINT32); Index < Length / sizeof (UINT32); Index++) {
    Count += (Base[Index] != 0) ? 1 : 0;
  }

  return Count;
}

/**
  The "endnode" command.
**/
EFI_STATUS
RunEndNodeCommand (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CHAR16             **Argv
  )
{
  EFI_STATUS                    Status;
  EFI_STATUS                    Connected;
  EFI_HANDLE                    Controller;
  EFI_DEVICE_PATH_PROTOCOL      *Path;
  EFI_DEVICE_PATH_PROTOCOL      End;
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput;
  UINTN                         ChildrenBefore;
  UINTN                         ChildrenAfter;
  UINTN                         Opens;
  EFI_STATUS                    Disconnected;

  mReport.Length = 0;
  Status         = FindAdapterWith (&gEfiPciIoProtocolGuid, &Controller);
  ReportLine ("controller_status=%r\n", Status);
  if (!EFI_ERROR (Status)) {
    Status = gBS->HandleProtocol (Controller, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path));
    ReportLine ("device_path_status=%r\n", Status);
  }

  if (!EFI_ERROR (Status)) {
    ReportLine ("graphics_output_before=%a\n", Presence (Controller, &gEfiGraphicsOutputProtocolGuid));
    if (!EFI_ERROR (gBS->HandleProtocol (Controller, &gEfiGraphicsOutputProtocolGuid, reinterpret_cast<VOID **>(&GraphicsOutput)))) {
      Status = EFI_ALREADY_STARTED;   // the caller disconnects the controller first
    }
  }

  if (EFI_ERROR (Status)) {
    Print (QD520_TEXT ("QD520 console test: end-node connect not tried: %r\n"), Status);
    FinishReport (Root, Argv[2], Status);
    return Status;
  }

  //
  // Connect with an end node: the controller without children.
  //
  ReportLine ("bar0_fill_status=%r\n", FillFrameBufferBar (Controller));
  SetDevicePathEndNode (&End);
  ChildrenBefore = CountPathsBelow (Path);
  Connected      = gBS->ConnectController (Controller, NULL, &End, FALSE);
  ChildrenAfter  = CountPathsBelow (Path);
  ReportLine ("connect_status=%r\nchildren_before=%u\nchildren_after=%u\n", Connected, (UINT32)ChildrenBefore, (UINT32)ChildrenAfter);

  Status = gBS->HandleProtocol (Controller, &gEfiGraphicsOutputProtocolGuid, reinterpret_cast<VOID **>(&GraphicsOutput));
  ReportLine ("graphics_output_status=%r\n", Status);
  if (!EFI_ERROR (Status)) {
    ReportGraphicsMode (GraphicsOutput);
    ReportLine ("bar0_words_not_zero_beyond_mode=%lu\n", CountFrameBufferWordsNotZero (Controller, GraphicsOutput->Mode->FrameBufferSize));
    Status = CheckConsoleDraws (Controller, GraphicsOutput);
  }

  if (!EFI_ERROR (Status) && (EFI_ERROR (Connected) || (ChildrenAfter != ChildrenBefore))) {
    Status = EFI_ERROR (Connected) ? Connected : EFI_INVALID_PARAMETER;
  }

  //
  // Disconnect: everything the start took is given back.
  //
  Disconnected = gBS->DisconnectController (Controller, NULL, NULL);
  Opens        = CountPciIoDriverOpens (Controller);
  ReportLine (
    "disconnect_status=%r\ngraphics_output_after=%a\ntext_output_after=%a\npci_io_driver_opens_after=%u\n",
    Disconnected,
    Presence (Controller, &gEfiGraphicsOutputProtocolGuid),
    Presence (Controller, &gEfiSimpleTextOutProtocolGuid),
    (UINT32)Opens
    );
  if (!EFI_ERROR (Status)) {
    if (EFI_ERROR (Disconnected)) {
      Status = Disconnected;
    } else if ((Opens != 0) || (AsciiStrCmp (Presence (Controller, &gEfiGraphicsOutputProtocolGuid), "absent") != 0)) {
      Status = EFI_ACCESS_DENIED;
    }
  }

  Print (
    QD520_TEXT ("QD520 console test: end-node connect %r, %u new children, disconnect %r: %r\n"),
    Connected,
    (UINT32)(ChildrenAfter - ChildrenBefore),
    Disconnected,
    Status
    );
  FinishReport (Root, Argv[2], Status);
  return Status;
}

} // namespace

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
