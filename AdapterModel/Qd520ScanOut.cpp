/** @file
  What a monitor on the QD520 shows (see Qd520ScanOut.h).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent OR GPL-2.0-or-later
**/

#include "Qd520ScanOut.h"

namespace Qd520Sim {

namespace {

/// Bits High down to Low of a 32-bit register.
struct Field {
  UINT32    High;
  UINT32    Low;

  constexpr UINT32
  Get (
    UINT32  Value
    ) const
  {
    return (Value >> Low) & (0xFFFFFFFFu >> (31 - High + Low));
  }
};

static_assert (Field{ 15, 8 }.Get (0x1234ABCD) == 0xAB, "field extraction");
static_assert (Field{ 31, 31 }.Get (0x80000000) == 1, "top bit");
static_assert (Field{ 31, 0 }.Get (0xFFFFFFFF) == 0xFFFFFFFF, "whole register");

//
// Display control register: channel 0 shows a picture when bits 2 and 8 are
// set, the four power-sequence bits are all up and the two blanking bits
// are down.
//
constexpr Field   PixelFormatField      = { 1, 0 };
constexpr UINT32  DisplayEnableBits     = BIT2 | BIT8;
constexpr Field   HorizontalSyncLow     = { 12, 12 };   ///< 1: negative (active-low) horizontal sync
constexpr Field   VerticalSyncLow       = { 13, 13 };
constexpr Field   PowerSequence         = { 27, 24 };
constexpr UINT32  PowerSequenceUp       = 0xF;
constexpr Field   Blanking              = { 31, 30 };

//
// Pitch and timing registers. Totals, active sizes and sync starts hold
// count - 1; sync widths hold the count.
//
constexpr Field   PitchLow              = { 13, 0 };
constexpr Field   PitchHigh             = { 29, 16 };
constexpr Field   HorizontalActive      = { 11, 0 };
constexpr Field   HorizontalTotalCount  = { 28, 16 };
constexpr Field   HorizontalSyncStart   = { 12, 0 };
constexpr Field   HorizontalSyncWidth   = { 25, 16 };
constexpr Field   VerticalActive        = { 11, 0 };
constexpr Field   VerticalTotalCount    = { 27, 16 };
constexpr Field   VerticalSyncStart     = { 11, 0 };
constexpr Field   VerticalSyncWidth     = { 21, 16 };

/// Colour table entries and picture pixels: 0x00RRGGBB.
constexpr UINT32  RgbMask               = 0x00FFFFFF;

//
// PLL word: output = reference x (multiplier + fraction / 32768) / 2^(select + 1).
//
constexpr Field   PllFraction           = { 15, 1 };
constexpr Field   PllMultiplier         = { 21, 16 };
constexpr Field   PllPostSelect         = { 24, 22 };
constexpr Field   PllVcoRange           = { 26, 25 };
constexpr UINT32  PllFixedOne           = BIT27;
constexpr UINT32  PllFractionUnits      = 32768;
constexpr UINT32  PllMultiplierMinimum  = 28;
constexpr UINT32  PllMultiplierMaximum  = 56;
constexpr UINT32  PllPostSelectMaximum  = 5;
constexpr UINT32  PllVcoBandMultipliers = 7;    ///< multipliers 28-34 band 0, 35-41 band 1, ...

//
// HDMI transmitter registers.
//
constexpr UINT8   HdmiAcrN              = 0x01;  ///< 0x01-0x03, bits 19-16 first
constexpr UINT8   HdmiAcrCts            = 0x07;  ///< 0x07-0x09
constexpr UINT8   HdmiPhyControl        = 0x17;
constexpr UINT8   HdmiSyncControl       = 0x30;
constexpr UINT8   HdmiHorizontalTotal   = 0x31;  ///< 16-bit values, low byte first: total, blank, sync to end, width
constexpr UINT8   HdmiHorizontalBlank   = 0x33;
constexpr UINT8   HdmiHorizontalSyncEnd = 0x35;
constexpr UINT8   HdmiHorizontalSyncLen = 0x37;
constexpr UINT8   HdmiVerticalTotal     = 0x39;
constexpr UINT8   HdmiVerticalBlank     = 0x3D;  ///< one byte each
constexpr UINT8   HdmiVerticalSyncEnd   = 0x3E;
constexpr UINT8   HdmiVerticalSyncLen   = 0x3F;
constexpr UINT8   HdmiPhyFirst          = 0x56;  ///< 0x56-0x5E
constexpr UINT8   HdmiClockUnits        = 0x81;  ///< 0x81 low, 0x82 high
constexpr UINT8   HdmiSyncHorizontalPositive = BIT2;
constexpr UINT8   HdmiSyncVerticalPositive   = BIT3;
constexpr UINT32  HdmiClockUnitHz       = 1600000;
constexpr UINT8   HdmiControlRunning    = 0x81;
constexpr UINT32  HdmiAcrDivisor        = 128;

//
// InfoFrame buffers and types (CEA-861).
//
constexpr UINT8   InfoFrameVendorBuffer = 0x05;
constexpr UINT8   InfoFrameAviBuffer    = 0x06;
constexpr UINT8   InfoFrameAudioBuffer  = 0x08;
constexpr UINT8   InfoFrameVendorType   = 0x81;
constexpr UINT8   InfoFrameAviType      = 0x82;
constexpr UINT8   InfoFrameAudioType    = 0x84;
constexpr UINTN   InfoFrameLengthByte   = 2;     ///< after type and version; the checksum follows the length
constexpr UINTN   InfoFramePayloadStart = 4;
constexpr UINTN   AviVideoCodeByte      = InfoFramePayloadStart + 3;   ///< payload byte 4

constexpr UINT64  PhyBandStepHz         = 50000000;  ///< bands 0-4 cover 50 MHz each; 5 is the 3840-class band
constexpr INT32   PhyBandsThreeAndFour  = 34;

/// CEA-861 video codes and their active sizes.
struct VideoCodeSize {
  UINT8     Code;
  UINT16    Width;
  UINT16    Height;
};

constexpr VideoCodeSize  VideoCodes[] = {
  { 1,  640,  480  }, { 2,  720,  480  }, { 3,  720,  480  }, { 4,  1280, 720  }, { 5,  1920, 1080 },
  { 14, 1440, 480  }, { 16, 1920, 1080 }, { 17, 720,  576  }, { 19, 1280, 720  }, { 31, 1920, 1080 },
  { 34, 1920, 1080 }, { 35, 2880, 480  }, { 83, 1680, 720  }, { 90, 2560, 1080 }, { 93, 3840, 2160 },
  { 94, 3840, 2160 }, { 95, 3840, 2160 }, { 97, 3840, 2160 },
};

/// Standard audio sample rates, in Hz.
constexpr UINT32  SampleRates[] = { 32000, 44100, 48000, 88200, 96000, 176400, 192000 };

/// Parts per million by which a derived rate may miss the one it should match.
constexpr UINT64  ToleranceDivisor = 1000;   ///< 0.1 %

BOOLEAN
Near (
  UINT64  Value,
  UINT64  Target
  )
{
  UINT64  Difference = Value > Target ? Value - Target : Target - Value;

  return (BOOLEAN)(Difference * ToleranceDivisor <= Target);
}

UINT64
DivideRounded (
  UINT64  Numerator,
  UINT64  Denominator
  )
{
  return Denominator == 0 ? 0 : (Numerator + Denominator / 2) / Denominator;
}

UINT32
Hdmi16 (
  CONST Adapter  &Device,
  UINT8          Low
  )
{
  return (UINT32)Device.PeekHdmi (Low) | ((UINT32)Device.PeekHdmi ((UINT8)(Low + 1)) << 8);
}

UINT32
Hdmi20 (
  CONST Adapter  &Device,
  UINT8          High
  )
{
  return ((UINT32)(Device.PeekHdmi (High) & 0x0F) << 16) | ((UINT32)Device.PeekHdmi ((UINT8)(High + 1)) << 8) |
         Device.PeekHdmi ((UINT8)(High + 2));
}

/// Sum of an InfoFrame's header, checksum and payload bytes, modulo 256.
UINT8
InfoFrameSum (
  CONST Adapter  &Device,
  UINT8          Buffer
  )
{
  UINTN  Length = Device.PeekInfoFrame (Buffer, InfoFrameLengthByte);
  UINTN  End    = InfoFramePayloadStart + Length;
  UINT8  Sum    = 0;

  if (End > HdmiInfoFrameBytes) {
    End = HdmiInfoFrameBytes;
  }

  for (UINTN Offset = 0; Offset < End; Offset++) {
    Sum = (UINT8)(Sum + Device.PeekInfoFrame (Buffer, Offset));
  }

  return Sum;
}

/// The band whose settings the PHY registers hold, or -1.
INT32
ProgrammedPhyBand (
  CONST Adapter  &Device
  )
{
  for (UINTN Band = 0; Band < PhyBandCount; Band++) {
    BOOLEAN  Same = (BOOLEAN)(Device.PeekHdmi (HdmiPhyControl) == PhyBandSettings[Band][0]);

    for (UINTN Index = 1; Same && (Index < PhyBandBytes); Index++) {
      Same = (BOOLEAN)(Device.PeekHdmi ((UINT8)(HdmiPhyFirst + Index - 1)) == PhyBandSettings[Band][Index]);
    }

    if (Same) {
      return Band == 3 ? PhyBandsThreeAndFour : (INT32)Band;
    }
  }

  return -1;
}

/// TRUE when Band suits a pixel clock of Clock Hz (within the tolerance at
/// the band's edges). Band 5 serves clocks from 250 MHz.
BOOLEAN
PhyBandSuits (
  INT32   Band,
  UINT64  Clock
  )
{
  UINT64  Low;
  UINT64  High;

  if (Band == PhyBandsThreeAndFour) {
    return (BOOLEAN)(PhyBandSuits (3, Clock) || PhyBandSuits (4, Clock));
  }

  if (Band < 0) {
    return FALSE;
  }

  Low  = (UINT64)Band * PhyBandStepHz;
  High = (Band == (INT32)PhyBandCount - 1) ? ~(UINT64)0 / 2 : Low + PhyBandStepHz;
  return (BOOLEAN)((Clock + Clock / ToleranceDivisor >= Low) && (Clock <= High + High / ToleranceDivisor));
}

//
// Text.
//

class Text {
public:
  Text (
    CHAR8  *Buffer,
    UINTN  Size
    ) : mBuffer (Buffer), mSize (Size), mLength (0)
  {
    Terminate ();
  }

  Text &
  Add (
    CONST CHAR8  *String
    )
  {
    while (*String != '\0') {
      Put (*String++);
    }

    Terminate ();
    return *this;
  }

  Text &
  Decimal (
    UINT64  Value
    )
  {
    CHAR8  Digits[20];
    UINTN  Count = 0;

    do {
      Digits[Count++] = (CHAR8)('0' + Value % 10);
      Value          /= 10;
    } while (Value != 0);

    while (Count != 0) {
      Put (Digits[--Count]);
    }

    Terminate ();
    return *this;
  }

  /// Value / 10^Places with exactly Places decimals.
  Text &
  Fixed (
    UINT64  Value,
    UINTN   Places
    )
  {
    UINT64  Scale = 1;

    for (UINTN Index = 0; Index < Places; Index++) {
      Scale *= 10;
    }

    Decimal (Value / Scale);
    if (Places != 0) {
      Put ('.');
      for (UINT64 Digit = Scale / 10; Digit != 0; Digit /= 10) {
        Put ((CHAR8)('0' + (Value / Digit) % 10));
      }
    }

    Terminate ();
    return *this;
  }

  /// Value / 10^Places with the trailing zero decimals left out.
  Text &
  Trimmed (
    UINT64  Value,
    UINTN   Places
    )
  {
    while ((Places != 0) && (Value % 10 == 0)) {
      Value /= 10;
      Places--;
    }

    return Fixed (Value, Places);
  }

  Text &
  Hex (
    UINT64  Value
    )
  {
    static CONST CHAR8  HexDigits[] = "0123456789ABCDEF";
    UINTN               Shift       = 4;

    while ((Shift < 64) && ((Value >> Shift) != 0)) {
      Shift += 4;
    }

    Add ("0x");
    while (Shift != 0) {
      Shift -= 4;
      Put (HexDigits[(Value >> Shift) & 0xF]);
    }

    Terminate ();
    return *this;
  }

  /// Starts one disagreement: "; " then the text.
  Text &
  Problem (
    CONST CHAR8  *String
    )
  {
    return Add ("; ").Add (String);
  }

  UINTN
  Length (
    ) const
  {
    return mLength;
  }

private:
  VOID
  Put (
    CHAR8  Character
    )
  {
    if (mLength + 1 < mSize) {
      mBuffer[mLength] = Character;
    }

    mLength++;
  }

  VOID
  Terminate (
    )
  {
    if (mSize != 0) {
      mBuffer[mLength < mSize ? mLength : mSize - 1] = '\0';
    }
  }

  CHAR8  *mBuffer;
  UINTN  mSize;
  UINTN  mLength;
};

CONST CHAR8 *
FormatName (
  ScanOutFormat  Format
  )
{
  switch (Format) {
    case ScanOutFormat::Indexed8:
      return "8 bpp indexed";
    case ScanOutFormat::Rgb565:
      return "16 bpp RGB565";
    case ScanOutFormat::Bgrx8888:
      return "32 bpp BGRX";
    default:
      return "reserved pixel format";
  }
}

CONST CHAR8 *
BlankReason (
  ScanOutBlank  Blank
  )
{
  switch (Blank) {
    case ScanOutBlank::DisplayOff:
      return "blank: display off";
    case ScanOutBlank::NoPixelClock:
      return "blank: no pixel clock";
    case ScanOutBlank::NoTiming:
      return "blank: no timing";
    default:
      return "blank: reserved pixel format";
  }
}

/// Hz as "25.175 MHz".
Text &
Megahertz (
  Text    &Out,
  UINT64  Hz
  )
{
  return Out.Trimmed (DivideRounded (Hz, 1000), 3).Add (" MHz");
}

VOID
ReportTimingProblems (
  Text               &Out,
  CONST ScanOutMode  &Mode,
  CONST Adapter      &Device
  )
{
  UINT64  FrameEnd = (UINT64)Mode.Pitch * (Mode.Height - 1) + (UINT64)Mode.Width * Mode.BytesPerPixel;

  if (Mode.PitchHigh != Mode.Pitch) {
    Out.Problem ("pitch register halves differ (").Decimal (Mode.Pitch).Add (" and ").Decimal (Mode.PitchHigh).Add (")");
  }

  if (Mode.Pitch < Mode.Width * Mode.BytesPerPixel) {
    Out.Problem ("pitch ").Decimal (Mode.Pitch).Add (" is shorter than a line of ")
      .Decimal (Mode.Width * Mode.BytesPerPixel).Add (" bytes");
  }

  if (FrameEnd > Device.FrameBufferSize ()) {
    Out.Problem ("the picture runs past the end of the frame buffer");
  }

  if ((Mode.PllWord & PllFixedOne) == 0) {
    Out.Problem ("PLL word bit 27 is clear");
  }

  if ((Mode.Multiplier < PllMultiplierMinimum) || (Mode.Multiplier > PllMultiplierMaximum)) {
    Out.Problem ("PLL multiplier ").Decimal (Mode.Multiplier).Add (" is outside 28-56");
  } else if (Mode.VcoRange != (Mode.Multiplier - PllMultiplierMinimum) / PllVcoBandMultipliers) {
    Out.Problem ("VCO range ").Decimal (Mode.VcoRange).Add (" does not suit multiplier ").Decimal (Mode.Multiplier);
  }

  if ((Mode.HorizontalSyncStart < Mode.Width) ||
      (Mode.HorizontalSyncStart + Mode.HorizontalSyncWidth > Mode.HorizontalTotal))
  {
    Out.Problem ("the horizontal sync lies outside the blanking");
  }

  if ((Mode.VerticalSyncStart < Mode.Height) ||
      (Mode.VerticalSyncStart + Mode.VerticalSyncWidth > Mode.VerticalTotal))
  {
    Out.Problem ("the vertical sync lies outside the blanking");
  }
}

/// One transmitter timing value against the controller's.
VOID
CompareTiming (
  Text         &Out,
  CONST CHAR8  *Name,
  UINT32       Transmitter,
  UINT32       Controller
  )
{
  if (Transmitter != Controller) {
    Out.Problem ("HDMI ").Add (Name).Add (" ").Decimal (Transmitter).Add (", display controller ").Decimal (Controller);
  }
}

VOID
ReportHdmi (
  Text               &Out,
  CONST ScanOutHdmi  &Hdmi
  )
{
  Out.Add (", HDMI: ");
  if (Hdmi.Control != HdmiControlRunning) {
    Out.Add ("transmitter not running (control ").Hex (Hdmi.Control).Add (")");
    return;
  }

  if (Hdmi.AviPresent) {
    Out.Add ("AVI InfoFrame VIC ").Decimal (Hdmi.AviVideoCode).Add (", ");
  }

  if (Hdmi.VendorPresent) {
    Out.Add ("vendor InfoFrame, ");
  }

  Out.Add ("audio N ").Decimal (Hdmi.AudioN).Add (" CTS ").Decimal (Hdmi.AudioCts).Add (" = ");
  Out.Trimmed (DivideRounded (Hdmi.AudioSampleMilliHz, 1000), 3).Add (" kHz, ");
  if (Hdmi.PhyBand == PhyBandsThreeAndFour) {
    Out.Add ("PHY band 3/4");
  } else if (Hdmi.PhyBand >= 0) {
    Out.Add ("PHY band ").Decimal ((UINT64)Hdmi.PhyBand);
  } else {
    Out.Add ("PHY settings of no band");
  }
}

VOID
ReportHdmiProblems (
  Text               &Out,
  CONST ScanOutMode  &Mode,
  CONST ScanOutHdmi  &Hdmi
  )
{
  BOOLEAN  StandardRate = FALSE;

  if (Hdmi.Control != HdmiControlRunning) {
    return;
  }

  CompareTiming (Out, "horizontal total", Hdmi.HorizontalTotal, Mode.HorizontalTotal);
  CompareTiming (Out, "horizontal blanking", Hdmi.HorizontalBlank, Mode.HorizontalTotal - Mode.Width);
  CompareTiming (Out, "horizontal sync to line end", Hdmi.HorizontalSyncToEnd, Mode.HorizontalTotal - Mode.HorizontalSyncStart);
  CompareTiming (Out, "horizontal sync width", Hdmi.HorizontalSyncWidth, Mode.HorizontalSyncWidth);
  CompareTiming (Out, "vertical total", Hdmi.VerticalTotal, Mode.VerticalTotal);
  CompareTiming (Out, "vertical blanking", Hdmi.VerticalBlank, (UINT8)(Mode.VerticalTotal - Mode.Height));
  CompareTiming (Out, "vertical sync to frame end", Hdmi.VerticalSyncToEnd, (UINT8)(Mode.VerticalTotal - Mode.VerticalSyncStart));
  CompareTiming (Out, "vertical sync width", Hdmi.VerticalSyncWidth, (UINT8)Mode.VerticalSyncWidth);

  if ((Hdmi.HorizontalSyncPositive == Mode.HorizontalSyncNegative) ||
      (Hdmi.VerticalSyncPositive == Mode.VerticalSyncNegative))
  {
    Out.Problem ("HDMI sync polarity ").Add (Hdmi.HorizontalSyncPositive ? "+" : "-").Add ("/")
      .Add (Hdmi.VerticalSyncPositive ? "+" : "-").Add (" differs from the display controller's");
  }

  if ((Hdmi.ClockUnits != Mode.PixelClock / HdmiClockUnitHz) &&
      (Hdmi.ClockUnits != (Mode.PixelClock + HdmiClockUnitHz - 1) / HdmiClockUnitHz))
  {
    Out.Problem ("HDMI pixel clock ").Decimal (Hdmi.ClockUnits).Add (" x 1.6 MHz does not match ");
    Megahertz (Out, Mode.PixelClock);
  }

  if (!Hdmi.AviPresent) {
    Out.Problem ("no AVI InfoFrame");
  } else {
    if (Hdmi.AviChecksumSum != 0) {
      Out.Problem ("AVI InfoFrame checksum does not balance (bytes sum to ").Hex (Hdmi.AviChecksumSum).Add (")");
    }

    for (CONST VideoCodeSize &Code : VideoCodes) {
      if ((Code.Code == Hdmi.AviVideoCode) && ((Code.Width != Mode.Width) || (Code.Height != Mode.Height))) {
        Out.Problem ("VIC ").Decimal (Code.Code).Add (" is ").Decimal (Code.Width).Add ("x").Decimal (Code.Height)
          .Add (", not the picture's size");
      }
    }
  }

  if (Hdmi.VendorPresent && (Hdmi.VendorChecksumSum != 0)) {
    Out.Problem ("vendor InfoFrame checksum does not balance (bytes sum to ").Hex (Hdmi.VendorChecksumSum).Add (")");
  }

  if (Hdmi.AudioPresent && (Hdmi.AudioChecksumSum != 0)) {
    Out.Problem ("audio InfoFrame checksum does not balance (bytes sum to ").Hex (Hdmi.AudioChecksumSum).Add (")");
  }

  for (UINT32 Rate : SampleRates) {
    StandardRate = (BOOLEAN)(StandardRate || Near (Hdmi.AudioSampleMilliHz, (UINT64)Rate * 1000));
  }

  if (!StandardRate) {
    Out.Problem ("N and CTS give no standard audio sample rate");
  }

  if (Hdmi.PhyBand < 0) {
    Out.Problem ("the PHY settings are those of no band");
  } else if (!PhyBandSuits (Hdmi.PhyBand, Mode.PixelClock)) {
    Out.Problem ("the PHY band does not suit ");
    Megahertz (Out, Mode.PixelClock);
  }
}

} // namespace

VOID
DecodeScanOut (
  IN  CONST Adapter  &Device,
  OUT ScanOutMode    *Mode
  )
{
  UINT32  Control         = Device.PeekRegister (RegisterDisplayControl);
  UINT32  Pitch           = Device.PeekRegister (RegisterLinePitch);
  UINT32  HorizontalTotal = Device.PeekRegister (RegisterHorizontalTotal);
  UINT32  HorizontalSync  = Device.PeekRegister (RegisterHorizontalSync);
  UINT32  VerticalTotal   = Device.PeekRegister (RegisterVerticalTotal);
  UINT32  VerticalSync    = Device.PeekRegister (RegisterVerticalSync);
  UINT32  Pll             = Device.PeekRegister (RegisterPixelPll);
  UINT32  PostSelect      = PllPostSelect.Get (Pll);
  UINT64  Feedback;
  UINT64  FrameTime;

  __builtin_memset (Mode, 0, sizeof (*Mode));
  Mode->DisplayControl         = Control;
  Mode->Width                  = HorizontalActive.Get (HorizontalTotal) + 1;
  Mode->HorizontalTotal        = HorizontalTotalCount.Get (HorizontalTotal) + 1;
  Mode->HorizontalSyncStart    = HorizontalSyncStart.Get (HorizontalSync) + 1;
  Mode->HorizontalSyncWidth    = HorizontalSyncWidth.Get (HorizontalSync);
  Mode->Height                 = VerticalActive.Get (VerticalTotal) + 1;
  Mode->VerticalTotal          = VerticalTotalCount.Get (VerticalTotal) + 1;
  Mode->VerticalSyncStart      = VerticalSyncStart.Get (VerticalSync) + 1;
  Mode->VerticalSyncWidth      = VerticalSyncWidth.Get (VerticalSync);
  Mode->HorizontalSyncNegative = (BOOLEAN)HorizontalSyncLow.Get (Control);
  Mode->VerticalSyncNegative   = (BOOLEAN)VerticalSyncLow.Get (Control);
  Mode->Pitch                  = PitchLow.Get (Pitch);
  Mode->PitchHigh              = PitchHigh.Get (Pitch);
  Mode->Format                 = (ScanOutFormat)PixelFormatField.Get (Control);
  Mode->BytesPerPixel          = Mode->Format == ScanOutFormat::Indexed8 ? 1 : Mode->Format == ScanOutFormat::Rgb565 ? 2 : 4;
  Mode->ReferenceClock         = (Device.PeekRegister (RegisterPllReference) & PllReferenceSelectBit) != 0 ?
                                 ReferenceClock12288kHz : ReferenceClock12MHz;
  Mode->PllWord     = Pll;
  Mode->Multiplier  = PllMultiplier.Get (Pll);
  Mode->Fraction    = PllFraction.Get (Pll);
  Mode->VcoRange    = PllVcoRange.Get (Pll);
  Mode->PostDivider = PostSelect <= PllPostSelectMaximum ? 2u << PostSelect : 0;

  Feedback = (UINT64)Mode->Multiplier * PllFractionUnits + Mode->Fraction;
  if ((Feedback != 0) && (Mode->PostDivider != 0)) {
    Mode->PixelClock     = DivideRounded ((UINT64)Mode->ReferenceClock * Feedback, (UINT64)PllFractionUnits * Mode->PostDivider);
    FrameTime            = (UINT64)PllFractionUnits * Mode->PostDivider * Mode->HorizontalTotal * Mode->VerticalTotal;
    Mode->RefreshMilliHz = DivideRounded ((UINT64)Mode->ReferenceClock * Feedback * 1000, FrameTime);
  }

  if (((Control & DisplayEnableBits) != DisplayEnableBits) ||
      (PowerSequence.Get (Control) != PowerSequenceUp) ||
      (Blanking.Get (Control) != 0))
  {
    Mode->Blank = ScanOutBlank::DisplayOff;
  } else if (Mode->PixelClock == 0) {
    Mode->Blank = ScanOutBlank::NoPixelClock;
  } else if (((HorizontalTotal | VerticalTotal) == 0) || (Mode->Width >= Mode->HorizontalTotal) ||
             (Mode->Height >= Mode->VerticalTotal))
  {
    Mode->Blank = ScanOutBlank::NoTiming;
  } else if (Mode->Format == ScanOutFormat::Reserved) {
    Mode->Blank = ScanOutBlank::BadFormat;
  } else {
    Mode->Blank = ScanOutBlank::None;
  }
}

VOID
DecodeHdmi (
  IN  CONST Adapter      &Device,
  IN  CONST ScanOutMode  &Mode,
  OUT ScanOutHdmi        *Hdmi
  )
{
  UINT8  Sync = Device.PeekHdmi (HdmiSyncControl);

  __builtin_memset (Hdmi, 0, sizeof (*Hdmi));
  Hdmi->Control           = (UINT8)Device.PeekRegister (RegisterHdmiControl);
  Hdmi->InfoFrameSelect   = Device.PeekHdmi (HdmiInfoFrameSelect);
  Hdmi->AviPresent        = (BOOLEAN)(Device.PeekInfoFrame (InfoFrameAviBuffer, 0) == InfoFrameAviType);
  Hdmi->AviVideoCode      = Device.PeekInfoFrame (InfoFrameAviBuffer, AviVideoCodeByte);
  Hdmi->AviChecksumSum    = InfoFrameSum (Device, InfoFrameAviBuffer);
  Hdmi->VendorPresent     = (BOOLEAN)(Device.PeekInfoFrame (InfoFrameVendorBuffer, 0) == InfoFrameVendorType);
  Hdmi->VendorChecksumSum = InfoFrameSum (Device, InfoFrameVendorBuffer);
  Hdmi->AudioPresent      = (BOOLEAN)(Device.PeekInfoFrame (InfoFrameAudioBuffer, 0) == InfoFrameAudioType);
  Hdmi->AudioChecksumSum  = InfoFrameSum (Device, InfoFrameAudioBuffer);
  Hdmi->AudioN            = Hdmi20 (Device, HdmiAcrN);
  Hdmi->AudioCts          = Hdmi20 (Device, HdmiAcrCts);
  Hdmi->AudioSampleMilliHz = DivideRounded (Mode.PixelClock * Hdmi->AudioN * 1000, (UINT64)HdmiAcrDivisor * Hdmi->AudioCts);
  Hdmi->PhyBand             = ProgrammedPhyBand (Device);
  Hdmi->HorizontalSyncPositive = (BOOLEAN)((Sync & HdmiSyncHorizontalPositive) != 0);
  Hdmi->VerticalSyncPositive   = (BOOLEAN)((Sync & HdmiSyncVerticalPositive) != 0);
  Hdmi->HorizontalTotal        = Hdmi16 (Device, HdmiHorizontalTotal);
  Hdmi->HorizontalBlank        = Hdmi16 (Device, HdmiHorizontalBlank);
  Hdmi->HorizontalSyncToEnd    = Hdmi16 (Device, HdmiHorizontalSyncEnd);
  Hdmi->HorizontalSyncWidth    = Hdmi16 (Device, HdmiHorizontalSyncLen);
  Hdmi->VerticalTotal          = Hdmi16 (Device, HdmiVerticalTotal);
  Hdmi->VerticalBlank          = Device.PeekHdmi (HdmiVerticalBlank);
  Hdmi->VerticalSyncToEnd      = Device.PeekHdmi (HdmiVerticalSyncEnd);
  Hdmi->VerticalSyncWidth      = Device.PeekHdmi (HdmiVerticalSyncLen);
  Hdmi->ClockUnits             = Hdmi16 (Device, HdmiClockUnits);
}

VOID
ScanOutLine (
  IN  CONST Adapter      &Device,
  IN  CONST ScanOutMode  &Mode,
  IN  UINT32             Row,
  OUT UINT32             *Pixels
  )
{
  CONST UINT8  *Memory = Device.FrameBuffer ();
  UINT64       Size    = Device.FrameBufferSize ();
  UINT64       Offset  = (UINT64)Row * Mode.Pitch;

  for (UINT32 Column = 0; Column < Mode.Width; Column++, Offset += Mode.BytesPerPixel) {
    UINT32  Value = 0;

    if (Offset + Mode.BytesPerPixel > Size) {
      Pixels[Column] = 0;
      continue;
    }

    __builtin_memcpy (&Value, Memory + Offset, Mode.BytesPerPixel);
    switch (Mode.Format) {
      case ScanOutFormat::Indexed8:
        Value = Device.PeekRegister (RegisterColourTable + sizeof (UINT32) * Value) & RgbMask;
        break;
      case ScanOutFormat::Rgb565:
        Value = ((Value & 0xF800) << 8) | ((Value & 0xE000) << 3) |   // red 5 bits, top bits repeated
                ((Value & 0x07E0) << 5) | ((Value & 0x0600) >> 1) |   // green 6 bits
                ((Value & 0x001F) << 3) | ((Value & 0x001C) >> 2);    // blue 5 bits
        break;
      default:
        Value &= RgbMask;
        break;
    }

    Pixels[Column] = Value;
  }
}

UINTN
FormatMonitorReport (
  IN  CONST Adapter  &Device,
  OUT CHAR8          *Buffer,
  IN  UINTN          Size
  )
{
  Text         Out (Buffer, Size);
  ScanOutMode  Mode;
  ScanOutHdmi  Hdmi;

  DecodeScanOut (Device, &Mode);
  if (Mode.Blank != ScanOutBlank::None) {
    Out.Add (BlankReason (Mode.Blank)).Add (" (display control ").Hex (Mode.DisplayControl).Add (")");
    return Out.Length ();
  }

  DecodeHdmi (Device, Mode, &Hdmi);
  Out.Decimal (Mode.Width).Add ("x").Decimal (Mode.Height).Add (" @ ").Fixed (DivideRounded (Mode.RefreshMilliHz, 10), 2);
  Out.Add (" Hz, ");
  Megahertz (Out, Mode.PixelClock).Add (" from ");
  Megahertz (Out, Mode.ReferenceClock).Add (", ").Add (FormatName (Mode.Format));
  Out.Add (", pitch ").Decimal (Mode.Pitch).Add (", sync ").Add (Mode.HorizontalSyncNegative ? "-" : "+").Add ("/")
    .Add (Mode.VerticalSyncNegative ? "-" : "+");
  ReportHdmi (Out, Hdmi);
  ReportTimingProblems (Out, Mode, Device);
  ReportHdmiProblems (Out, Mode, Hdmi);
  return Out.Length ();
}

} // namespace Qd520Sim
