/** @file
  Mode-set sequence: the display controller half (display off, PLL, timing,
  frame-buffer clear, display on) and the HDMI half (InfoFrame, video
  timing, audio clock, PHY and the final enable steps).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qdl520.h"
#include "Qdl520RegisterMap.h"
#include "Qdl520Pll.h"

//
// The frame-buffer clear: 0x800000 zero dwords from the start of BAR 0
// (32 MiB), whatever the BAR's size, in one PCI I/O fill request.
//
constexpr UINT64  QDL520_FRAME_BUFFER_CLEAR_OFFSET = 0;
constexpr UINTN   QDL520_FRAME_BUFFER_CLEAR_COUNT  = 0x800000;

//
// The one frame size that is sent with the HDMI vendor-specific InfoFrame
// (HDMI_VIC) instead of the AVI InfoFrame.
//
constexpr UINT32  QDL520_HDMI_VSIF_WIDTH  = 3840;
constexpr UINT32  QDL520_HDMI_VSIF_HEIGHT = 2160;

//
// Vendor-specific InfoFrame: type 0x81 version 1 length 7, IEEE OUI
// 0x000C03 least significant byte first, HDMI_Video_Format 1 (extended
// resolution) and HDMI_VIC 1. No checksum byte is written.
//
static constexpr QDL520_HDMI_REGISTER_WRITE  mQdl520HdmiVendorInfoFrame[] = {
  { QDL520_HDMI_REG_INFOFRAME_SELECT,  QDL520_HDMI_INFOFRAME_VENDOR },
  { QDL520_HDMI_REG_INFOFRAME_TYPE,    0x81                         },
  { QDL520_HDMI_REG_INFOFRAME_VERSION, 0x01                         },
  { QDL520_HDMI_REG_INFOFRAME_LENGTH,  0x07                         },
  { QDL520_HDMI_REG_INFOFRAME_PB1,     0x03                         },
  { QDL520_HDMI_REG_INFOFRAME_PB2,     0x0C                         },
  { QDL520_HDMI_REG_INFOFRAME_PB3,     0x00                         },
  { QDL520_HDMI_REG_INFOFRAME_PB4,     0x20                         },
  { QDL520_HDMI_REG_INFOFRAME_PB5,     0x01                         },
  { QDL520_HDMI_REG_INFOFRAME_PB6,     0x00                         },
  { QDL520_HDMI_REG_INFOFRAME_PB7,     0x00                         },
};

//
// AVI InfoFrame, after the buffer select and the video code (payload byte 4):
// type 0x82 version 2 length 13 and payload bytes 1 to 3 and 5 to 7. The
// checksum byte and payload bytes 8 to 13 keep what the bring-up loaded.
//
static constexpr QDL520_HDMI_REGISTER_WRITE  mQdl520HdmiAviInfoFrame[] = {
  { QDL520_HDMI_REG_INFOFRAME_TYPE,    0x82 },
  { QDL520_HDMI_REG_INFOFRAME_VERSION, 0x02 },
  { QDL520_HDMI_REG_INFOFRAME_LENGTH,  0x0D },
  { QDL520_HDMI_REG_INFOFRAME_PB1,     0x00 },
  { QDL520_HDMI_REG_INFOFRAME_PB2,     0x00 },
  { QDL520_HDMI_REG_INFOFRAME_PB3,     0x12 },
  { QDL520_HDMI_REG_INFOFRAME_PB5,     0x00 },
  { QDL520_HDMI_REG_INFOFRAME_PB6,     0xE4 },
  { QDL520_HDMI_REG_INFOFRAME_PB7,     0xB5 },
};

//
// HDMI control values of the final enable steps: the enable value with both
// strobe bits, then with bit 2 dropped, then alone.
//
static constexpr UINT8  mQdl520HdmiEnableSteps[] = {
  (UINT8)Qdl520HdmiControl::Strobe::Fill (QDL520_HDMI_CONTROL_ENABLE),
  (UINT8)Qdl520HdmiControl::StrobeHigh::Fill (QDL520_HDMI_CONTROL_ENABLE),
  QDL520_HDMI_CONTROL_ENABLE,
};

STATIC_ASSERT (mQdl520HdmiEnableSteps[0] == 0x4D && mQdl520HdmiEnableSteps[1] == 0x49, "0x4D, 0x49, 0x41");

/// Makes the transmitter writes of Table, in order.
static VOID
Qdl520HdmiWriteTable (
  IN QDL520_PRIVATE_DATA               *Private,
  IN const QDL520_HDMI_REGISTER_WRITE  *Table,
  IN UINTN                             Count
  )
{
  for (UINTN Index = 0; Index < Count; Index++) {
    Qdl520HdmiWrite (Private, Table[Index].Index, Table[Index].Value);
  }
}

/// CEA-861 video code of the first entry of mQdl520HdmiVicTable with this
/// width and height, or 0 when the end entry (Width 0) comes first.
static UINT16
Qdl520HdmiFindVideoCode (
  IN UINT32  Width,
  IN UINT32  Height
  )
{
  for (UINT8 Index = 0; mQdl520HdmiVicTable[Index].Width != 0; Index++) {
    if ((mQdl520HdmiVicTable[Index].Width == Width) && (mQdl520HdmiVicTable[Index].Height == Height)) {
      return mQdl520HdmiVicTable[Index].VideoCode;
    }
  }

  return 0;
}

/// Loads the InfoFrame of the requested frame size.
static VOID
Qdl520HdmiLoadInfoFrame (
  IN QDL520_PRIVATE_DATA      *Private,
  IN const QDL520_VIDEO_MODE  *Mode
  )
{
  if ((Mode->Width == QDL520_HDMI_VSIF_WIDTH) && (Mode->Height == QDL520_HDMI_VSIF_HEIGHT)) {
    Qdl520HdmiWriteTable (Private, mQdl520HdmiVendorInfoFrame, ARRAY_SIZE (mQdl520HdmiVendorInfoFrame));
    return;
  }

  Qdl520HdmiWrite (Private, QDL520_HDMI_REG_INFOFRAME_SELECT, QDL520_HDMI_INFOFRAME_AVI);
  Qdl520HdmiWrite (Private, QDL520_HDMI_REG_INFOFRAME_PB4, (UINT8)Qdl520HdmiFindVideoCode (Mode->Width, Mode->Height));
  Qdl520HdmiWriteTable (Private, mQdl520HdmiAviInfoFrame, ARRAY_SIZE (mQdl520HdmiAviInfoFrame));
}

/// Bytes per frame-buffer line: the width rounded up to 16 pixels, times
/// whole bytes per pixel. 32-bit arithmetic.
static constexpr UINT32
Qdl520LinePitchBytes (
  UINT32  Width,
  UINT32  ColorDepth
  )
{
  return Qdl520PixelsPerScanLine (Width) * (ColorDepth / 8);
}

STATIC_ASSERT (Qdl520LinePitchBytes (640, 32) == 2560, "640 pixels");
STATIC_ASSERT (Qdl520LinePitchBytes (1366, 32) == 5504, "1366 pixels round up to 1376");
STATIC_ASSERT (Qdl520LinePitchBytes (1920, 32) == 7680, "1920 pixels");

/**
  Fills DwordCount dwords of BAR 0 from Offset with zeros (black) in one
  PCI I/O fill request. A refused fill leaves the frame buffer as it was;
  the callers go on regardless.

  @param[in] Private     Device context.
  @param[in] Offset      Byte offset in BAR 0.
  @param[in] DwordCount  Number of 32-bit units to clear.
**/
VOID
Qdl520ClearFrameBuffer (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Offset,
  IN UINTN                DwordCount
  )
{
  UINT32  Zero;

  Zero = 0;
  (VOID)Private->PciIo->Mem.Write (
                              Private->PciIo,
                              EfiPciIoWidthFillUint32,
                              QDL520_FRAME_BUFFER_BAR,
                              Offset,
                              DwordCount,
                              &Zero
                              );
}

INT32
Qdl520SetModeHardware (
  IN QDL520_PRIVATE_DATA      *Private,
  IN const QDL520_VIDEO_MODE  *Mode
  )
{
  const QDL520_MODE_TIMING  *Timing;
  QDL520_PLL_SETTINGS       Settings = { 0, 0, 0, 0, 0 };

  Qdl520SetDisplayState (Private, 0);

  Qdl520HdmiUpdate (Private, QDL520_HDMI_REG_OUTPUT_CONTROL, 0, Qdl520HdmiOutputControl::Bits0To1::Mask);
  Qdl520HdmiUpdate (Private, QDL520_HDMI_REG_OUTPUT_CONTROL, 0, Qdl520HdmiOutputControl::Bit2::Mask);
  Qdl520Delay (QDL520_DELAY_HDMI_ACCESS);
  Qdl520HdmiSetControl (Private, QDL520_HDMI_CONTROL_ENABLE);
  Qdl520HdmiSetControl (Private, QDL520_HDMI_CONTROL_SETUP);

  //
  // Without a timing the controller keeps its previous programming; the
  // frame buffer is still cleared and the display switched on.
  //
  Timing = Qdl520FindModeTiming (Mode->Width, Mode->Height, Mode->RefreshRate);
  if (Timing != NULL) {
    if (Qdl520PllReference::Is12288kHz::Get (Qdl520MmioRead32 (Private, QDL520_REG_PLL_REFERENCE)) != 0) {
      Settings.ReferenceClock = QDL520_PLL_REFERENCE_12288KHZ;
    } else {
      Settings.ReferenceClock = QDL520_PLL_REFERENCE_12000KHZ;
    }

    Qdl520CalculatePll (Timing->PixelClock, &Settings);
    Qdl520ProgramDisplayController (
      Private,
      Timing,
      Mode->ColorDepth,
      Qdl520LinePitchBytes (Mode->Width, Mode->ColorDepth),
      &Settings
      );
  }

  //
  // A failing clear (BAR 0 under 32 MiB) leaves the frame buffer as it was;
  // the mode set goes on regardless.
  //
  Qdl520ClearFrameBuffer (Private, QDL520_FRAME_BUFFER_CLEAR_OFFSET, QDL520_FRAME_BUFFER_CLEAR_COUNT);

  Qdl520SetDisplayState (Private, 1);
  return Qdl520HdmiSetMode (Private, Mode);
}

INT32
Qdl520HdmiSetMode (
  IN QDL520_PRIVATE_DATA      *Private,
  IN const QDL520_VIDEO_MODE  *Mode
  )
{
  const QDL520_MODE_TIMING  *Timing;
  UINT32                    Control;

  if (mQdl520HdmiControl != QDL520_HDMI_CONTROL_SETUP) {
    Qdl520HdmiSetControl (Private, QDL520_HDMI_CONTROL_SETUP);
  }

  Timing = Qdl520FindModeTiming (Mode->Width, Mode->Height, Mode->RefreshRate);
  if (Timing == NULL) {
    return -1;
  }

  Qdl520HdmiLoadInfoFrame (Private, Mode);
  Qdl520HdmiSetVideoTiming (Private, Timing);
  Qdl520HdmiSetAudioClock (Private, Timing);
  Qdl520HdmiWrite (Private, QDL520_HDMI_REG_MODE_SETUP_42, 0x01);
  Qdl520HdmiWrite (Private, QDL520_HDMI_REG_MODE_SETUP_40, 0x00);

  if (Qdl520HdmiSetPhy (Private, Timing) != 0) {
    return -1;
  }

  Qdl520HdmiUpdate (Private, QDL520_HDMI_REG_OUTPUT_CONTROL, 0, Qdl520HdmiOutputControl::Bits0To1::Mask);

  //
  // Final enable: the control register is stepped directly, strobe bit 2
  // dropping before bit 3, one delay unit each.
  //
  mQdl520HdmiControl = QDL520_HDMI_CONTROL_ENABLE;
  for (UINTN Step = 0; Step < ARRAY_SIZE (mQdl520HdmiEnableSteps); Step++) {
    Qdl520MmioWrite32 (Private, QDL520_REG_HDMI_CONTROL, mQdl520HdmiEnableSteps[Step]);
    Qdl520Delay (QDL520_DELAY_HDMI_ACCESS);
  }

  Qdl520HdmiUpdate (Private, QDL520_HDMI_REG_OUTPUT_CONTROL, Qdl520HdmiOutputControl::Bit0::Mask, 0);

  //
  // Both writes derive from the one read: bit 18 drops for the span between
  // them and comes back with the second, which clears bit 11.
  //
  Control = Qdl520MmioRead32 (Private, QDL520_REG_DISPLAY_CONTROL_0);
  Qdl520MmioWrite32 (Private, QDL520_REG_DISPLAY_CONTROL_0, Qdl520DisplayControl::Bit18::Clear (Control));
  Qdl520MmioWrite32 (Private, QDL520_REG_DISPLAY_CONTROL_0, Qdl520DisplayControl::Bit11::Clear (Control));

  Qdl520MmioWrite32 (Private, QDL520_REG_HDMI_CONTROL, QDL520_HDMI_CONTROL_RUNNING);
  Qdl520Delay (QDL520_DELAY_MODE_SET_END);
  return 0;
}
