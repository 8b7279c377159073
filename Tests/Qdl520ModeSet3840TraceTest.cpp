/** @file
  Register traces of the mode-set sequence for timings the driver's table
  does not hold: 3840x2160 (vendor-specific InfoFrame, 3840-class audio
  clock and PHY band), a 297 MHz timing outside the 3840 class, which no
  PHY band serves, and 1366x768, whose pitch is rounded up. The timing
  lookup is wrapped (-Wl,--wrap) to search a test table first.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TraceExpect.h"

#include "Qdl520ModeTiming.h"

namespace {

//
// CEA-861 VIC 95 (3840x2160 at 30 Hz), 1920x1080 at twice VIC 16's clock,
// and 1366x768, whose width is no multiple of 16; the end entry.
//
constexpr QDL520_MODE_TIMING  mTestTimings[] = {
  { 4400, 3840, 4016, 88, 0, 2250, 2160, 2168, 10, 0, 297000000, 67500, 30, 0 },
  { 2200, 1920, 2008, 44, 0, 1125, 1080, 1084, 5, 0, 297000000, 135000, 120, 0 },
  { 1792, 1366, 1436, 143, 0, 798, 768, 771, 3, 0, 85500000, 47712, 60, 1 },
  { 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 1 },
};

} // namespace

extern "C" {
const QDL520_MODE_TIMING *
__real_Qdl520FindModeTiming (
  UINT32  HorizontalDisplay,
  UINT32  VerticalDisplay,
  UINT32  RefreshRate
  );

const QDL520_MODE_TIMING *
__wrap_Qdl520FindModeTiming (
  UINT32  HorizontalDisplay,
  UINT32  VerticalDisplay,
  UINT32  RefreshRate
  );

const QDL520_MODE_TIMING *
__wrap_Qdl520FindModeTiming (
  UINT32  HorizontalDisplay,
  UINT32  VerticalDisplay,
  UINT32  RefreshRate
  )
{
  const QDL520_MODE_TIMING  *Timing;

  Timing = Qdl520FindModeTimingInTable (mTestTimings, HorizontalDisplay, VerticalDisplay, RefreshRate);
  return (Timing != NULL) ? Timing : __real_Qdl520FindModeTiming (HorizontalDisplay, VerticalDisplay, RefreshRate);
}
}

namespace Qd520Test {
namespace {

using ModeSet3840TraceTest = ModeSetTraceTest;

TEST_F (ModeSet3840TraceTest, LookupFallsBackToTheDriversTable) {
  EXPECT_EQ (Qdl520FindModeTiming (3840, 2160, 30), &mTestTimings[0]);
  EXPECT_EQ (Qdl520FindModeTiming (640, 480, 60), &mQdl520ModeTimings[0]);
}

TEST_F (ModeSet3840TraceTest, Mode3840x2160SendsTheVendorInfoFrameAnd3840ClassAudioAndPhy) {
  const QDL520_VIDEO_MODE  Mode = { 3840, 2160, 32, 30 };

  // 297 MHz: (49, 16384, 0, 3) from 12 MHz, (48, 11136, 0, 2) from 12.288 MHz.
  for (bool Is12288kHz : { false, true }) {
    SCOPED_TRACE (Is12288kHz ? "12.288 MHz reference" : "12 MHz reference");
    UINT32  PllWord = Is12288kHz ? 0x0C305700 : 0x0E318000;

    mAdapter->SetHdmi (0x45, OutputControlBefore);
    SelectReference (Is12288kHz);
    UINT8  Checksum = mAdapter->Model ().PeekInfoFrame (0x05, 3);

    ExpectedTrace  Expected = Expect ();
    EXPECT_EQ (ExpectSetModeHardware (Expected, Mode, &mTestTimings[0], PllWord, 0), 0);
    EXPECT_EQ (Qdl520SetModeHardware (&mPrivate, &Mode), 0);
    EXPECT_TRUE (Matches (Expected));

    EXPECT_EQ (mAdapter->Register (0x78), PllWord);
    EXPECT_EQ (mAdapter->Register (0x80008), 0x3C003C00u) << "pitch 15360";
    const std::pair<UINT8, UINT8>  Transmitter[] = {
      { 0x5F, 0x05 }, { 0x60, 0x81 }, { 0x61, 0x01 }, { 0x62, 0x07 }, { 0x64, 0x03 }, { 0x65, 0x0C },
      { 0x66, 0x00 }, { 0x67, 0x20 }, { 0x68, 0x01 }, { 0x69, 0x00 }, { 0x6A, 0x00 },
      { 0x01, 0x00 }, { 0x02, 0x12 }, { 0x03, 0x60 }, { 0x07, 0x03 }, { 0x08, 0xC6 }, { 0x09, 0xCC },
      { 0x5A, 0x5E }, { 0x5B, 0x95 }, { 0x5C, 0x7E }, { 0x5D, 0x64 }, { 0x56, 0x0E }, { 0x17, 0x22 },
    };
    for (const auto &Register : Transmitter) {
      EXPECT_EQ (mAdapter->Hdmi (Register.first), Register.second) << "register " << std::hex << +Register.first;
    }

    EXPECT_EQ (mAdapter->Hdmi (0x63), Checksum) << "no checksum is written into the vendor InfoFrame's buffer";
    EXPECT_EQ (mAdapter->Register (RegHdmiControl), 0x81u);
    EXPECT_EQ (mQdl520HdmiControl, 0x41);
    EXPECT_TRUE (FrameBufferIsClear ());
  }
}

TEST_F (ModeSet3840TraceTest, ClockWithoutPhyBandStopsBeforeTheEnableSteps) {
  const QDL520_VIDEO_MODE  Mode = { 1920, 1080, 32, 120 };

  for (UINT8 Index = 0x56; Index <= 0x5E; Index++) {
    mAdapter->SetHdmi (Index, 0xEE);
  }

  SelectReference (false);
  ExpectedTrace  Expected = Expect ();
  EXPECT_EQ (ExpectSetModeHardware (Expected, Mode, &mTestTimings[1], 0x0E318000, 16), -1);
  EXPECT_EQ (Qdl520SetModeHardware (&mPrivate, &Mode), -1);
  EXPECT_TRUE (Matches (Expected));

  EXPECT_EQ (mAdapter->Trace ().back ().Operation, Qd520Sim::PciIoOperation::Delay);
  EXPECT_EQ (mAdapter->Hdmi (0x42), 0x01);
  EXPECT_EQ (mAdapter->Hdmi (0x40), 0x00) << "registers 0x42 and 0x40 are the last written";
  for (UINT8 Index = 0x56; Index <= 0x5E; Index++) {
    EXPECT_EQ (mAdapter->Hdmi (Index), 0xEE) << "PHY register " << std::hex << +Index << " written";
  }

  EXPECT_EQ (mAdapter->Hdmi (0x01), 0x00);
  EXPECT_EQ (mAdapter->Hdmi (0x02), 0x18) << "N 6272 outside the 3840 class";
  EXPECT_EQ (mAdapter->Hdmi (0x45), OutputControlBefore | 0x07) << "bits 0 to 2 stay set";
  EXPECT_EQ (mAdapter->Register (RegHdmiControl), 0x21u);
  EXPECT_EQ (mQdl520HdmiControl, 0x21);
}

TEST_F (ModeSet3840TraceTest, PitchRoundsTheWidthUpToSixteenPixels) {
  const QDL520_VIDEO_MODE  Mode = { 1366, 768, 32, 60 };

  // 85.5 MHz: (28, 16384, 1, 0) from 12 MHz; PHY band 1.
  SelectReference (false);
  ExpectedTrace  Expected = Expect ();
  EXPECT_EQ (ExpectSetModeHardware (Expected, Mode, &mTestTimings[2], 0x085C8000, 0), 0);
  EXPECT_EQ (Qdl520SetModeHardware (&mPrivate, &Mode), 0);
  EXPECT_TRUE (Matches (Expected));
  EXPECT_EQ (mAdapter->Register (0x80008), 0x15801580u) << "1376 pixels of 4 bytes";
  EXPECT_EQ (mAdapter->Hdmi (0x56), 0x0A);
}

} // namespace
} // namespace Qd520Test
