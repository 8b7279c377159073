/** @file
  Console test application: the "samemode" command, which sets the current
  mode again over a blue screen and expects the whole frame black and the
  mode record unchanged.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ConsoleTest.h"

namespace Qd520ConsoleTest {

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

} // namespace Qd520ConsoleTest
