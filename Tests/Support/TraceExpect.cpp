/** @file
  Expected register traces of the display hardware routines.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TraceExpect.h"

#include "Qd520FrameGeometry.h"
#include "Qd520ScanOut.h"
#include "Qd520TraceText.h"

#include <algorithm>

namespace Qd520Test {

using Qd520Sim::PciIoOperation;

namespace {

TraceRecord
MemoryRecord (
  PciIoOperation  Operation,
  UINT8           BarIndex,
  UINT32          Width,
  UINT64          Offset,
  UINT64          Count,
  UINT64          Value
  )
{
  TraceRecord  Record = {};

  Record.Operation = Operation;
  Record.BarIndex  = BarIndex;
  Record.Width     = Width;
  Record.Offset    = Offset;
  Record.Count     = Count;
  Record.Value     = Value;
  Record.Status    = EFI_SUCCESS;
  return Record;
}

/// The fields a record is judged by; pointers and unused fields are not.
bool
SameOp (
  const TraceRecord  &Left,
  const TraceRecord  &Right
  )
{
  if (Left.Operation != Right.Operation) {
    return false;
  }

  switch (Left.Operation) {
    case PciIoOperation::Delay:
      return Left.Count == Right.Count;
    case PciIoOperation::Attributes:
      return (Left.Width == Right.Width) && (Left.Value == Right.Value) &&
             (Left.Result == Right.Result) && (Left.Status == Right.Status);
    case PciIoOperation::GetBarAttributes:
      return (Left.BarIndex == Right.BarIndex) && (Left.Status == Right.Status);
    default:
      return (Left.BarIndex == Right.BarIndex) && (Left.Width == Right.Width) &&
             (Left.Offset == Right.Offset) && (Left.Count == Right.Count) &&
             (Left.Value == Right.Value) && (Left.Status == Right.Status);
  }
}

std::string
OpText (
  const std::vector<TraceRecord>  &Trace,
  size_t                          Index
  )
{
  return (Index < Trace.size ()) ? Qd520TraceText::FormatRecord (Trace[Index]) : std::string ("nothing");
}

//
// Display control bits switched by display on/off.
//
constexpr UINT32  DisplayBit2      = 0x00000004;
constexpr UINT32  DisplayBit8      = 0x00000100;
constexpr UINT32  DisplayBit11     = 0x00000800;
constexpr UINT32  DisplayBits20_21 = 0x00300000;
constexpr UINT32  DisplayBit28     = 0x10000000;
constexpr UINT32  DisplayBit29     = 0x20000000;
constexpr UINT32  DisplayBits30_31 = 0xC0000000;

void
ExpectDisplayOn (
  ExpectedTrace  &Trace,
  UINT64         Register
  )
{
  Trace.Write (Register, (Trace.Read (Register) & ~DisplayBit28) | DisplayBit8);
  Trace.Or (Register, DisplayBit29 | DisplayBit2);

  UINT32  Value = Trace.Read (Register);
  if ((Value & PowerSequenceMask) != PowerSequenceMask) {
    for (UINT32 Raised : { 0x01000000u, 0x03000000u, 0x07000000u, 0x0F000000u }) {
      Trace.Write (Register, Value | Raised);
    }
  }

  Trace.And (Register, ~DisplayBits20_21);
  Trace.And (Register, ~DisplayBits30_31);
  Trace.And (Register, ~DisplayBit11);
}

void
ExpectDisplayOff (
  ExpectedTrace  &Trace,
  UINT64         Register
  )
{
  Trace.And (Register, ~DisplayBit2);
  Trace.And (Register, ~DisplayBit8);

  UINT32  Value = Trace.Read (Register);
  if ((Value & PowerSequenceMask) != 0) {
    for (UINT32 Keep : { 0xF7FFFFFFu, 0xF3FFFFFFu, 0xF1FFFFFFu, 0xF0FFFFFFu }) {
      Trace.Write (Register, Value & Keep);
    }
  }

  Trace.And (Register, ~DisplayBits20_21);
  Trace.Or (Register, DisplayBits30_31);
  Trace.And (Register, ~DisplayBit11);
}

//
// The 8 bpp colour table: a 6x6x6 cube with components 51 apart, blue
// stepping fastest, then a ramp of 40 greys from black to white in steps
// of 6.54, each rounded to the nearest level.
//
constexpr UINT32  CubeEntries = 216;
constexpr UINT32  CubeStep    = 51;

constexpr UINT32
GreyLevel (
  UINT32  Step
  )
{
  return (Step * 654 + 50) / 100;
}

static_assert (GreyLevel (0) == 0 && GreyLevel (39) == 255, "the ramp runs from black to white");
static_assert (GreyLevel (25) == 164, "rounded steps of 6.54, not of 255 / 39");

bool
Is3840Class (
  const QDL520_MODE_TIMING  &Timing
  )
{
  return (Timing.HorizontalDisplay >= 3840) && (Timing.HorizontalDisplay <= 5119) &&
         (Timing.VerticalDisplay >= 2160) && (Timing.VerticalDisplay <= 2879);
}

UINT8
LowByte (
  UINT32  Value
  )
{
  return (UINT8)(Value & 0xFF);
}

UINT8
HighByte (
  UINT32  Value
  )
{
  return (UINT8)((Value >> 8) & 0xFF);
}

} // namespace

TraceRecord
RegisterRead (
  UINT64  Offset,
  UINT32  Value
  )
{
  return MemoryRecord (PciIoOperation::MemRead, 1, EfiPciIoWidthUint32, Offset, 1, Value);
}

TraceRecord
RegisterWrite (
  UINT64  Offset,
  UINT32  Value
  )
{
  return MemoryRecord (PciIoOperation::MemWrite, 1, EfiPciIoWidthUint32, Offset, 1, Value);
}

TraceRecord
DelayRecord (
  UINT64  Units
  )
{
  TraceRecord  Record = MemoryRecord (PciIoOperation::Delay, Qd520Sim::NoBar, 0, 0, Units, 0);

  return Record;
}

std::vector<TraceRecord>
AccessesTo (
  const std::vector<TraceRecord>  &Trace,
  UINT64                          Offset
  )
{
  std::vector<TraceRecord>  Accesses;

  for (const TraceRecord &Record : Trace) {
    if (((Record.Operation == PciIoOperation::MemRead) || (Record.Operation == PciIoOperation::MemWrite)) &&
        (Record.BarIndex == 1) && (Record.Offset == Offset))
    {
      Accesses.push_back (Record);
    }
  }

  return Accesses;
}

//
// ExpectedTrace.
//

ExpectedTrace::ExpectedTrace (
  SimAdapter  &Adapter
  )
{
  UINT64  Length = Adapter.Model ().BarLength (1);

  mRegisters.resize (Length / 4);
  for (UINT64 Index = 0; Index < mRegisters.size (); Index++) {
    mRegisters[Index] = Adapter.Register (Index * 4);
  }

  for (UINT32 Index = 0; Index < 256; Index++) {
    mHdmi[Index] = Adapter.Hdmi ((UINT8)Index);
  }
}

UINT32
ExpectedTrace::Read (
  UINT64  Offset
  )
{
  UINT32  Value = Register (Offset);

  mOps.push_back (RegisterRead (Offset, Value));
  return Value;
}

void
ExpectedTrace::Write (
  UINT64  Offset,
  UINT32  Value
  )
{
  mOps.push_back (RegisterWrite (Offset, Value));
  if (Offset != RegHdmiIndexData) {
    mRegisters.at (Offset / 4) = Value;
    return;
  }

  //
  // Bits 7-0 index, 15-8 data; bit 16 stores the data byte, bit 17 latches
  // the register; the word then reads back latch and index.
  //
  UINT8  Index   = (UINT8)(Value & 0xFF);
  UINT8  Latched = (UINT8)(Register (RegHdmiIndexData) >> 8);

  if ((Value & 0x10000) != 0) {
    mHdmi[Index] = (UINT8)(Value >> 8);
  }

  if ((Value & 0x20000) != 0) {
    Latched = mHdmi[Index];
  }

  mRegisters.at (RegHdmiIndexData / 4) = ((UINT32)Latched << 8) | Index;
}

void
ExpectedTrace::Or (
  UINT64  Offset,
  UINT32  Bits
  )
{
  Write (Offset, Read (Offset) | Bits);
}

void
ExpectedTrace::And (
  UINT64  Offset,
  UINT32  Keep
  )
{
  Write (Offset, Read (Offset) & Keep);
}

void
ExpectedTrace::Delay (
  UINT8  Units
  )
{
  mOps.push_back (DelayRecord (Units));
}

void
ExpectedTrace::FrameBufferFill32 (
  UINT64  Offset,
  UINT64  Count,
  UINT32  Value
  )
{
  mOps.push_back (MemoryRecord (PciIoOperation::MemWrite, 0, EfiPciIoWidthFillUint32, Offset, Count, Value));
}

void
ExpectedTrace::HdmiWrite (
  UINT8  Index,
  UINT8  Value
  )
{
  Write (RegHdmiIndexData, ((UINT32)Value << 8) | 0x10000 | Index);
  Delay (1);
  Write (RegHdmiIndexData, ((UINT32)Value << 8) | Index);
  Delay (1);
}

UINT8
ExpectedTrace::HdmiRead (
  UINT8  Index
  )
{
  Write (RegHdmiIndexData, 0x20000 | Index);
  Delay (1);
  Write (RegHdmiIndexData, Index);
  Delay (1);
  return (UINT8)(Read (RegHdmiIndexData) >> 8);
}

void
ExpectedTrace::HdmiUpdate (
  UINT8  Index,
  UINT8  Keep,
  UINT8  Set
  )
{
  HdmiWrite (Index, (UINT8)((HdmiRead (Index) & Keep) | Set));
}

void
ExpectedTrace::HdmiWriteAndStrobe (
  UINT8  Index,
  UINT8  Value
  )
{
  HdmiWrite (Index, Value);
  Write (RegHdmiControl, 0x2D);
  Delay (1);
  Write (RegHdmiControl, 0x21);
  Delay (1);
}

void
ExpectedTrace::HdmiSetControl (
  UINT8  Value
  )
{
  if (Value != 0x11) {
    Write (RegHdmiControl, Value | 0x0Cu);
    Delay (8);
  }

  Write (RegHdmiControl, Value);
  Delay (10);
}

::testing::AssertionResult
TraceMatches (
  const std::vector<TraceRecord>  &Expected,
  const std::vector<TraceRecord>  &Actual
  )
{
  size_t  Index = 0;

  while ((Index < Expected.size ()) && (Index < Actual.size ()) && SameOp (Expected[Index], Actual[Index])) {
    Index++;
  }

  if ((Index == Expected.size ()) && (Index == Actual.size ())) {
    return ::testing::AssertionSuccess ();
  }

  size_t  First = (Index > 4) ? Index - 4 : 0;

  return ::testing::AssertionFailure ()
         << "op " << Index << ": expected " << OpText (Expected, Index) << ", got " << OpText (Actual, Index)
         << "\n(expected " << Expected.size () << " ops, got " << Actual.size () << ")"
         << "\nexpected around it:\n" << Qd520TraceText::FormatTrace (Expected, First, 9)
         << "got around it:\n" << Qd520TraceText::FormatTrace (Actual, First, 9);
}

//
// Display on/off and display controller.
//

void
ExpectDisplayState (
  ExpectedTrace  &Trace,
  UINT32         State
  )
{
  for (UINT64 Register : { RegDisplayControl0, RegDisplayControl1 }) {
    if (State == 1) {
      ExpectDisplayOn (Trace, Register);
    } else if (State == 0) {
      ExpectDisplayOff (Trace, Register);
    }
  }
}

UINT32
ExpectedColour (
  UINT32  BitsPerPixel,
  UINT32  Index
  )
{
  if (BitsPerPixel != 8) {
    return Index * 0x010101u;
  }

  if (Index >= CubeEntries) {
    return GreyLevel (Index - CubeEntries) * 0x010101u;
  }

  return ((CubeStep * (Index / 36)) << 16) | ((CubeStep * ((Index / 6) % 6)) << 8) | (CubeStep * (Index % 6));
}

void
ExpectProgramDisplayController (
  ExpectedTrace             &Trace,
  const QDL520_MODE_TIMING  &Timing,
  UINT32                    BitsPerPixel,
  UINT32                    Pitch,
  UINT32                    PllWord
  )
{
  UINT32  Format = (BitsPerPixel == 8) ? 0 : (BitsPerPixel == 16) ? 1 : 2;

  Trace.Write (0x88, 6);
  Trace.Write (0x78, PllWord);
  Trace.Write (0x80004, 0x80000000);
  Trace.Write (0x80008, ((Pitch & 0x3FFF) << 16) | (Pitch & 0x3FFF));
  Trace.Write (0x8000C, (((Timing.HorizontalTotal - 1) & 0x1FFF) << 16) | ((Timing.HorizontalDisplay - 1) & 0xFFF));
  Trace.Write (0x80010, ((Timing.HorizontalSyncWidth & 0x3FF) << 16) | ((Timing.HorizontalSyncStart - 1) & 0x1FFF));
  Trace.Write (0x80014, (((Timing.VerticalTotal - 1) & 0xFFF) << 16) | ((Timing.VerticalDisplay - 1) & 0xFFF));
  Trace.Write (0x80018, ((Timing.VerticalSyncWidth & 0x3F) << 16) | ((Timing.VerticalSyncStart - 1) & 0xFFF));

  UINT32  Control = Trace.Read (RegDisplayControl0) & ~0x7003u;

  Control |= Format | 0x104;
  Control |= (Timing.HorizontalSyncPolarity != 0) ? 0x1000 : 0;
  Control |= (Timing.VerticalSyncPolarity != 0) ? 0x2000 : 0;
  Control |= (Timing.ClockPolarity != 0) ? 0x4000 : 0;
  Trace.Write (RegDisplayControl0, Control);

  for (UINT32 Index = 0; Index < 256; Index++) {
    Trace.Write (RegColourTable + 4 * Index, ExpectedColour (BitsPerPixel, Index));
  }
}

//
// HDMI transmitter.
//

void
ExpectHdmiVideoTiming (
  ExpectedTrace             &Trace,
  const QDL520_MODE_TIMING  &Timing
  )
{
  UINT32  Sync = (Trace.HdmiRead (0x30) & 0xF2) | 0x01;

  Sync |= (Timing.HorizontalSyncPolarity == 0) ? 0x04 : 0;
  Sync |= (Timing.VerticalSyncPolarity == 0) ? 0x08 : 0;
  Trace.HdmiWrite (0x30, (UINT8)Sync);

  UINT32  HorizontalBlank = Timing.HorizontalTotal - Timing.HorizontalDisplay;
  UINT32  HorizontalSync  = Timing.HorizontalTotal - Timing.HorizontalSyncStart;

  Trace.HdmiWrite (0x31, LowByte (Timing.HorizontalTotal));
  Trace.HdmiWrite (0x32, HighByte (Timing.HorizontalTotal));
  Trace.HdmiWrite (0x33, LowByte (HorizontalBlank));
  Trace.HdmiWrite (0x34, HighByte (HorizontalBlank));
  Trace.HdmiWrite (0x35, LowByte (HorizontalSync));
  Trace.HdmiWrite (0x36, HighByte (HorizontalSync));
  Trace.HdmiWrite (0x37, LowByte (Timing.HorizontalSyncWidth));
  Trace.HdmiWrite (0x38, HighByte (Timing.HorizontalSyncWidth));
  Trace.HdmiWrite (0x39, LowByte (Timing.VerticalTotal));
  Trace.HdmiWrite (0x3A, HighByte (Timing.VerticalTotal));
  Trace.HdmiWrite (0x3D, LowByte (Timing.VerticalTotal - Timing.VerticalDisplay));
  Trace.HdmiWrite (0x3E, LowByte (Timing.VerticalTotal - Timing.VerticalSyncStart));
  Trace.HdmiWrite (0x3F, LowByte (Timing.VerticalSyncWidth));
  Trace.HdmiUpdate (0x17, 0x3F, 0x00);
  Trace.HdmiWrite (0x16, 0x30);
  Trace.HdmiUpdate (0x15, 0xF1, 0x01);
  Trace.HdmiWrite (0x3B, 0x40);
  Trace.HdmiWrite (0x46, 0x04);
  Trace.HdmiWrite (0xD3, 0x01);
  Trace.HdmiUpdate (0xAF, 0xFD, 0x00);

  UINT32  Units = Timing.PixelClock / 1600000;

  Trace.HdmiWrite (0x81, LowByte (Units));
  Trace.HdmiWrite (0x82, HighByte (Units));
}

void
ExpectHdmiAudioClock (
  ExpectedTrace             &Trace,
  const QDL520_MODE_TIMING  &Timing
  )
{
  UINT32  N   = Is3840Class (Timing) ? 4704 : 6272;
  UINT32  Cts = ((((Timing.PixelClock / 1000) * N) / 128) * 10) / 441;

  Trace.HdmiWrite (0x01, (UINT8)((N >> 16) & 0x0F));
  Trace.HdmiWrite (0x02, HighByte (N));
  Trace.HdmiWrite (0x03, LowByte (N));
  Trace.HdmiWrite (0x07, (UINT8)((Cts >> 16) & 0x0F));
  Trace.HdmiWrite (0x08, HighByte (Cts));
  Trace.HdmiWrite (0x09, LowByte (Cts));

  const UINT8  Fixed[][2] = {
    { 0x0A, 0x00 }, { 0x0B, 0x40 }, { 0x0C, 0x04 }, { 0x10, 0x00 },
    { 0x11, 0x0F }, { 0x12, 0x22 }, { 0x13, 0x00 }, { 0x14, 0x02 },
  };
  for (const auto &Setting : Fixed) {
    Trace.HdmiWrite (Setting[0], Setting[1]);
  }

  Trace.HdmiUpdate (0x15, 0x0F, 0x00);
  Trace.HdmiUpdate (0x0A, 0x9F, 0x00);
  Trace.HdmiUpdate (0x0A, 0xF7, 0x00);
}

int
ExpectedPhyBand (
  const QDL520_MODE_TIMING  &Timing
  )
{
  UINT32  Clock = Timing.PixelClock;

  if ((Clock >= 1) && (Clock <= 249999999)) {
    return (int)(Clock / 50000000);
  }

  return Is3840Class (Timing) ? 5 : -1;
}

INT32
ExpectHdmiPhy (
  ExpectedTrace             &Trace,
  const QDL520_MODE_TIMING  &Timing
  )
{
  int  Band = ExpectedPhyBand (Timing);

  if (Band < 0) {
    return -1;
  }

  //
  // What the transmitter needs in each band is the adapter model's to know.
  //
  const UINT8  *Bytes = Qd520Sim::PhyBandSettings[Band];

  for (UINT8 Index = 0x57; Index <= 0x5E; Index++) {
    Trace.HdmiWriteAndStrobe (Index, Bytes[2 + Index - 0x57]);
  }

  Trace.HdmiWriteAndStrobe (0x56, Bytes[1]);
  Trace.HdmiWriteAndStrobe (0x17, Bytes[0]);
  return 0;
}

INT32
ExpectHdmiSetMode (
  ExpectedTrace             &Trace,
  const QDL520_VIDEO_MODE   &Mode,
  const QDL520_MODE_TIMING  *Timing,
  UINT8                     VideoCode,
  UINT8                     ControlByte
  )
{
  if (ControlByte != 0x21) {
    Trace.HdmiSetControl (0x21);
  }

  if (Timing == nullptr) {
    return -1;
  }

  if ((Mode.Width == 3840) && (Mode.Height == 2160)) {
    const UINT8  Vendor[][2] = {
      { 0x5F, 0x05 }, { 0x60, 0x81 }, { 0x61, 0x01 }, { 0x62, 0x07 }, { 0x64, 0x03 }, { 0x65, 0x0C },
      { 0x66, 0x00 }, { 0x67, 0x20 }, { 0x68, 0x01 }, { 0x69, 0x00 }, { 0x6A, 0x00 },
    };
    for (const auto &Write : Vendor) {
      Trace.HdmiWrite (Write[0], Write[1]);
    }
  } else {
    const UINT8  Avi[][2] = {
      { 0x5F, 0x06 }, { 0x67, VideoCode }, { 0x60, 0x82 }, { 0x61, 0x02 }, { 0x62, 0x0D }, { 0x64, 0x00 },
      { 0x65, 0x00 }, { 0x66, 0x12 }, { 0x68, 0x00 }, { 0x69, 0xE4 }, { 0x6A, 0xB5 },
    };
    for (const auto &Write : Avi) {
      Trace.HdmiWrite (Write[0], Write[1]);
    }
  }

  ExpectHdmiVideoTiming (Trace, *Timing);
  ExpectHdmiAudioClock (Trace, *Timing);
  Trace.HdmiWrite (0x42, 0x01);
  Trace.HdmiWrite (0x40, 0x00);
  if (ExpectHdmiPhy (Trace, *Timing) != 0) {
    return -1;
  }

  Trace.HdmiUpdate (0x45, 0xFF, 0x03);
  for (UINT8 Control : { 0x4D, 0x49, 0x41 }) {
    Trace.Write (RegHdmiControl, Control);
    Trace.Delay (1);
  }

  Trace.HdmiUpdate (0x45, 0xFE, 0x00);

  UINT32  Control = Trace.Read (RegDisplayControl0);

  Trace.Write (RegDisplayControl0, Control & 0xFFFBFFFF);
  Trace.Write (RegDisplayControl0, Control & 0xFFFFF7FF);
  Trace.Write (RegHdmiControl, 0x81);
  Trace.Delay (10);
  return 0;
}

INT32
ExpectSetModeHardware (
  ExpectedTrace             &Trace,
  const QDL520_VIDEO_MODE   &Mode,
  const QDL520_MODE_TIMING  *Timing,
  UINT32                    PllWord,
  UINT8                     VideoCode
  )
{
  ExpectDisplayState (Trace, 0);
  Trace.HdmiUpdate (0x45, 0xFF, 0x03);
  Trace.HdmiUpdate (0x45, 0xFF, 0x04);
  Trace.Delay (1);
  Trace.HdmiSetControl (0x41);
  Trace.HdmiSetControl (0x21);

  if (Timing != nullptr) {
    Trace.Read (RegPllReference);
    ExpectProgramDisplayController (
      Trace,
      *Timing,
      Mode.ColorDepth,
      static_cast<UINT32>(Qd520Reference::ScanLineBytes (Mode.Width, Mode.ColorDepth / 8)),
      PllWord
      );
  }

  Trace.FrameBufferFill32 (0, 0x800000, 0);
  ExpectDisplayState (Trace, 1);
  return ExpectHdmiSetMode (Trace, Mode, Timing, VideoCode, 0x21);
}

//
// Fixture.
//

void
HardwareTraceTest::SetUp (
  )
{
  DriverTest::SetUp ();
  mAdapter = &AddAdapter ();
  mAdapter->FillRegisters (RegisterSeed);
  for (UINT32 Index = 0; Index < 256; Index++) {
    mAdapter->SetHdmi ((UINT8)Index, (UINT8)((Index * 0x3B) ^ 0xA5));
  }

  mPrivate.Signature = QDL520_PRIVATE_DATA_SIGNATURE;
  mPrivate.PciIo     = mAdapter->Protocol ();
}

ExpectedTrace
HardwareTraceTest::Expect (
  )
{
  mAdapter->ClearTrace ();
  return ExpectedTrace (*mAdapter);
}

::testing::AssertionResult
HardwareTraceTest::Matches (
  const ExpectedTrace  &Expected
  )
{
  if (mAdapter->PciIo ().TraceOverflow () != 0) {
    return ::testing::AssertionFailure () << mAdapter->PciIo ().TraceOverflow () << " trace records did not fit";
  }

  return TraceMatches (Expected.Ops (), mAdapter->Trace ());
}

void
ModeSetTraceTest::SetUp (
  )
{
  HardwareTraceTest::SetUp ();
  Qdl520InitializeHardware (&mPrivate);
  mAdapter->SetHdmi (0x45, OutputControlBefore);
  mAdapter->SetRegister (RegDisplayControl0, mAdapter->Register (RegDisplayControl0) | 0x00040000);
  std::fill_n (mAdapter->FrameBuffer (), mAdapter->FrameBufferSize (), (UINT8)0xA5);
}

void
ModeSetTraceTest::SelectReference (
  bool  Is12288kHz
  )
{
  UINT32  Strap = mAdapter->Register (RegPllReference) & ~0x1000u;

  mAdapter->SetRegister (RegPllReference, Strap | (Is12288kHz ? 0x1000u : 0));
}

bool
ModeSetTraceTest::FrameBufferIsClear (
  )
{
  const UINT8  *Bytes = mAdapter->FrameBuffer ();

  return std::all_of (Bytes, Bytes + mAdapter->FrameBufferSize (), [](UINT8 Byte) { return Byte == 0; });
}

std::vector<TraceRecord>
ModeSetTraceTest::FrameBufferAccesses (
  )
{
  std::vector<TraceRecord>  Accesses;

  for (const TraceRecord &Record : mAdapter->Trace ()) {
    if (Record.BarIndex == 0) {
      Accesses.push_back (Record);
    }
  }

  return Accesses;
}

} // namespace Qd520Test
