/** @file
  Console test application: the "console" command, which draws a known
  pattern of text lines through the firmware's graphics console, enough to
  scroll, and writes the frame buffer and the screen read back through Blt
  for the host to check.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ConsoleTest.h"

namespace Qd520ConsoleTest {

namespace {

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
// Timing the lines.
//
constexpr UINTN   CALIBRATION_MICROSECONDS = 100000;
constexpr UINTN   MICROSECONDS_PER_MS      = 1000;

constexpr UINTN
LineLength (
  UINTN  LineNumber
  )
{
  return LineNumber + LINE_LENGTH_BASE;
}

STATIC_ASSERT (LineLength (1) > LINE_NUMBER_DIGITS + 1, "a line holds its number and the colon");
STATIC_ASSERT (LineLength (40) == 50, "line 40 fills 50 columns");

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

} // namespace

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

} // namespace Qd520ConsoleTest
