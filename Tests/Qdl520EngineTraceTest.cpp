/** @file
  Register traces of the engine bring-up and of switching both display
  channels on and off, on a simulated adapter whose registers all start
  non-zero.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TraceExpect.h"

namespace Qd520Test {
namespace {

//
// The transmitter writes that end the bring-up: AVI InfoFrame buffer,
// header, checksum byte and payload; audio InfoFrame buffer likewise; pixel
// clock and two fixed settings.
//
constexpr UINT8  BringUpHdmiWrites[32][2] = {
  { 0x5F, 0x06 }, { 0x41, 0x10 }, { 0x60, 0x82 }, { 0x61, 0x02 }, { 0x62, 0x0D }, { 0x63, 0x16 },
  { 0x64, 0x00 }, { 0x65, 0x00 }, { 0x66, 0x12 }, { 0x67, 0x00 }, { 0x68, 0x00 }, { 0x69, 0xE4 },
  { 0x6A, 0xB5 }, { 0x6B, 0x4E }, { 0x6C, 0x59 }, { 0x6D, 0xD2 }, { 0x6E, 0xEB }, { 0x6F, 0x18 },
  { 0x70, 0x1D }, { 0x5F, 0x08 }, { 0x60, 0x84 }, { 0x61, 0x01 }, { 0x62, 0x0A }, { 0x63, 0x70 },
  { 0x64, 0x01 }, { 0x65, 0x00 }, { 0x66, 0x00 }, { 0x67, 0x00 }, { 0x68, 0x00 }, { 0x81, 0x20 },
  { 0x82, 0x00 }, { 0x92, 0x80 },
};

using EngineTraceTest = HardwareTraceTest;

TEST_F (EngineTraceTest, InitializeHardwareMakesTheWholeBringUpSequence) {
  ExpectedTrace  Expected = Expect ();

  Expected.Read (0x6C);
  Expected.Write (0x6C, 0x08E19110);
  Expected.Read (0x70);
  Expected.Write (0x70, 0x0AE5C330);
  const struct {
    UINT64    Channel0;
    UINT32    Keep;
  } ChannelSteps[] = {
    { 0x80040, 0xFFFF3FFB }, { 0x80080, 0xFFFFFFFB }, { 0x80030, 0x3FFFFFFF },
  };
  for (const auto &Step : ChannelSteps) {
    UINT32  Value = Expected.Read (Step.Channel0) & Step.Keep;
    Expected.Write (Step.Channel0, Value);
    Expected.Write (Step.Channel0 + 0x8000, Value);
  }

  Expected.Or (0x68, 0x2);
  Expected.Or (0x68, 0x4);
  Expected.Or (0x68, 0x2000);
  Expected.Write (RegHdmiIndexData, 0x00020000);
  Expected.Delay (1);
  Expected.Write (RegHdmiControl, (Expected.Read (RegHdmiControl) & 0xFF) | 0x1);
  Expected.Write (RegHdmiControl, 0x2D);
  Expected.Delay (8);
  Expected.Write (RegHdmiControl, 0x21);
  Expected.Delay (10);
  Expected.Delay (1);
  for (const auto &Write : BringUpHdmiWrites) {
    Expected.HdmiWrite (Write[0], Write[1]);
  }

  Qdl520InitializeHardware (&mPrivate);

  EXPECT_TRUE (Matches (Expected));
  EXPECT_EQ (mAdapter->TraceCount (), 156u) << "4 presets, 9 channel, 6 engine, 10 HDMI set-up, 128 HDMI ops";
  EXPECT_EQ (mQdl520HdmiControl, 0x21);
  EXPECT_EQ (AccessesTo (mAdapter->Trace (), RegHdmiControl).back ().Value, 0x21u);
  EXPECT_EQ (mAdapter->Register (0x6C), 0x08E19110u);
  EXPECT_EQ (mAdapter->Register (0x70), 0x0AE5C330u);
  for (UINT64 Offset : { 0x80030, 0x80040, 0x80080 }) {
    EXPECT_EQ (mAdapter->Register (Offset + 0x8000), mAdapter->Register (Offset)) << std::hex << Offset;
    EXPECT_EQ (mAdapter->Register (Offset + 0x8000), Expected.Register (Offset)) << std::hex << Offset;
  }

  EXPECT_EQ (mAdapter->Register (0x80030) & 0xC0000000, 0u);
  EXPECT_EQ (mAdapter->Register (0x80040) & 0x0000C004, 0u);
  EXPECT_EQ (mAdapter->Register (0x80080) & 0x00000004, 0u);
  EXPECT_EQ (mAdapter->Register (0x68) & 0x2006, 0x2006u);
  EXPECT_EQ (mAdapter->Hdmi (0x41), 0x10);
  EXPECT_EQ (mAdapter->Hdmi (0x63), 0x70) << "the audio InfoFrame's buffer is selected last";
  EXPECT_EQ (mAdapter->Hdmi (0x6B), 0x00) << "the audio InfoFrame's buffer has no payload byte 8";

  // Each InfoFrame lands in the buffer its select value names.
  const Qd520Sim::Adapter  &Model = mAdapter->Model ();
  const UINT8              Avi[]   = { 0x82, 0x02, 0x0D, 0x16, 0x00, 0x00, 0x12, 0x00, 0x00, 0xE4, 0xB5, 0x4E,
                                       0x59, 0xD2, 0xEB, 0x18, 0x1D };
  const UINT8              Audio[] = { 0x84, 0x01, 0x0A, 0x70, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00 };
  for (UINTN Offset = 0; Offset < Qd520Sim::HdmiInfoFrameBytes; Offset++) {
    EXPECT_EQ (Model.PeekInfoFrame (0x06, Offset), Avi[Offset]) << "AVI InfoFrame byte " << Offset;
    EXPECT_EQ (Model.PeekInfoFrame (0x08, Offset), Audio[Offset]) << "audio InfoFrame byte " << Offset;
  }
  EXPECT_EQ (mAdapter->Hdmi (0x92), 0x80);
}

//
// Display on and off. Each case presets the four-bit field (bits 24 to 27)
// of both display control registers and names the field values that step 3
// writes, in order.
//
struct DisplayStateCase {
  const char              *Name;
  UINT32                  State;
  UINT32                  Field;
  std::vector<UINT32>     SteppedFields;
};

class DisplayStateTraceTest : public HardwareTraceTest, public ::testing::WithParamInterface<DisplayStateCase> {
};

TEST_P (DisplayStateTraceTest, SwitchesChannel0ThenChannel1InSixSteps) {
  const DisplayStateCase  &Case = GetParam ();

  for (UINT64 Register : { RegDisplayControl0, RegDisplayControl1 }) {
    mAdapter->SetRegister (Register, (mAdapter->Register (Register) & ~PowerSequenceMask) | (Case.Field << 24));
  }

  UINT32         Bits28To29[2] = { mAdapter->Register (RegDisplayControl0) & 0x30000000,
                                   mAdapter->Register (RegDisplayControl1) & 0x30000000 };
  ExpectedTrace  Expected = Expect ();

  ExpectDisplayState (Expected, Case.State);
  Qdl520SetDisplayState (&mPrivate, Case.State);

  ASSERT_TRUE (Matches (Expected));
  size_t  Writes = Case.SteppedFields.empty () ? 5 : 9;
  EXPECT_EQ (mAdapter->TraceCount (), 2 * (6 + Writes)) << "six reads and the writes of each channel, no delay";

  for (int Channel = 0; Channel < 2; Channel++) {
    UINT64               Register = Channel == 0 ? RegDisplayControl0 : RegDisplayControl1;
    std::vector<UINT32>  Stepped;

    for (const TraceRecord &Access : AccessesTo (mAdapter->Trace (), Register)) {
      if (Access.Operation == Qd520Sim::PciIoOperation::MemWrite) {
        Stepped.push_back (((UINT32)Access.Value & PowerSequenceMask) >> 24);
      }
    }

    ASSERT_EQ (Stepped.size (), Writes);
    Stepped = std::vector<UINT32>(Stepped.begin () + 2, Stepped.end () - 3);
    EXPECT_EQ (Stepped, Case.SteppedFields) << "channel " << Channel;

    UINT32  Final = mAdapter->Register (Register);
    EXPECT_EQ (Final & 0x00300800, 0u) << "bits 20, 21 and 11 cleared, channel " << Channel;
    if (Case.State == 1) {
      EXPECT_EQ (Final & 0xFF000104, 0x2F000104u) << "channel " << Channel;
    } else {
      EXPECT_EQ (Final & 0xCF000104, 0xC0000000u) << "channel " << Channel;
      EXPECT_EQ (Final & 0x30000000, Bits28To29[Channel]) << "bits 28 and 29 unchanged, channel " << Channel;
    }
  }
}

INSTANTIATE_TEST_SUITE_P (
  Fields,
  DisplayStateTraceTest,
  ::testing::Values (
    DisplayStateCase{ "OnFromClear", 1, 0x0, { 0x1, 0x3, 0x7, 0xF } },
    DisplayStateCase{ "OnFromBit26", 1, 0x4, { 0x5, 0x7, 0x7, 0xF } },
    DisplayStateCase{ "OnFromFullSkipsStep3", 1, 0xF, {} },
    DisplayStateCase{ "OffFromFull", 0, 0xF, { 0x7, 0x3, 0x1, 0x0 } },
    DisplayStateCase{ "OffFromBit26", 0, 0x4, { 0x4, 0x0, 0x0, 0x0 } },
    DisplayStateCase{ "OffFromClearSkipsStep3", 0, 0x0, {} }
    ),
  [](const ::testing::TestParamInfo<DisplayStateCase> &Info) { return std::string (Info.param.Name); }
  );

TEST_F (EngineTraceTest, DisplayStateOtherThanOffOrOnTouchesNoRegister) {
  for (UINT32 State : { 2u, 3u, 0x80000000u, 0xFFFFFFFFu }) {
    mAdapter->ClearTrace ();
    Qdl520SetDisplayState (&mPrivate, State);
    EXPECT_EQ (mAdapter->TraceCount (), 0u) << "State " << State;
  }
}

} // namespace
} // namespace Qd520Test
