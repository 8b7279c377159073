/** @file
  Block transfer: the PCI I/O call of every pixel row (operation, unit,
  offset, count, buffer address), what lands in the frame buffer and in the
  caller's buffer (against the reference model, Tests/Reference), rectangle
  limits with exact and wrapping sums, the task priority around every
  transfer, overlapping moves, and the refusals.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "BltFixture.h"

#include "Qdl520.h"

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace Qd520Test {

namespace {

using Qd520Sim::PciIoOperation;
using Qd520Sim::TplEvent;

constexpr UINTN  kFill        = EfiBltVideoFill;
constexpr UINTN  kToBuffer    = EfiBltVideoToBltBuffer;
constexpr UINTN  kToVideo     = EfiBltBufferToVideo;
constexpr UINTN  kVideoToVideo = EfiBltVideoToVideo;

constexpr UINT32  kFillColour     = 0x7F3C2A19;
constexpr UINT32  kBufferSentinel = 0xEEEEEEEE;

/// One PCI I/O call as the tests compare it, in text so that a mismatch
/// reads plainly.
std::string
CallText (
  PciIoOperation  Operation,
  UINT8           Bar,
  UINT32          Width,
  UINT64          Offset,
  UINT64          Count,
  const VOID      *Buffer,
  EFI_STATUS      Status
  )
{
  std::ostringstream  Text;

  Text << Qd520Sim::OperationName (Operation) << " bar " << unsigned (Bar) << " "
       << Qd520Sim::WidthName (Width) << " offset 0x" << std::hex << Offset << std::dec
       << " count " << Count << " buffer " << Buffer << " status 0x" << std::hex << Status;
  return Text.str ();
}

std::string
RecordText (
  const TraceRecord  &Record
  )
{
  return CallText (Record.Operation, Record.BarIndex, Record.Width, Record.Offset, Record.Count, Record.Buffer, Record.Status);
}

/// The call that moves one row of Width pixels at Offset of BAR 0.
std::string
RowCall (
  PciIoOperation  Operation,
  UINT32          Unit,
  UINT64          Offset,
  UINTN           Width,
  const VOID      *Buffer
  )
{
  UINT64  Count = (Unit == EfiPciIoWidthUint64) ? Width / 2 : Width;

  return CallText (Operation, 0, Unit, Offset, Count, Buffer, EFI_SUCCESS);
}

std::string
TplText (
  const std::vector<TplEvent>  &Events
  )
{
  std::ostringstream  Text;

  for (const TplEvent &Event : Events) {
    Text << ((Event.Call == TplEvent::Kind::Raise) ? "Raise " : "Restore ") << Event.Requested
         << " from " << Event.Previous << "; ";
  }

  return Text.str ();
}

/// The raise to TPL_NOTIFY from Caller and the restore of Caller.
std::string
NotifyBracket (
  EFI_TPL  Caller
  )
{
  return TplText ({ { TplEvent::Kind::Raise, TPL_NOTIFY, Caller }, { TplEvent::Kind::Restore, Caller, TPL_NOTIFY } });
}

class BltTest : public BltFixture {
protected:
  std::vector<std::string>
  TraceText (
    )
  {
    std::vector<std::string>  Text;

    for (const TraceRecord &Record : mAdapter->Trace ()) {
      Text.push_back (RecordText (Record));
    }

    return Text;
  }
};

//
// Row calls and contents.
//

struct RowCase {
  const char    *Name;
  UINT32        Mode;
  UINTN         Operation;
  UINTN         SourceX, SourceY, DestinationX, DestinationY;
  UINTN         Width, Height, Delta;
  UINT32        ReadUnit;   ///< unit of the frame-buffer reads (V2B, V2V)
  UINT32        WriteUnit;  ///< unit of the frame-buffer writes (fill, B2V, V2V)
  bool          Alternates; ///< odd rows of the caller's buffer are off an 8-byte boundary: 32-bit units there
};

constexpr UINT32  k32 = EfiPciIoWidthUint32;
constexpr UINT32  k64 = EfiPciIoWidthUint64;
constexpr UINT32  kFill32 = EfiPciIoWidthFillUint32;
constexpr UINT32  kNone = EfiPciIoWidthMaximum;

const RowCase  kRowCases[] = {
  //  name                                     mode op             sx    sy   dx    dy   w    h  delta read  write    alternates
  { "fill, odd width",                         0, kFill,           0,   0,   5,    7,   9,   3, 0,  kNone, kFill32, false },
  { "fill, even width at odd x",               0, kFill,           0,   0,   1,    0,   2,   1, 0,  kNone, kFill32, false },
  { "fill of the whole screen",                0, kFill,           0,   0,   0,    0,   640, 480, 0, kNone, kFill32, false },
  { "fill in mode 1",                          1, kFill,           0,   0,   3,    2,   4,   2, 0,  kNone, kFill32, false },
  { "read, even width, aligned, with Delta",   0, kToBuffer,       4,   10,  2,    2,   6,   3, 40, k64,   kNone,   false },
  { "read, even width into an odd buffer x",   0, kToBuffer,       4,   10,  1,    2,   6,   3, 40, k32,   kNone,   false },
  { "read, odd width, Delta 0",                0, kToBuffer,       3,   0,   0,    0,   5,   2, 0,  k32,   kNone,   false },
  { "read, even width at odd x",               0, kToBuffer,       7,   5,   0,    0,   4,   2, 0,  k32,   kNone,   false },
  { "read, last line of mode 1",               1, kToBuffer,       10,  599, 0,    0,   2,   1, 0,  k64,   kNone,   false },
  { "write, width 3, Delta 0",                 0, kToVideo,        0,   0,   8,    1,   3,   2, 0,  kNone, k32,     false },
  { "write, width 2, Delta 0",                 0, kToVideo,        0,   0,   8,    1,   2,   2, 0,  kNone, k64,     false },
  { "write from buffer coordinates",           0, kToVideo,        2,   3,   20,   30,  8,   4, 64, kNone, k64,     false },
  { "write, rows of 9 pixels in the buffer",   0, kToVideo,        0,   0,   20,   30,  8,   4, 36, kNone, k64,     true  },
  { "write, even width at odd x",              0, kToVideo,        0,   0,   1,    0,   638, 1, 0,  kNone, k32,     false },
  { "write, bottom right of mode 2",           2, kToVideo,        0,   0,   1022, 767, 2,   1, 0,  kNone, k64,     false },
  { "move, both aligned",                      0, kVideoToVideo,   0,   0,   64,   32,  4,   3, 0,  k64,   k64,     false },
  { "move, source at odd x",                   0, kVideoToVideo,   1,   0,   2,    1,   4,   2, 0,  k32,   k64,     false },
  { "move, destination at odd x",              2, kVideoToVideo,   2,   1,   1,    0,   6,   2, 0,  k64,   k32,     false },
  { "move, odd width",                         0, kVideoToVideo,   3,   3,   5,    5,   3,   2, 0,  k32,   k32,     false },
};

Qd520Reference::BltRequest
RequestOf (
  const RowCase  &Case
  )
{
  return Qd520Reference::BltRequest{
           static_cast<UINT32>(Case.Operation), Case.SourceX, Case.SourceY, Case.DestinationX, Case.DestinationY,
           Case.Width, Case.Height, Case.Delta
  };
}

TEST_F (BltTest, EachRowMovesInOnePciIoCallWithTheRowsUnitOffsetAndBuffer) {
  for (const RowCase &Case : kRowCases) {
    SCOPED_TRACE (Case.Name);
    if (mGop->Mode->Mode != Case.Mode) {
      UseMode (Case.Mode);
    }

    const UINTN          Delta  = (Case.Delta != 0) ? Case.Delta : Case.Width * 4;
    const bool           UsesBuffer = (Case.Operation == kToBuffer) || (Case.Operation == kToVideo);
    std::vector<UINT32>  Before = PaintScreen ();

    //
    // The caller's buffer covers the rows the transfer names, plus a row of
    // slack that must stay untouched.
    //
    UINTN                BufferX    = (Case.Operation == kToBuffer) ? Case.DestinationX : Case.SourceX;
    UINTN                BufferY    = (Case.Operation == kToBuffer) ? Case.DestinationY : Case.SourceY;
    std::vector<UINT32>  Buffer ((BufferY + Case.Height + 1) * Delta / 4 + BufferX + Case.Width, kBufferSentinel);
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Colour;
    std::memcpy (&Colour, &kFillColour, sizeof (Colour));
    if (Case.Operation == kToVideo) {
      for (UINTN Index = 0; Index < Buffer.size (); Index++) {
        Buffer[Index] = BufferPattern (Index);
      }
    }

    UINT8                *BufferBytes   = reinterpret_cast<UINT8 *>(Buffer.data ());
    UINT8                *Line          = static_cast<UINT8 *>(PrivateOf (mGop)->LineBuffer);
    VOID                 *BltBuffer     = (Case.Operation == kFill) ? static_cast<VOID *>(&Colour) :
                                          UsesBuffer ? static_cast<VOID *>(Buffer.data ()) : nullptr;
    std::vector<std::string>  Calls;

    for (UINTN Row = 0; Row < Case.Height; Row++) {
      UINT64  Source      = OffsetOf (Case.SourceX, Case.SourceY + Row);
      UINT64  Destination = OffsetOf (Case.DestinationX, Case.DestinationY + Row);
      UINT8   *BufferRow  = BufferBytes + (BufferY + Row) * Delta + BufferX * 4;
      UINT32  ReadUnit    = (Case.Alternates && (Row % 2 != 0)) ? k32 : Case.ReadUnit;
      UINT32  WriteUnit   = (Case.Alternates && (Row % 2 != 0)) ? k32 : Case.WriteUnit;

      switch (Case.Operation) {
        case kFill:
          Calls.push_back (CallText (PciIoOperation::MemWrite, 0, kFill32, Destination, Case.Width, &Colour, EFI_SUCCESS));
          break;

        case kToBuffer:
          Calls.push_back (RowCall (PciIoOperation::MemRead, ReadUnit, Source, Case.Width, BufferRow));
          break;

        case kToVideo:
          Calls.push_back (RowCall (PciIoOperation::MemWrite, WriteUnit, Destination, Case.Width, BufferRow));
          break;

        default:
          Calls.push_back (RowCall (PciIoOperation::MemRead, ReadUnit, Source, Case.Width, Line + Row * Case.Width * 4));
          break;
      }
    }

    if (Case.Operation == kVideoToVideo) {
      for (UINTN Row = 0; Row < Case.Height; Row++) {
        Calls.push_back (
                RowCall (
                  PciIoOperation::MemWrite,
                  Case.WriteUnit,
                  OffsetOf (Case.DestinationX, Case.DestinationY + Row),
                  Case.Width,
                  Line + Row * Case.Width * 4
                  )
                );
      }
    }

    //
    // The pixels: what the reference model makes of the same call on copies
    // of the screen and of the caller's buffer.
    //
    std::vector<UINT32>            Expected       = Before;
    std::vector<UINT32>            ExpectedBuffer = Buffer;
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL  ModelColour    = Colour;
    UINT8                          *ModelBuffer   = (Case.Operation == kFill) ? reinterpret_cast<UINT8 *>(&ModelColour) :
                                                    UsesBuffer ? reinterpret_cast<UINT8 *>(ExpectedBuffer.data ()) : nullptr;
    ASSERT_EQ (Qd520Reference::ModelBlt (RequestOf (Case), ViewOf (Expected), ModelBuffer), EFI_SUCCESS);

    UINT64  CallsBefore = Platform ().Pool ().AllocationCalls ();
    mAdapter->ClearTrace ();
    ASSERT_EQ (
      Blt (BltBuffer, Case.Operation, Case.SourceX, Case.SourceY, Case.DestinationX, Case.DestinationY, Case.Width, Case.Height, Case.Delta),
      EFI_SUCCESS
      );

    EXPECT_EQ (TraceText (), Calls);
    EXPECT_EQ (ScreenDifference (Expected), "equal");
    EXPECT_TRUE (Buffer == ExpectedBuffer) << "the caller's buffer holds other pixels or was written outside the rectangle";
    EXPECT_EQ (Platform ().Pool ().AllocationCalls (), CallsBefore);
    EXPECT_EQ (PrivateOf (mGop)->LineBuffer, Line);
  }
}

TEST_F (BltTest, EvenRowsMisalignedOnEitherSideMoveAs32BitUnitsBecauseThePlatformRefusesQwords) {
  EFI_PCI_IO_PROTOCOL  *PciIo = mAdapter->Protocol ();
  UINT64               Quads[2] = { 0x1122334455667788ull, 0x99AABBCCDDEEFF00ull };
  UINT8                *OddBuffer = reinterpret_cast<UINT8 *>(Quads) + 4;

  //
  // The platform refuses a 64-bit access at a pixel offset that is not a
  // multiple of 8, or with a buffer that is not, and moves nothing.
  //
  std::vector<UINT32>  Before = PaintScreen ();
  EXPECT_EQ (PciIo->Mem.Write (PciIo, EfiPciIoWidthUint64, 0, 4, 1, Quads), EFI_UNSUPPORTED);
  EXPECT_EQ (PciIo->Mem.Read (PciIo, EfiPciIoWidthUint64, 0, 12, 1, Quads), EFI_UNSUPPORTED);
  EXPECT_EQ (PciIo->Mem.Write (PciIo, EfiPciIoWidthUint64, 0, 8, 1, OddBuffer), EFI_UNSUPPORTED);
  EXPECT_EQ (PciIo->Mem.Read (PciIo, EfiPciIoWidthUint64, 0, 8, 1, OddBuffer), EFI_UNSUPPORTED);
  EXPECT_EQ (ScreenDifference (Before), "equal");
  EXPECT_EQ (Quads[0], 0x1122334455667788ull);
  EXPECT_EQ (Quads[1], 0x99AABBCCDDEEFF00ull);

  //
  // Through Blt, rows of an odd-pixel buffer column reach an aligned screen
  // position whole, and come back.
  //
  std::vector<UINT32>  Wide (6 * 2);
  for (UINTN Index = 0; Index < Wide.size (); Index++) {
    Wide[Index] = BufferPattern (Index + 100);
  }

  mAdapter->ClearTrace ();
  ASSERT_EQ (Blt (Wide.data (), kToVideo, 1, 0, 16, 4, 4, 2, 6 * 4), EFI_SUCCESS);
  for (UINTN Row = 0; Row < 2; Row++) {
    for (UINTN X = 0; X < 4; X++) {
      EXPECT_EQ (mAdapter->Pixel (16 + X, 4 + Row, 640), Wide[Row * 6 + 1 + X]) << X << "," << Row;
    }
  }

  std::vector<UINT32>  WideBack (6 * 2, kBufferSentinel);
  ASSERT_EQ (Blt (WideBack.data (), kToBuffer, 16, 4, 1, 0, 4, 2, 6 * 4), EFI_SUCCESS);
  for (UINTN Row = 0; Row < 2; Row++) {
    EXPECT_EQ (WideBack[Row * 6], kBufferSentinel);
    for (UINTN X = 0; X < 4; X++) {
      EXPECT_EQ (WideBack[Row * 6 + 1 + X], Wide[Row * 6 + 1 + X]) << X << "," << Row;
    }
  }

  for (const TraceRecord &Record : mAdapter->Trace ()) {
    EXPECT_EQ (Record.Status, EFI_SUCCESS) << RecordText (Record);
    EXPECT_EQ (Record.Width, static_cast<UINT32>(EfiPciIoWidthUint32)) << RecordText (Record);
    EXPECT_EQ (Record.Count, 4u) << RecordText (Record);
  }

  //
  // Through Blt, each even-width row at odd x arrives whole, in both
  // directions and within the frame buffer.
  //
  std::vector<UINT32>  Source (4 * 3);
  for (UINTN Index = 0; Index < Source.size (); Index++) {
    Source[Index] = BufferPattern (Index);
  }

  mAdapter->ClearTrace ();
  ASSERT_EQ (Blt (Source.data (), kToVideo, 0, 0, 3, 9, 4, 3, 0), EFI_SUCCESS);
  for (UINTN Row = 0; Row < 3; Row++) {
    for (UINTN X = 0; X < 4; X++) {
      EXPECT_EQ (mAdapter->Pixel (3 + X, 9 + Row, 640), Source[Row * 4 + X]) << X << "," << Row;
    }
  }

  std::vector<UINT32>  Back (4 * 3, kBufferSentinel);
  ASSERT_EQ (Blt (Back.data (), kToBuffer, 3, 9, 0, 0, 4, 3, 0), EFI_SUCCESS);
  EXPECT_EQ (Back, Source);

  ASSERT_EQ (Blt (nullptr, kVideoToVideo, 3, 9, 101, 50, 4, 3, 0), EFI_SUCCESS);
  for (UINTN Row = 0; Row < 3; Row++) {
    for (UINTN X = 0; X < 4; X++) {
      EXPECT_EQ (mAdapter->Pixel (101 + X, 50 + Row, 640), Source[Row * 4 + X]) << X << "," << Row;
    }
  }

  for (const TraceRecord &Record : mAdapter->Trace ()) {
    EXPECT_EQ (Record.Status, EFI_SUCCESS) << RecordText (Record);
    EXPECT_EQ (Record.Width, static_cast<UINT32>(EfiPciIoWidthUint32)) << RecordText (Record);
    EXPECT_EQ (Record.Count, 4u) << RecordText (Record);
  }
}

TEST_F (BltTest, BufferRowsOffA4ByteBoundaryMoveAsBytesAndAMisalignedFillPixelIsUsedThroughACopy) {
  //
  // An EFI_GRAPHICS_OUTPUT_BLT_PIXEL array may start at any byte. CPU I/O
  // refuses 32-bit units from such a buffer, so those rows move as bytes.
  // Rows of 3 pixels 13 bytes apart: every row but the fifth is off a 4-byte
  // boundary (offsets 1, 14, 27, 40, 53).
  //
  constexpr UINTN  Width = 3, Height = 5, Delta = 13, Skew = 1;
  alignas (8) UINT8  Bytes[Skew + (Height - 1) * Delta + Width * 4];
  for (UINTN Index = 0; Index < sizeof (Bytes); Index++) {
    Bytes[Index] = static_cast<UINT8>(BufferPattern (Index));
  }

  UINT8                     *Pixels = Bytes + Skew;
  std::vector<std::string>  Calls;
  for (UINTN Row = 0; Row < Height; Row++) {
    UINT8   *BufferRow = Pixels + Row * Delta;
    bool    Aligned    = (reinterpret_cast<UINTN>(BufferRow) % 4) == 0;
    UINT32  Unit       = Aligned ? k32 : static_cast<UINT32>(EfiPciIoWidthUint8);
    Calls.push_back (CallText (PciIoOperation::MemWrite, 0, Unit, OffsetOf (10, 20 + Row), Aligned ? Width : Width * 4, BufferRow, EFI_SUCCESS));
  }

  PaintScreen ();
  mAdapter->ClearTrace ();
  ASSERT_EQ (Blt (Pixels, kToVideo, 0, 0, 10, 20, Width, Height, Delta), EFI_SUCCESS);
  EXPECT_EQ (TraceText (), Calls);
  for (UINTN Row = 0; Row < Height; Row++) {
    for (UINTN X = 0; X < Width; X++) {
      UINT32  Expected;
      std::memcpy (&Expected, Pixels + Row * Delta + X * 4, sizeof (Expected));
      EXPECT_EQ (mAdapter->Pixel (10 + X, 20 + Row, 640), Expected) << X << "," << Row;
    }
  }

  //
  // And back into a buffer skewed by 2 bytes: the rectangle arrives whole
  // and the bytes around it stay.
  //
  alignas (8) UINT8  Back[2 + (Height - 1) * Delta + Width * 4 + 2];
  std::memset (Back, 0xEE, sizeof (Back));
  mAdapter->ClearTrace ();
  ASSERT_EQ (Blt (Back + 2, kToBuffer, 10, 20, 0, 0, Width, Height, Delta), EFI_SUCCESS);
  for (const TraceRecord &Record : mAdapter->Trace ()) {
    EXPECT_EQ (Record.Status, EFI_SUCCESS) << RecordText (Record);
  }

  for (UINTN Index = 0; Index < sizeof (Back); Index++) {
    UINTN  Offset = Index - 2;
    bool   Inside = (Index >= 2) && ((Offset % Delta) < Width * 4) && (Offset / Delta < Height);
    UINT8  Expected = Inside ? Pixels[Offset] : 0xEE;
    EXPECT_EQ (Back[Index], Expected) << "byte " << Index;
  }

  //
  // The fill repeats the pixel from an aligned copy and reads nothing else.
  //
  alignas (4) UINT8  Colour[8] = { 0xEE, 0x19, 0x2A, 0x3C, 0x7F, 0xEE, 0xEE, 0xEE };
  mAdapter->ClearTrace ();
  ASSERT_EQ (Blt (Colour + 1, kFill, 0, 0, 5, 6, 7, 2, 0), EFI_SUCCESS);
  std::vector<TraceRecord>  Fill = mAdapter->Trace ();
  ASSERT_EQ (Fill.size (), 2u);
  for (UINTN Row = 0; Row < 2; Row++) {
    EXPECT_EQ (Fill[Row].Status, EFI_SUCCESS);
    EXPECT_EQ (Fill[Row].Width, kFill32);
    EXPECT_EQ (Fill[Row].Count, 7u);
    EXPECT_EQ (Fill[Row].Value, kFillColour);
    EXPECT_EQ (reinterpret_cast<UINTN>(Fill[Row].Buffer) % 4, 0u);
    for (UINTN X = 0; X < 7; X++) {
      EXPECT_EQ (mAdapter->Pixel (5 + X, 6 + Row, 640), kFillColour) << X << "," << Row;
    }
  }
}

//
// Refusals.
//

TEST_F (BltTest, UnknownOperationsAndEmptyRectanglesAreRefusedBeforeThePriorityIsRaised) {
  struct Case {
    const char    *Name;
    UINTN         Operation;
    UINTN         Width;
    UINTN         Height;
  };
  const Case  Cases[] = {
    { "operation 4",               4,             1,   1   },
    { "operation 0x80000000",      0x80000000u,   1,   1   },
    { "fill of width 0",           kFill,         0,   1   },
    { "fill of height 0",          kFill,         1,   0   },
    { "read of width 0",           kToBuffer,     0,   5   },
    { "write of height 0",         kToVideo,      5,   0   },
    { "move of width 0",           kVideoToVideo, 0,   5   },
    { "move of width and height 0", kVideoToVideo, 0,  0   },
  };
  std::vector<UINT32>  Pixels (16, kBufferSentinel);
  std::vector<UINT32>  Before = PaintScreen ();

  for (const Case &Item : Cases) {
    SCOPED_TRACE (Item.Name);
    EXPECT_EQ (Blt (Pixels.data (), Item.Operation, 0, 0, 0, 0, Item.Width, Item.Height, 0), EFI_INVALID_PARAMETER);
    EXPECT_EQ (mAdapter->TraceCount (), 0u);
    EXPECT_EQ (TplText (Platform ().Tpl ().Events ()), "");
  }

  EXPECT_EQ (ScreenDifference (Before), "equal");
  EXPECT_EQ (Pixels, std::vector<UINT32>(16, kBufferSentinel));
}

TEST_F (BltTest, NullBltBufferIsRefusedForEveryOperationThatUsesIt) {
  std::vector<UINT32>  Before = PaintScreen ();

  for (UINTN Operation : { kFill, kToBuffer, kToVideo }) {
    SCOPED_TRACE ("operation " + std::to_string (Operation));
    Platform ().Tpl ().ClearEvents ();
    EXPECT_EQ (Blt (nullptr, Operation, 0, 0, 0, 0, 4, 4, 0), EFI_INVALID_PARAMETER);
    EXPECT_EQ (mAdapter->TraceCount (), 0u);
    EXPECT_EQ (Platform ().Tpl ().Current (), static_cast<EFI_TPL>(TPL_APPLICATION));
    std::string  Events = TplText (Platform ().Tpl ().Events ());
    EXPECT_TRUE (Events.empty () || (Events == NotifyBracket (TPL_APPLICATION))) << Events;
  }

  EXPECT_EQ (ScreenDifference (Before), "equal");

  //
  // The move within the frame buffer does not use the buffer at all.
  //
  ASSERT_EQ (Blt (nullptr, kVideoToVideo, 0, 0, 8, 0, 4, 4, 0), EFI_SUCCESS);
  EXPECT_EQ (mAdapter->Pixel (8, 3, 640), Before[3 * 640]);
}

//
// Rectangle limits.
//

struct LimitCase {
  const char    *Name;
  UINTN         Operation;
  UINTN         SourceX, SourceY, DestinationX, DestinationY;
  UINTN         Width, Height;
  EFI_STATUS    Expected;
};

constexpr UINTN  kMax  = MAX_UINTN;
constexpr UINTN  kHalf = (MAX_UINTN >> 1) + 1;   ///< kHalf + kHalf wraps to 0

const LimitCase  kLimitCases[] = {
  { "fill ending at the right edge",            kFill,         0,        0,        600,      0,        40,   1,   EFI_SUCCESS           },
  { "fill one pixel past the right edge",       kFill,         0,        0,        600,      0,        41,   1,   EFI_INVALID_PARAMETER },
  { "fill ending at the bottom edge",           kFill,         0,        0,        0,        470,      1,    10,  EFI_SUCCESS           },
  { "fill one line past the bottom edge",       kFill,         0,        0,        0,        470,      1,    11,  EFI_INVALID_PARAMETER },
  { "fill of the last pixel",                   kFill,         0,        0,        639,      479,      1,    1,   EFI_SUCCESS           },
  { "fill starting beyond the right edge",      kFill,         0,        0,        640,      0,        1,    1,   EFI_INVALID_PARAMETER },
  { "fill wider than the screen",               kFill,         0,        0,        0,        0,        641,  1,   EFI_INVALID_PARAMETER },
  { "fill ignores its source",                  kFill,         kMax,     kMax,     0,        0,        2,    2,   EFI_SUCCESS           },
  { "fill with x + width wrapping to 10",       kFill,         0,        0,        kMax - 9, 0,        20,   1,   EFI_INVALID_PARAMETER },
  { "fill with y + height wrapping to 0",       kFill,         0,        0,        0,        kMax,     1,    1,   EFI_INVALID_PARAMETER },
  { "fill with a width of MAX_UINTN",           kFill,         0,        0,        1,        0,        kMax, 1,   EFI_INVALID_PARAMETER },
  { "fill with a height of MAX_UINTN",          kFill,         0,        0,        0,        479,      1,    kMax, EFI_INVALID_PARAMETER },
  { "read ending at the right edge",            kToBuffer,     600,      0,        0,        0,        40,   2,   EFI_SUCCESS           },
  { "read one pixel past the right edge",       kToBuffer,     600,      0,        0,        0,        41,   2,   EFI_INVALID_PARAMETER },
  { "read one line past the bottom edge",       kToBuffer,     0,        479,      0,        0,        2,    2,   EFI_INVALID_PARAMETER },
  { "read into buffer coordinates off screen",  kToBuffer,     0,        0,        650,      490,      4,    2,   EFI_SUCCESS           },
  { "read with x + width wrapping",             kToBuffer,     kMax - 1, 0,        0,        0,        4,    1,   EFI_INVALID_PARAMETER },
  { "read with y + height wrapping to 0",       kToBuffer,     0,        kHalf,    0,        0,        1,    kHalf, EFI_INVALID_PARAMETER },
  { "write ending at the bottom right",         kToVideo,      0,        0,        636,      478,      4,    2,   EFI_SUCCESS           },
  { "write one line past the bottom edge",      kToVideo,      0,        0,        0,        478,      4,    3,   EFI_INVALID_PARAMETER },
  { "write from buffer coordinates off screen", kToVideo,      650,      490,      0,        0,        4,    2,   EFI_SUCCESS           },
  { "write with x + width wrapping to 0",       kToVideo,      0,        0,        kHalf,    0,        kHalf, 1,  EFI_INVALID_PARAMETER },
  { "write with y + height wrapping",           kToVideo,      0,        0,        0,        kMax - 2, 1,    4,   EFI_INVALID_PARAMETER },
  { "move with both at the edges",              kVideoToVideo, 0,        0,        600,      470,      40,   10,  EFI_SUCCESS           },
  { "move from one pixel past the edge",        kVideoToVideo, 601,      0,        0,        0,        40,   10,  EFI_INVALID_PARAMETER },
  { "move to one line past the edge",           kVideoToVideo, 0,        0,        0,        471,      40,   10,  EFI_INVALID_PARAMETER },
  { "move from a wrapping source",              kVideoToVideo, kMax - 3, 0,        0,        0,        8,    1,   EFI_INVALID_PARAMETER },
  { "move to a wrapping destination",           kVideoToVideo, 0,        0,        0,        kMax,     1,    2,   EFI_INVALID_PARAMETER },
};

TEST_F (BltTest, RectanglesAreLimitedByExactSumsAgainstTheModeAtNotifyPriority) {
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Colour;
  std::memcpy (&Colour, &kFillColour, sizeof (Colour));

  for (const LimitCase &Case : kLimitCases) {
    SCOPED_TRACE (Case.Name);

    //
    // A buffer of 700-pixel rows reaches the off-screen buffer coordinates.
    //
    constexpr UINTN      Delta = 700 * 4;
    std::vector<UINT32>  Buffer (500 * 700, kBufferSentinel);
    VOID                 *BltBuffer = (Case.Operation == kFill) ? static_cast<VOID *>(&Colour) : Buffer.data ();
    std::vector<UINT32>  Before     = PaintScreen ();
    UINTN                Rows       = (Case.Operation == kVideoToVideo) ? 2 * Case.Height : Case.Height;

    mAdapter->ClearTrace ();
    Platform ().Tpl ().ClearEvents ();
    EXPECT_EQ (
      Blt (BltBuffer, Case.Operation, Case.SourceX, Case.SourceY, Case.DestinationX, Case.DestinationY, Case.Width, Case.Height, Delta),
      Case.Expected
      );
    EXPECT_EQ (
      Qd520Reference::BltStatus (
                        { static_cast<UINT32>(Case.Operation), Case.SourceX, Case.SourceY, Case.DestinationX,
                          Case.DestinationY, Case.Width, Case.Height, Delta },
                        TRUE,
                        640,
                        480
                        ),
      Case.Expected
      ) << "the reference model agrees";

    EXPECT_EQ (TplText (Platform ().Tpl ().Events ()), NotifyBracket (TPL_APPLICATION));
    EXPECT_EQ (Platform ().Tpl ().Current (), static_cast<EFI_TPL>(TPL_APPLICATION));
    if (Case.Expected == EFI_SUCCESS) {
      EXPECT_EQ (mAdapter->TraceCount (), Rows);
      for (const TraceRecord &Record : mAdapter->Trace ()) {
        EXPECT_EQ (Record.Status, EFI_SUCCESS) << RecordText (Record);
      }
    } else {
      EXPECT_EQ (mAdapter->TraceCount (), 0u);
      EXPECT_EQ (ScreenDifference (Before), "equal");
      EXPECT_TRUE (Buffer == std::vector<UINT32>(500 * 700, kBufferSentinel));
    }
  }
}

//
// Task priority.
//

std::vector<EFI_TPL>         gLevelsDuringCalls;
EFI_PCI_IO_PROTOCOL_IO_MEM   gRealMemRead;
EFI_PCI_IO_PROTOCOL_IO_MEM   gRealMemWrite;

EFI_STATUS
EFIAPI
MemReadRecordingLevel (
  EFI_PCI_IO_PROTOCOL        *This,
  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  UINT8                      BarIndex,
  UINT64                     Offset,
  UINTN                      Count,
  VOID                       *Buffer
  )
{
  gLevelsDuringCalls.push_back (SimPlatform::Current ()->Tpl ().Current ());
  return gRealMemRead (This, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS
EFIAPI
MemWriteRecordingLevel (
  EFI_PCI_IO_PROTOCOL        *This,
  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  UINT8                      BarIndex,
  UINT64                     Offset,
  UINTN                      Count,
  VOID                       *Buffer
  )
{
  gLevelsDuringCalls.push_back (SimPlatform::Current ()->Tpl ().Current ());
  return gRealMemWrite (This, Width, BarIndex, Offset, Count, Buffer);
}

TEST_F (BltTest, EveryTransferRunsAtNotifyAndTheCallersLevelComesBackOnEveryPath) {
  EFI_PCI_IO_PROTOCOL            *PciIo = mAdapter->Protocol ();
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Colour;
  std::vector<UINT32>            Buffer (64 * 64, kBufferSentinel);

  std::memcpy (&Colour, &kFillColour, sizeof (Colour));
  gRealMemRead        = PciIo->Mem.Read;
  gRealMemWrite       = PciIo->Mem.Write;
  PciIo->Mem.Read     = MemReadRecordingLevel;
  PciIo->Mem.Write    = MemWriteRecordingLevel;

  struct Case {
    const char    *Name;
    UINTN         Operation;
    UINTN         DestinationX;
    EFI_STATUS    Expected;
  };
  const Case  Cases[] = {
    { "fill",                         kFill,         0,   EFI_SUCCESS           },
    { "read",                         kToBuffer,     0,   EFI_SUCCESS           },
    { "write",                        kToVideo,      0,   EFI_SUCCESS           },
    { "move",                         kVideoToVideo, 9,   EFI_SUCCESS           },
    { "fill off screen",              kFill,         637, EFI_INVALID_PARAMETER },
    { "move off screen",              kVideoToVideo, 637, EFI_INVALID_PARAMETER },
  };

  for (EFI_TPL Caller : { static_cast<EFI_TPL>(TPL_APPLICATION), static_cast<EFI_TPL>(TPL_CALLBACK), static_cast<EFI_TPL>(TPL_NOTIFY) }) {
    if (Caller != Platform ().Tpl ().Current ()) {
      Platform ().Tpl ().Raise (Caller);
    }

    for (const Case &Item : Cases) {
      SCOPED_TRACE (std::string (Item.Name) + " from level " + std::to_string (Caller));
      Platform ().Tpl ().ClearEvents ();
      gLevelsDuringCalls.clear ();
      VOID  *BltBuffer = (Item.Operation == kFill) ? static_cast<VOID *>(&Colour) : Buffer.data ();

      EXPECT_EQ (Blt (BltBuffer, Item.Operation, 0, 0, Item.DestinationX, 0, 4, 4, 0), Item.Expected);
      EXPECT_EQ (TplText (Platform ().Tpl ().Events ()), NotifyBracket (Caller));
      EXPECT_EQ (Platform ().Tpl ().Current (), Caller);
      EXPECT_EQ (gLevelsDuringCalls.size (), (Item.Expected != EFI_SUCCESS) ? 0u : (Item.Operation == kVideoToVideo) ? 8u : 4u);
      for (EFI_TPL Level : gLevelsDuringCalls) {
        EXPECT_EQ (Level, static_cast<EFI_TPL>(TPL_NOTIFY));
      }
    }
  }

  PciIo->Mem.Read  = gRealMemRead;
  PciIo->Mem.Write = gRealMemWrite;
  Platform ().Tpl ().Restore (TPL_APPLICATION);
}

//
// Overlapping moves.
//

struct MoveCase {
  const char    *Name;
  UINT32        Mode;
  UINTN         SourceX, SourceY, DestinationX, DestinationY;
  UINTN         Width;      ///< 0: the mode's width
  UINTN         Height;     ///< 0: the mode's height less one line
};

const MoveCase  kMoveCases[] = {
  { "scroll up one line in mode 0",            0, 0,  1,  0,  0,  0,   0   },
  { "scroll down one line in mode 0",          0, 0,  0,  0,  1,  0,   0   },
  { "scroll up one line in mode 2",            2, 0,  1,  0,  0,  0,   0   },
  { "scroll down one line in mode 2",          2, 0,  0,  0,  1,  0,   0   },
  { "shift left one pixel",                    0, 1,  0,  0,  0,  639, 480 },
  { "shift right one pixel",                   0, 0,  0,  1,  0,  639, 480 },
  { "shift even width left onto odd x",        0, 2,  5,  1,  5,  600, 100 },
  { "diagonal overlap down and right",         1, 10, 10, 13, 12, 100, 50  },
  { "diagonal overlap up and left",            1, 13, 12, 10, 10, 100, 50  },
};

TEST_F (BltTest, OverlappingMovesLeaveTheDestinationEqualToTheSourceBeforeTheCall) {
  for (const MoveCase &Case : kMoveCases) {
    SCOPED_TRACE (Case.Name);
    if (mGop->Mode->Mode != Case.Mode) {
      UseMode (Case.Mode);
    }

    UINTN                Width  = (Case.Width != 0) ? Case.Width : mGop->Mode->Info->HorizontalResolution;
    UINTN                Height = (Case.Height != 0) ? Case.Height : mGop->Mode->Info->VerticalResolution - 1;
    std::vector<UINT32>  Before = PaintScreen ();
    std::vector<UINT32>  Expected = Before;

    ASSERT_EQ (
      Qd520Reference::ModelBlt (
                        { kVideoToVideo, Case.SourceX, Case.SourceY, Case.DestinationX, Case.DestinationY, Width, Height, 0 },
                        ViewOf (Expected),
                        nullptr
                        ),
      EFI_SUCCESS
      );

    mAdapter->ClearTrace ();
    ASSERT_EQ (Blt (nullptr, kVideoToVideo, Case.SourceX, Case.SourceY, Case.DestinationX, Case.DestinationY, Width, Height, 0), EFI_SUCCESS);
    EXPECT_EQ (ScreenDifference (Expected), "equal");
    EXPECT_EQ (mAdapter->TraceCount (), 2 * Height);
  }
}

//
// Without a line buffer.
//

TEST_F (BltTest, MoveWithoutALineBufferReturnsDeviceErrorAndTransfersNothing) {
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Colour;
  std::memcpy (&Colour, &kFillColour, sizeof (Colour));

  Platform ().Pool ().FailAllocation (1);
  ASSERT_EQ (mGop->SetMode (mGop, 1), EFI_OUT_OF_RESOURCES);
  ASSERT_EQ (PrivateOf (mGop)->LineBuffer, nullptr);
  ASSERT_EQ (mGop->Mode->Mode, 0u);

  std::vector<UINT32>  Before = PaintScreen ();
  for (EFI_TPL Caller : { static_cast<EFI_TPL>(TPL_APPLICATION), static_cast<EFI_TPL>(TPL_CALLBACK) }) {
    SCOPED_TRACE ("from level " + std::to_string (Caller));
    if (Caller != Platform ().Tpl ().Current ()) {
      Platform ().Tpl ().Raise (Caller);
    }

    Platform ().Tpl ().ClearEvents ();
    mAdapter->ClearTrace ();
    EXPECT_EQ (Blt (nullptr, kVideoToVideo, 0, 1, 0, 0, 640, 479, 0), EFI_DEVICE_ERROR);
    EXPECT_EQ (mAdapter->TraceCount (), 0u);
    EXPECT_EQ (TplText (Platform ().Tpl ().Events ()), NotifyBracket (Caller));
    EXPECT_EQ (Platform ().Tpl ().Current (), Caller);
    EXPECT_EQ (ScreenDifference (Before), "equal");

    //
    // A rectangle off the screen is still refused as such.
    //
    EXPECT_EQ (Blt (nullptr, kVideoToVideo, 0, 1, 0, 0, 640, 480, 0), EFI_INVALID_PARAMETER);
    EXPECT_EQ (mAdapter->TraceCount (), 0u);
  }

  Platform ().Tpl ().Restore (TPL_APPLICATION);

  //
  // The other operations do not need the line buffer.
  //
  std::vector<UINT32>  Pixels (4, kBufferSentinel);
  EXPECT_EQ (Blt (&Colour, kFill, 0, 0, 0, 0, 2, 2, 0), EFI_SUCCESS);
  EXPECT_EQ (Blt (Pixels.data (), kToBuffer, 0, 0, 0, 0, 2, 2, 0), EFI_SUCCESS);
  EXPECT_EQ (Pixels, std::vector<UINT32>(4, kFillColour));
  EXPECT_EQ (Blt (Pixels.data (), kToVideo, 0, 0, 10, 10, 2, 2, 0), EFI_SUCCESS);
  EXPECT_EQ (mAdapter->Pixel (11, 11, 640), kFillColour);

  //
  // A successful mode set brings the move back.
  //
  UseMode (2);
  EXPECT_EQ (Blt (nullptr, kVideoToVideo, 0, 1, 0, 0, 1024, 767, 0), EFI_SUCCESS);
  EXPECT_EQ (mAdapter->TraceCount (), 2u * 767);
}

//
// Failed rows.
//

TEST_F (BltTest, AFailedRowIsNotReportedAndTheOtherRowsStillMove) {
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Colour;
  Qd520Sim::FailureInjection     Injection = Qd520Sim::FailNth (PciIoOperation::MemWrite, 2, EFI_DEVICE_ERROR);

  std::memcpy (&Colour, &kFillColour, sizeof (Colour));
  Injection.MatchBar = TRUE;
  Injection.BarIndex = QDL520_FRAME_BUFFER_BAR;
  ASSERT_TRUE (mAdapter->PciIo ().InjectFailure (Injection));

  std::vector<UINT32>  Expected = PaintScreen ();
  for (UINTN Row : { 0u, 2u }) {
    for (UINTN X = 0; X < 6; X++) {
      Expected[(20 + Row) * 640 + 30 + X] = kFillColour;
    }
  }

  EXPECT_EQ (Blt (&Colour, kFill, 0, 0, 30, 20, 6, 3, 0), EFI_SUCCESS);
  EXPECT_EQ (ScreenDifference (Expected), "equal");
  std::vector<TraceRecord>  Trace = mAdapter->Trace ();
  ASSERT_EQ (Trace.size (), 3u);
  EXPECT_EQ (Trace[0].Status, EFI_SUCCESS);
  EXPECT_EQ (Trace[1].Status, EFI_DEVICE_ERROR);
  EXPECT_EQ (Trace[1].Offset, OffsetOf (30, 21));
  EXPECT_EQ (Trace[2].Status, EFI_SUCCESS);
  EXPECT_EQ (TplText (Platform ().Tpl ().Events ()), NotifyBracket (TPL_APPLICATION));
}

TEST_F (BltTest, BltThroughAForeignRecordAssertsBadSignature) {
  QDL520_PRIVATE_DATA  Foreign;

  std::memset (&Foreign, 0, sizeof (Foreign));
  Foreign.Signature = SIGNATURE_32 ('Q', 'D', '5', '3');
  EXPECT_EQ (
    Qdl520GraphicsOutputBlt (&Foreign.GraphicsOutput, nullptr, static_cast<EFI_GRAPHICS_OUTPUT_BLT_OPERATION>(4), 0, 0, 0, 0, 1, 1, 0),
    EFI_INVALID_PARAMETER
    );

  std::vector<AssertionRecord>  Taken = TakeAssertions ();
  ASSERT_EQ (Taken.size (), 1u);
  EXPECT_EQ (Taken[0].Expression, "CR has Bad Signature");
  EXPECT_EQ (mAdapter->TraceCount (), 0u);
}

} // namespace

} // namespace Qd520Test
