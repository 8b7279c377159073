/** @file
  The display timings the driver knows, and their lookup.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qdl520.h"
#include "Qdl520ModeTiming.h"
#include "Qdl520Pll.h"

extern "C" {
//
// Complete timings, searched in this order. Entries 0, 1, 3 and 5 are the
// VESA DMT timings of 640x480, 800x600, 1024x768 and 1280x1024 at 60 Hz;
// entries 4 and 6 are CEA-861 VIC 4 (1280x720p) and VIC 16 (1920x1080p);
// entry 2 (1024x600) is the adapter's own. Only PixelClock of the end entry
// is ever read.
//
constexpr QDL520_MODE_TIMING  mQdl520ModeTimings[8] = {
  //  HTotal HDisp HSync HWidth HPol VTotal VDisp VSync VWidth VPol  PixelClock  LineRate Refresh ClockPol
  { 800,  640,  656,  96,  1, 525,  480,  490,  2, 1, 25175000,  31469, 60, 1 },
  { 1056, 800,  840,  128, 0, 628,  600,  601,  4, 0, 40000000,  37879, 60, 1 },
  { 1313, 1024, 1064, 104, 0, 622,  600,  601,  3, 0, 49000000,  37319, 60, 1 },
  { 1344, 1024, 1048, 136, 1, 806,  768,  771,  6, 1, 65000000,  48363, 60, 1 },
  { 1650, 1280, 1390, 40,  0, 750,  720,  725,  5, 0, 74250000,  45000, 60, 1 },
  { 1688, 1280, 1328, 112, 0, 1066, 1024, 1025, 3, 0, 108000000, 63981, 60, 1 },
  { 2200, 1920, 2008, 44,  0, 1125, 1080, 1084, 5, 0, 148500000, 67500, 60, 0 },
  { 0,    0,    0,    0,   1, 0,    0,    0,    0, 1, 0,         0,     0,  1 },
};
}

const QDL520_MODE_TIMING *
Qdl520FindModeTiming (
  IN UINT32  HorizontalDisplay,
  IN UINT32  VerticalDisplay,
  IN UINT32  RefreshRate
  )
{
  return Qdl520FindModeTimingInTable (mQdl520ModeTimings, HorizontalDisplay, VerticalDisplay, RefreshRate);
}

//
// Every real entry must be loadable as it stands: each value fits its
// register field, the sync pulses lie inside the blanking, the kept line
// rate is right, and the pixel PLL reaches the pixel clock from either
// reference.
//
constexpr UINT32  QDL520_MODE_TIMING_COUNT = ARRAY_SIZE (mQdl520ModeTimings) - 1;

constexpr BOOLEAN
Qdl520ModeTimingTableIsSound (
  VOID
  )
{
  for (UINT32 Index = 0; Index < QDL520_MODE_TIMING_COUNT; Index++) {
    const QDL520_MODE_TIMING  &Timing = mQdl520ModeTimings[Index];

    if ((Timing.PixelClock == 0) ||
        !Qdl520ModeTimingFitsRegisters (Timing) ||
        !Qdl520ModeTimingIsOrdered (Timing) ||
        !Qdl520ModeTimingLineRateIsRounded (Timing) ||
        (Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12000KHZ, Timing.PixelClock).PixelClock == 0) ||
        (Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12288KHZ, Timing.PixelClock).PixelClock == 0))
    {
      return FALSE;
    }
  }

  return (BOOLEAN)(mQdl520ModeTimings[QDL520_MODE_TIMING_COUNT].PixelClock == 0);
}

STATIC_ASSERT (Qdl520ModeTimingTableIsSound (), "every timing can be loaded as it stands");

//
// The lookups the mode-set sequence and the graphics output rely on.
//
STATIC_ASSERT (
  Qdl520FindModeTimingInTable (mQdl520ModeTimings, 640, 480, 60) == &mQdl520ModeTimings[0],
  "640x480 at 60 Hz"
  );
STATIC_ASSERT (
  Qdl520FindModeTimingInTable (mQdl520ModeTimings, 800, 600, 60) == &mQdl520ModeTimings[1],
  "800x600 at 60 Hz"
  );
STATIC_ASSERT (
  Qdl520FindModeTimingInTable (mQdl520ModeTimings, 1024, 768, 60) == &mQdl520ModeTimings[3],
  "1024x768 at 60 Hz"
  );
STATIC_ASSERT (
  Qdl520FindModeTimingInTable (mQdl520ModeTimings, 1024, QDL520_MODE_TIMING_ANY, QDL520_MODE_TIMING_ANY)
  == &mQdl520ModeTimings[2],
  "table order decides between entries of one width"
  );
STATIC_ASSERT (
  Qdl520FindModeTimingInTable (mQdl520ModeTimings, 0, 0, 0) == NULL,
  "the end entry is never compared"
  );
STATIC_ASSERT (mQdl520ModeTimings[6].ClockPolarity == 0, "only 1920x1080 has a clear clock polarity");
