/** @file
  What a monitor on the QD520 shows after the driver's real mode sets: the
  scan-out and HDMI signal decoded from the registers, the picture lines,
  the blank screen, and the report of values that disagree.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DriverTest.h"
#include "Qd520ScanOut.h"

#include <cstring>
#include <string>
#include <vector>

namespace Qd520Test {
namespace {

using Qd520Sim::ScanOutBlank;
using Qd520Sim::ScanOutFormat;
using Qd520Sim::ScanOutHdmi;
using Qd520Sim::ScanOutMode;

constexpr UINT64  RegDisplayControl = 0x80000;
constexpr UINT64  RegPll            = 0x78;
constexpr UINT64  RegPitch          = 0x80008;
constexpr UINT64  RegHorizontal     = 0x8000C;

/// The driver started on one adapter whose registers start at zero, as
/// after power-on; the 12.288 MHz reference when asked for.
class ScanOutTest : public DriverTest {
protected:
  void
  Start (
    bool            Reference12288kHz = false,
    AdapterOptions  Options           = AdapterOptions ()
    )
  {
    if (Reference12288kHz) {
      Options.InitialRegisters.push_back ({ Qd520Sim::RegisterPllReference, Qd520Sim::PllReferenceSelectBit });
    }

    mAdapter = &AddAdapter (Options);
    ASSERT_EQ (EFI_SUCCESS, LoadDriver ());
    ASSERT_EQ (EFI_SUCCESS, Platform ().Connect (mAdapter->Controller ()));
    mGop = GraphicsOutputOn (mAdapter->Controller ());
    ASSERT_NE (nullptr, mGop);
  }

  ScanOutMode
  Mode (
    )
  {
    ScanOutMode  Decoded;

    Qd520Sim::DecodeScanOut (mAdapter->Model (), &Decoded);
    return Decoded;
  }

  ScanOutHdmi
  Hdmi (
    )
  {
    ScanOutMode  Decoded = Mode ();
    ScanOutHdmi  Signal;

    Qd520Sim::DecodeHdmi (mAdapter->Model (), Decoded, &Signal);
    return Signal;
  }

  std::string
  Report (
    )
  {
    std::string  Text (Qd520Sim::FormatMonitorReport (mAdapter->Model (), nullptr, 0) + 1, '\0');

    Qd520Sim::FormatMonitorReport (mAdapter->Model (), &Text[0], Text.size ());
    Text.pop_back ();
    return Text;
  }

  std::vector<UINT32>
  Line (
    UINT32  Row
    )
  {
    ScanOutMode          Decoded = Mode ();
    std::vector<UINT32>  Pixels (Decoded.Width);

    Qd520Sim::ScanOutLine (mAdapter->Model (), Decoded, Row, Pixels.data ());
    return Pixels;
  }

  /// Sets transmitter register Index of InfoFrame buffer Buffer, leaving
  /// the selection as it was.
  void
  SetInfoFrameByte (
    UINT8  Buffer,
    UINT8  Index,
    UINT8  Value
    )
  {
    UINT8  Selected = mAdapter->Hdmi (Qd520Sim::HdmiInfoFrameSelect);

    mAdapter->SetHdmi (Qd520Sim::HdmiInfoFrameSelect, Buffer);
    mAdapter->SetHdmi (Index, Value);
    mAdapter->SetHdmi (Qd520Sim::HdmiInfoFrameSelect, Selected);
  }

  SimAdapter                    *mAdapter = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *mGop     = nullptr;
};

struct ExpectedMonitor {
  UINT32    Mode;
  UINT32    Width;
  UINT32    Height;
  UINT32    Pitch;
  UINT64    PixelClock;       ///< Hz, what the programmed PLL word makes of the reference
  UINT64    RefreshMilliHz;
  BOOLEAN   SyncNegative;     ///< both syncs
  UINT8     VideoCode;
  UINT32    Cts;
  INT32     PhyBand;
};

TEST_F (ScanOutTest, EachModeScansOutWhatItsModeSetProgrammed) {
  // N 6272 throughout; CTS for 44.1 kHz at the timing's clock.
  const ExpectedMonitor  From12MHz[] = {
    { 0, 640,  480, 2560, 25174988, 59940, TRUE,  1, 27972, 0 },
    { 1, 800,  600, 3200, 39999985, 60317, FALSE, 0, 44444, 0 },
    { 2, 1024, 768, 4096, 64999969, 60004, TRUE,  0, 72222, 1 },
  };
  const ExpectedMonitor  From12288kHz[] = {
    { 0, 640,  480, 2560, 25174992, 59940, TRUE,  1, 27972, 0 },
    { 1, 800,  600, 3200, 39999984, 60317, FALSE, 0, 44444, 0 },
    { 2, 1024, 768, 4096, 64999969, 60004, TRUE,  0, 72222, 1 },
  };

  for (bool Reference12288kHz : { false, true }) {
    SCOPED_TRACE (Reference12288kHz ? "12.288 MHz reference" : "12 MHz reference");
    ResetPlatform (Qd520Sim::PlatformOptions ());
    Start (Reference12288kHz);
    for (const ExpectedMonitor &Expected : Reference12288kHz ? From12288kHz : From12MHz) {
      SCOPED_TRACE ("mode " + std::to_string (Expected.Mode));
      // Go through another mode first, so that nothing is left from the start.
      ASSERT_EQ (EFI_SUCCESS, mGop->SetMode (mGop, (Expected.Mode + 1) % 3));
      ASSERT_EQ (EFI_SUCCESS, mGop->SetMode (mGop, Expected.Mode));

      ScanOutMode  Decoded = Mode ();
      EXPECT_EQ (ScanOutBlank::None, Decoded.Blank);
      EXPECT_EQ (Expected.Width, Decoded.Width);
      EXPECT_EQ (Expected.Height, Decoded.Height);
      EXPECT_EQ (Expected.Pitch, Decoded.Pitch);
      EXPECT_EQ (Expected.Pitch, Decoded.PitchHigh);
      EXPECT_EQ (ScanOutFormat::Bgrx8888, Decoded.Format);
      EXPECT_EQ (Reference12288kHz ? 12288000u : 12000000u, Decoded.ReferenceClock);
      EXPECT_EQ (Expected.PixelClock, Decoded.PixelClock);
      EXPECT_EQ (Expected.RefreshMilliHz, Decoded.RefreshMilliHz);
      EXPECT_EQ (Expected.SyncNegative, Decoded.HorizontalSyncNegative);
      EXPECT_EQ (Expected.SyncNegative, Decoded.VerticalSyncNegative);

      ScanOutHdmi  Signal = Hdmi ();
      EXPECT_EQ (0x81, Signal.Control);
      EXPECT_TRUE (Signal.AviPresent);
      EXPECT_EQ (Expected.VideoCode, Signal.AviVideoCode);
      EXPECT_TRUE (Signal.AudioPresent);
      EXPECT_EQ (0u, Signal.AudioChecksumSum);
      EXPECT_EQ (6272u, Signal.AudioN);
      EXPECT_EQ (Expected.Cts, Signal.AudioCts);
      EXPECT_NEAR (44100000.0, (double)Signal.AudioSampleMilliHz, 44100.0);
      EXPECT_EQ (Expected.PhyBand, Signal.PhyBand);
      EXPECT_EQ (!Expected.SyncNegative, Signal.HorizontalSyncPositive);
      EXPECT_EQ (!Expected.SyncNegative, Signal.VerticalSyncPositive);
    }
  }
}

TEST_F (ScanOutTest, ReportOfEachModeNamesTheAviChecksumTheDriverLeaves) {
  Start ();
  EXPECT_EQ (
    "640x480 @ 59.94 Hz, 25.175 MHz from 12 MHz, 32 bpp BGRX, pitch 2560, sync -/-, HDMI: AVI InfoFrame VIC 1, "
    "audio N 6272 CTS 27972 = 44.1 kHz, PHY band 0; AVI InfoFrame checksum does not balance (bytes sum to 0xEC)",
    Report ()
    );
  ASSERT_EQ (EFI_SUCCESS, mGop->SetMode (mGop, 1));
  EXPECT_EQ (
    "800x600 @ 60.32 Hz, 40 MHz from 12 MHz, 32 bpp BGRX, pitch 3200, sync +/+, HDMI: AVI InfoFrame VIC 0, "
    "audio N 6272 CTS 44444 = 44.1 kHz, PHY band 0; AVI InfoFrame checksum does not balance (bytes sum to 0xEB)",
    Report ()
    );

  // With the checksum balanced, nothing disagrees.
  SetInfoFrameByte (0x06, 0x63, (UINT8)(0x16 - 0xEB));
  EXPECT_EQ (std::string::npos, Report ().find (';')) << Report ();
}

TEST_F (ScanOutTest, PictureLinesFollowThePitchAndThePixelFormat) {
  Start ();
  ASSERT_EQ (EFI_SUCCESS, mGop->SetMode (mGop, 1));

  EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Orange = { 0x10, 0x80, 0xF0, 0x77 };
  ASSERT_EQ (EFI_SUCCESS, mGop->Blt (mGop, &Orange, EfiBltVideoFill, 0, 0, 799, 599, 1, 1, 0));
  ASSERT_EQ (EFI_SUCCESS, mGop->Blt (mGop, &Orange, EfiBltVideoFill, 0, 0, 3, 2, 1, 1, 0));
  EXPECT_EQ (0x00F08010u, Line (599)[799]) << "the reserved byte does not show";
  EXPECT_EQ (0x00F08010u, Line (2)[3]);
  EXPECT_EQ (0u, Line (2)[4]);
  EXPECT_EQ (0u, Line (3)[3]);

  // 8 bits per pixel through the colour table, then 16 bits as RGB565, in
  // the first bytes of line 2 (pitch 3200).
  UINT8  *Line2 = mAdapter->FrameBuffer () + 2 * 3200;
  UINT32  Control = mAdapter->Register (RegDisplayControl);
  Line2[0] = 0x05;
  Line2[1] = 0xFF;
  mAdapter->SetRegister (0x80C00 + 4 * 0x05, 0xAA123456);
  mAdapter->SetRegister (0x80C00 + 4 * 0xFF, 0x00FFFFFF);
  mAdapter->SetRegister (RegDisplayControl, (Control & ~3u) | 0);
  EXPECT_EQ (ScanOutFormat::Indexed8, Mode ().Format);
  EXPECT_EQ (0x00123456u, Line (2)[0]);
  EXPECT_EQ (0x00FFFFFFu, Line (2)[1]);

  const UINT16  Rgb565[] = { 0xF800, 0x07E0, 0x001F, 0x8410 };
  std::memcpy (Line2, Rgb565, sizeof (Rgb565));
  mAdapter->SetRegister (RegDisplayControl, (Control & ~3u) | 1);
  EXPECT_EQ (ScanOutFormat::Rgb565, Mode ().Format);
  EXPECT_EQ (0x00FF0000u, Line (2)[0]);
  EXPECT_EQ (0x0000FF00u, Line (2)[1]);
  EXPECT_EQ (0x000000FFu, Line (2)[2]);
  EXPECT_EQ (0x00848284u, Line (2)[3]);
}

TEST_F (ScanOutTest, LinesPastTheEndOfTheFrameBufferShowBlack) {
  AdapterOptions  Small;

  Small.FrameBufferSize    = 0x200000;   // 2 MiB: the driver's 32 MiB clear is refused, as PCI I/O does
  Small.FailOnBarViolation = false;
  Start (false, Small);
  std::memset (mAdapter->FrameBuffer (), 0xFF, Small.FrameBufferSize);
  ASSERT_EQ (std::string::npos, Report ().find ("runs past")) << Report ();

  mAdapter->SetRegister (RegPitch, (0x3FFF << 16) | 0x3FFF);
  EXPECT_EQ (0x00FFFFFFu, Line (128)[31]) << "line 128 starts 128 bytes before the end of 2 MiB";
  EXPECT_EQ (0u, Line (128)[32]);
  EXPECT_EQ (0u, Line (129)[0]);
  EXPECT_NE (std::string::npos, Report ().find ("; the picture runs past the end of the frame buffer")) << Report ();
}

TEST_F (ScanOutTest, ScreenIsBlankUntilTheDisplayIsOnAndProgrammed) {
  mAdapter = &AddAdapter ();
  EXPECT_EQ (ScanOutBlank::DisplayOff, Mode ().Blank) << "power-on state";
  EXPECT_EQ ("blank: display off (display control 0x0)", Report ());

  ASSERT_EQ (EFI_SUCCESS, LoadDriver ());
  ASSERT_EQ (EFI_SUCCESS, Platform ().Connect (mAdapter->Controller ()));
  ASSERT_EQ (ScanOutBlank::None, Mode ().Blank);
  UINT32  On = mAdapter->Register (RegDisplayControl);

  struct {
    const char      *Name;
    UINT64          Offset;
    UINT32          Value;
    ScanOutBlank    Blank;
  } const Cases[] = {
    { "blanking bit 31",         RegDisplayControl, On | BIT31,         ScanOutBlank::DisplayOff   },
    { "bit 8 clear",             RegDisplayControl, On & ~BIT8,         ScanOutBlank::DisplayOff   },
    { "power sequence not up",   RegDisplayControl, On & ~BIT27,        ScanOutBlank::DisplayOff   },
    { "reserved pixel format",   RegDisplayControl, On | 3,             ScanOutBlank::BadFormat    },
    { "no PLL word",             RegPll,            0,                  ScanOutBlank::NoPixelClock },
    { "reserved post divider",   RegPll,            0x08E19110 | (7u << 22), ScanOutBlank::NoPixelClock },
    { "no timing",               RegHorizontal,     0,                  ScanOutBlank::NoTiming     },
    { "active wider than total", RegHorizontal,     (639u << 16) | 639, ScanOutBlank::NoTiming     },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    UINT32  Before = mAdapter->Register (Case.Offset);
    mAdapter->SetRegister (Case.Offset, Case.Value);
    EXPECT_EQ (Case.Blank, Mode ().Blank);
    EXPECT_EQ (0u, Report ().rfind ("blank: ", 0)) << Report ();
    mAdapter->SetRegister (Case.Offset, Before);
    EXPECT_EQ (ScanOutBlank::None, Mode ().Blank);
  }

  // The driver's own switch-off, as a mode set starts with it.
  ASSERT_EQ (EFI_SUCCESS, Platform ().Disconnect (mAdapter->Controller ()));
  EXPECT_EQ (ScanOutBlank::None, Mode ().Blank) << "stopping the driver leaves the display on";
}

TEST_F (ScanOutTest, ReportNamesEachValueThatDisagrees) {
  Start ();
  const UINT8  BalancedAvi = (UINT8)(0x16 - 0xEC);
  SetInfoFrameByte (0x06, 0x63, BalancedAvi);
  ASSERT_EQ (std::string::npos, Report ().find (';')) << Report ();

  struct {
    const char    *Name;
    bool          Transmitter;   ///< HDMI register, else BAR 1 register
    UINT64        Where;
    UINT32        Value;
    const char    *Problem;
  } const Cases[] = {
    { "audio checksum",        true,  0x0863, 0x71, "audio InfoFrame checksum does not balance (bytes sum to 0x1)" },
    { "AVI video code",        true,  0x0667, 0x04, "VIC 4 is 1280x720, not the picture's size" },
    { "HDMI horizontal total", true,  0x31,   0x21, "HDMI horizontal total 801, display controller 800" },
    { "HDMI vertical blank",   true,  0x3D,   0x2C, "HDMI vertical blanking 44, display controller 45" },
    { "HDMI sync polarity",    true,  0x30,   0x05, "HDMI sync polarity +/- differs from the display controller's" },
    { "HDMI pixel clock",      true,  0x81,   0x11, "HDMI pixel clock 17 x 1.6 MHz does not match 25.175 MHz" },
    { "PHY settings",          true,  0x56,   0x0A, "the PHY settings are those of no band" },
    { "audio CTS",             true,  0x09,   0x00, "N and CTS give no standard audio sample rate" },
    { "pitch halves",          false, RegPitch, (2048u << 16) | 2560, "pitch register halves differ (2560 and 2048)" },
    { "short pitch",           false, RegPitch, (2048u << 16) | 2048, "pitch 2048 is shorter than a line of 2560 bytes" },
    { "PLL fixed bit",         false, RegPll, 0x08E19110 & ~BIT27, "PLL word bit 27 is clear" },
    { "VCO range",             false, RegPll, 0x08E19110 | (1u << 25), "VCO range 1 does not suit multiplier 33" },
    { "horizontal sync",       false, 0x80010, (96u << 16) | 750, "the horizontal sync lies outside the blanking" },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    if (Case.Transmitter) {
      UINT8  Buffer = (UINT8)(Case.Where >> 8);
      UINT8  Index  = (UINT8)Case.Where;
      UINT8  Before;

      if (Buffer != 0) {
        mAdapter->SetHdmi (Qd520Sim::HdmiInfoFrameSelect, Buffer);
      }

      Before = mAdapter->Hdmi (Index);
      SetInfoFrameByte (Buffer != 0 ? Buffer : mAdapter->Hdmi (Qd520Sim::HdmiInfoFrameSelect), Index, (UINT8)Case.Value);
      EXPECT_NE (std::string::npos, Report ().find (std::string ("; ") + Case.Problem)) << Report ();
      SetInfoFrameByte (Buffer != 0 ? Buffer : mAdapter->Hdmi (Qd520Sim::HdmiInfoFrameSelect), Index, Before);
      mAdapter->SetHdmi (Qd520Sim::HdmiInfoFrameSelect, 0x06);
    } else {
      UINT32  Before = mAdapter->Register (Case.Where);

      mAdapter->SetRegister (Case.Where, Case.Value);
      EXPECT_NE (std::string::npos, Report ().find (std::string ("; ") + Case.Problem)) << Report ();
      mAdapter->SetRegister (Case.Where, Before);
    }

    EXPECT_EQ (std::string::npos, Report ().find (';')) << "restored: " << Report ();
  }

  // The settings of band 1 (50 to 100 MHz) for the 25.175 MHz clock.
  mAdapter->SetHdmi (0x56, 0x0A);
  mAdapter->SetHdmi (0x5D, 0x70);
  EXPECT_EQ (1, Hdmi ().PhyBand);
  EXPECT_NE (std::string::npos, Report ().find ("PHY band 1; the PHY band does not suit 25.175 MHz")) << Report ();
}

TEST_F (ScanOutTest, ReportIsCutToTheBufferAndStillGivesItsLength) {
  Start ();
  std::string  Whole = Report ();
  CHAR8        Short[16];

  std::memset (Short, 'x', sizeof (Short));
  EXPECT_EQ (Whole.size (), Qd520Sim::FormatMonitorReport (mAdapter->Model (), Short, sizeof (Short)));
  EXPECT_EQ (Whole.substr (0, sizeof (Short) - 1), std::string (Short));
}

} // namespace
} // namespace Qd520Test
