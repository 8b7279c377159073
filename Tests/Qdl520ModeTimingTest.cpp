/** @file
  Mode timing table and its lookup: the driver's table through
  Qdl520FindModeTiming, and the table-parameterised search on tables made
  here.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "Qdl520.h"
#include "Qdl520ModeTiming.h"
#include "Qdl520Pll.h"

namespace {

constexpr UINT32  kAny = 0xFFFFFFFF;

// Index of Timing in the driver's table, or -1 for NULL or a pointer that
// does not point at one of its entries.
int
EntryOf (
  const QDL520_MODE_TIMING  *Timing
  )
{
  for (int Index = 0; Index < 8; Index++) {
    if (Timing == &mQdl520ModeTimings[Index]) {
      return Index;
    }
  }

  return -1;
}

constexpr QDL520_MODE_TIMING
Timing (
  UINT32  Width,
  UINT32  Height,
  UINT32  Refresh,
  UINT32  PixelClock
  )
{
  return QDL520_MODE_TIMING{ Width + 160, Width, Width + 16, 96, 1, Height + 45, Height, Height + 10, 2, 1,
                             PixelClock, 0, Refresh, 1 };
}

} // namespace

//
// The driver's table through Qdl520FindModeTiming.
//
TEST (Qdl520ModeTimingTest, OfferedModesFindTheirEntries) {
  EXPECT_EQ (EntryOf (Qdl520FindModeTiming (640, 480, 60)), 0);
  EXPECT_EQ (EntryOf (Qdl520FindModeTiming (800, 600, 60)), 1);
  EXPECT_EQ (EntryOf (Qdl520FindModeTiming (1024, 768, 60)), 3);
}

TEST (Qdl520ModeTimingTest, EveryRealEntryIsFoundByItsOwnSize) {
  const struct {
    UINT32    Width;
    UINT32    Height;
    int       Entry;
  } Cases[] = {
    { 640, 480, 0 }, { 800, 600, 1 }, { 1024, 600, 2 }, { 1024, 768, 3 },
    { 1280, 720, 4 }, { 1280, 1024, 5 }, { 1920, 1080, 6 },
  };

  for (const auto &Case : Cases) {
    EXPECT_EQ (EntryOf (Qdl520FindModeTiming (Case.Width, Case.Height, 60)), Case.Entry)
      << Case.Width << "x" << Case.Height;
  }
}

TEST (Qdl520ModeTimingTest, WildcardsMatchAnyValueAndTheFirstMatchWins) {
  EXPECT_EQ (EntryOf (Qdl520FindModeTiming (1024, kAny, kAny)), 2) << "1024x600 comes before 1024x768";
  EXPECT_EQ (EntryOf (Qdl520FindModeTiming (kAny, kAny, kAny)), 0);
  EXPECT_EQ (EntryOf (Qdl520FindModeTiming (kAny, 1080, kAny)), 6);
  EXPECT_EQ (EntryOf (Qdl520FindModeTiming (1280, kAny, 60)), 4) << "1280x720 comes before 1280x1024";
  EXPECT_EQ (EntryOf (Qdl520FindModeTiming (kAny, 600, 60)), 1) << "800x600 comes before 1024x600";
  EXPECT_EQ (EntryOf (Qdl520FindModeTiming (kAny, kAny, 60)), 0);
}

TEST (Qdl520ModeTimingTest, RequestsWithoutAnExactEntryFindNothing) {
  EXPECT_EQ (Qdl520FindModeTiming (640, 480, 75), nullptr) << "no tolerance on the refresh rate";
  EXPECT_EQ (Qdl520FindModeTiming (640, 480, 59), nullptr);
  EXPECT_EQ (Qdl520FindModeTiming (3840, 2160, 60), nullptr);
  EXPECT_EQ (Qdl520FindModeTiming (641, 480, 60), nullptr);
  EXPECT_EQ (Qdl520FindModeTiming (640, 481, kAny), nullptr);
  EXPECT_EQ (Qdl520FindModeTiming (1366, kAny, kAny), nullptr);
  EXPECT_EQ (Qdl520FindModeTiming (kAny, kAny, 30), nullptr);
  EXPECT_EQ (Qdl520FindModeTiming (0xFFFFFFFE, kAny, kAny), nullptr) << "only all-ones is the wildcard";
}

TEST (Qdl520ModeTimingTest, ZeroRequestIsNotMatchedByTheEndEntry) {
  EXPECT_EQ (Qdl520FindModeTiming (0, 0, 0), nullptr);
  EXPECT_EQ (Qdl520FindModeTiming (0, kAny, kAny), nullptr);
  EXPECT_EQ (Qdl520FindModeTiming (kAny, 0, kAny), nullptr);
}

TEST (Qdl520ModeTimingTest, EveryRealEntryCanBeLoaded) {
  for (int Index = 0; Index < 7; Index++) {
    const QDL520_MODE_TIMING  &Entry = mQdl520ModeTimings[Index];
    SCOPED_TRACE (testing::Message () << "entry " << Index);

    EXPECT_NE (Entry.PixelClock, 0u);
    EXPECT_LT (Entry.HorizontalDisplay, Entry.HorizontalSyncStart);
    EXPECT_LT (Entry.HorizontalSyncStart, Entry.HorizontalTotal);
    EXPECT_LT (Entry.VerticalDisplay, Entry.VerticalSyncStart);
    EXPECT_LT (Entry.VerticalSyncStart, Entry.VerticalTotal);
    EXPECT_LE (Entry.HorizontalTotal - 1, 0x1FFFu);
    EXPECT_LE (Entry.HorizontalSyncStart - 1, 0x1FFFu);
    EXPECT_LE (Entry.HorizontalDisplay - 1, 0xFFFu);
    EXPECT_LE (Entry.VerticalTotal - 1, 0xFFFu);
    EXPECT_LE (Entry.VerticalDisplay - 1, 0xFFFu);
    EXPECT_LE (Entry.VerticalSyncStart - 1, 0xFFFu);
    EXPECT_LE (Entry.HorizontalSyncWidth, 0x3FFu);
    EXPECT_LE (Entry.VerticalSyncWidth, 0x3Fu);

    // The line rate is the pixel clock over the line length, to the nearest Hz.
    double  LineRate = static_cast<double>(Entry.PixelClock) / Entry.HorizontalTotal;
    EXPECT_LE (std::abs (LineRate - Entry.HorizontalFrequency), 0.5);

    // The frame rate lies within 0.5 Hz of the refresh rate it is found by
    // (DMT 800x600 runs at 60.317 Hz).
    double  FrameRate = LineRate / Entry.VerticalTotal;
    EXPECT_NEAR (FrameRate, Entry.RefreshRate, 0.5);

    // Both PLL references reach the pixel clock to within 1 kHz.
    for (UINT32 Reference : { 12000000u, 12288000u }) {
      UINT32  Result = Qdl520EvaluatePll (Reference, Entry.PixelClock).PixelClock;
      EXPECT_NE (Result, 0u) << "reference " << Reference;
      EXPECT_LE (Entry.PixelClock - Result, 1000u) << "reference " << Reference;
    }
  }

  EXPECT_EQ (mQdl520ModeTimings[7].PixelClock, 0u) << "the eighth entry ends the table";
}

TEST (Qdl520ModeTimingTest, PolaritiesFollowTheStandardsOfEachEntry) {
  // DMT 640x480 and 1024x768 use negative syncs, DMT 800x600 and 1280x1024
  // and the CEA-861 formats positive ones. Only 1920x1080 has a clear clock
  // polarity flag.
  const UINT32  Negative[7] = { 1, 0, 0, 1, 0, 0, 0 };
  const UINT32  Clock[7]    = { 1, 1, 1, 1, 1, 1, 0 };

  for (int Index = 0; Index < 7; Index++) {
    EXPECT_EQ (mQdl520ModeTimings[Index].HorizontalSyncPolarity != 0, Negative[Index] != 0) << "entry " << Index;
    EXPECT_EQ (mQdl520ModeTimings[Index].VerticalSyncPolarity != 0, Negative[Index] != 0) << "entry " << Index;
    EXPECT_EQ (mQdl520ModeTimings[Index].ClockPolarity != 0, Clock[Index] != 0) << "entry " << Index;
  }
}

//
// The table-parameterised search on tables made here.
//
TEST (Qdl520ModeTimingTest, CustomTableFindsItsOwnEntries) {
  static const QDL520_MODE_TIMING  Table[] = {
    Timing (640, 480, 60, 25175000),
    Timing (3840, 2160, 30, 297000000),
    Timing (3840, 2160, 60, 594000000),
    Timing (0, 0, 0, 0),
  };

  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 3840, 2160, 60), &Table[2]);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 3840, 2160, kAny), &Table[1]);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, kAny, kAny, 60), &Table[0]);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, kAny, 2160, 30), &Table[1]);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 3840, 2160, 24), nullptr);
}

TEST (Qdl520ModeTimingTest, SearchStopsAtTheFirstZeroPixelClock) {
  // Entries after the end entry are never reached, and the end entry's
  // other fields are never compared, whatever they hold.
  static const QDL520_MODE_TIMING  Table[] = {
    Timing (800, 600, 60, 40000000),
    Timing (1024, 768, 60, 0),
    Timing (1024, 768, 60, 65000000),
    Timing (0, 0, 0, 0),
  };

  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 1024, 768, 60), nullptr);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 1024, kAny, kAny), nullptr);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 800, 600, 60), &Table[0]);
}

TEST (Qdl520ModeTimingTest, TableThatStartsWithItsEndEntryFindsNothing) {
  static const QDL520_MODE_TIMING  Table[] = {
    Timing (640, 480, 60, 0),
    Timing (640, 480, 60, 25175000),
  };

  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, kAny, kAny, kAny), nullptr);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 640, 480, 60), nullptr);
}

TEST (Qdl520ModeTimingTest, EachFieldIsComparedWithItsOwnArgument) {
  // A table whose width equals the other's height catches a swapped compare.
  static const QDL520_MODE_TIMING  Table[] = {
    Timing (480, 640, 75, 30000000),
    Timing (640, 480, 60, 25175000),
    Timing (0, 0, 0, 0),
  };

  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 640, 480, 60), &Table[1]);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 480, 640, 75), &Table[0]);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 640, 480, 75), nullptr);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, 480, 640, 60), nullptr);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, kAny, kAny, 75), &Table[0]);
  EXPECT_EQ (Qdl520FindModeTimingInTable (Table, kAny, 480, kAny), &Table[1]);
}

TEST (Qdl520ModeTimingTest, SearchIsUsableAtCompileTime) {
  static constexpr QDL520_MODE_TIMING  Table[] = {
    Timing (1280, 720, 60, 74250000),
    Timing (3840, 2160, 60, 594000000),
    Timing (0, 0, 0, 0),
  };

  static_assert (Qdl520FindModeTimingInTable (Table, 3840, 2160, 60) == &Table[1], "found at compile time");
  static_assert (Qdl520FindModeTimingInTable (Table, 1920, 1080, 60) == nullptr, "missed at compile time");
  EXPECT_TRUE (Qdl520ModeTimingFitsRegisters (Table[0]));
}

TEST (Qdl520ModeTimingTest, RegisterFitCheckRejectsValuesTooWideForTheirFields) {
  QDL520_MODE_TIMING  Fits = Timing (1920, 1080, 60, 148500000);

  EXPECT_TRUE (Qdl520ModeTimingFitsRegisters (Fits));

  QDL520_MODE_TIMING  Wide = Fits;
  Wide.HorizontalDisplay = 4097;
  EXPECT_FALSE (Qdl520ModeTimingFitsRegisters (Wide));

  Wide = Fits;
  Wide.HorizontalDisplay = 4096;
  EXPECT_TRUE (Qdl520ModeTimingFitsRegisters (Wide)) << "4096 is written as 4095";

  Wide = Fits;
  Wide.HorizontalTotal = 8193;
  EXPECT_FALSE (Qdl520ModeTimingFitsRegisters (Wide));

  Wide = Fits;
  Wide.VerticalSyncWidth = 64;
  EXPECT_FALSE (Qdl520ModeTimingFitsRegisters (Wide)) << "sync widths are written unchanged";

  Wide = Fits;
  Wide.HorizontalSyncWidth = 1024;
  EXPECT_FALSE (Qdl520ModeTimingFitsRegisters (Wide));

  Wide = Fits;
  Wide.VerticalTotal = 0;
  EXPECT_FALSE (Qdl520ModeTimingFitsRegisters (Wide)) << "a count of 0 cannot be written less one";
}
