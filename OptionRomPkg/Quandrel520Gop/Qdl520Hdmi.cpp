/** @file
  HDMI transmitter: register access through the BAR 1 index/data and
  control registers, and the video timing, audio clock regeneration and PHY
  settings of one mode timing.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qdl520.h"
#include "Qdl520RegisterMap.h"

extern "C" {
//
// Last value given to the HDMI control register through
// Qdl520HdmiSetControl (the mode-set sequence also sets it to the enable
// value). One byte for the whole driver, whatever number of controllers.
//
UINT8  mQdl520HdmiControl = QDL520_HDMI_CONTROL_INITIAL;

//
// CEA-861 video identification codes by frame size: the 60 Hz format of each
// size, except code 95, which is 3840x2160 at 30 Hz. Ends with Width 0.
//
constexpr QDL520_HDMI_VIC_ENTRY  mQdl520HdmiVicTable[10] = {
  { 640,  480,  1  },
  { 720,  480,  2  },
  { 1280, 720,  4  },
  { 1440, 480,  14 },
  { 1920, 1080, 16 },
  { 2880, 480,  35 },
  { 1680, 720,  83 },
  { 2560, 1080, 90 },
  { 3840, 2160, 95 },
  { 0,    0,    0  },
};

//
// PHY settings by pixel-clock band of 50 MHz; the last band serves the
// 3840-class timings above 250 MHz. Bytes for registers
// 0x17, 0x56, 0x57 .. 0x5E.
//
constexpr QDL520_HDMI_PHY_SETTING  mQdl520HdmiPhySettings[6] = {
  { { 0x22, 0x06, 0x00, 0x40, 0x40, 0x1E, 0x94, 0x2E, 0x10, 0x00 } }, //   1 Hz ..  50 MHz
  { { 0x22, 0x0A, 0x00, 0x40, 0x40, 0x1E, 0x94, 0x2E, 0x70, 0x00 } }, //  50 MHz .. 100 MHz
  { { 0x22, 0x0E, 0x00, 0x40, 0x40, 0x1E, 0x91, 0x2E, 0x70, 0x00 } }, // 100 MHz .. 150 MHz
  { { 0x22, 0x0E, 0x00, 0x40, 0x40, 0x1E, 0x94, 0x2E, 0x71, 0x00 } }, // 150 MHz .. 200 MHz
  { { 0x22, 0x0E, 0x00, 0x40, 0x40, 0x1E, 0x94, 0x2E, 0x71, 0x00 } }, // 200 MHz .. 250 MHz
  { { 0x22, 0x0E, 0x00, 0x40, 0x40, 0x5E, 0x95, 0x7E, 0x64, 0x00 } }, // 3840 class, 0 or 250 MHz and up
};
}

//
// PHY bands 0 to 4 are 50 MHz wide from 1 Hz; the band past them is only for
// 3840-class timings.
//
constexpr UINT32  QDL520_HDMI_PHY_BAND_WIDTH  = 50000000;
constexpr UINT32  QDL520_HDMI_PHY_CLOCK_BANDS = 5;
constexpr UINT32  QDL520_HDMI_PHY_BAND_3840   = 5;

STATIC_ASSERT (ARRAY_SIZE (mQdl520HdmiPhySettings) == QDL520_HDMI_PHY_CLOCK_BANDS + 1, "one record per band");
STATIC_ASSERT (mQdl520HdmiVicTable[ARRAY_SIZE (mQdl520HdmiVicTable) - 1].Width == 0, "the code table ends with Width 0");

//
// A timing is of the 3840 class when its visible area lies within
// 3840..5119 by 2160..2879.
//
constexpr UINT32  QDL520_HDMI_3840_WIDTH_MIN   = 3840;
constexpr UINT32  QDL520_HDMI_3840_WIDTH_SPAN  = 1279;
constexpr UINT32  QDL520_HDMI_3840_HEIGHT_MIN  = 2160;
constexpr UINT32  QDL520_HDMI_3840_HEIGHT_SPAN = 719;

static constexpr BOOLEAN
Qdl520HdmiIs3840Class (
  const QDL520_MODE_TIMING  &Timing
  )
{
  return (BOOLEAN)((Timing.HorizontalDisplay - QDL520_HDMI_3840_WIDTH_MIN <= QDL520_HDMI_3840_WIDTH_SPAN) &&
                   (Timing.VerticalDisplay - QDL520_HDMI_3840_HEIGHT_MIN <= QDL520_HDMI_3840_HEIGHT_SPAN));
}

//
// Audio clock regeneration for a 44.1 kHz sample rate:
// CTS = f x N / (128 x 44100), f the pixel clock, in 32-bit steps that stay
// exact enough for pixel clocks below 684 MHz.
//
constexpr UINT32  QDL520_HDMI_ACR_N_3840 = 4704;
constexpr UINT32  QDL520_HDMI_ACR_N      = 6272;

static constexpr UINT32
Qdl520HdmiAudioCts (
  UINT32  PixelClock,
  UINT32  N
  )
{
  return ((((PixelClock / 1000) * N) / 128) * 10) / 441;
}

STATIC_ASSERT (Qdl520HdmiAudioCts (25175000, QDL520_HDMI_ACR_N) == 27972, "CTS at 25.175 MHz");
STATIC_ASSERT (Qdl520HdmiAudioCts (148500000, QDL520_HDMI_ACR_N) == 165000, "CTS at 148.5 MHz");
STATIC_ASSERT (Qdl520HdmiAudioCts (297000000, QDL520_HDMI_ACR_N_3840) == 247500, "CTS at 297 MHz, 3840 class");

/// Pixel clock in the transmitter's units of 1.6 MHz, truncated.
static constexpr UINT32
Qdl520HdmiPixelClockUnits (
  UINT32  PixelClock
  )
{
  return (PixelClock / 4) / 400000;
}

STATIC_ASSERT (Qdl520HdmiPixelClockUnits (25175000) == 0x0F, "25.175 MHz");
STATIC_ASSERT (Qdl520HdmiPixelClockUnits (148500000) == 92, "148.5 MHz");

//
// ---------------------------------------------------------------------------
// Register access
// ---------------------------------------------------------------------------
//

VOID
Qdl520HdmiWrite (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Index,
  IN UINT8                Value
  )
{
  UINT32  Access;

  Access = Qdl520HdmiIndexData::Data::Pack (Value) | Qdl520HdmiIndexData::Index::Pack (Index);
  Qdl520MmioWrite32 (Private, QDL520_REG_HDMI_INDEX_DATA, Qdl520HdmiIndexData::WriteStrobe::Fill (Access));
  Qdl520Delay (QDL520_DELAY_HDMI_ACCESS);
  Qdl520MmioWrite32 (Private, QDL520_REG_HDMI_INDEX_DATA, Access);
  Qdl520Delay (QDL520_DELAY_HDMI_ACCESS);
}

UINT8
Qdl520HdmiRead (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Index
  )
{
  UINT32  Access;

  Access = Qdl520HdmiIndexData::Index::Pack (Index);
  Qdl520MmioWrite32 (Private, QDL520_REG_HDMI_INDEX_DATA, Qdl520HdmiIndexData::ReadRequest::Fill (Access));
  Qdl520Delay (QDL520_DELAY_HDMI_ACCESS);
  Qdl520MmioWrite32 (Private, QDL520_REG_HDMI_INDEX_DATA, Access);
  Qdl520Delay (QDL520_DELAY_HDMI_ACCESS);
  return (UINT8)Qdl520HdmiIndexData::Data::Get (Qdl520MmioRead32 (Private, QDL520_REG_HDMI_INDEX_DATA));
}

VOID
Qdl520HdmiWriteAndStrobe (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Index,
  IN UINT8                Value
  )
{
  Qdl520HdmiWrite (Private, Index, Value);
  Qdl520MmioWrite32 (Private, QDL520_REG_HDMI_CONTROL, Qdl520HdmiControl::Strobe::Fill (QDL520_HDMI_CONTROL_SETUP));
  Qdl520Delay (QDL520_DELAY_HDMI_ACCESS);
  Qdl520MmioWrite32 (Private, QDL520_REG_HDMI_CONTROL, QDL520_HDMI_CONTROL_SETUP);
  Qdl520Delay (QDL520_DELAY_HDMI_ACCESS);
}

VOID
Qdl520HdmiSetControl (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Value
  )
{
  mQdl520HdmiControl = Value;
  if (Value != QDL520_HDMI_CONTROL_INITIAL) {
    Qdl520MmioWrite32 (Private, QDL520_REG_HDMI_CONTROL, Qdl520HdmiControl::Strobe::Fill (Value));
    Qdl520Delay (QDL520_DELAY_HDMI_STROBE);
  }

  Qdl520MmioWrite32 (Private, QDL520_REG_HDMI_CONTROL, Value);
  Qdl520Delay (QDL520_DELAY_HDMI_CONTROL);
}

//
// ---------------------------------------------------------------------------
// Mode timing
// ---------------------------------------------------------------------------
//

/**
  Read-modify-write of transmitter register Index: the bits of Clear are
  cleared, then the bits of Set are set. One read, then one write.
**/
VOID
Qdl520HdmiUpdate (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Index,
  IN UINT32               Clear,
  IN UINT32               Set
  )
{
  UINT8  Current;

  Current = Qdl520HdmiRead (Private, Index);
  Qdl520HdmiWrite (Private, Index, (UINT8)((Current & ~Clear) | Set));
}

/// Writes the low and the high byte of Value to LowIndex and LowIndex + 1.
static VOID
Qdl520HdmiWrite16 (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                LowIndex,
  IN UINT32               Value
  )
{
  Qdl520HdmiWrite (Private, LowIndex, (UINT8)Qdl520HdmiBytes::Bits7To0::Get (Value));
  Qdl520HdmiWrite (Private, (UINT8)(LowIndex + 1), (UINT8)Qdl520HdmiBytes::Bits15To8::Get (Value));
}

/// Writes the low byte of Value to Index.
static VOID
Qdl520HdmiWrite8 (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Index,
  IN UINT32               Value
  )
{
  Qdl520HdmiWrite (Private, Index, (UINT8)Qdl520HdmiBytes::Bits7To0::Get (Value));
}

VOID
Qdl520HdmiSetVideoTiming (
  IN QDL520_PRIVATE_DATA       *Private,
  IN const QDL520_MODE_TIMING  *Timing
  )
{
  UINT32  Sync;

  //
  // Bit 0 set; the sync bits are set for positive (active-high) pulses.
  //
  Sync = Qdl520HdmiRead (Private, QDL520_HDMI_REG_SYNC_CONTROL);
  Sync = Qdl520HdmiSyncControl::Bit0::Fill (Sync);
  Sync = Qdl520HdmiSyncControl::HorizontalSyncPositive::Set (Sync, Timing->HorizontalSyncPolarity == 0);
  Sync = Qdl520HdmiSyncControl::VerticalSyncPositive::Set (Sync, Timing->VerticalSyncPolarity == 0);
  Qdl520HdmiWrite (Private, QDL520_HDMI_REG_SYNC_CONTROL, (UINT8)Sync);

  Qdl520HdmiWrite16 (Private, QDL520_HDMI_REG_H_TOTAL_LOW, Timing->HorizontalTotal);
  Qdl520HdmiWrite16 (Private, QDL520_HDMI_REG_H_BLANK_LOW, Timing->HorizontalTotal - Timing->HorizontalDisplay);
  Qdl520HdmiWrite16 (Private, QDL520_HDMI_REG_H_SYNC_TO_END_LOW, Timing->HorizontalTotal - Timing->HorizontalSyncStart);
  Qdl520HdmiWrite16 (Private, QDL520_HDMI_REG_H_SYNC_WIDTH_LOW, Timing->HorizontalSyncWidth);
  Qdl520HdmiWrite16 (Private, QDL520_HDMI_REG_V_TOTAL_LOW, Timing->VerticalTotal);
  Qdl520HdmiWrite8 (Private, QDL520_HDMI_REG_V_BLANK, Timing->VerticalTotal - Timing->VerticalDisplay);
  Qdl520HdmiWrite8 (Private, QDL520_HDMI_REG_V_SYNC_TO_END, Timing->VerticalTotal - Timing->VerticalSyncStart);
  Qdl520HdmiWrite8 (Private, QDL520_HDMI_REG_V_SYNC_WIDTH, Timing->VerticalSyncWidth);

  Qdl520HdmiUpdate (Private, QDL520_HDMI_REG_PHY_CONTROL, Qdl520HdmiPhyControl::Bits6To7::Mask, 0);
  Qdl520HdmiWrite (Private, QDL520_HDMI_REG_VIDEO_SETUP_16, 0x30);
  Qdl520HdmiUpdate (
    Private,
    QDL520_HDMI_REG_AV_CONTROL,
    Qdl520HdmiAvControl::Bits1To3::Mask,
    Qdl520HdmiAvControl::Bit0::Mask
    );
  Qdl520HdmiWrite (Private, QDL520_HDMI_REG_VIDEO_SETUP_3B, 0x40);
  Qdl520HdmiWrite (Private, QDL520_HDMI_REG_VIDEO_SETUP_46, 0x04);
  Qdl520HdmiWrite (Private, QDL520_HDMI_REG_VIDEO_SETUP_D3, 0x01);
  Qdl520HdmiUpdate (Private, QDL520_HDMI_REG_VIDEO_SETUP_AF, Qdl520HdmiVideoSetupAf::Bit1::Mask, 0);

  Qdl520HdmiWrite16 (Private, QDL520_HDMI_REG_PIXEL_CLOCK_LOW, Qdl520HdmiPixelClockUnits (Timing->PixelClock));
}

/// Writes the 20-bit audio clock regeneration value Value to three
/// registers from HighIndex on, most significant part first.
static VOID
Qdl520HdmiWriteAcrValue (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                HighIndex,
  IN UINT32               Value
  )
{
  Qdl520HdmiWrite (Private, HighIndex, (UINT8)Qdl520HdmiBytes::Bits19To16::Get (Value));
  Qdl520HdmiWrite (Private, (UINT8)(HighIndex + 1), (UINT8)Qdl520HdmiBytes::Bits15To8::Get (Value));
  Qdl520HdmiWrite (Private, (UINT8)(HighIndex + 2), (UINT8)Qdl520HdmiBytes::Bits7To0::Get (Value));
}

STATIC_ASSERT (QDL520_HDMI_REG_ACR_N_7_0 == QDL520_HDMI_REG_ACR_N_19_16 + 2, "N spans three registers");
STATIC_ASSERT (QDL520_HDMI_REG_ACR_CTS_7_0 == QDL520_HDMI_REG_ACR_CTS_19_16 + 2, "CTS spans three registers");

//
// Fixed audio settings, written after N and CTS.
//
static constexpr QDL520_HDMI_REGISTER_WRITE  mQdl520HdmiAudioSetup[] = {
  { QDL520_HDMI_REG_AUDIO_SETUP_0A, 0x00 },
  { QDL520_HDMI_REG_AUDIO_SETUP_0B, 0x40 },
  { QDL520_HDMI_REG_AUDIO_SETUP_0C, 0x04 },
  { QDL520_HDMI_REG_AUDIO_SETUP_10, 0x00 },
  { QDL520_HDMI_REG_AUDIO_SETUP_11, 0x0F },
  { QDL520_HDMI_REG_AUDIO_SETUP_12, 0x22 },
  { QDL520_HDMI_REG_AUDIO_SETUP_13, 0x00 },
  { QDL520_HDMI_REG_AUDIO_SETUP_14, 0x02 },
};

VOID
Qdl520HdmiSetAudioClock (
  IN QDL520_PRIVATE_DATA       *Private,
  IN const QDL520_MODE_TIMING  *Timing
  )
{
  UINT32  N;

  N = Qdl520HdmiIs3840Class (*Timing) ? QDL520_HDMI_ACR_N_3840 : QDL520_HDMI_ACR_N;
  Qdl520HdmiWriteAcrValue (Private, QDL520_HDMI_REG_ACR_N_19_16, N);
  Qdl520HdmiWriteAcrValue (Private, QDL520_HDMI_REG_ACR_CTS_19_16, Qdl520HdmiAudioCts (Timing->PixelClock, N));

  for (UINTN Index = 0; Index < ARRAY_SIZE (mQdl520HdmiAudioSetup); Index++) {
    Qdl520HdmiWrite (Private, mQdl520HdmiAudioSetup[Index].Index, mQdl520HdmiAudioSetup[Index].Value);
  }

  Qdl520HdmiUpdate (Private, QDL520_HDMI_REG_AV_CONTROL, Qdl520HdmiAvControl::Bits4To7::Mask, 0);
  Qdl520HdmiUpdate (Private, QDL520_HDMI_REG_AUDIO_SETUP_0A, Qdl520HdmiAudioSetup0A::Bits5To6::Mask, 0);
  Qdl520HdmiUpdate (Private, QDL520_HDMI_REG_AUDIO_SETUP_0A, Qdl520HdmiAudioSetup0A::Bit3::Mask, 0);
}

/**
  PHY band of a timing: bands 0 to 4 by pixel clock in 50 MHz steps from
  1 Hz; a clock of 0 or from 250 MHz up only for a 3840-class timing.

  @return The band, or MAX_UINT32 when none fits.
**/
static constexpr UINT32
Qdl520HdmiPhyBand (
  const QDL520_MODE_TIMING  &Timing
  )
{
  if ((Timing.PixelClock != 0) &&
      (Timing.PixelClock / QDL520_HDMI_PHY_BAND_WIDTH < QDL520_HDMI_PHY_CLOCK_BANDS))
  {
    return Timing.PixelClock / QDL520_HDMI_PHY_BAND_WIDTH;
  }

  return Qdl520HdmiIs3840Class (Timing) ? QDL520_HDMI_PHY_BAND_3840 : MAX_UINT32;
}

static constexpr QDL520_MODE_TIMING
Qdl520HdmiCheckTiming (
  UINT32  Width,
  UINT32  Height,
  UINT32  PixelClock
  )
{
  return QDL520_MODE_TIMING { 0, Width, 0, 0, 0, 0, Height, 0, 0, 0, PixelClock, 0, 0, 0 };
}

STATIC_ASSERT (Qdl520HdmiPhyBand (Qdl520HdmiCheckTiming (1920, 1080, 1)) == 0, "band 0 starts at 1 Hz");
STATIC_ASSERT (Qdl520HdmiPhyBand (Qdl520HdmiCheckTiming (1920, 1080, 49999999)) == 0, "band 0 top");
STATIC_ASSERT (Qdl520HdmiPhyBand (Qdl520HdmiCheckTiming (1920, 1080, 50000000)) == 1, "band 1 bottom");
STATIC_ASSERT (Qdl520HdmiPhyBand (Qdl520HdmiCheckTiming (1920, 1080, 249999999)) == 4, "band 4 top");
STATIC_ASSERT (Qdl520HdmiPhyBand (Qdl520HdmiCheckTiming (1920, 1080, 250000000)) == MAX_UINT32, "too fast");
STATIC_ASSERT (Qdl520HdmiPhyBand (Qdl520HdmiCheckTiming (1920, 1080, 0)) == MAX_UINT32, "no clock");
STATIC_ASSERT (Qdl520HdmiPhyBand (Qdl520HdmiCheckTiming (3840, 2160, 297000000)) == 5, "3840 class");
STATIC_ASSERT (Qdl520HdmiPhyBand (Qdl520HdmiCheckTiming (3840, 2160, 0)) == 5, "3840 class, no clock");
STATIC_ASSERT (Qdl520HdmiPhyBand (Qdl520HdmiCheckTiming (5120, 2160, 297000000)) == MAX_UINT32, "5120 is past the class");
STATIC_ASSERT (Qdl520HdmiPhyBand (Qdl520HdmiCheckTiming (3840, 2160, 148500000)) == 2, "the clock band comes first");

INT32
Qdl520HdmiSetPhy (
  IN QDL520_PRIVATE_DATA       *Private,
  IN const QDL520_MODE_TIMING  *Timing
  )
{
  UINT32                         Band;
  const QDL520_HDMI_PHY_SETTING  *Setting;

  Band = Qdl520HdmiPhyBand (*Timing);
  if (Band == MAX_UINT32) {
    return -1;
  }

  //
  // 0x57 to 0x5E first, then 0x56, and 0x17 last.
  //
  Setting = &mQdl520HdmiPhySettings[Band];
  for (UINT8 Byte = 2; Byte < ARRAY_SIZE (Setting->Value); Byte++) {
    Qdl520HdmiWriteAndStrobe (Private, (UINT8)(QDL520_HDMI_REG_PHY_SETUP_57 + Byte - 2), Setting->Value[Byte]);
  }

  Qdl520HdmiWriteAndStrobe (Private, QDL520_HDMI_REG_PHY_SETUP_56, Setting->Value[1]);
  Qdl520HdmiWriteAndStrobe (Private, QDL520_HDMI_REG_PHY_CONTROL, Setting->Value[0]);
  return 0;
}

STATIC_ASSERT (QDL520_HDMI_REG_PHY_SETUP_5E == QDL520_HDMI_REG_PHY_SETUP_57 + 7, "PHY bytes 2 to 9 go to 0x57 to 0x5E");
