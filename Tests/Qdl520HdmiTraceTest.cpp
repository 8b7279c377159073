/** @file
  Register traces of the HDMI transmitter routines: register access
  through the index/data and control registers, video timing, audio clock
  regeneration and PHY bands.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TraceExpect.h"

#include "Qd520ScanOut.h"

namespace Qd520Test {
namespace {

using HdmiTraceTest = HardwareTraceTest;

constexpr QDL520_MODE_TIMING  Timing640x480   = { 800, 640, 656, 96, 1, 525, 480, 490, 2, 1, 25175000, 31469, 60, 1 };
constexpr QDL520_MODE_TIMING  Timing1920x1080 = {
  2200, 1920, 2008, 44, 0, 1125, 1080, 1084, 5, 0, 148500000, 67500, 60, 0
};

/// A timing of Width x Height at PixelClock with positive syncs.
constexpr QDL520_MODE_TIMING
SizedTiming (
  UINT32  Width,
  UINT32  Height,
  UINT32  PixelClock
  )
{
  return { Width + 280, Width, Width + 88, 44, 0, Height + 45, Height, Height + 4, 5, 0, PixelClock, 0, 60, 0 };
}

TEST_F (HdmiTraceTest, WriteStoresWithTheStrobeThenDropsItWaitingOneUnitAfterEach) {
  mAdapter->ClearTrace ();
  Qdl520HdmiWrite (&mPrivate, 0x45, 0x07);

  EXPECT_TRUE (
    TraceMatches (
      { RegisterWrite (RegHdmiIndexData, 0x10745), DelayRecord (1), RegisterWrite (RegHdmiIndexData, 0x00745),
        DelayRecord (1) },
      mAdapter->Trace ()
      )
    );
  EXPECT_EQ (mAdapter->Hdmi (0x45), 0x07);
}

TEST_F (HdmiTraceTest, ReadRequestsTheRegisterThenReturnsTheDataByteOfTheIndexDataRegister) {
  mAdapter->SetHdmi (0x45, 0xA7);
  mAdapter->ClearTrace ();

  EXPECT_EQ (Qdl520HdmiRead (&mPrivate, 0x45), 0xA7);
  EXPECT_TRUE (
    TraceMatches (
      { RegisterWrite (RegHdmiIndexData, 0x20045), DelayRecord (1), RegisterWrite (RegHdmiIndexData, 0x00045),
        DelayRecord (1), RegisterRead (RegHdmiIndexData, 0xA745) },
      mAdapter->Trace ()
      )
    );
  EXPECT_EQ (mAdapter->Hdmi (0x45), 0xA7) << "a read stores nothing";
}

TEST_F (HdmiTraceTest, WriteAndStrobePulsesTheControlRegisterWithoutTouchingTheControlByte) {
  mQdl520HdmiControl = 0x41;
  mAdapter->ClearTrace ();
  Qdl520HdmiWriteAndStrobe (&mPrivate, 0x5A, 0x1E);

  EXPECT_TRUE (
    TraceMatches (
      { RegisterWrite (RegHdmiIndexData, 0x11E5A), DelayRecord (1), RegisterWrite (RegHdmiIndexData, 0x01E5A),
        DelayRecord (1), RegisterWrite (RegHdmiControl, 0x2D), DelayRecord (1),
        RegisterWrite (RegHdmiControl, 0x21), DelayRecord (1) },
      mAdapter->Trace ()
      )
    );
  EXPECT_EQ (mQdl520HdmiControl, 0x41);
}

TEST_F (HdmiTraceTest, SetControlRaisesTheStrobeBitsExceptForTheInitialValueAndRemembersIt) {
  const struct {
    UINT8                       Value;
    std::vector<TraceRecord>    Ops;
  } Cases[] = {
    { 0x11, { RegisterWrite (RegHdmiControl, 0x11), DelayRecord (10) } },
    { 0x21, { RegisterWrite (RegHdmiControl, 0x2D), DelayRecord (8), RegisterWrite (RegHdmiControl, 0x21),
              DelayRecord (10) } },
    { 0x41, { RegisterWrite (RegHdmiControl, 0x4D), DelayRecord (8), RegisterWrite (RegHdmiControl, 0x41),
              DelayRecord (10) } },
  };

  for (const auto &Case : Cases) {
    mQdl520HdmiControl = 0x81;
    mAdapter->ClearTrace ();
    Qdl520HdmiSetControl (&mPrivate, Case.Value);
    EXPECT_TRUE (TraceMatches (Case.Ops, mAdapter->Trace ())) << "control value " << std::hex << +Case.Value;
    EXPECT_EQ (mQdl520HdmiControl, Case.Value);
  }
}

//
// Video timing. The literal bytes are the worked values of each timing.
//
struct VideoTimingCase {
  const char            *Name;
  QDL520_MODE_TIMING    Timing;
  UINT8                 SyncBefore;   ///< register 0x30 before
  UINT8                 SyncAfter;
  UINT8                 Horizontal[8]; ///< 0x31 .. 0x38
  UINT8                 Vertical[5];   ///< 0x39, 0x3A, 0x3D, 0x3E, 0x3F
  UINT8                 ClockUnits[2]; ///< 0x81, 0x82
};

const VideoTimingCase  VideoTimingCases[] = {
  { "640x480", Timing640x480, 0xFE, 0xF3,
    { 0x20, 0x03, 0xA0, 0x00, 0x90, 0x00, 0x60, 0x00 }, { 0x0D, 0x02, 0x2D, 0x23, 0x02 }, { 0x0F, 0x00 } },
  { "1920x1080", Timing1920x1080, 0x00, 0x0D,
    { 0x98, 0x08, 0x18, 0x01, 0xC0, 0x00, 0x2C, 0x00 }, { 0x65, 0x04, 0x2D, 0x29, 0x05 }, { 0x5C, 0x00 } },
  { "VerticalBlankingOf300", { 1000, 700, 720, 300, 1, 800, 500, 790, 70, 0, 409600000, 0, 60, 0 }, 0x5A, 0x5B,
    { 0xE8, 0x03, 0x2C, 0x01, 0x18, 0x01, 0x2C, 0x01 }, { 0x20, 0x03, 0x2C, 0x0A, 0x46 }, { 0x00, 0x01 } },
};

TEST_F (HdmiTraceTest, VideoTimingLoadsSyncControlTotalsBlankingAndPixelClock) {
  for (const VideoTimingCase &Case : VideoTimingCases) {
    SCOPED_TRACE (Case.Name);
    mAdapter->SetHdmi (0x30, Case.SyncBefore);
    mAdapter->SetHdmi (0x17, 0xFF);
    mAdapter->SetHdmi (0x15, 0xFE);
    mAdapter->SetHdmi (0xAF, 0xFF);

    ExpectedTrace  Expected = Expect ();
    ExpectHdmiVideoTiming (Expected, Case.Timing);
    Qdl520HdmiSetVideoTiming (&mPrivate, &Case.Timing);

    EXPECT_TRUE (Matches (Expected));
    EXPECT_EQ (mAdapter->TraceCount (), 23u * 4 + 4u * 5) << "23 register writes, 4 of them after a read";
    EXPECT_EQ (mAdapter->Hdmi (0x30), Case.SyncAfter);
    for (UINT8 Index = 0; Index < 8; Index++) {
      EXPECT_EQ (mAdapter->Hdmi (0x31 + Index), Case.Horizontal[Index]) << "register " << std::hex << 0x31 + Index;
    }

    const UINT8  VerticalRegisters[5] = { 0x39, 0x3A, 0x3D, 0x3E, 0x3F };
    for (int Index = 0; Index < 5; Index++) {
      EXPECT_EQ (mAdapter->Hdmi (VerticalRegisters[Index]), Case.Vertical[Index])
        << "register " << std::hex << +VerticalRegisters[Index];
    }

    EXPECT_EQ (mAdapter->Hdmi (0x81), Case.ClockUnits[0]);
    EXPECT_EQ (mAdapter->Hdmi (0x82), Case.ClockUnits[1]);
    EXPECT_EQ (mAdapter->Hdmi (0x17), 0x3F);
    EXPECT_EQ (mAdapter->Hdmi (0x16), 0x30);
    EXPECT_EQ (mAdapter->Hdmi (0x15), 0xF1);
    EXPECT_EQ (mAdapter->Hdmi (0xAF), 0xFD);
    EXPECT_EQ (mAdapter->Hdmi (0x3B), 0x40);
    EXPECT_EQ (mAdapter->Hdmi (0x46), 0x04);
    EXPECT_EQ (mAdapter->Hdmi (0xD3), 0x01);
  }
}

TEST_F (HdmiTraceTest, VideoTimingLeavesRegister3CAlone) {
  mAdapter->SetHdmi (0x3C, 0x5A);
  Qdl520HdmiSetVideoTiming (&mPrivate, &Timing640x480);
  EXPECT_EQ (mAdapter->Hdmi (0x3C), 0x5A);
}

//
// Audio clock regeneration for 44.1 kHz: N and CTS, most significant part
// first, then the fixed settings.
//
TEST_F (HdmiTraceTest, AudioClockWritesNAndCtsOfThePixelClock) {
  const struct {
    const char            *Name;
    QDL520_MODE_TIMING    Timing;
    UINT8                 N[3];
    UINT8                 Cts[3];
  } Cases[] = {
    { "25.175 MHz", Timing640x480, { 0x00, 0x18, 0x80 }, { 0x00, 0x6D, 0x44 } },
    { "148.5 MHz", Timing1920x1080, { 0x00, 0x18, 0x80 }, { 0x02, 0x84, 0x88 } },
    { "3840x2160 at 297 MHz", SizedTiming (3840, 2160, 297000000), { 0x00, 0x12, 0x60 }, { 0x03, 0xC6, 0xCC } },
    { "5119x2879 is of the 3840 class", SizedTiming (5119, 2879, 297000000), { 0x00, 0x12, 0x60 },
      { 0x03, 0xC6, 0xCC } },
    { "5120x2160 is not", SizedTiming (5120, 2160, 297000000), { 0x00, 0x18, 0x80 }, { 0x05, 0x09, 0x10 } },
    { "3840x2880 is not", SizedTiming (3840, 2880, 297000000), { 0x00, 0x18, 0x80 }, { 0x05, 0x09, 0x10 } },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    mAdapter->SetHdmi (0x15, 0xFF);
    mAdapter->SetHdmi (0x0A, 0xFF);

    ExpectedTrace  Expected = Expect ();
    ExpectHdmiAudioClock (Expected, Case.Timing);
    Qdl520HdmiSetAudioClock (&mPrivate, &Case.Timing);

    EXPECT_TRUE (Matches (Expected));
    EXPECT_EQ (mAdapter->TraceCount (), 17u * 4 + 3u * 5) << "17 register writes, 3 of them after a read";
    for (UINT8 Index = 0; Index < 3; Index++) {
      EXPECT_EQ (mAdapter->Hdmi (0x01 + Index), Case.N[Index]) << "N register " << +Index;
      EXPECT_EQ (mAdapter->Hdmi (0x07 + Index), Case.Cts[Index]) << "CTS register " << +Index;
    }

    EXPECT_EQ (mAdapter->Hdmi (0x15), 0x0F);
    EXPECT_EQ (mAdapter->Hdmi (0x0A), 0x00);
    EXPECT_EQ (mAdapter->Hdmi (0x14), 0x02);
  }
}

//
// PHY bands, at their edges.
//
TEST_F (HdmiTraceTest, PhyLoadsTheBandOfThePixelClockOrWritesNothing) {
  const struct {
    UINT32    Width;
    UINT32    Height;
    UINT32    PixelClock;
    int       Band;      ///< -1: none
  } Cases[] = {
    { 1920, 1080, 1, 0 },          { 1920, 1080, 49999999, 0 },  { 1920, 1080, 50000000, 1 },
    { 1920, 1080, 99999999, 1 },   { 1920, 1080, 100000000, 2 }, { 1920, 1080, 149999999, 2 },
    { 1920, 1080, 150000000, 3 },  { 1920, 1080, 199999999, 3 }, { 1920, 1080, 200000000, 4 },
    { 1920, 1080, 249999999, 4 },  { 1920, 1080, 250000000, -1 }, { 1920, 1080, 0xFFFFFFFF, -1 },
    { 1920, 1080, 0, -1 },         { 3840, 2160, 297000000, 5 }, { 3840, 2160, 0, 5 },
    { 5119, 2879, 250000000, 5 },  { 3840, 2160, 148500000, 2 }, { 5120, 2160, 297000000, -1 },
    { 3840, 2880, 297000000, -1 }, { 3839, 2160, 297000000, -1 }, { 3840, 2159, 297000000, -1 },
  };
  const UINT8  Register56[6] = { 0x06, 0x0A, 0x0E, 0x0E, 0x0E, 0x0E };
  const UINT8  Register5D[6] = { 0x10, 0x70, 0x70, 0x71, 0x71, 0x64 };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (std::to_string (Case.Width) + "x" + std::to_string (Case.Height) + " at " +
                  std::to_string (Case.PixelClock) + " Hz");
    QDL520_MODE_TIMING  Timing = SizedTiming (Case.Width, Case.Height, Case.PixelClock);
    ASSERT_EQ (ExpectedPhyBand (Timing), Case.Band);

    ExpectedTrace  Expected = Expect ();
    INT32          Result   = ExpectHdmiPhy (Expected, Timing);

    EXPECT_EQ (Qdl520HdmiSetPhy (&mPrivate, &Timing), Result);
    EXPECT_TRUE (Matches (Expected));
    if (Case.Band < 0) {
      EXPECT_EQ (Result, -1);
      EXPECT_EQ (mAdapter->TraceCount (), 0u) << "no register is written";
      continue;
    }

    EXPECT_EQ (Result, 0);
    EXPECT_EQ (mAdapter->TraceCount (), 10u * 8) << "ten strobed writes";
    EXPECT_EQ (mAdapter->Hdmi (0x56), Register56[Case.Band]);
    EXPECT_EQ (mAdapter->Hdmi (0x5D), Register5D[Case.Band]);
    EXPECT_EQ (mAdapter->Hdmi (0x17), 0x22);

    //
    // The transmitter, as the adapter model reads it, holds that band
    // (bands 3 and 4 share their bytes).
    //
    Qd520Sim::ScanOutMode  Scan = {};
    Qd520Sim::ScanOutHdmi  Signal;

    Qd520Sim::DecodeHdmi (mAdapter->Model (), Scan, &Signal);
    EXPECT_EQ (Signal.PhyBand, ((Case.Band == 3) || (Case.Band == 4)) ? 34 : Case.Band);
  }
}

} // namespace
} // namespace Qd520Test
