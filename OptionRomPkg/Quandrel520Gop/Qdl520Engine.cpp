/** @file
  Display engine bring-up and the on/off sequencing of both display
  channels.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qdl520.h"
#include "Qdl520RegisterMap.h"
#include "Qdl520Pll.h"

extern "C" {
//
// Clock presets: 25.175 MHz and 28.322 MHz PLL words, each replacing the
// whole register.
//
constexpr QDL520_REGISTER_INIT  mQdl520RegisterInitTable[2] = {
  { QDL520_REG_CLOCK_PRESET_0, 0x08E19110, 0xFFFFFFFF },
  { QDL520_REG_CLOCK_PRESET_1, 0x0AE5C330, 0xFFFFFFFF },
};
}

STATIC_ASSERT (
  Qdl520PllSettingsAre (Qdl520UnpackPllWord (mQdl520RegisterInitTable[0].Value), 33, 18568, 3, 0),
  "preset 0 is the 25.175 MHz setting of the 12 MHz reference"
  );
STATIC_ASSERT (
  mQdl520RegisterInitTable[0].Value == Qdl520EvaluatePll (QDL520_PLL_REFERENCE_12000KHZ, 25175000).Word,
  "preset 0 is what the PLL search gives for 25.175 MHz"
  );
STATIC_ASSERT (
  Qdl520PllSettingsAre (Qdl520UnpackPllWord (mQdl520RegisterInitTable[1].Value), 37, 24984, 3, 1),
  "preset 1 is the 28.322 MHz setting of the 12 MHz reference"
  );
STATIC_ASSERT (
  Qdl520PllOutputKhz (12000, 37, 24984, 3) == 28321,
  "preset 1 gives 28.322 MHz, truncated to 28321 kHz"
  );

//
// Transmitter state after bring-up: AVI InfoFrame buffer with header,
// checksum byte and payload 1 to 13; audio InfoFrame buffer with header,
// checksum byte and payload 1 to 5; pixel clock and two fixed settings.
//
static constexpr QDL520_HDMI_REGISTER_WRITE  mQdl520HdmiInitWrites[] = {
  { QDL520_HDMI_REG_INFOFRAME_SELECT,   QDL520_HDMI_INFOFRAME_AVI   },
  { QDL520_HDMI_REG_INIT_SETUP_41,      0x10                        },
  { QDL520_HDMI_REG_INFOFRAME_TYPE,     0x82                        },
  { QDL520_HDMI_REG_INFOFRAME_VERSION,  0x02                        },
  { QDL520_HDMI_REG_INFOFRAME_LENGTH,   0x0D                        },
  { QDL520_HDMI_REG_INFOFRAME_CHECKSUM, 0x16                        },
  { QDL520_HDMI_REG_INFOFRAME_PB1,      0x00                        },
  { QDL520_HDMI_REG_INFOFRAME_PB2,      0x00                        },
  { QDL520_HDMI_REG_INFOFRAME_PB3,      0x12                        },
  { QDL520_HDMI_REG_INFOFRAME_PB4,      0x00                        },
  { QDL520_HDMI_REG_INFOFRAME_PB5,      0x00                        },
  { QDL520_HDMI_REG_INFOFRAME_PB6,      0xE4                        },
  { QDL520_HDMI_REG_INFOFRAME_PB7,      0xB5                        },
  { QDL520_HDMI_REG_INFOFRAME_PB8,      0x4E                        },
  { QDL520_HDMI_REG_INFOFRAME_PB9,      0x59                        },
  { QDL520_HDMI_REG_INFOFRAME_PB10,     0xD2                        },
  { QDL520_HDMI_REG_INFOFRAME_PB11,     0xEB                        },
  { QDL520_HDMI_REG_INFOFRAME_PB12,     0x18                        },
  { QDL520_HDMI_REG_INFOFRAME_PB13,     0x1D                        },
  { QDL520_HDMI_REG_INFOFRAME_SELECT,   QDL520_HDMI_INFOFRAME_AUDIO },
  { QDL520_HDMI_REG_INFOFRAME_TYPE,     0x84                        },
  { QDL520_HDMI_REG_INFOFRAME_VERSION,  0x01                        },
  { QDL520_HDMI_REG_INFOFRAME_LENGTH,   0x0A                        },
  { QDL520_HDMI_REG_INFOFRAME_CHECKSUM, 0x70                        },
  { QDL520_HDMI_REG_INFOFRAME_PB1,      0x01                        },
  { QDL520_HDMI_REG_INFOFRAME_PB2,      0x00                        },
  { QDL520_HDMI_REG_INFOFRAME_PB3,      0x00                        },
  { QDL520_HDMI_REG_INFOFRAME_PB4,      0x00                        },
  { QDL520_HDMI_REG_INFOFRAME_PB5,      0x00                        },
  { QDL520_HDMI_REG_PIXEL_CLOCK_LOW,    0x20                        },
  { QDL520_HDMI_REG_PIXEL_CLOCK_HIGH,   0x00                        },
  { QDL520_HDMI_REG_INIT_SETUP_92,      0x80                        },
};

STATIC_ASSERT (ARRAY_SIZE (mQdl520HdmiInitWrites) == 32, "thirty-two transmitter writes");

/// Sum of header, checksum and payload bytes of the InfoFrame loaded by the
/// bring-up writes First to Last (inclusive), modulo 256.
static constexpr UINT8
Qdl520InfoFrameSum (
  UINTN  First,
  UINTN  Last
  )
{
  UINT32  Sum = 0;

  for (UINTN Index = First; Index <= Last; Index++) {
    Sum += mQdl520HdmiInitWrites[Index].Value;
  }

  return (UINT8)Sum;
}

STATIC_ASSERT (Qdl520InfoFrameSum (20, 28) == 0, "the audio InfoFrame checksum balances");

//
// ---------------------------------------------------------------------------
// Bring-up
// ---------------------------------------------------------------------------
//

/// Read-modify-write of BAR 1 register Offset: the bits of Set are set.
static VOID
Qdl520MmioOr32 (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Offset,
  IN UINT32               Set
  )
{
  Qdl520MmioWrite32 (Private, Offset, Qdl520MmioRead32 (Private, Offset) | Set);
}

/// Read-modify-write of BAR 1 register Offset: only the bits of Keep stay.
static VOID
Qdl520MmioAnd32 (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Offset,
  IN UINT32               Keep
  )
{
  Qdl520MmioWrite32 (Private, Offset, Qdl520MmioRead32 (Private, Offset) & Keep);
}

/// Channel 0's register Channel0Offset keeps only the bits of Keep; its new
/// value is also written, unread, to channel 1's counterpart.
static VOID
Qdl520ChannelsAnd32 (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Channel0Offset,
  IN UINT32               Keep
  )
{
  UINT32  Value;

  Value = Qdl520MmioRead32 (Private, Channel0Offset) & Keep;
  Qdl520MmioWrite32 (Private, Channel0Offset, Value);
  Qdl520MmioWrite32 (Private, Qdl520ChannelRegister (1, Channel0Offset), Value);
}

VOID
Qdl520InitializeHardware (
  IN QDL520_PRIVATE_DATA  *Private
  )
{
  UINT32  Control;

  for (UINTN Index = 0; Index < ARRAY_SIZE (mQdl520RegisterInitTable); Index++) {
    const QDL520_REGISTER_INIT  *Entry = &mQdl520RegisterInitTable[Index];

    Qdl520MmioWrite32 (Private, Entry->Offset, (Qdl520MmioRead32 (Private, Entry->Offset) & ~Entry->Mask) | Entry->Value);
  }

  Qdl520ChannelsAnd32 (
    Private,
    QDL520_REG_CHANNEL_CONTROL_40_0,
    ~(Qdl520ChannelControl40::Bit2::Mask | Qdl520ChannelControl40::Bits14To15::Mask)
    );
  Qdl520ChannelsAnd32 (Private, QDL520_REG_CHANNEL_CONTROL_80_0, ~Qdl520ChannelControl80::Bit2::Mask);
  Qdl520ChannelsAnd32 (Private, QDL520_REG_CHANNEL_CONTROL_30_0, ~Qdl520ChannelControl30::Bits30To31::Mask);

  Qdl520MmioOr32 (Private, QDL520_REG_ENGINE_CONTROL, Qdl520EngineControl::Bit1::Mask);
  Qdl520MmioOr32 (Private, QDL520_REG_ENGINE_CONTROL, Qdl520EngineControl::Bit2::Mask);
  Qdl520MmioOr32 (Private, QDL520_REG_ENGINE_CONTROL, Qdl520EngineControl::Bit13::Mask);

  //
  // A read request for transmitter register 0 on its own: the second write
  // and the read that would complete a register read do not follow.
  //
  Qdl520MmioWrite32 (
    Private,
    QDL520_REG_HDMI_INDEX_DATA,
    Qdl520HdmiIndexData::ReadRequest::Mask | Qdl520HdmiIndexData::Index::Pack (0)
    );
  Qdl520Delay (QDL520_DELAY_HDMI_ACCESS);

  //
  // Keep the control byte, set bit 0, clear the upper 24 bits; the
  // remembered control value is not changed by this write.
  //
  Control = Qdl520MmioRead32 (Private, QDL520_REG_HDMI_CONTROL);
  Qdl520MmioWrite32 (
    Private,
    QDL520_REG_HDMI_CONTROL,
    Qdl520HdmiControl::Bit0::Fill (Qdl520HdmiControl::Value::Get (Control))
    );
  Qdl520HdmiSetControl (Private, QDL520_HDMI_CONTROL_SETUP);
  Qdl520Delay (QDL520_DELAY_HDMI_ACCESS);

  for (UINTN Index = 0; Index < ARRAY_SIZE (mQdl520HdmiInitWrites); Index++) {
    Qdl520HdmiWrite (Private, mQdl520HdmiInitWrites[Index].Index, mQdl520HdmiInitWrites[Index].Value);
  }
}

//
// ---------------------------------------------------------------------------
// Display on/off
// ---------------------------------------------------------------------------
//

/// Raises the power sequence field of Value one bit at a time, bit 24 first:
/// four writes of Value with the lowest 1, 2, 3 and 4 field bits set. Nothing
/// is written when the field is already full.
static VOID
Qdl520PowerSequenceUp (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Register,
  IN UINT32               Value
  )
{
  using PowerSequence = Qdl520DisplayControl::PowerSequence;

  if (PowerSequence::Get (Value) == PowerSequence::Max) {
    return;
  }

  for (UINT32 Step = 1; Step <= PowerSequence::Width; Step++) {
    Qdl520MmioWrite32 (Private, Register, Value | PowerSequence::Pack (PowerSequence::Max >> (PowerSequence::Width - Step)));
  }
}

/// Lowers the power sequence field of Value one bit at a time, bit 27 first:
/// four writes of Value with the highest 1, 2, 3 and 4 field bits cleared.
/// Nothing is written when the field is already clear.
static VOID
Qdl520PowerSequenceDown (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Register,
  IN UINT32               Value
  )
{
  using PowerSequence = Qdl520DisplayControl::PowerSequence;

  if (PowerSequence::Get (Value) == 0) {
    return;
  }

  for (UINT32 Step = 1; Step <= PowerSequence::Width; Step++) {
    Qdl520MmioWrite32 (Private, Register, Value & ~PowerSequence::Pack (PowerSequence::Max & ~(PowerSequence::Max >> Step)));
  }
}

/// Switches the display of one channel on; Register is its display control.
static VOID
Qdl520DisplayOn (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Register
  )
{
  using namespace Qdl520DisplayControl;

  Qdl520MmioWrite32 (Private, Register, Bit8::Fill (Bit28::Clear (Qdl520MmioRead32 (Private, Register))));
  Qdl520MmioOr32 (Private, Register, Bit29::Mask | Bit2::Mask);
  Qdl520PowerSequenceUp (Private, Register, Qdl520MmioRead32 (Private, Register));
  Qdl520MmioAnd32 (Private, Register, ~Bits20To21::Mask);
  Qdl520MmioAnd32 (Private, Register, ~Bits30To31::Mask);
  Qdl520MmioAnd32 (Private, Register, ~Bit11::Mask);
}

/// Switches the display of one channel off; Register is its display control.
static VOID
Qdl520DisplayOff (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Register
  )
{
  using namespace Qdl520DisplayControl;

  Qdl520MmioAnd32 (Private, Register, ~Bit2::Mask);
  Qdl520MmioAnd32 (Private, Register, ~Bit8::Mask);
  Qdl520PowerSequenceDown (Private, Register, Qdl520MmioRead32 (Private, Register));
  Qdl520MmioAnd32 (Private, Register, ~Bits20To21::Mask);
  Qdl520MmioOr32 (Private, Register, Bits30To31::Mask);
  Qdl520MmioAnd32 (Private, Register, ~Bit11::Mask);
}

VOID
Qdl520SetDisplayState (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT32               State
  )
{
  if (State == 1) {
    Qdl520DisplayOn (Private, QDL520_REG_DISPLAY_CONTROL_0);
    Qdl520DisplayOn (Private, QDL520_REG_DISPLAY_CONTROL_1);
  } else if (State == 0) {
    Qdl520DisplayOff (Private, QDL520_REG_DISPLAY_CONTROL_0);
    Qdl520DisplayOff (Private, QDL520_REG_DISPLAY_CONTROL_1);
  }
}
