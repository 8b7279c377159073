/** @file
  The fuzzer's checks: each compares what the driver did with what the
  model and the protocol demand and fails the run, naming the call, at the
  first difference.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzHarness.h"

#include <cstring>

namespace Qd520Fuzz {

using Qd520Sim::PciIoOperation;
using Qd520Sim::TplEvent;
using Qd520Sim::TraceRecord;

void
Harness::CheckTplEvents (
  const CallFlags  &Flags,
  bool             Raised
  ) const
{
  const std::vector<TplEvent>  &Events = mPlatform->Tpl ().Events ();

  if (!Raised) {
    if (!Events.empty ()) {
      Fail ("the call changed the task priority level (%zu RaiseTPL/RestoreTPL calls), expected none", Events.size ());
    }

    return;
  }

  if ((Events.size () != 2) ||
      (Events[0].Call != TplEvent::Kind::Raise) || (Events[0].Requested != TPL_NOTIFY) ||
      (Events[0].Previous != Flags.Tpl) ||
      (Events[1].Call != TplEvent::Kind::Restore) || (Events[1].Requested != Flags.Tpl) ||
      (Events[1].Previous != TPL_NOTIFY))
  {
    Fail ("expected RaiseTPL (TPL_NOTIFY) at %llu and RestoreTPL (%llu); saw %zu calls",
          (unsigned long long)Flags.Tpl, (unsigned long long)Flags.Tpl, Events.size ());
  }
}

void
Harness::CheckNoPciIo (
  ) const
{
  UINTN  Calls = mAdapter->PciIo ().TraceCount () + mAdapter->PciIo ().TraceOverflow ();

  if (Calls != 0) {
    const TraceRecord  &First = mAdapter->PciIo ().Trace ()[0];

    Fail ("expected no PCI I/O call; saw %zu, the first %s %s BAR %u offset 0x%llx count %llu",
          (size_t)Calls, Qd520Sim::OperationName (First.Operation), Qd520Sim::RecordWidthName (First),
          (unsigned)First.BarIndex, (unsigned long long)First.Offset, (unsigned long long)First.Count);
  }
}

void
Harness::CheckFrameClear (
  ) const
{
  const Qd520Sim::PciIoDevice  &PciIo = mAdapter->PciIo ();
  const TraceRecord            &Fill  = PciIo.Trace ()[0];
  UINT64                       Count  = ScreenBytes (mModel.Mode ()) / kBytesPerPixel;

  if ((PciIo.TraceOverflow () != 0) || (PciIo.TraceCount () != 1)) {
    Fail ("setting the current mode made %zu PCI I/O calls, expected one fill of its frame",
          (size_t)(PciIo.TraceCount () + PciIo.TraceOverflow ()));
  }

  if ((Fill.Operation != PciIoOperation::MemWrite) || (Fill.BarIndex != QDL520_FRAME_BUFFER_BAR) ||
      (Fill.Width != EfiPciIoWidthFillUint32) || (Fill.Offset != 0) || (Fill.Count != Count) || (Fill.Value != 0) ||
      (Fill.Status != EFI_SUCCESS))
  {
    Fail ("clear of the current mode: PCI I/O %s %s BAR %u offset 0x%llx count %llu value 0x%llx; "
          "expected MemWrite FillUint32 BAR 0 offset 0 count %llu value 0",
          Qd520Sim::OperationName (Fill.Operation), Qd520Sim::RecordWidthName (Fill), (unsigned)Fill.BarIndex,
          (unsigned long long)Fill.Offset, (unsigned long long)Fill.Count, (unsigned long long)Fill.Value,
          (unsigned long long)Count);
  }
}

void
Harness::CheckState (
  ) const
{
  const UINT32                       ModeNumber = mModel.Mode ();
  const Qd520Reference::OfferedMode  &Mode      = kOfferedModes[ModeNumber];
  const UINTN                        Line       = Qd520Reference::PixelsPerScanLine (Mode.Width);
  size_t                             Blocks;
  UINT64                             Bytes;

  if (!mPlatform->Assertions ().empty ()) {
    Fail ("the driver asserted");
  }

  if (Qd520Sim::FailureCount () != mFailures) {
    Fail ("the simulator reported a failure");
  }

  if (mPlatform->Tpl ().Current () != TPL_APPLICATION) {
    Fail ("the task priority level is %llu between calls", (unsigned long long)mPlatform->Tpl ().Current ());
  }

  if ((mGop->Mode != mModeRecord) || (mGop->QueryMode != mQueryMode) || (mGop->SetMode != mSetMode) ||
      (mGop->Blt != mBlt))
  {
    Fail ("the protocol's members changed");
  }

  if ((mModeRecord->MaxMode != kOfferedModeCount) || (mModeRecord->Mode != ModeNumber) ||
      (mModeRecord->Info != mInfoRecord) || (mModeRecord->SizeOfInfo != kSizeOfInfo) ||
      (mModeRecord->FrameBufferBase != mFrameBufferBase) || (mModeRecord->FrameBufferSize != ScreenBytes (ModeNumber)))
  {
    Fail ("mode record: MaxMode %u Mode %u Info %p SizeOfInfo %llu FrameBufferBase 0x%llx FrameBufferSize %llu; "
          "expected 3, %u, %p, 36, 0x%llx, %llu",
          mModeRecord->MaxMode, mModeRecord->Mode, (void *)mModeRecord->Info,
          (unsigned long long)mModeRecord->SizeOfInfo, (unsigned long long)mModeRecord->FrameBufferBase,
          (unsigned long long)mModeRecord->FrameBufferSize, ModeNumber, (void *)mInfoRecord,
          (unsigned long long)mFrameBufferBase, (unsigned long long)ScreenBytes (ModeNumber));
  }

  if ((mInfoRecord->Version != 0) || (mInfoRecord->HorizontalResolution != Mode.Width) ||
      (mInfoRecord->VerticalResolution != Mode.Height) ||
      (mInfoRecord->PixelFormat != PixelBlueGreenRedReserved8BitPerColor) ||
      (mInfoRecord->PixelsPerScanLine != Line) || !PixelInformationIsZero (*mInfoRecord))
  {
    Fail ("Mode->Info: version %u, %ux%u, format %u, %u pixels per scan line, pixel masks %s; expected mode %u",
          mInfoRecord->Version, mInfoRecord->HorizontalResolution, mInfoRecord->VerticalResolution,
          (unsigned)mInfoRecord->PixelFormat, mInfoRecord->PixelsPerScanLine,
          PixelInformationIsZero (*mInfoRecord) ? "zero" : "not zero", ModeNumber);
  }

  if ((mPrivate->Signature != QDL520_PRIVATE_DATA_SIGNATURE) || mPrivate->HardwareNeedsStarting) {
    Fail ("device context: signature 0x%llx, HardwareNeedsStarting %u",
          (unsigned long long)mPrivate->Signature, (unsigned)mPrivate->HardwareNeedsStarting);
  }

  if (mModel.HasLineBuffer ()) {
    const Qd520Sim::PoolBlock  *Block = mPlatform->Pool ().BlockAt (mPrivate->LineBuffer);

    if ((Block == nullptr) || (Block->Size != ScreenBytes (ModeNumber)) || (Block->Type != EfiBootServicesData)) {
      Fail ("the line buffer %p is not a live EfiBootServicesData block of %llu bytes",
            mPrivate->LineBuffer, (unsigned long long)ScreenBytes (ModeNumber));
    }
  } else if (mPrivate->LineBuffer != nullptr) {
    Fail ("the line buffer is %p after a SetMode that ran out of memory, expected NULL", mPrivate->LineBuffer);
  }

  Blocks = mDriverBlocks - (mModel.HasLineBuffer () ? 0 : 1);
  Bytes  = mDriverBytes + (mModel.HasLineBuffer () ? ScreenBytes (ModeNumber) : 0);
  if ((mPlatform->Pool ().LiveBlocks () != Blocks) || (mPlatform->Pool ().LiveBytes () != Bytes)) {
    Fail ("pool: %zu live blocks of %llu bytes, expected %zu of %llu",
          mPlatform->Pool ().LiveBlocks (), (unsigned long long)mPlatform->Pool ().LiveBytes (),
          Blocks, (unsigned long long)Bytes);
  }
}

void
Harness::CheckRow (
  const char         *What,
  size_t             Index,
  const TraceRecord  &Record,
  PciIoOperation     Operation,
  UINT64             Offset,
  UINTN              Width,
  const UINT8        *Buffer
  ) const
{
  UINTN   Address = reinterpret_cast<UINTN>(Buffer);
  UINT32  Unit;
  UINT64  Count;

  if (((Width % 2) == 0) && (((Offset | Address) % 8) == 0)) {
    Unit  = EfiPciIoWidthUint64;
    Count = Width / 2;
  } else if ((Address % 4) == 0) {
    Unit  = EfiPciIoWidthUint32;
    Count = Width;
  } else {
    Unit  = EfiPciIoWidthUint8;
    Count = static_cast<UINT64>(Width) * kBytesPerPixel;
  }

  if ((Record.Operation != Operation) || (Record.BarIndex != QDL520_FRAME_BUFFER_BAR) || (Record.Width != Unit) ||
      (Record.Offset != Offset) || (Record.Count != Count) || (Record.Buffer != Buffer) ||
      (Record.Status != EFI_SUCCESS))
  {
    Fail ("%s row %zu: PCI I/O %s %s BAR %u offset 0x%llx count %llu buffer %p status 0x%llx; "
          "expected %s %s BAR 0 offset 0x%llx count %llu buffer %p",
          What, Index, Qd520Sim::OperationName (Record.Operation), Qd520Sim::RecordWidthName (Record),
          (unsigned)Record.BarIndex, (unsigned long long)Record.Offset, (unsigned long long)Record.Count,
          Record.Buffer, (unsigned long long)Record.Status, Qd520Sim::OperationName (Operation),
          Qd520Sim::WidthName (Unit), (unsigned long long)Offset, (unsigned long long)Count, (const void *)Buffer);
  }
}

void
Harness::CheckBltTrace (
  const Qd520Reference::BltRequest  &Request,
  const UINT8                       *Buffer,
  UINT32                            Colour
  ) const
{
  const Qd520Sim::PciIoDevice  &PciIo   = mAdapter->PciIo ();
  const TraceRecord            *Trace   = PciIo.Trace ();
  const UINTN                  Width    = Request.Width;
  const UINTN                  Height   = Request.Height;
  const UINTN                  Pitch    = Qd520Reference::BltBufferPitch (Request);
  UINTN                        Expected = (Request.Operation == EfiBltVideoToVideo) ? 2 * Height : Height;
  const UINT8                  *Line    = static_cast<const UINT8 *>(mPrivate->LineBuffer);

  if ((PciIo.TraceOverflow () != 0) || (PciIo.TraceCount () != Expected)) {
    Fail ("the transfer made %zu PCI I/O calls, expected one per row: %zu",
          (size_t)(PciIo.TraceCount () + PciIo.TraceOverflow ()), (size_t)Expected);
  }

  for (UINTN Row = 0; Row < Height; Row++) {
    UINT64  Source      = mModel.PixelIndex (Request.SourceX, Request.SourceY + Row) * kBytesPerPixel;
    UINT64  Destination = mModel.PixelIndex (Request.DestinationX, Request.DestinationY + Row) * kBytesPerPixel;

    switch (Request.Operation) {
      case EfiBltVideoFill: {
        const TraceRecord  &Record = Trace[Row];
        bool               Aligned = (reinterpret_cast<UINTN>(Buffer) % 4) == 0;

        if ((Record.Operation != PciIoOperation::MemWrite) || (Record.BarIndex != QDL520_FRAME_BUFFER_BAR) ||
            (Record.Width != EfiPciIoWidthFillUint32) || (Record.Offset != Destination) || (Record.Count != Width) ||
            (Record.Value != Colour) || (Record.Status != EFI_SUCCESS) ||
            (Aligned ? (Record.Buffer != Buffer) : ((reinterpret_cast<UINTN>(Record.Buffer) % 4) != 0)))
        {
          Fail ("fill row %zu: PCI I/O %s %s BAR %u offset 0x%llx count %llu value 0x%llx buffer %p; "
                "expected MemWrite FillUint32 BAR 0 offset 0x%llx count %llu value 0x%x from %s",
                (size_t)Row, Qd520Sim::OperationName (Record.Operation), Qd520Sim::RecordWidthName (Record),
                (unsigned)Record.BarIndex, (unsigned long long)Record.Offset, (unsigned long long)Record.Count,
                (unsigned long long)Record.Value, Record.Buffer, (unsigned long long)Destination,
                (unsigned long long)Width, Colour, Aligned ? "BltBuffer" : "an aligned copy");
        }

        break;
      }

      case EfiBltVideoToBltBuffer:
        CheckRow ("video-to-buffer", Row, Trace[Row], PciIoOperation::MemRead, Source, Width,
                  Buffer + (Request.DestinationY + Row) * Pitch + Request.DestinationX * kBytesPerPixel);
        break;

      case EfiBltBufferToVideo:
        CheckRow ("buffer-to-video", Row, Trace[Row], PciIoOperation::MemWrite, Destination, Width,
                  Buffer + (Request.SourceY + Row) * Pitch + Request.SourceX * kBytesPerPixel);
        break;

      default:
        CheckRow ("video-to-video read", Row, Trace[Row], PciIoOperation::MemRead, Source, Width,
                  Line + Row * Width * kBytesPerPixel);
        CheckRow ("video-to-video write", Row, Trace[Height + Row], PciIoOperation::MemWrite, Destination, Width,
                  Line + Row * Width * kBytesPerPixel);
        break;
    }
  }
}

void
Harness::CheckRectangle (
  const char  *What,
  UINTN       X,
  UINTN       Y,
  UINTN       Width,
  UINTN       Height
  ) const
{
  const UINT32  *Model = mModel.Words ();

  for (UINTN Row = 0; Row < Height; Row++) {
    UINTN        First   = mModel.PixelIndex (X, Y + Row);
    const UINT8  *Actual = FrameBuffer () + First * kBytesPerPixel;

    if (std::memcmp (Actual, Model + First, Width * kBytesPerPixel) == 0) {
      continue;
    }

    for (UINTN Column = 0; Column < Width; Column++) {
      UINT32  Pixel;

      std::memcpy (&Pixel, Actual + Column * kBytesPerPixel, sizeof (Pixel));
      if (Pixel != Model[First + Column]) {
        Fail ("%s: frame buffer pixel (%zu, %zu) is 0x%08x, expected 0x%08x", What, (size_t)(X + Column),
              (size_t)(Y + Row), Pixel, Model[First + Column]);
      }
    }
  }
}

void
Harness::CheckCallerBlock (
  const UINT8  *Block,
  UINTN        BlockSize,
  UINTN        Misalignment,
  UINTN        Pitch,
  UINTN        Claim
  ) const
{
  if (std::memcmp (Block, mExpectedBuffer.data (), BlockSize) == 0) {
    return;
  }

  for (UINTN Index = 0; Index < BlockSize; Index++) {
    if (Block[Index] != mExpectedBuffer[Index]) {
      INT64  Offset = static_cast<INT64>(Index) - static_cast<INT64>(Misalignment);
      UINTN  Row    = (Offset >= 0) ? static_cast<UINTN>(Offset) / Pitch : 0;

      Fail ("caller's buffer byte %lld (row %zu at pitch %zu, of %zu bytes) is 0x%02x, expected 0x%02x",
            (long long)Offset, (size_t)Row, (size_t)Pitch, (size_t)Claim, Block[Index], mExpectedBuffer[Index]);
    }
  }
}

void
Harness::CheckFrameBuffer (
  )
{
  if (mModel.Agrees (FrameBuffer (), *mAdapter)) {
    return;
  }

  mModel.Hold (0, kModelWords);
  for (UINTN Index = 0; Index < kModelWords; Index++) {
    const UINT32  Expected = mModel.Words ()[Index];
    UINT32        Pixel;

    std::memcpy (&Pixel, FrameBuffer () + Index * kBytesPerPixel, sizeof (Pixel));
    if (Pixel != Expected) {
      UINTN  Line = Qd520Reference::PixelsPerScanLine (kOfferedModes[mModel.Mode ()].Width);

      if (Index < ScreenBytes (mModel.Mode ()) / kBytesPerPixel) {
        Fail ("frame buffer pixel (%zu, %zu) is 0x%08x, expected 0x%08x", (size_t)(Index % Line),
              (size_t)(Index / Line), Pixel, Expected);
      }

      Fail ("frame buffer word at byte offset 0x%zx, beyond the visible screen, is 0x%08x, expected 0x%08x",
            (size_t)(Index * kBytesPerPixel), Pixel, Expected);
    }
  }
}

} // namespace Qd520Fuzz
