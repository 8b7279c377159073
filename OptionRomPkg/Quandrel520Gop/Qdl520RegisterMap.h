/** @file
  Register map of the QD520 display engine: the BAR 1 register offsets, the
  bit fields of the registers the driver programs, and the indices of the
  HDMI transmitter registers reached through the index/data register.

  Each register list below is written once and expands into the named
  constants and into a name lookup, so that the driver and a host-side
  register trace printer share one source. The lookups are inline constexpr
  functions and take no space in the driver image unless called.

  Names follow what the driver does with a register or bit. Where the
  hardware's own purpose of a bit is not known to the driver, the name says
  only where it lies (Bit11, Bits20To21).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QDL520_REGISTER_MAP_H_
#define QDL520_REGISTER_MAP_H_

extern "C" {
#include <Base.h>
}

//
// ---------------------------------------------------------------------------
// Bit fields
// ---------------------------------------------------------------------------
//

/**
  A field of a 32-bit register, bits HighBit down to LowBit. A field is
  declared once, by its bit range, under the name of what it holds; code
  packs, reads and replaces it by that name.
**/
template <UINT32 HighBit, UINT32 LowBit>
struct QDL520_FIELD {
  static_assert (LowBit <= HighBit && HighBit < 32, "field lies within a 32-bit register");

  static constexpr UINT32  Shift = LowBit;
  static constexpr UINT32  Width = HighBit - LowBit + 1;
  static constexpr UINT32  Max   = 0xFFFFFFFFu >> (32 - Width); ///< largest value the field holds
  static constexpr UINT32  Mask  = Max << LowBit;                ///< the field's bits in the register

  /// Value cut to the field width and moved into place; all other bits 0.
  static constexpr UINT32
  Pack (
    UINT32  Value
    )
  {
    return (Value & Max) << LowBit;
  }

  /// The field's contents in the register value Register.
  static constexpr UINT32
  Get (
    UINT32  Register
    )
  {
    return (Register & Mask) >> LowBit;
  }

  /// Register with the field replaced by Value (cut to the field width).
  static constexpr UINT32
  Set (
    UINT32  Register,
    UINT32  Value
    )
  {
    return (Register & ~Mask) | Pack (Value);
  }

  /// Register with every bit of the field cleared.
  static constexpr UINT32
  Clear (
    UINT32  Register
    )
  {
    return Register & ~Mask;
  }

  /// Register with every bit of the field set.
  static constexpr UINT32
  Fill (
    UINT32  Register
    )
  {
    return Register | Mask;
  }

  /// TRUE when Value fits the field without losing bits.
  static constexpr BOOLEAN
  Fits (
    UINT32  Value
    )
  {
    return (BOOLEAN)(Value <= Max);
  }
};

/// A single bit of a 32-bit register.
template <UINT32 Bit>
using QDL520_BIT = QDL520_FIELD<Bit, Bit>;

STATIC_ASSERT (QDL520_FIELD<31, 0>::Mask == 0xFFFFFFFF, "whole-register field");
STATIC_ASSERT (QDL520_FIELD<21, 16>::Pack (0x7F) == 0x003F0000, "a value is cut to the field width");
STATIC_ASSERT (QDL520_FIELD<21, 16>::Set (0xFFFFFFFF, 0) == 0xFFC0FFFF, "Set replaces only the field");
STATIC_ASSERT (QDL520_FIELD<15, 8>::Get (0x1234A5) == 0x34, "Get reads only the field");

//
// ---------------------------------------------------------------------------
// BAR 1 registers
// ---------------------------------------------------------------------------
//

/// Channel 1's registers lie this far above channel 0's.
constexpr UINT64  QDL520_CHANNEL_STRIDE = 0x8000;

/// Entries of the colour table of channel 0, one 32-bit register each.
constexpr UINT32  QDL520_COLOUR_TABLE_ENTRIES = 256;

/**
  Every BAR 1 register the driver touches, in ascending offset order.
  X (Name, Offset, Count, Description): Count is the number of consecutive
  32-bit registers under that name (the colour table has 256).
**/
#define QDL520_BAR1_REGISTER_LIST(X)                                                                       \
  X (ENGINE_CONTROL,       0x00068, 1, "engine control")                                                   \
  X (CLOCK_PRESET_0,       0x0006C, 1, "clock preset 0 (PLL word, 25.175 MHz)")                            \
  X (CLOCK_PRESET_1,       0x00070, 1, "clock preset 1 (PLL word, 28.322 MHz)")                            \
  X (PIXEL_PLL,            0x00078, 1, "pixel clock PLL")                                                  \
  X (MODE_PROGRAM,         0x00088, 1, "mode programming control")                                         \
  X (PLL_REFERENCE,        0x0012C, 1, "PLL reference select (bit 12: 12.288 MHz)")                        \
  X (DISPLAY_CONTROL_0,    0x80000, 1, "display control (channel 0)")                                      \
  X (DISPLAY_SETUP_0,      0x80004, 1, "display set-up (channel 0)")                                       \
  X (LINE_PITCH_0,         0x80008, 1, "line pitch (channel 0)")                                           \
  X (HORIZONTAL_TOTAL_0,   0x8000C, 1, "horizontal total and display (channel 0)")                         \
  X (HORIZONTAL_SYNC_0,    0x80010, 1, "horizontal sync start and width (channel 0)")                      \
  X (VERTICAL_TOTAL_0,     0x80014, 1, "vertical total and display (channel 0)")                           \
  X (VERTICAL_SYNC_0,      0x80018, 1, "vertical sync start and width (channel 0)")                        \
  X (CHANNEL_CONTROL_30_0, 0x80030, 1, "channel control 0x30 (channel 0)")                                 \
  X (CHANNEL_CONTROL_40_0, 0x80040, 1, "channel control 0x40 (channel 0)")                                 \
  X (CHANNEL_CONTROL_80_0, 0x80080, 1, "channel control 0x80 (channel 0)")                                 \
  X (HDMI_INDEX_DATA,      0x800C0, 1, "HDMI index/data")                                                  \
  X (HDMI_CONTROL,         0x800C4, 1, "HDMI control")                                                     \
  X (COLOUR_TABLE,         0x80C00, QDL520_COLOUR_TABLE_ENTRIES, "colour table entry")                     \
  X (DISPLAY_CONTROL_1,    0x80000 + QDL520_CHANNEL_STRIDE, 1, "display control (channel 1)")             \
  X (CHANNEL_CONTROL_30_1, 0x80030 + QDL520_CHANNEL_STRIDE, 1, "channel control 0x30 (channel 1)")        \
  X (CHANNEL_CONTROL_40_1, 0x80040 + QDL520_CHANNEL_STRIDE, 1, "channel control 0x40 (channel 1)")        \
  X (CHANNEL_CONTROL_80_1, 0x80080 + QDL520_CHANNEL_STRIDE, 1, "channel control 0x80 (channel 1)")

//
// QDL520_REG_<Name>: byte offset of the (first) register in BAR 1.
//
#define QDL520_DEFINE_BAR1_REGISTER(Name, Offset, Count, Description) \
  constexpr UINT64  QDL520_REG_ ## Name = (Offset);
QDL520_BAR1_REGISTER_LIST (QDL520_DEFINE_BAR1_REGISTER)
#undef QDL520_DEFINE_BAR1_REGISTER

/// Offset of a channel's counterpart of a channel 0 register.
constexpr UINT64
Qdl520ChannelRegister (
  UINT32  Channel,
  UINT64  Channel0Offset
  )
{
  return Channel0Offset + Channel * QDL520_CHANNEL_STRIDE;
}

/// Offset of colour table entry Index (0 to 255).
constexpr UINT64
Qdl520ColourTableRegister (
  UINT32  Index
  )
{
  return QDL520_REG_COLOUR_TABLE + 4 * (UINT64)Index;
}

/**
  Description of the BAR 1 register at Offset, as the register list gives
  it, or nullptr when the driver uses no register there. Every entry of the
  colour table gives "colour table entry".
**/
constexpr const char *
Qdl520Bar1RegisterName (
  UINT64  Offset
  )
{
 #define QDL520_MATCH_BAR1_REGISTER(Name, First, Count, Description)                  \
  if ((Offset >= (First)) && (Offset - (First) < 4 * (UINT64)(Count)) && (Offset % 4 == 0)) { \
    return Description;                                                               \
  }
  QDL520_BAR1_REGISTER_LIST (QDL520_MATCH_BAR1_REGISTER)
 #undef QDL520_MATCH_BAR1_REGISTER
  return nullptr;
}

/// End of the highest register in use: BAR 1 must span at least this many bytes.
constexpr UINT64  QDL520_BAR1_MINIMUM_SIZE = QDL520_REG_CHANNEL_CONTROL_80_1 + 4;

/// TRUE when the register list is in ascending order without overlaps.
constexpr BOOLEAN
Qdl520Bar1RegisterListIsOrdered (
  VOID
  )
{
  UINT64  End = 0;

 #define QDL520_CHECK_BAR1_REGISTER(Name, First, Count, Description) \
  if ((First) < End) {                                               \
    return FALSE;                                                    \
  }                                                                  \
  End = (First) + 4 * (UINT64)(Count);
  QDL520_BAR1_REGISTER_LIST (QDL520_CHECK_BAR1_REGISTER)
 #undef QDL520_CHECK_BAR1_REGISTER
  return (BOOLEAN)(End == QDL520_BAR1_MINIMUM_SIZE);
}

STATIC_ASSERT (Qdl520Bar1RegisterListIsOrdered (), "BAR 1 registers ascend and do not overlap");
STATIC_ASSERT (QDL520_BAR1_MINIMUM_SIZE == 0x88084, "BAR 1 spans the last channel 1 register");
STATIC_ASSERT (QDL520_REG_DISPLAY_CONTROL_1 == 0x88000, "channel 1 display control");
STATIC_ASSERT (
  Qdl520ChannelRegister (1, QDL520_REG_CHANNEL_CONTROL_40_0) == QDL520_REG_CHANNEL_CONTROL_40_1,
  "channel 1 registers lie one stride above channel 0's"
  );
STATIC_ASSERT (Qdl520ColourTableRegister (255) == 0x80FFC, "last colour table entry");
STATIC_ASSERT (Qdl520Bar1RegisterName (0x80FFC) != nullptr, "the colour table is named to its end");
STATIC_ASSERT (Qdl520Bar1RegisterName (0x81000) == nullptr, "nothing follows the colour table");
STATIC_ASSERT (Qdl520Bar1RegisterName (0x80002) == nullptr, "registers are 32-bit aligned");

//
// Register 0x68, engine control: three bits raised one at a time at
// initialisation.
//
namespace Qdl520EngineControl {
using Bit1  = QDL520_BIT<1>;
using Bit2  = QDL520_BIT<2>;
using Bit13 = QDL520_BIT<13>;
}

//
// Register 0x12C: the strap that tells which reference feeds the pixel PLL.
//
namespace Qdl520PllReference {
using Is12288kHz = QDL520_BIT<12>; ///< 1: 12.288 MHz reference, 0: 12 MHz
}

//
// Pixel PLL word: register 0x78 and the clock presets 0x6C and 0x70.
// Output = Reference x (Multiplier + Fraction / 32768) / 2^(PostDividerSelect + 1).
//
namespace Qdl520PllWord {
using Fraction          = QDL520_FIELD<15, 1>;
using Multiplier        = QDL520_FIELD<21, 16>;
using PostDividerSelect = QDL520_FIELD<24, 22>;
using VcoRange          = QDL520_FIELD<26, 25>;
using FixedOne          = QDL520_BIT<27>; ///< always written as 1
using Unused            = QDL520_FIELD<31, 28>;
}

//
// Display control register (0x80000 channel 0, 0x88000 channel 1).
//
namespace Qdl520DisplayControl {
using PixelFormat            = QDL520_FIELD<1, 0>; ///< one of QDL520_PIXEL_FORMAT_*
using Bit2                   = QDL520_BIT<2>;      ///< set by mode programming and display on
using Bit8                   = QDL520_BIT<8>;      ///< set by mode programming and display on
using Bit11                  = QDL520_BIT<11>;     ///< cleared by display on/off and at mode-set end
using HorizontalSyncPolarity = QDL520_BIT<12>;     ///< 1: negative horizontal sync
using VerticalSyncPolarity   = QDL520_BIT<13>;     ///< 1: negative vertical sync
using ClockPolarity          = QDL520_BIT<14>;
using Bit18                  = QDL520_BIT<18>;     ///< dropped briefly at mode-set end
using Bits20To21             = QDL520_FIELD<21, 20>;
using PowerSequence          = QDL520_FIELD<27, 24>; ///< raised and lowered one bit at a time
using Bit28                  = QDL520_BIT<28>;     ///< cleared by display on
using Bit29                  = QDL520_BIT<29>;     ///< set by display on
using Bits30To31             = QDL520_FIELD<31, 30>; ///< set while the display is off
}

constexpr UINT32  QDL520_PIXEL_FORMAT_8BPP  = 0;
constexpr UINT32  QDL520_PIXEL_FORMAT_16BPP = 1;
constexpr UINT32  QDL520_PIXEL_FORMAT_32BPP = 2;

//
// Line pitch register 0x80008: the pitch in bytes, in both halves.
//
namespace Qdl520LinePitch {
using Low  = QDL520_FIELD<13, 0>;
using High = QDL520_FIELD<29, 16>;
}

//
// Timing registers. Totals, display sizes and sync starts hold count - 1;
// sync widths hold the count itself.
//
namespace Qdl520HorizontalTotal {
using Display = QDL520_FIELD<11, 0>;
using Total   = QDL520_FIELD<28, 16>;
}

namespace Qdl520HorizontalSync {
using Start = QDL520_FIELD<12, 0>;
using Width = QDL520_FIELD<25, 16>;
}

namespace Qdl520VerticalTotal {
using Display = QDL520_FIELD<11, 0>;
using Total   = QDL520_FIELD<27, 16>;
}

namespace Qdl520VerticalSync {
using Start = QDL520_FIELD<11, 0>;
using Width = QDL520_FIELD<21, 16>;
}

//
// Channel control registers 0x30, 0x40 and 0x80 of a channel: bits the
// initialisation clears.
//
namespace Qdl520ChannelControl30 {
using Bits30To31 = QDL520_FIELD<31, 30>;
}

namespace Qdl520ChannelControl40 {
using Bit2       = QDL520_BIT<2>;
using Bits14To15 = QDL520_FIELD<15, 14>;
}

namespace Qdl520ChannelControl80 {
using Bit2 = QDL520_BIT<2>;
}

//
// Colour table entry: the usual 0x00RRGGBB layout.
//
namespace Qdl520ColourEntry {
using Blue  = QDL520_FIELD<7, 0>;
using Green = QDL520_FIELD<15, 8>;
using Red   = QDL520_FIELD<23, 16>;
}

//
// HDMI index/data register 0x800C0. A register is stored by writing index
// and data with WriteStrobe set, then again with it clear; it is fetched by
// writing the index with ReadRequest set, then without, then reading Data.
//
namespace Qdl520HdmiIndexData {
using Index       = QDL520_FIELD<7, 0>;
using Data        = QDL520_FIELD<15, 8>;
using WriteStrobe = QDL520_BIT<16>;
using ReadRequest = QDL520_BIT<17>;
}

//
// HDMI control register 0x800C4. The driver writes 0 above bit 7. A new
// control value is written with the strobe bits raised, then without them.
//
namespace Qdl520HdmiControl {
using Value      = QDL520_FIELD<7, 0>;
using Bit0       = QDL520_BIT<0>;
using StrobeLow  = QDL520_BIT<2>;
using StrobeHigh = QDL520_BIT<3>;
using Strobe     = QDL520_FIELD<3, 2>;
}

//
// Control values the driver gives the HDMI control register.
//
constexpr UINT8  QDL520_HDMI_CONTROL_INITIAL  = 0x11; ///< state at load; written without strobe
constexpr UINT8  QDL520_HDMI_CONTROL_SETUP    = 0x21; ///< while the transmitter is loaded
constexpr UINT8  QDL520_HDMI_CONTROL_ENABLE   = 0x41; ///< final enable step of a mode set
constexpr UINT8  QDL520_HDMI_CONTROL_RUNNING  = 0x81; ///< left behind by a completed mode set

STATIC_ASSERT (Qdl520HdmiControl::Strobe::Mask == 0x0C, "strobe bits 3 and 2");

//
// Delay counts (units of the busy-wait primitive) that pace the transmitter.
//
constexpr UINT8  QDL520_DELAY_HDMI_ACCESS   = 1;  ///< after each index/data or control step
constexpr UINT8  QDL520_DELAY_HDMI_STROBE   = 8;  ///< strobed control value held
constexpr UINT8  QDL520_DELAY_HDMI_CONTROL  = 10; ///< new control value settles
constexpr UINT8  QDL520_DELAY_MODE_SET_END  = 10; ///< after the final control value of a mode set

//
// ---------------------------------------------------------------------------
// HDMI transmitter registers (8 bits each, reached through 0x800C0)
// ---------------------------------------------------------------------------
//

/**
  Every transmitter register the driver writes or reads, in ascending index
  order. X (Name, Index, Description).
**/
#define QDL520_HDMI_REGISTER_LIST(X)                                                  \
  X (ACR_N_19_16,          0x01, "audio clock regeneration N, bits 19-16")            \
  X (ACR_N_15_8,           0x02, "audio clock regeneration N, bits 15-8")             \
  X (ACR_N_7_0,            0x03, "audio clock regeneration N, bits 7-0")              \
  X (ACR_CTS_19_16,        0x07, "audio clock regeneration CTS, bits 19-16")          \
  X (ACR_CTS_15_8,         0x08, "audio clock regeneration CTS, bits 15-8")           \
  X (ACR_CTS_7_0,          0x09, "audio clock regeneration CTS, bits 7-0")            \
  X (AUDIO_SETUP_0A,       0x0A, "audio setting 0x0A")                                \
  X (AUDIO_SETUP_0B,       0x0B, "audio setting 0x0B")                                \
  X (AUDIO_SETUP_0C,       0x0C, "audio setting 0x0C")                                \
  X (AUDIO_SETUP_10,       0x10, "audio setting 0x10")                                \
  X (AUDIO_SETUP_11,       0x11, "audio setting 0x11")                                \
  X (AUDIO_SETUP_12,       0x12, "audio setting 0x12")                                \
  X (AUDIO_SETUP_13,       0x13, "audio setting 0x13")                                \
  X (AUDIO_SETUP_14,       0x14, "audio setting 0x14")                                \
  X (AV_CONTROL,           0x15, "audio/video control")                               \
  X (VIDEO_SETUP_16,       0x16, "video setting 0x16")                                \
  X (PHY_CONTROL,          0x17, "PHY control")                                       \
  X (SYNC_CONTROL,         0x30, "sync polarity control")                             \
  X (H_TOTAL_LOW,          0x31, "horizontal total, low byte")                        \
  X (H_TOTAL_HIGH,         0x32, "horizontal total, high byte")                       \
  X (H_BLANK_LOW,          0x33, "horizontal blanking, low byte")                     \
  X (H_BLANK_HIGH,         0x34, "horizontal blanking, high byte")                    \
  X (H_SYNC_TO_END_LOW,    0x35, "horizontal total less sync start, low byte")        \
  X (H_SYNC_TO_END_HIGH,   0x36, "horizontal total less sync start, high byte")       \
  X (H_SYNC_WIDTH_LOW,     0x37, "horizontal sync width, low byte")                   \
  X (H_SYNC_WIDTH_HIGH,    0x38, "horizontal sync width, high byte")                  \
  X (V_TOTAL_LOW,          0x39, "vertical total, low byte")                          \
  X (V_TOTAL_HIGH,         0x3A, "vertical total, high byte")                         \
  X (VIDEO_SETUP_3B,       0x3B, "video setting 0x3B")                                \
  X (V_BLANK,              0x3D, "vertical blanking")                                 \
  X (V_SYNC_TO_END,        0x3E, "vertical total less sync start")                    \
  X (V_SYNC_WIDTH,         0x3F, "vertical sync width")                               \
  X (MODE_SETUP_40,        0x40, "mode setting 0x40")                                 \
  X (INIT_SETUP_41,        0x41, "initial setting 0x41")                              \
  X (MODE_SETUP_42,        0x42, "mode setting 0x42")                                 \
  X (OUTPUT_CONTROL,       0x45, "output control")                                    \
  X (VIDEO_SETUP_46,       0x46, "video setting 0x46")                                \
  X (PHY_SETUP_56,         0x56, "PHY setting 0x56")                                  \
  X (PHY_SETUP_57,         0x57, "PHY setting 0x57")                                  \
  X (PHY_SETUP_58,         0x58, "PHY setting 0x58")                                  \
  X (PHY_SETUP_59,         0x59, "PHY setting 0x59")                                  \
  X (PHY_SETUP_5A,         0x5A, "PHY setting 0x5A")                                  \
  X (PHY_SETUP_5B,         0x5B, "PHY setting 0x5B")                                  \
  X (PHY_SETUP_5C,         0x5C, "PHY setting 0x5C")                                  \
  X (PHY_SETUP_5D,         0x5D, "PHY setting 0x5D")                                  \
  X (PHY_SETUP_5E,         0x5E, "PHY setting 0x5E")                                  \
  X (INFOFRAME_SELECT,     0x5F, "InfoFrame buffer select")                           \
  X (INFOFRAME_TYPE,       0x60, "InfoFrame header: type")                            \
  X (INFOFRAME_VERSION,    0x61, "InfoFrame header: version")                         \
  X (INFOFRAME_LENGTH,     0x62, "InfoFrame header: length")                          \
  X (INFOFRAME_CHECKSUM,   0x63, "InfoFrame checksum")                                \
  X (INFOFRAME_PB1,        0x64, "InfoFrame payload byte 1")                          \
  X (INFOFRAME_PB2,        0x65, "InfoFrame payload byte 2")                          \
  X (INFOFRAME_PB3,        0x66, "InfoFrame payload byte 3")                          \
  X (INFOFRAME_PB4,        0x67, "InfoFrame payload byte 4")                          \
  X (INFOFRAME_PB5,        0x68, "InfoFrame payload byte 5")                          \
  X (INFOFRAME_PB6,        0x69, "InfoFrame payload byte 6")                          \
  X (INFOFRAME_PB7,        0x6A, "InfoFrame payload byte 7")                          \
  X (INFOFRAME_PB8,        0x6B, "InfoFrame payload byte 8")                          \
  X (INFOFRAME_PB9,        0x6C, "InfoFrame payload byte 9")                          \
  X (INFOFRAME_PB10,       0x6D, "InfoFrame payload byte 10")                         \
  X (INFOFRAME_PB11,       0x6E, "InfoFrame payload byte 11")                         \
  X (INFOFRAME_PB12,       0x6F, "InfoFrame payload byte 12")                         \
  X (INFOFRAME_PB13,       0x70, "InfoFrame payload byte 13")                         \
  X (PIXEL_CLOCK_LOW,      0x81, "pixel clock in 1.6 MHz units, low byte")            \
  X (PIXEL_CLOCK_HIGH,     0x82, "pixel clock in 1.6 MHz units, high byte")           \
  X (INIT_SETUP_92,        0x92, "initial setting 0x92")                              \
  X (VIDEO_SETUP_AF,       0xAF, "video setting 0xAF")                                \
  X (VIDEO_SETUP_D3,       0xD3, "video setting 0xD3")

//
// QDL520_HDMI_REG_<Name>: index of the transmitter register.
//
#define QDL520_DEFINE_HDMI_REGISTER(Name, Index, Description) \
  constexpr UINT8  QDL520_HDMI_REG_ ## Name = (Index);
QDL520_HDMI_REGISTER_LIST (QDL520_DEFINE_HDMI_REGISTER)
#undef QDL520_DEFINE_HDMI_REGISTER

/**
  Description of the transmitter register Index, as the register list gives
  it, or nullptr when the driver uses no register of that index.
**/
constexpr const char *
Qdl520HdmiRegisterName (
  UINT32  Index
  )
{
  switch (Index) {
 #define QDL520_MATCH_HDMI_REGISTER(Name, Value, Description) \
    case Value: return Description;
    QDL520_HDMI_REGISTER_LIST (QDL520_MATCH_HDMI_REGISTER)
 #undef QDL520_MATCH_HDMI_REGISTER
    default:
      return nullptr;
  }
}

STATIC_ASSERT (Qdl520HdmiRegisterName (0x5F) != nullptr, "buffer select is named");
STATIC_ASSERT (Qdl520HdmiRegisterName (0x3C) == nullptr, "0x3C is not used");

/// Payload byte Number (1 to 13) of the selected InfoFrame buffer.
constexpr UINT8
Qdl520HdmiInfoFramePayload (
  UINT32  Number
  )
{
  return (UINT8)(QDL520_HDMI_REG_INFOFRAME_PB1 + Number - 1);
}

STATIC_ASSERT (Qdl520HdmiInfoFramePayload (13) == QDL520_HDMI_REG_INFOFRAME_PB13, "payload runs to byte 13");

//
// InfoFrame buffers selected through INFOFRAME_SELECT.
//
constexpr UINT8  QDL520_HDMI_INFOFRAME_VENDOR = 0x05;
constexpr UINT8  QDL520_HDMI_INFOFRAME_AVI    = 0x06;
constexpr UINT8  QDL520_HDMI_INFOFRAME_AUDIO  = 0x08;

//
// Fields of transmitter registers that the driver changes by read-modify-write.
//
namespace Qdl520HdmiSyncControl {
using Bit0                   = QDL520_BIT<0>;
using HorizontalSyncPositive = QDL520_BIT<2>;
using VerticalSyncPositive   = QDL520_BIT<3>;
}

namespace Qdl520HdmiAvControl {
using Bit0       = QDL520_BIT<0>;
using Bits1To3   = QDL520_FIELD<3, 1>;
using Bits4To7   = QDL520_FIELD<7, 4>;
}

namespace Qdl520HdmiPhyControl {
using Bits6To7 = QDL520_FIELD<7, 6>;
}

namespace Qdl520HdmiAudioSetup0A {
using Bit3     = QDL520_BIT<3>;
using Bits5To6 = QDL520_FIELD<6, 5>;
}

namespace Qdl520HdmiOutputControl {
using Bits0To1 = QDL520_FIELD<1, 0>;
using Bit0     = QDL520_BIT<0>;
using Bit2     = QDL520_BIT<2>;
}

namespace Qdl520HdmiVideoSetupAf {
using Bit1 = QDL520_BIT<1>;
}

//
// Byte lanes of a value that the transmitter takes one byte per register.
//
namespace Qdl520HdmiBytes {
using Bits7To0   = QDL520_FIELD<7, 0>;
using Bits15To8  = QDL520_FIELD<15, 8>;
using Bits19To16 = QDL520_FIELD<19, 16>;
}

/// One transmitter register write of a fixed sequence.
typedef struct {
  UINT8    Index;  ///< QDL520_HDMI_REG_*
  UINT8    Value;
} QDL520_HDMI_REGISTER_WRITE;

#endif // QDL520_REGISTER_MAP_H_
