/** @file
  Pixel clock PLL of the QD520: the search for the settings closest to a
  wanted pixel clock, and the PLL word layout of register 0x78 (also used by
  the clock presets 0x6C and 0x70).

  The PLL multiplies the reference clock by N + M / 32768 (N 28 to 56, M a
  15-bit fraction) into the VCO and divides the VCO by 2^(p+1), p 0 to 5.
  Everything here is constexpr and touches no hardware.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QDL520_PLL_H_
#define QDL520_PLL_H_

#include "Qdl520.h"
#include "Qdl520RegisterMap.h"

//
// References that can feed the PLL, chosen by the strap in register 0x12C.
//
constexpr UINT32  QDL520_PLL_REFERENCE_12000KHZ = 12000000;
constexpr UINT32  QDL520_PLL_REFERENCE_12288KHZ = 12288000;

constexpr UINT32  QDL520_PLL_MULTIPLIER_MIN         = 28;
constexpr UINT32  QDL520_PLL_MULTIPLIER_MAX         = 56;
constexpr UINT32  QDL520_PLL_FRACTION_ONE           = 32768;   ///< M counts in 1/32768
constexpr UINT32  QDL520_PLL_POST_DIVIDER_SELECT_MAX = 5;      ///< divide by 2 .. 64
constexpr UINT32  QDL520_PLL_TARGET_LIMIT_KHZ       = 1000000; ///< wanted clocks above are cut to this

STATIC_ASSERT (
  QDL520_PLL_FRACTION_ONE == Qdl520PllWord::Fraction::Max + 1,
  "the fraction fills its field"
  );
STATIC_ASSERT (
  Qdl520PllWord::Multiplier::Fits (QDL520_PLL_MULTIPLIER_MAX),
  "the multiplier fits its field"
  );

/// Divider 2^(Select+1) of post-divider select Select.
constexpr UINT32
Qdl520PllPostDivider (
  UINT32  Select
  )
{
  return 2u << Select;
}

/**
  Output of a setting in kHz, truncated step by step as the hardware search
  does: ((R x M) / 32768 + R x N) / 2^(p+1).

  @param[in] ReferenceKhz  reference in kHz, at most 131072 so that R x M fits.
**/
constexpr UINT32
Qdl520PllOutputKhz (
  UINT32  ReferenceKhz,
  UINT32  Multiplier,
  UINT32  Fraction,
  UINT32  PostDividerSelect
  )
{
  return ((ReferenceKhz * Fraction) / QDL520_PLL_FRACTION_ONE + ReferenceKhz * Multiplier)
         / Qdl520PllPostDivider (PostDividerSelect);
}

/// VCO band of a multiplier: 28-34 band 0, 35-41 band 1, 42-48 band 2,
/// 49-56 band 3. Any smaller value (0: no setting) gives band 0.
constexpr UINT32
Qdl520PllVcoRange (
  UINT32  Multiplier
  )
{
  return (Multiplier >= 49) ? 3 :
         (Multiplier >= 42) ? 2 :
         (Multiplier >= 35) ? 1 : 0;
}

/**
  Searches the PLL settings whose output comes closest to PixelClock.

  For each divider, smallest first, the VCO target is split into N and M,
  both rounded down; the first setting with the strictly smallest error in
  whole kHz is kept. Unsigned 32-bit arithmetic throughout, every division
  truncating.

  @param[in]     PixelClock  wanted pixel clock in Hz.
  @param[in,out] Settings    in: ReferenceClock in Hz, 1000 to 131071999.
                             out: Multiplier, Fraction, PostDividerSelect and
                             VcoRange of the kept setting, all 0 when none
                             fits; ReferenceClock rounded down to whole kHz.

  @return The pixel clock in Hz that the kept setting gives, a whole number
          of kHz; 0 when no setting fits.
**/
constexpr UINT32
Qdl520CalculatePll (
  IN     UINT32               PixelClock,
  IN OUT QDL520_PLL_SETTINGS  *Settings
  )
{
  UINT32  ReferenceKhz = Settings->ReferenceClock / 1000;
  UINT32  TargetKhz    = PixelClock / 1000;
  UINT32  BestError    = MAX_UINT32;

  if (TargetKhz > QDL520_PLL_TARGET_LIMIT_KHZ) {
    TargetKhz = QDL520_PLL_TARGET_LIMIT_KHZ;
  }

  Settings->Multiplier        = 0;
  Settings->Fraction          = 0;
  Settings->PostDividerSelect = 0;
  Settings->VcoRange          = 0;

  for (UINT32 Select = 0; Select <= QDL520_PLL_POST_DIVIDER_SELECT_MAX; Select++) {
    UINT32  VcoKhz     = TargetKhz * Qdl520PllPostDivider (Select);
    UINT32  Multiplier = VcoKhz / ReferenceKhz;
    if ((Multiplier < QDL520_PLL_MULTIPLIER_MIN) || (Multiplier > QDL520_PLL_MULTIPLIER_MAX)) {
      continue;
    }

    UINT32  Fraction = ((VcoKhz - Multiplier * ReferenceKhz) * QDL520_PLL_FRACTION_ONE) / ReferenceKhz;
    if (Fraction >= QDL520_PLL_FRACTION_ONE) {
      continue;
    }

    UINT32  OutputKhz = Qdl520PllOutputKhz (ReferenceKhz, Multiplier, Fraction, Select);
    UINT32  Error     = (OutputKhz > TargetKhz) ? OutputKhz - TargetKhz : TargetKhz - OutputKhz;
    if (Error < BestError) {
      Settings->Multiplier        = Multiplier;
      Settings->Fraction          = Fraction;
      Settings->PostDividerSelect = Select;
      BestError                   = Error;
    }
  }

  Settings->VcoRange       = Qdl520PllVcoRange (Settings->Multiplier);
  Settings->ReferenceClock = ReferenceKhz * 1000;

  return Qdl520PllOutputKhz (
           ReferenceKhz,
           Settings->Multiplier,
           Settings->Fraction,
           Settings->PostDividerSelect
           ) * 1000;
}

/// PLL word of register 0x78 for Settings; bit 27 set, bits 31-28 and 0 clear.
constexpr UINT32
Qdl520PackPllWord (
  IN const QDL520_PLL_SETTINGS  *Settings
  )
{
  return Qdl520PllWord::FixedOne::Mask |
         Qdl520PllWord::VcoRange::Pack (Settings->VcoRange) |
         Qdl520PllWord::PostDividerSelect::Pack (Settings->PostDividerSelect) |
         Qdl520PllWord::Multiplier::Pack (Settings->Multiplier) |
         Qdl520PllWord::Fraction::Pack (Settings->Fraction);
}

/// Settings held in a PLL word; ReferenceClock is not part of it and is 0.
constexpr QDL520_PLL_SETTINGS
Qdl520UnpackPllWord (
  IN UINT32  Word
  )
{
  return QDL520_PLL_SETTINGS {
           0,
           Qdl520PllWord::Multiplier::Get (Word),
           Qdl520PllWord::Fraction::Get (Word),
           Qdl520PllWord::PostDividerSelect::Get (Word),
           Qdl520PllWord::VcoRange::Get (Word)
  };
}

/// Word unpacked and packed again: equal to Word for every well-formed PLL word.
constexpr UINT32
Qdl520RepackPllWord (
  IN UINT32  Word
  )
{
  QDL520_PLL_SETTINGS  Settings = Qdl520UnpackPllWord (Word);

  return Qdl520PackPllWord (&Settings);
}

/// Outcome of one search, for checks at compile time and in tests.
typedef struct {
  QDL520_PLL_SETTINGS    Settings;   ///< the record after the search
  UINT32                 PixelClock; ///< the search's result in Hz
  UINT32                 Word;       ///< Settings packed for register 0x78
} QDL520_PLL_OUTCOME;

/// Runs the search for PixelClock from ReferenceClock (Hz) on a fresh record.
constexpr QDL520_PLL_OUTCOME
Qdl520EvaluatePll (
  IN UINT32  ReferenceClock,
  IN UINT32  PixelClock
  )
{
  QDL520_PLL_OUTCOME  Outcome = { { ReferenceClock, 0, 0, 0, 0 }, 0, 0 };

  Outcome.PixelClock = Qdl520CalculatePll (PixelClock, &Outcome.Settings);
  Outcome.Word       = Qdl520PackPllWord (&Outcome.Settings);
  return Outcome;
}

/// TRUE when Settings holds exactly the given multiplier, fraction, post
/// divider select and VCO band.
constexpr BOOLEAN
Qdl520PllSettingsAre (
  const QDL520_PLL_SETTINGS  &Settings,
  UINT32                     Multiplier,
  UINT32                     Fraction,
  UINT32                     PostDividerSelect,
  UINT32                     VcoRange
  )
{
  return (BOOLEAN)((Settings.Multiplier == Multiplier) && (Settings.Fraction == Fraction) &&
                   (Settings.PostDividerSelect == PostDividerSelect) && (Settings.VcoRange == VcoRange));
}

//
// 25.175 MHz from 12 MHz: p = 3 (divide by 16), N = 33, M = 18568, 1 kHz low.
//
STATIC_ASSERT (
  Qdl520PllSettingsAre (Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12000KHZ, 25175000).Settings, 33, 18568, 3, 0),
  "25.175 MHz settings"
  );
STATIC_ASSERT (Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12000KHZ, 25175000).PixelClock == 25174000, "25.175 MHz result");
STATIC_ASSERT (
  Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12000KHZ, 25175000).Settings.ReferenceClock == QDL520_PLL_REFERENCE_12000KHZ,
  "a whole-kHz reference comes back unchanged"
  );
STATIC_ASSERT (
  Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12000KHZ, 25175000).Word == 0x08E19110,
  "25.175 MHz PLL word"
  );

//
// The offered modes from 12 MHz: 40 MHz and 65 MHz.
//
STATIC_ASSERT (
  Qdl520PllSettingsAre (Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12000KHZ, 40000000).Settings, 53, 10922, 3, 3),
  "40 MHz settings"
  );
STATIC_ASSERT (Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12000KHZ, 40000000).PixelClock == 39999000, "40 MHz result");
STATIC_ASSERT (
  Qdl520PllSettingsAre (Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12000KHZ, 65000000).Settings, 43, 10922, 2, 2),
  "65 MHz settings"
  );
STATIC_ASSERT (Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12000KHZ, 65000000).PixelClock == 64999000, "65 MHz result");

//
// The two clock presets decode to their settings: 25.175 MHz and 28.322 MHz.
//
STATIC_ASSERT (Qdl520PllSettingsAre (Qdl520UnpackPllWord (0x08E19110), 33, 18568, 3, 0), "preset 0 decodes");
STATIC_ASSERT (Qdl520PllSettingsAre (Qdl520UnpackPllWord (0x0AE5C330), 37, 24984, 3, 1), "preset 1 decodes");
STATIC_ASSERT (Qdl520RepackPllWord (0x08E19110) == 0x08E19110, "preset 0 packs back to itself");
STATIC_ASSERT (Qdl520RepackPllWord (0x0AE5C330) == 0x0AE5C330, "preset 1 packs back to itself");

#endif // QDL520_PLL_H_
