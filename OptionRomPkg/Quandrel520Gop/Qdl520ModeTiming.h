/** @file
  Mode timing lookup on any timing table, and the compile-time checks that
  a timing fits the display controller's registers.

  The driver's own table is mQdl520ModeTimings; Qdl520FindModeTiming searches
  it. The table-parameterised search below lets checks and tests run the same
  lookup on other tables.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QDL520_MODE_TIMING_H_
#define QDL520_MODE_TIMING_H_

#include "Qdl520.h"
#include "Qdl520RegisterMap.h"

/// Search value that matches any width, height or refresh rate.
constexpr UINT32  QDL520_MODE_TIMING_ANY = 0xFFFFFFFF;

/// TRUE when Wanted is the wildcard or equals Actual.
constexpr BOOLEAN
Qdl520ModeTimingFieldMatches (
  UINT32  Wanted,
  UINT32  Actual
  )
{
  return (BOOLEAN)((Wanted == QDL520_MODE_TIMING_ANY) || (Wanted == Actual));
}

/**
  First entry of Table whose HorizontalDisplay, VerticalDisplay and
  RefreshRate match the arguments exactly (QDL520_MODE_TIMING_ANY matches any
  value).

  @param[in] Table  timing table ending with an entry whose PixelClock is 0,
                    with at most 65535 entries ahead of it. The end entry is
                    never compared.

  @return The matching entry of Table, or NULL when the end entry comes first.
**/
constexpr const QDL520_MODE_TIMING *
Qdl520FindModeTimingInTable (
  IN const QDL520_MODE_TIMING  *Table,
  IN UINT32                    HorizontalDisplay,
  IN UINT32                    VerticalDisplay,
  IN UINT32                    RefreshRate
  )
{
  for (UINT16 Index = 0; Table[Index].PixelClock != 0; Index++) {
    const QDL520_MODE_TIMING  *Entry = &Table[Index];

    if (Qdl520ModeTimingFieldMatches (HorizontalDisplay, Entry->HorizontalDisplay) &&
        Qdl520ModeTimingFieldMatches (VerticalDisplay, Entry->VerticalDisplay) &&
        Qdl520ModeTimingFieldMatches (RefreshRate, Entry->RefreshRate))
    {
      return Entry;
    }
  }

  return NULL;
}

/**
  TRUE when every value of Timing fits the display controller's field for
  it: totals, display sizes and sync starts as count - 1, sync widths as
  they are. Counts of 0 do not fit.
**/
constexpr BOOLEAN
Qdl520ModeTimingFitsRegisters (
  const QDL520_MODE_TIMING  &Timing
  )
{
  return (BOOLEAN)(
    (Timing.HorizontalTotal != 0) && Qdl520HorizontalTotal::Total::Fits (Timing.HorizontalTotal - 1) &&
    (Timing.HorizontalDisplay != 0) && Qdl520HorizontalTotal::Display::Fits (Timing.HorizontalDisplay - 1) &&
    (Timing.HorizontalSyncStart != 0) && Qdl520HorizontalSync::Start::Fits (Timing.HorizontalSyncStart - 1) &&
    Qdl520HorizontalSync::Width::Fits (Timing.HorizontalSyncWidth) &&
    (Timing.VerticalTotal != 0) && Qdl520VerticalTotal::Total::Fits (Timing.VerticalTotal - 1) &&
    (Timing.VerticalDisplay != 0) && Qdl520VerticalTotal::Display::Fits (Timing.VerticalDisplay - 1) &&
    (Timing.VerticalSyncStart != 0) && Qdl520VerticalSync::Start::Fits (Timing.VerticalSyncStart - 1) &&
    Qdl520VerticalSync::Width::Fits (Timing.VerticalSyncWidth)
    );
}

/// TRUE when the sync pulses start inside the blanking: display < sync
/// start < total, horizontally and vertically.
constexpr BOOLEAN
Qdl520ModeTimingIsOrdered (
  const QDL520_MODE_TIMING  &Timing
  )
{
  return (BOOLEAN)(
    (Timing.HorizontalDisplay < Timing.HorizontalSyncStart) &&
    (Timing.HorizontalSyncStart < Timing.HorizontalTotal) &&
    (Timing.VerticalDisplay < Timing.VerticalSyncStart) &&
    (Timing.VerticalSyncStart < Timing.VerticalTotal)
    );
}

/// TRUE when HorizontalFrequency is PixelClock / HorizontalTotal rounded to
/// the nearest Hz.
constexpr BOOLEAN
Qdl520ModeTimingLineRateIsRounded (
  const QDL520_MODE_TIMING  &Timing
  )
{
  return (BOOLEAN)(
    (Timing.HorizontalTotal != 0) &&
    (Timing.HorizontalFrequency ==
     (Timing.PixelClock + Timing.HorizontalTotal / 2) / Timing.HorizontalTotal)
    );
}

#endif // QDL520_MODE_TIMING_H_
