/** @file
  Display controller programming: pixel PLL, line pitch, timing registers,
  display control format and polarity bits, and the colour table of
  channel 0.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qdl520.h"
#include "Qdl520RegisterMap.h"
#include "Qdl520Pll.h"

//
// Fixed values the controller takes whenever a mode is loaded.
//
constexpr UINT32  QDL520_MODE_PROGRAM_LOAD  = 0x00000006;
constexpr UINT32  QDL520_DISPLAY_SETUP_LOAD = 0x80000000;

//
// Colour table contents: a grey ramp for the direct-colour depths; for
// 8 bits per pixel a 6x6x6 colour cube followed by a 40-step grey ramp.
//
constexpr UINT32  QDL520_CUBE_LEVELS     = 6;
constexpr UINT32  QDL520_CUBE_STEP       = 51;   ///< 255 / (levels - 1)
constexpr UINT32  QDL520_CUBE_ENTRIES    = QDL520_CUBE_LEVELS * QDL520_CUBE_LEVELS * QDL520_CUBE_LEVELS;
constexpr UINT32  QDL520_GREY_RAMP_STEPS = QDL520_COLOUR_TABLE_ENTRIES - QDL520_CUBE_ENTRIES;

STATIC_ASSERT (QDL520_CUBE_STEP * (QDL520_CUBE_LEVELS - 1) == 0xFF, "the cube spans 0 to 255");
STATIC_ASSERT (QDL520_GREY_RAMP_STEPS == 40, "the grey ramp fills the rest of the table");

/// Colour table entry with the three components Red, Green and Blue.
static constexpr UINT32
Qdl520MakeColour (
  UINT32  Red,
  UINT32  Green,
  UINT32  Blue
  )
{
  return Qdl520ColourEntry::Red::Pack (Red) |
         Qdl520ColourEntry::Green::Pack (Green) |
         Qdl520ColourEntry::Blue::Pack (Blue);
}

/// Grey level Step (0 to 39) of the 8 bpp grey ramp, from black to white.
static constexpr UINT32
Qdl520GreyRampLevel (
  UINT32  Step
  )
{
  return (654 * Step + 51) / 100;
}

/// Entry Index (0 to 255) of the 8 bpp colour table.
static constexpr UINT32
Qdl520IndexedColour (
  UINT32  Index
  )
{
  if (Index < QDL520_CUBE_ENTRIES) {
    return Qdl520MakeColour (
             QDL520_CUBE_STEP * (Index / (QDL520_CUBE_LEVELS * QDL520_CUBE_LEVELS)),
             QDL520_CUBE_STEP * ((Index / QDL520_CUBE_LEVELS) % QDL520_CUBE_LEVELS),
             QDL520_CUBE_STEP * (Index % QDL520_CUBE_LEVELS)
             );
  }

  UINT32  Grey = Qdl520GreyRampLevel (Index - QDL520_CUBE_ENTRIES);
  return Qdl520MakeColour (Grey, Grey, Grey);
}

/// Colour table entry Index (0 to 255) for a colour depth of BitsPerPixel.
static constexpr UINT32
Qdl520ColourTableValue (
  UINT32  BitsPerPixel,
  UINT32  Index
  )
{
  if (BitsPerPixel == 8) {
    return Qdl520IndexedColour (Index);
  }

  return Qdl520MakeColour (Index, Index, Index);
}

/// Pixel format code of a colour depth: 8 and 16 bits have their own, every
/// other depth is taken as 32 bits.
static constexpr UINT32
Qdl520PixelFormat (
  UINT32  BitsPerPixel
  )
{
  return (BitsPerPixel == 8)  ? QDL520_PIXEL_FORMAT_8BPP :
         (BitsPerPixel == 16) ? QDL520_PIXEL_FORMAT_16BPP :
         QDL520_PIXEL_FORMAT_32BPP;
}

//
// The table's telling rows and the whole grey ramp.
//
static constexpr BOOLEAN
Qdl520ColourTablesAreRight (
  VOID
  )
{
  constexpr UINT8  Greys[QDL520_GREY_RAMP_STEPS] = {
    0,   7,   13,  20,  26,  33,  39,  46,  52,  59,  65,  72,  78,  85,
    92,  98,  105, 111, 118, 124, 131, 137, 144, 150, 157, 164, 170, 177,
    183, 190, 196, 203, 209, 216, 222, 229, 235, 242, 249, 255
  };

  for (UINT32 Step = 0; Step < QDL520_GREY_RAMP_STEPS; Step++) {
    if (Qdl520IndexedColour (QDL520_CUBE_ENTRIES + Step) != Greys[Step] * 0x010101u) {
      return FALSE;
    }
  }

  for (UINT32 Index = 0; Index < QDL520_COLOUR_TABLE_ENTRIES; Index++) {
    if ((Qdl520ColourTableValue (32, Index) != Index * 0x010101u) ||
        (Qdl520ColourTableValue (16, Index) != Index * 0x010101u))
    {
      return FALSE;
    }
  }

  return TRUE;
}

STATIC_ASSERT (Qdl520ColourTablesAreRight (), "grey ramps");
STATIC_ASSERT (Qdl520IndexedColour (0)   == 0x000000, "cube black");
STATIC_ASSERT (Qdl520IndexedColour (1)   == 0x000033, "low component steps fastest");
STATIC_ASSERT (Qdl520IndexedColour (5)   == 0x0000FF, "low component full");
STATIC_ASSERT (Qdl520IndexedColour (6)   == 0x003300, "middle component steps next");
STATIC_ASSERT (Qdl520IndexedColour (35)  == 0x00FFFF, "low and middle components full");
STATIC_ASSERT (Qdl520IndexedColour (36)  == 0x330000, "high component steps last");
STATIC_ASSERT (Qdl520IndexedColour (215) == 0xFFFFFF, "cube white");
STATIC_ASSERT (Qdl520IndexedColour (216) == 0x000000, "ramp black");
STATIC_ASSERT (Qdl520IndexedColour (217) == 0x070707, "ramp step 1");
STATIC_ASSERT (Qdl520IndexedColour (218) == 0x0D0D0D, "ramp step 2");
STATIC_ASSERT (Qdl520IndexedColour (254) == 0xF9F9F9, "ramp step 38");
STATIC_ASSERT (Qdl520IndexedColour (255) == 0xFFFFFF, "ramp white");

//
// Register images of one timing.
//
static constexpr UINT32
Qdl520LinePitchValue (
  UINT32  Pitch
  )
{
  return Qdl520LinePitch::High::Pack (Pitch) | Qdl520LinePitch::Low::Pack (Pitch);
}

static constexpr UINT32
Qdl520HorizontalTotalValue (
  const QDL520_MODE_TIMING  &Timing
  )
{
  return Qdl520HorizontalTotal::Total::Pack (Timing.HorizontalTotal - 1) |
         Qdl520HorizontalTotal::Display::Pack (Timing.HorizontalDisplay - 1);
}

static constexpr UINT32
Qdl520HorizontalSyncValue (
  const QDL520_MODE_TIMING  &Timing
  )
{
  return Qdl520HorizontalSync::Width::Pack (Timing.HorizontalSyncWidth) |
         Qdl520HorizontalSync::Start::Pack (Timing.HorizontalSyncStart - 1);
}

static constexpr UINT32
Qdl520VerticalTotalValue (
  const QDL520_MODE_TIMING  &Timing
  )
{
  return Qdl520VerticalTotal::Total::Pack (Timing.VerticalTotal - 1) |
         Qdl520VerticalTotal::Display::Pack (Timing.VerticalDisplay - 1);
}

static constexpr UINT32
Qdl520VerticalSyncValue (
  const QDL520_MODE_TIMING  &Timing
  )
{
  return Qdl520VerticalSync::Width::Pack (Timing.VerticalSyncWidth) |
         Qdl520VerticalSync::Start::Pack (Timing.VerticalSyncStart - 1);
}

/// Display control value Current with the format and polarity fields of
/// the mode and bits 2 and 8 set; every other bit as in Current.
static constexpr UINT32
Qdl520DisplayControlValue (
  UINT32                    Current,
  const QDL520_MODE_TIMING  &Timing,
  UINT32                    BitsPerPixel
  )
{
  UINT32  Value = Current;

  Value = Qdl520DisplayControl::PixelFormat::Set (Value, Qdl520PixelFormat (BitsPerPixel));
  Value = Qdl520DisplayControl::HorizontalSyncPolarity::Set (Value, Timing.HorizontalSyncPolarity != 0);
  Value = Qdl520DisplayControl::VerticalSyncPolarity::Set (Value, Timing.VerticalSyncPolarity != 0);
  Value = Qdl520DisplayControl::ClockPolarity::Set (Value, Timing.ClockPolarity != 0);
  Value = Qdl520DisplayControl::Bit2::Fill (Value);
  Value = Qdl520DisplayControl::Bit8::Fill (Value);
  return Value;
}

//
// 640x480: 799/639, 96/655, 524/479, 2/489; 1024x768: all polarity bits set.
//
static constexpr QDL520_MODE_TIMING  mCheckTiming640x480 = {
  800, 640, 656, 96, 1, 525, 480, 490, 2, 1, 25175000, 31469, 60, 1
};
STATIC_ASSERT (Qdl520LinePitchValue (2560) == ((2560u << 16) | 2560u), "pitch in both halves");
STATIC_ASSERT (Qdl520HorizontalTotalValue (mCheckTiming640x480) == ((799u << 16) | 639u), "640x480 horizontal total");
STATIC_ASSERT (Qdl520HorizontalSyncValue (mCheckTiming640x480) == ((96u << 16) | 655u), "640x480 horizontal sync");
STATIC_ASSERT (Qdl520VerticalTotalValue (mCheckTiming640x480) == ((524u << 16) | 479u), "640x480 vertical total");
STATIC_ASSERT (Qdl520VerticalSyncValue (mCheckTiming640x480) == ((2u << 16) | 489u), "640x480 vertical sync");
STATIC_ASSERT (
  Qdl520DisplayControlValue (0xFFFFFFFF, mCheckTiming640x480, 32) == 0xFFFFFFFE,
  "format code 2; the other bits are left alone"
  );
STATIC_ASSERT (
  Qdl520DisplayControlValue (0x00000000, mCheckTiming640x480, 32) == 0x00007106,
  "format 2, bits 2 and 8, all three polarity bits"
  );
STATIC_ASSERT (Qdl520DisplayControlValue (0x00007003, mCheckTiming640x480, 8) == 0x00007104, "8 bpp format 0");

VOID
Qdl520ProgramDisplayController (
  IN QDL520_PRIVATE_DATA        *Private,
  IN const QDL520_MODE_TIMING   *Timing,
  IN UINT32                     BitsPerPixel,
  IN UINT32                     Pitch,
  IN const QDL520_PLL_SETTINGS  *Settings
  )
{
  UINT32  Control;

  Qdl520MmioWrite32 (Private, QDL520_REG_MODE_PROGRAM, QDL520_MODE_PROGRAM_LOAD);
  Qdl520MmioWrite32 (Private, QDL520_REG_PIXEL_PLL, Qdl520PackPllWord (Settings));
  Qdl520MmioWrite32 (Private, QDL520_REG_DISPLAY_SETUP_0, QDL520_DISPLAY_SETUP_LOAD);
  Qdl520MmioWrite32 (Private, QDL520_REG_LINE_PITCH_0, Qdl520LinePitchValue (Pitch));
  Qdl520MmioWrite32 (Private, QDL520_REG_HORIZONTAL_TOTAL_0, Qdl520HorizontalTotalValue (*Timing));
  Qdl520MmioWrite32 (Private, QDL520_REG_HORIZONTAL_SYNC_0, Qdl520HorizontalSyncValue (*Timing));
  Qdl520MmioWrite32 (Private, QDL520_REG_VERTICAL_TOTAL_0, Qdl520VerticalTotalValue (*Timing));
  Qdl520MmioWrite32 (Private, QDL520_REG_VERTICAL_SYNC_0, Qdl520VerticalSyncValue (*Timing));

  Control = Qdl520MmioRead32 (Private, QDL520_REG_DISPLAY_CONTROL_0);
  Qdl520MmioWrite32 (Private, QDL520_REG_DISPLAY_CONTROL_0, Qdl520DisplayControlValue (Control, *Timing, BitsPerPixel));

  for (UINT32 Index = 0; Index < QDL520_COLOUR_TABLE_ENTRIES; Index++) {
    Qdl520MmioWrite32 (Private, Qdl520ColourTableRegister (Index), Qdl520ColourTableValue (BitsPerPixel, Index));
  }
}
