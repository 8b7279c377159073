/** @file
  Register traces of the whole mode-set sequence on the driver's timing
  table: display off, HDMI output bits and control steps, PLL and display
  controller, the one frame-buffer fill, display on, and the HDMI half.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TraceExpect.h"

namespace Qd520Test {
namespace {

struct ModeSetCase {
  const char            *Name;
  QDL520_VIDEO_MODE     Mode;
  QDL520_MODE_TIMING    Timing;
  UINT32                PllWord[2];  ///< from the 12 MHz and the 12.288 MHz reference
  UINT32                LinePitch;   ///< register 0x80008
  UINT8                 VideoCode;
  UINT8                 Phy56;       ///< PHY band byte of transmitter register 0x56
};

//
// PLL words as (Multiplier, Fraction, PostDividerSelect, VcoRange) from the
// PLL search for each pixel clock and reference.
//
const ModeSetCase  ModeSetCases[] = {
  // 25.175 MHz: (33, 18568, 3, 0) and (32, 25557, 3, 0); band 0.
  { "Mode0At640x480", { 640, 480, 32, 60 }, { 800, 640, 656, 96, 1, 525, 480, 490, 2, 1, 25175000, 31469, 60, 1 },
    { 0x08E19110, 0x08E0C7AA }, 0x0A000A00, 1, 0x06 },
  // 40 MHz: (53, 10922, 3, 3) and (52, 2730, 3, 3); band 0.
  { "Mode1At800x600", { 800, 600, 32, 60 }, { 1056, 800, 840, 128, 0, 628, 600, 601, 4, 0, 40000000, 37879, 60, 1 },
    { 0x0EF55554, 0x0EF41554 }, 0x0C800C80, 0, 0x06 },
  // 65 MHz: (43, 10922, 2, 2) and (42, 10410, 2, 2); band 1.
  { "Mode2At1024x768", { 1024, 768, 32, 60 },
    { 1344, 1024, 1048, 136, 1, 806, 768, 771, 6, 1, 65000000, 48363, 60, 1 },
    { 0x0CAB5554, 0x0CAA5154 }, 0x10001000, 0, 0x0A },
  // 108 MHz: (36, 0, 1, 1) and (35, 5120, 1, 1); band 2.
  { "1280x1024", { 1280, 1024, 32, 60 },
    { 1688, 1280, 1328, 112, 0, 1066, 1024, 1025, 3, 0, 108000000, 63981, 60, 1 },
    { 0x0A640000, 0x0A632800 }, 0x14001400, 0, 0x0E },
  // 148.5 MHz: (49, 16384, 1, 3) and (48, 11136, 1, 2); band 2.
  { "1920x1080", { 1920, 1080, 32, 60 },
    { 2200, 1920, 2008, 44, 0, 1125, 1080, 1084, 5, 0, 148500000, 67500, 60, 0 },
    { 0x0E718000, 0x0C705700 }, 0x1E001E00, 16, 0x0E },
};

class ModeSetSequenceTest : public ModeSetTraceTest,
                            public ::testing::WithParamInterface<std::tuple<ModeSetCase, bool> > {
};

TEST_P (ModeSetSequenceTest, RunsEveryStepInOrderAndEndsRunning) {
  const ModeSetCase  &Case       = std::get<0>(GetParam ());
  bool               Is12288kHz = std::get<1>(GetParam ());

  SelectReference (Is12288kHz);

  ExpectedTrace  Expected = Expect ();
  INT32          Result   = ExpectSetModeHardware (Expected, Case.Mode, &Case.Timing, Case.PllWord[Is12288kHz],
                              Case.VideoCode);

  EXPECT_EQ (Result, 0);
  EXPECT_EQ (Qdl520SetModeHardware (&mPrivate, &Case.Mode), 0);
  EXPECT_TRUE (Matches (Expected));

  EXPECT_EQ (mAdapter->Register (0x78), Case.PllWord[Is12288kHz]);
  EXPECT_EQ (mAdapter->Register (0x80008), Case.LinePitch);
  EXPECT_EQ (AccessesTo (mAdapter->Trace (), RegPllReference).size (), 1u) << "the reference is read once";
  EXPECT_EQ (mAdapter->Hdmi (0x67), Case.VideoCode);
  EXPECT_EQ (mAdapter->Hdmi (0x56), Case.Phy56);
  EXPECT_EQ (mAdapter->Hdmi (0x45), (OutputControlBefore | 0x06) & ~0x01) << "bits 1 and 2 set, bit 0 clear";
  EXPECT_EQ (mAdapter->Register (RegHdmiControl), 0x81u);
  EXPECT_EQ (mQdl520HdmiControl, 0x41);

  std::vector<TraceRecord>  Fills = FrameBufferAccesses ();
  ASSERT_EQ (Fills.size (), 1u) << "one frame-buffer request";
  EXPECT_EQ (Fills[0].Operation, Qd520Sim::PciIoOperation::MemWrite);
  EXPECT_EQ (Fills[0].Width, (UINT32)EfiPciIoWidthFillUint32);
  EXPECT_EQ (Fills[0].Offset, 0u);
  EXPECT_EQ (Fills[0].Count, 0x800000u);
  EXPECT_EQ (Fills[0].Status, EFI_SUCCESS);
  EXPECT_TRUE (FrameBufferIsClear ());
}

INSTANTIATE_TEST_SUITE_P (
  Modes,
  ModeSetSequenceTest,
  ::testing::Combine (::testing::ValuesIn (ModeSetCases), ::testing::Bool ()),
  [](const ::testing::TestParamInfo<std::tuple<ModeSetCase, bool> > &Info) {
    return std::string (std::get<0>(Info.param).Name) + (std::get<1>(Info.param) ? "From12288kHz" : "From12MHz");
  }
  );

using ModeSetFailureTest = ModeSetTraceTest;

TEST_F (ModeSetFailureTest, SecondCallForTheSameModeRepeatsEveryStep) {
  const ModeSetCase  &Case = ModeSetCases[0];

  SelectReference (false);
  mAdapter->ClearTrace ();
  ASSERT_EQ (Qdl520SetModeHardware (&mPrivate, &Case.Mode), 0);
  size_t  FirstCount = mAdapter->TraceCount ();

  ExpectedTrace  Expected = Expect ();
  EXPECT_EQ (ExpectSetModeHardware (Expected, Case.Mode, &Case.Timing, Case.PllWord[0], Case.VideoCode), 0);
  EXPECT_EQ (Qdl520SetModeHardware (&mPrivate, &Case.Mode), 0);
  EXPECT_TRUE (Matches (Expected));
  EXPECT_EQ (mAdapter->TraceCount (), FirstCount);
}

TEST_F (ModeSetFailureTest, ModeWithoutTimingClearsAndSwitchesOnButKeepsTheControllerAndStops) {
  const QDL520_VIDEO_MODE  Modes[] = {
    { 640, 480, 32, 75 }, { 3840, 2160, 32, 60 }, { 3840, 2160, 32, 30 },
  };
  const UINT64             ControllerRegisters[] = { 0x78, 0x88, 0x80004, 0x80008, 0x8000C, 0x80010, 0x80014, 0x80018 };

  for (const QDL520_VIDEO_MODE &Mode : Modes) {
    SCOPED_TRACE (std::to_string (Mode.Width) + "x" + std::to_string (Mode.Height) + " at " +
                  std::to_string (Mode.RefreshRate) + " Hz");
    std::vector<UINT32>  Before;
    for (UINT64 Offset : ControllerRegisters) {
      Before.push_back (mAdapter->Register (Offset));
    }

    UINT32  Colour7 = mAdapter->Register (RegColourTable + 4 * 7);

    mAdapter->SetHdmi (0x45, OutputControlBefore);
    std::fill_n (mAdapter->FrameBuffer (), mAdapter->FrameBufferSize (), (UINT8)0x5A);
    ExpectedTrace  Expected = Expect ();
    EXPECT_EQ (ExpectSetModeHardware (Expected, Mode, nullptr, 0, 0), -1);

    EXPECT_EQ (Qdl520SetModeHardware (&mPrivate, &Mode), -1);
    EXPECT_TRUE (Matches (Expected));
    EXPECT_TRUE (FrameBufferIsClear ());
    EXPECT_EQ (FrameBufferAccesses ().size (), 1u);
    EXPECT_TRUE (AccessesTo (mAdapter->Trace (), RegPllReference).empty ());
    for (size_t Index = 0; Index < Before.size (); Index++) {
      EXPECT_EQ (mAdapter->Register (ControllerRegisters[Index]), Before[Index])
        << "register " << std::hex << ControllerRegisters[Index] << " reprogrammed";
    }

    EXPECT_EQ (mAdapter->Register (RegColourTable + 4 * 7), Colour7);
    EXPECT_EQ (mAdapter->Hdmi (0x45), OutputControlBefore | 0x07) << "bits 0 to 2 stay set";
    EXPECT_EQ (mAdapter->Register (RegHdmiControl), 0x21u);
    EXPECT_EQ (mQdl520HdmiControl, 0x21);
  }
}

TEST_F (ModeSetFailureTest, HdmiHalfSetsTheControlValueFirstWhenItIsNotTheSetUpValue) {
  const ModeSetCase  &Case = ModeSetCases[0];

  for (bool HasTiming : { true, false }) {
    QDL520_VIDEO_MODE  Mode = Case.Mode;
    Mode.RefreshRate = HasTiming ? 60 : 75;
    mQdl520HdmiControl = 0x41;

    ExpectedTrace  Expected = Expect ();
    INT32          Result   = ExpectHdmiSetMode (Expected, Mode, HasTiming ? &Case.Timing : nullptr, 1, 0x41);

    EXPECT_EQ (Qdl520HdmiSetMode (&mPrivate, &Mode), Result);
    EXPECT_EQ (Result, HasTiming ? 0 : -1);
    EXPECT_TRUE (Matches (Expected)) << (HasTiming ? "with a timing" : "without a timing");
    EXPECT_EQ (mQdl520HdmiControl, HasTiming ? 0x41 : 0x21);
  }
}

} // namespace
} // namespace Qd520Test
