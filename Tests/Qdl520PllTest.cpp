/** @file
  Pixel PLL search and PLL word layout.

  The expected settings come from a model written here in 64-bit arithmetic:
  the largest multiplier-with-fraction K = N x 32768 + M whose VCO does not
  exceed the target, per divider, and the output R x K / 32768 / 2^(p+1) in
  whole kHz.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <gtest/gtest.h>

#include <cstdint>

#include "Qdl520Pll.h"

namespace {

constexpr uint32_t  kReference12MHz    = 12000000;
constexpr uint32_t  kReference12288kHz = 12288000;

struct PllChoice {
  bool        Found;
  uint32_t    Multiplier;
  uint32_t    Fraction;
  uint32_t    PostDividerSelect;
  uint32_t    OutputKhz;
};

// Output in kHz of multiplier N, fraction M and divider select p from a
// reference of ReferenceKhz, rounded down once per division as the hardware
// search does: floor(floor(R x (32768 N + M) / 32768) / 2^(p+1)).
uint32_t
ModelOutputKhz (
  uint64_t  ReferenceKhz,
  uint64_t  Multiplier,
  uint64_t  Fraction,
  uint32_t  PostDividerSelect
  )
{
  uint64_t  Vco = (ReferenceKhz * (Multiplier * 32768 + Fraction)) / 32768;

  return static_cast<uint32_t>(Vco >> (PostDividerSelect + 1));
}

// The candidate a divider allows: K = floor(T x 32768 / R), N = K / 32768.
PllChoice
ModelCandidate (
  uint64_t  ReferenceKhz,
  uint64_t  TargetKhz,
  uint32_t  PostDividerSelect
  )
{
  uint64_t   Vco = TargetKhz << (PostDividerSelect + 1);
  uint64_t   K   = (Vco * 32768) / ReferenceKhz;
  PllChoice  Choice{};

  Choice.Multiplier        = static_cast<uint32_t>(K / 32768);
  Choice.Fraction          = static_cast<uint32_t>(K % 32768);
  Choice.PostDividerSelect = PostDividerSelect;
  Choice.Found             = (Choice.Multiplier >= 28) && (Choice.Multiplier <= 56);
  Choice.OutputKhz         = ModelOutputKhz (ReferenceKhz, Choice.Multiplier, Choice.Fraction, PostDividerSelect);
  return Choice;
}

uint32_t
Distance (
  uint32_t  A,
  uint32_t  B
  )
{
  return (A > B) ? A - B : B - A;
}

// Closest candidate over all dividers, the smaller divider on a tie.
PllChoice
ModelSearch (
  uint32_t  ReferenceClock,
  uint32_t  PixelClock
  )
{
  uint64_t   ReferenceKhz = ReferenceClock / 1000;
  uint64_t   TargetKhz    = PixelClock / 1000;
  PllChoice  Best{};

  if (TargetKhz > 1000000) {
    TargetKhz = 1000000;
  }

  for (uint32_t Select = 0; Select <= 5; Select++) {
    PllChoice  Candidate = ModelCandidate (ReferenceKhz, TargetKhz, Select);
    if (!Candidate.Found) {
      continue;
    }

    if (!Best.Found ||
        (Distance (Candidate.OutputKhz, static_cast<uint32_t>(TargetKhz)) <
         Distance (Best.OutputKhz, static_cast<uint32_t>(TargetKhz))))
    {
      Best = Candidate;
    }
  }

  return Best;
}

uint32_t
ModelVcoRange (
  uint32_t  Multiplier
  )
{
  if ((Multiplier >= 28) && (Multiplier <= 34)) {
    return 0;
  }

  if ((Multiplier >= 35) && (Multiplier <= 41)) {
    return 1;
  }

  if ((Multiplier >= 42) && (Multiplier <= 48)) {
    return 2;
  }

  if ((Multiplier >= 49) && (Multiplier <= 56)) {
    return 3;
  }

  return 0;
}

struct PllRun {
  QDL520_PLL_SETTINGS    Settings;
  UINT32                 Result;
};

// Runs the driver's search on a record whose outputs hold rubbish, so that
// a field the search forgets to set shows.
PllRun
RunSearch (
  uint32_t  ReferenceClock,
  uint32_t  PixelClock
  )
{
  PllRun  Run;

  Run.Settings = QDL520_PLL_SETTINGS{ ReferenceClock, 0xDEAD, 0xBEEF, 0xCAFE, 0xF00D };
  Run.Result   = Qdl520CalculatePll (PixelClock, &Run.Settings);
  return Run;
}

void
ExpectNoSetting (
  uint32_t  ReferenceClock,
  uint32_t  PixelClock
  )
{
  PllRun  Run = RunSearch (ReferenceClock, PixelClock);

  EXPECT_EQ (Run.Result, 0u) << "pixel clock " << PixelClock;
  EXPECT_EQ (Run.Settings.Multiplier, 0u) << "pixel clock " << PixelClock;
  EXPECT_EQ (Run.Settings.Fraction, 0u) << "pixel clock " << PixelClock;
  EXPECT_EQ (Run.Settings.PostDividerSelect, 0u) << "pixel clock " << PixelClock;
  EXPECT_EQ (Run.Settings.VcoRange, 0u) << "pixel clock " << PixelClock;
}

// Checks one search against the model; returns false on the first mismatch
// so that sweeps stop early.
bool
SearchMatchesModel (
  uint32_t  ReferenceClock,
  uint32_t  PixelClock
  )
{
  PllRun     Run   = RunSearch (ReferenceClock, PixelClock);
  PllChoice  Model = ModelSearch (ReferenceClock, PixelClock);

  if (!Model.Found) {
    EXPECT_EQ (Run.Result, 0u) << "pixel clock " << PixelClock;
    EXPECT_EQ (Run.Settings.Multiplier, 0u) << "pixel clock " << PixelClock;
    return (Run.Result == 0) && (Run.Settings.Multiplier == 0);
  }

  uint32_t  ReferenceKhz = ReferenceClock / 1000;
  uint32_t  TargetKhz    = PixelClock / 1000;
  uint32_t  ResultKhz    = ModelOutputKhz (
                             ReferenceKhz,
                             Run.Settings.Multiplier,
                             Run.Settings.Fraction,
                             Run.Settings.PostDividerSelect
                             );

  bool  Ok = (Run.Settings.Multiplier == Model.Multiplier) &&
             (Run.Settings.Fraction == Model.Fraction) &&
             (Run.Settings.PostDividerSelect == Model.PostDividerSelect) &&
             (Run.Settings.VcoRange == ModelVcoRange (Model.Multiplier)) &&
             (Run.Result == ResultKhz * 1000) &&
             (Run.Settings.ReferenceClock == ReferenceKhz * 1000);

  //
  // No divider's candidate comes strictly closer, and a candidate of a
  // smaller divider never comes equally close.
  //
  for (uint32_t Select = 0; Select <= 5; Select++) {
    PllChoice  Other = ModelCandidate (ReferenceKhz, TargetKhz, Select);
    if (!Other.Found) {
      continue;
    }

    uint32_t  OtherError  = Distance (Other.OutputKhz, TargetKhz);
    uint32_t  ChosenError = Distance (ResultKhz, TargetKhz);
    Ok = Ok && (OtherError >= ChosenError);
    if (Select < Run.Settings.PostDividerSelect) {
      Ok = Ok && (OtherError > ChosenError);
    }
  }

  EXPECT_TRUE (Ok) << "reference " << ReferenceClock << ", pixel clock " << PixelClock
                   << ": N " << Run.Settings.Multiplier << " M " << Run.Settings.Fraction
                   << " p " << Run.Settings.PostDividerSelect << " band " << Run.Settings.VcoRange
                   << ", result " << Run.Result << "; model N " << Model.Multiplier
                   << " M " << Model.Fraction << " p " << Model.PostDividerSelect;
  return Ok;
}

struct ModeClockCase {
  uint32_t    ReferenceClock;
  uint32_t    PixelClock;
  uint32_t    Multiplier;
  uint32_t    Fraction;
  uint32_t    PostDividerSelect;
  uint32_t    VcoRange;
  uint32_t    Result;
};

} // namespace

//
// The pixel clocks of the three offered modes, from both references.
//
TEST (Qdl520PllTest, OfferedModeClocksGiveTheirSettingsFromBothReferences) {
  const ModeClockCase  Cases[] = {
    { kReference12MHz,    25175000, 33, 18568, 3, 0, 25174000 },
    { kReference12MHz,    40000000, 53, 10922, 3, 3, 39999000 },
    { kReference12MHz,    65000000, 43, 10922, 2, 2, 64999000 },
    { kReference12288kHz, 25175000, 32, 25557, 3, 0, 25174000 },
    { kReference12288kHz, 40000000, 52, 2730,  3, 3, 39999000 },
    { kReference12288kHz, 65000000, 42, 10410, 2, 2, 64999000 },
  };

  for (const ModeClockCase &Case : Cases) {
    SCOPED_TRACE (testing::Message () << "reference " << Case.ReferenceClock << ", pixel clock " << Case.PixelClock);

    PllRun     Run   = RunSearch (Case.ReferenceClock, Case.PixelClock);
    PllChoice  Model = ModelSearch (Case.ReferenceClock, Case.PixelClock);

    EXPECT_EQ (Run.Settings.Multiplier, Case.Multiplier);
    EXPECT_EQ (Run.Settings.Fraction, Case.Fraction);
    EXPECT_EQ (Run.Settings.PostDividerSelect, Case.PostDividerSelect);
    EXPECT_EQ (Run.Settings.VcoRange, Case.VcoRange);
    EXPECT_EQ (Run.Result, Case.Result);
    EXPECT_EQ (Run.Settings.ReferenceClock, Case.ReferenceClock);

    EXPECT_EQ (Model.Multiplier, Case.Multiplier);
    EXPECT_EQ (Model.Fraction, Case.Fraction);
    EXPECT_EQ (Model.PostDividerSelect, Case.PostDividerSelect);
    EXPECT_EQ (Model.OutputKhz * 1000, Case.Result);
  }
}

TEST (Qdl520PllTest, SearchIsUsableAtCompileTime) {
  constexpr QDL520_PLL_OUTCOME  Outcome = Qdl520EvaluatePll (kReference12MHz, 25175000);

  static_assert (Outcome.PixelClock == 25174000, "25.175 MHz from 12 MHz");
  static_assert (Outcome.Word == 0x08E19110, "packed for register 0x78");
  EXPECT_EQ (Outcome.Settings.Fraction, 18568u);
}

//
// The fraction is rounded down, never up, even where the next fraction
// would land exactly on the target: 25.175 MHz would be exact with
// M = 18569, and the search keeps 18568, 1 kHz low.
//
TEST (Qdl520PllTest, SearchRoundsTheFractionDownEvenWhenTheNextOneIsExact) {
  PllRun  Run = RunSearch (kReference12MHz, 25175000);

  EXPECT_EQ (Run.Settings.Fraction, 18568u);
  EXPECT_EQ (ModelOutputKhz (12000, 33, 18569, 3), 25175u);
  EXPECT_EQ (Run.Result, 25174000u);
}

TEST (Qdl520PllTest, EqualErrorKeepsTheSmallerDivider) {
  // 84 MHz: p = 1 (N = 28) and p = 2 (N = 56) are both exact.
  PllRun  Run = RunSearch (kReference12MHz, 84000000);

  EXPECT_EQ (Run.Settings.Multiplier, 28u);
  EXPECT_EQ (Run.Settings.Fraction, 0u);
  EXPECT_EQ (Run.Settings.PostDividerSelect, 1u);
  EXPECT_EQ (Run.Settings.VcoRange, 0u);
  EXPECT_EQ (Run.Result, 84000000u);
}

TEST (Qdl520PllTest, TwelveMegahertzDividesTheVcoByThirtyTwo) {
  PllRun  Run = RunSearch (kReference12MHz, 12000000);

  EXPECT_EQ (Run.Settings.Multiplier, 32u);
  EXPECT_EQ (Run.Settings.Fraction, 0u);
  EXPECT_EQ (Run.Settings.PostDividerSelect, 4u);
  EXPECT_EQ (Run.Settings.VcoRange, 0u);
  EXPECT_EQ (Run.Result, 12000000u);
}

TEST (Qdl520PllTest, LowestReachableClockFromTwelveMegahertz) {
  PllRun  Run = RunSearch (kReference12MHz, 5250000);

  EXPECT_EQ (Run.Settings.Multiplier, 28u);
  EXPECT_EQ (Run.Settings.Fraction, 0u);
  EXPECT_EQ (Run.Settings.PostDividerSelect, 5u);
  EXPECT_EQ (Run.Settings.VcoRange, 0u);
  EXPECT_EQ (Run.Result, 5250000u);

  ExpectNoSetting (kReference12MHz, 5249999);
  ExpectNoSetting (kReference12MHz, 5249000);
  ExpectNoSetting (kReference12MHz, 0);
  ExpectNoSetting (kReference12MHz, 999);
}

TEST (Qdl520PllTest, HighestReachableClockFromTwelveMegahertz) {
  PllRun  Run = RunSearch (kReference12MHz, 341999000);

  EXPECT_EQ (Run.Settings.Multiplier, 56u);
  EXPECT_EQ (Run.Settings.Fraction, 32762u);
  EXPECT_EQ (Run.Settings.PostDividerSelect, 0u);
  EXPECT_EQ (Run.Settings.VcoRange, 3u);
  EXPECT_EQ (Run.Result, 341998000u);

  ExpectNoSetting (kReference12MHz, 342000000);
}

TEST (Qdl520PllTest, ReachOfTheTwelvePointTwoEightEightMegahertzReference) {
  EXPECT_NE (RunSearch (kReference12288kHz, 5376000).Result, 0u);
  ExpectNoSetting (kReference12288kHz, 5375999);
  EXPECT_NE (RunSearch (kReference12288kHz, 350207999).Result, 0u);
  ExpectNoSetting (kReference12288kHz, 350208000);
}

TEST (Qdl520PllTest, FailedSearchClearsEveryOutputField) {
  ExpectNoSetting (kReference12MHz, 1000000);
  ExpectNoSetting (kReference12MHz, 400000000);
}

TEST (Qdl520PllTest, EveryClockFromTheUpperLimitUpFindsNothing) {
  //
  // Below the 1 GHz cap every kHz is its own target; above it every clock
  // is searched as 1 GHz, so a stride through the rest covers it.
  //
  for (uint32_t TargetKhz = 342000; TargetKhz <= 1000001; TargetKhz++) {
    QDL520_PLL_SETTINGS  Settings = { kReference12MHz, 0, 0, 0, 0 };
    UINT32               Result   = Qdl520CalculatePll (TargetKhz * 1000 + TargetKhz % 1000, &Settings);
    if ((Result != 0) || (Settings.Multiplier != 0)) {
      FAIL () << "target " << TargetKhz << " kHz found N " << Settings.Multiplier;
    }
  }

  for (uint64_t PixelClock = 1000000000; PixelClock <= 0xFFFFFFFFull; PixelClock += 999983) {
    ExpectNoSetting (kReference12MHz, static_cast<uint32_t>(PixelClock));
  }

  ExpectNoSetting (kReference12MHz, 0xFFFFFFFF);
  ExpectNoSetting (kReference12MHz, 0xFFFFFFFE);
}

TEST (Qdl520PllTest, TargetsAboveOneGigahertzAreSearchedAsOneGigahertz) {
  // From a 100 MHz reference, 2 GHz itself would be N 40 with p 0; the
  // search aims at 1 GHz instead and takes N 40 with p 1.
  PllRun  Run = RunSearch (100000000, 2000000000);

  EXPECT_EQ (Run.Settings.Multiplier, 40u);
  EXPECT_EQ (Run.Settings.Fraction, 0u);
  EXPECT_EQ (Run.Settings.PostDividerSelect, 1u);
  EXPECT_EQ (Run.Result, 1000000000u);
  EXPECT_EQ (RunSearch (100000000, 0xFFFFFFFF).Result, 1000000000u);
}

TEST (Qdl520PllTest, ReferenceIsRoundedDownToWholeKilohertz) {
  PllRun     Run   = RunSearch (12345678, 25175000);
  PllChoice  Model = ModelSearch (12345000, 25175000);

  EXPECT_EQ (Run.Settings.ReferenceClock, 12345000u);
  EXPECT_EQ (Run.Settings.Multiplier, Model.Multiplier);
  EXPECT_EQ (Run.Settings.Fraction, Model.Fraction);
  EXPECT_EQ (Run.Result, Model.OutputKhz * 1000);
}

TEST (Qdl520PllTest, SubKilohertzPartOfTheTargetIsIgnored) {
  PllRun  Whole = RunSearch (kReference12MHz, 65000000);
  PllRun  Upper = RunSearch (kReference12MHz, 65000999);

  EXPECT_EQ (Upper.Result, Whole.Result);
  EXPECT_EQ (Upper.Settings.Fraction, Whole.Settings.Fraction);
}

TEST (Qdl520PllTest, SweepOfPixelClocksMatchesTheModelFromTwelveMegahertz) {
  for (uint32_t TargetKhz = 5000; TargetKhz <= 345000; TargetKhz++) {
    if (!SearchMatchesModel (kReference12MHz, TargetKhz * 1000 + (TargetKhz * 7) % 1000)) {
      return;
    }
  }
}

TEST (Qdl520PllTest, SweepOfPixelClocksMatchesTheModelFromTwelvePointTwoEightEightMegahertz) {
  for (uint32_t TargetKhz = 5000; TargetKhz <= 352000; TargetKhz++) {
    if (!SearchMatchesModel (kReference12288kHz, TargetKhz * 1000)) {
      return;
    }
  }
}

TEST (Qdl520PllTest, SweepOfOddReferencesMatchesTheModel) {
  const uint32_t  References[] = { 1000, 10000000, 14318180, 27000000, 131071999 };

  for (uint32_t Reference : References) {
    for (uint32_t PixelClock = 1000000; PixelClock < 800000000; PixelClock += 99991) {
      if (!SearchMatchesModel (Reference, PixelClock)) {
        return;
      }
    }
  }
}

//
// PLL word of register 0x78.
//
TEST (Qdl520PllTest, PllWordPlacesEachFieldAndSetsBit27) {
  QDL520_PLL_SETTINGS  Settings = { 0, 0, 0, 0, 0 };

  EXPECT_EQ (Qdl520PackPllWord (&Settings), 0x08000000u);

  Settings = QDL520_PLL_SETTINGS{ 0, 0x3F, 0, 0, 0 };
  EXPECT_EQ (Qdl520PackPllWord (&Settings), 0x083F0000u);
  Settings = QDL520_PLL_SETTINGS{ 0, 0, 0x7FFF, 0, 0 };
  EXPECT_EQ (Qdl520PackPllWord (&Settings), 0x0800FFFEu);
  Settings = QDL520_PLL_SETTINGS{ 0, 0, 0, 7, 0 };
  EXPECT_EQ (Qdl520PackPllWord (&Settings), 0x09C00000u);
  Settings = QDL520_PLL_SETTINGS{ 0, 0, 0, 0, 3 };
  EXPECT_EQ (Qdl520PackPllWord (&Settings), 0x0E000000u);
}

TEST (Qdl520PllTest, PllWordCutsEachFieldToItsWidth) {
  QDL520_PLL_SETTINGS  Settings = { 0xFFFFFFFF, 0xFFFFFFC1, 0xFFFF8001, 0xFFFFFFF9, 0xFFFFFFFD };

  // Multiplier 1, Fraction 1, divider select 1, band 1, nothing above bit 27.
  EXPECT_EQ (Qdl520PackPllWord (&Settings), 0x0A410002u);
}

TEST (Qdl520PllTest, ClockPresetWordsDecodeToTheirSettings) {
  QDL520_PLL_SETTINGS  Preset0 = Qdl520UnpackPllWord (0x08E19110);
  QDL520_PLL_SETTINGS  Preset1 = Qdl520UnpackPllWord (0x0AE5C330);

  EXPECT_EQ (Preset0.Multiplier, 33u);
  EXPECT_EQ (Preset0.Fraction, 18568u);
  EXPECT_EQ (Preset0.PostDividerSelect, 3u);
  EXPECT_EQ (Preset0.VcoRange, 0u);

  EXPECT_EQ (Preset1.Multiplier, 37u);
  EXPECT_EQ (Preset1.Fraction, 24984u);
  EXPECT_EQ (Preset1.PostDividerSelect, 3u);
  EXPECT_EQ (Preset1.VcoRange, 1u);
  EXPECT_EQ (ModelOutputKhz (12000, 37, 24984, 3), 28321u);
}

TEST (Qdl520PllTest, EverySearchResultPacksAndUnpacksUnchanged) {
  for (uint32_t TargetKhz = 5250; TargetKhz < 342000; TargetKhz += 97) {
    PllRun               Run      = RunSearch (kReference12MHz, TargetKhz * 1000);
    UINT32               Word     = Qdl520PackPllWord (&Run.Settings);
    QDL520_PLL_SETTINGS  Unpacked = Qdl520UnpackPllWord (Word);

    ASSERT_EQ (Word & 0xF0000001u, 0u) << TargetKhz;
    ASSERT_EQ (Unpacked.Multiplier, Run.Settings.Multiplier) << TargetKhz;
    ASSERT_EQ (Unpacked.Fraction, Run.Settings.Fraction) << TargetKhz;
    ASSERT_EQ (Unpacked.PostDividerSelect, Run.Settings.PostDividerSelect) << TargetKhz;
    ASSERT_EQ (Unpacked.VcoRange, Run.Settings.VcoRange) << TargetKhz;
  }
}

TEST (Qdl520PllTest, VcoBandFollowsTheMultiplier) {
  const struct {
    UINT32    Multiplier;
    UINT32    Band;
  } Cases[] = {
    { 0, 0 }, { 28, 0 }, { 34, 0 }, { 35, 1 }, { 41, 1 }, { 42, 2 }, { 48, 2 }, { 49, 3 }, { 56, 3 },
  };

  for (const auto &Case : Cases) {
    EXPECT_EQ (Qdl520PllVcoRange (Case.Multiplier), Case.Band) << "multiplier " << Case.Multiplier;
  }
}
