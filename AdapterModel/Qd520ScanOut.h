/** @file
  What a monitor on the QD520 shows: the picture that display channel 0
  scans out of the frame buffer and the signal the HDMI transmitter sends
  with it, decoded from the adapter model's registers alone.

  The decoding is the device's own view of its registers; it shares nothing
  with the driver. It serves every place that shows the adapter's screen:
  the host main job's PNGs and the QEMU device's console.

  Freestanding like the adapter model: no standard library, no heap.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent OR GPL-2.0-or-later
**/

#ifndef QD520_SCAN_OUT_H_
#define QD520_SCAN_OUT_H_

#include "Qd520Adapter.h"

namespace Qd520Sim {

//
// Channel 0 registers the scan-out reads (BAR 1 offsets).
//
constexpr UINT64  RegisterPixelPll          = 0x78;
constexpr UINT64  RegisterDisplayControl    = 0x80000;
constexpr UINT64  RegisterLinePitch         = 0x80008;
constexpr UINT64  RegisterHorizontalTotal   = 0x8000C;
constexpr UINT64  RegisterHorizontalSync    = 0x80010;
constexpr UINT64  RegisterVerticalTotal     = 0x80014;
constexpr UINT64  RegisterVerticalSync      = 0x80018;
constexpr UINT64  RegisterColourTable       = 0x80C00;

/// PHY settings per TMDS clock band, as the transmitter needs them: bytes
/// for its registers 0x17, then 0x56 to 0x5E. Bands 0 to 4 serve pixel
/// clocks in 50 MHz steps, band 5 the 3840-class timings; bands 3 and 4
/// carry the same bytes.
constexpr UINTN   PhyBandCount = 6;
constexpr UINTN   PhyBandBytes = 10;
constexpr UINT8   PhyBandSettings[PhyBandCount][PhyBandBytes] = {
  { 0x22, 0x06, 0x00, 0x40, 0x40, 0x1E, 0x94, 0x2E, 0x10, 0x00 },
  { 0x22, 0x0A, 0x00, 0x40, 0x40, 0x1E, 0x94, 0x2E, 0x70, 0x00 },
  { 0x22, 0x0E, 0x00, 0x40, 0x40, 0x1E, 0x91, 0x2E, 0x70, 0x00 },
  { 0x22, 0x0E, 0x00, 0x40, 0x40, 0x1E, 0x94, 0x2E, 0x71, 0x00 },
  { 0x22, 0x0E, 0x00, 0x40, 0x40, 0x1E, 0x94, 0x2E, 0x71, 0x00 },
  { 0x22, 0x0E, 0x00, 0x40, 0x40, 0x5E, 0x95, 0x7E, 0x64, 0x00 },
};

constexpr UINT32  ReferenceClock12MHz       = 12000000;
constexpr UINT32  ReferenceClock12288kHz    = 12288000;

/// Pixel formats of the display control register, bits 1-0.
enum class ScanOutFormat : UINT8 {
  Indexed8 = 0,   ///< 8 bits per pixel through the colour table
  Rgb565   = 1,   ///< 16 bits per pixel
  Bgrx8888 = 2,   ///< 32 bits per pixel, bytes blue, green, red, unused
  Reserved = 3
};

/// Why the monitor shows no picture.
enum class ScanOutBlank : UINT8 {
  None,           ///< a picture is shown
  DisplayOff,     ///< channel 0 is not switched on
  NoPixelClock,   ///< the PLL word gives no clock
  NoTiming,       ///< active area empty or outside the totals
  BadFormat       ///< the reserved pixel format
};

/// Channel 0's output as the registers program it. Counts are real counts
/// (the registers hold count - 1 where the hardware codes them so).
struct ScanOutMode {
  ScanOutBlank     Blank;
  UINT32           DisplayControl;      ///< the raw register
  UINT32           Width;               ///< active pixels per line
  UINT32           Height;              ///< active lines
  UINT32           HorizontalTotal;
  UINT32           HorizontalSyncStart; ///< counted from the first active pixel
  UINT32           HorizontalSyncWidth;
  UINT32           VerticalTotal;
  UINT32           VerticalSyncStart;
  UINT32           VerticalSyncWidth;
  BOOLEAN          HorizontalSyncNegative;
  BOOLEAN          VerticalSyncNegative;
  UINT32           Pitch;               ///< bytes per frame-buffer line (low half of the pitch register)
  UINT32           PitchHigh;           ///< the high half, which must agree
  ScanOutFormat    Format;
  UINT32           BytesPerPixel;
  UINT32           ReferenceClock;      ///< Hz, from the strap in 0x12C
  UINT32           PllWord;
  UINT32           Multiplier;
  UINT32           Fraction;            ///< 1/32768 units
  UINT32           PostDivider;         ///< 2 to 64 (2^(select + 1)); 0 for a reserved select
  UINT32           VcoRange;
  UINT64           PixelClock;          ///< Hz, rounded
  UINT64           RefreshMilliHz;      ///< frames per 1000 s, rounded; 0 without clock or totals
};

/// The HDMI transmitter's signal as its registers program it.
struct ScanOutHdmi {
  UINT8      Control;                 ///< control register 0x800C4, low byte
  UINT8      InfoFrameSelect;         ///< the buffer 0x60-0x70 address now
  BOOLEAN    AviPresent;              ///< the AVI buffer holds an AVI InfoFrame header
  UINT8      AviVideoCode;
  UINT8      AviChecksumSum;          ///< sum of header, checksum and payload bytes; 0 when it balances
  BOOLEAN    VendorPresent;
  UINT8      VendorChecksumSum;
  BOOLEAN    AudioPresent;
  UINT8      AudioChecksumSum;
  UINT32     AudioN;
  UINT32     AudioCts;
  UINT64     AudioSampleMilliHz;      ///< pixel clock x N / (128 x CTS), in mHz; 0 without CTS or clock
  INT32      PhyBand;                 ///< band whose settings the PHY holds; -1 for none, 34 for bands 3 and 4 (same bytes)
  BOOLEAN    HorizontalSyncPositive;
  BOOLEAN    VerticalSyncPositive;
  UINT32     HorizontalTotal;
  UINT32     HorizontalBlank;
  UINT32     HorizontalSyncToEnd;
  UINT32     HorizontalSyncWidth;
  UINT32     VerticalTotal;
  UINT8      VerticalBlank;           ///< the transmitter takes these three as one byte each
  UINT8      VerticalSyncToEnd;
  UINT8      VerticalSyncWidth;
  UINT32     ClockUnits;              ///< pixel clock in 1.6 MHz units
};

/// Decodes channel 0 from the registers.
VOID
DecodeScanOut (
  IN  CONST Adapter  &Device,
  OUT ScanOutMode    *Mode
  );

/// Decodes the transmitter registers; Mode gives the pixel clock.
VOID
DecodeHdmi (
  IN  CONST Adapter      &Device,
  IN  CONST ScanOutMode  &Mode,
  OUT ScanOutHdmi        *Hdmi
  );

/// Writes line Row (0 to Mode.Height - 1) of the picture as Mode.Width
/// pixels 0x00RRGGBB. Bytes past the end of the frame buffer show black.
/// Mode must not be blank.
VOID
ScanOutLine (
  IN  CONST Adapter      &Device,
  IN  CONST ScanOutMode  &Mode,
  IN  UINT32             Row,
  OUT UINT32             *Pixels
  );

/// One line of text for a person: "640x480 @ 59.94 Hz, ..." or why the
/// screen is blank, then every disagreement between the programmed values
/// ("; ..."). Always NUL-terminated; cut to Size. Returns the length that
/// the whole text needs (without the NUL).
UINTN
FormatMonitorReport (
  IN  CONST Adapter  &Device,
  OUT CHAR8          *Buffer,
  IN  UINTN          Size
  );

} // namespace Qd520Sim

#endif // QD520_SCAN_OUT_H_
