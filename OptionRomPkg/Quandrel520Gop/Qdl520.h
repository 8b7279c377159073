/** @file
  Private header of the QD520 graphics output driver: the device context,
  the records shared by the driver model, the hardware programming and the
  graphics output protocol, and every internal prototype.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QDL520_H_
#define QDL520_H_

//
// The kit is C: its declarations keep C linkage in this C++ driver.
//
extern "C" {
#include <Uefi.h>
#include <IndustryStandard/Pci.h>
#include <IndustryStandard/Acpi.h>
#include <Protocol/PciIo.h>
#include <Protocol/DevicePath.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/ComponentName.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/DriverSupportedEfiVersion.h>
#include <Protocol/GraphicsOutput.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

//
// Adapter identity in the PCI configuration header.
//
#define QDL520_PCI_VENDOR_ID  0x7A3C
#define QDL520_PCI_DEVICE_ID  0x0520

//
// PCI BARs: the linear frame buffer and the register file.
//
#define QDL520_FRAME_BUFFER_BAR  0
#define QDL520_REGISTER_BAR      1

//
// Number of modes offered through the graphics output protocol.
//
#define QDL520_MAX_MODE  3

//
// Display output device path node: ACPI _ADR of a VGA/VESA monitor on head 0,
// device-ID scheme 1, BIOS can detect it.
//
#define QDL520_DISPLAY_ADR  ACPI_DISPLAY_ADR (1, 0, 0, 1, 0, ACPI_ADR_DISPLAY_TYPE_VGA, 0, 0)

//
// Bytes per pixel of every offered mode (PixelBlueGreenRedReserved8BitPerColor).
//
#define QDL520_BYTES_PER_PIXEL  4

/// One offered mode, as the graphics output protocol reports it.
typedef struct {
  UINT32    ModeNumber;           ///< index into mQdl520VideoModes
  UINT32    HorizontalResolution; ///< pixels per line
  UINT32    VerticalResolution;   ///< lines
  UINT32    ColorDepth;           ///< bits per pixel
  UINT32    RefreshRate;          ///< Hz
} QDL520_MODE_DATA;

/// A mode request handed to the mode-set sequence. Entries of
/// mQdl520VideoModes only; never written.
typedef struct {
  UINT32    Width;       ///< pixels per line
  UINT32    Height;      ///< lines
  UINT32    ColorDepth;  ///< bits per pixel
  UINT32    RefreshRate; ///< Hz
} QDL520_VIDEO_MODE;

/// A complete display timing. A polarity of 0 means positive sync.
/// The table that holds these ends with an entry whose PixelClock is 0.
typedef struct {
  UINT32    HorizontalTotal;
  UINT32    HorizontalDisplay;
  UINT32    HorizontalSyncStart;   ///< visible width plus front porch
  UINT32    HorizontalSyncWidth;
  UINT32    HorizontalSyncPolarity;
  UINT32    VerticalTotal;
  UINT32    VerticalDisplay;
  UINT32    VerticalSyncStart;     ///< visible lines plus front porch
  UINT32    VerticalSyncWidth;
  UINT32    VerticalSyncPolarity;
  UINT32    PixelClock;            ///< Hz; 0 ends the table
  UINT32    HorizontalFrequency;   ///< Hz, kept with the timing, read by nobody
  UINT32    RefreshRate;           ///< Hz
  UINT32    ClockPolarity;         ///< nonzero sets the clock polarity bit
} QDL520_MODE_TIMING;

/// Pixel PLL settings. ReferenceClock is filled by the caller; the search
/// fills the rest and rounds ReferenceClock down to whole kHz.
typedef struct {
  UINT32    ReferenceClock;     ///< Hz
  UINT32    Multiplier;         ///< N, 28..56; 0 when no setting was found
  UINT32    Fraction;           ///< M in units of 1/32768, 0..32767
  UINT32    PostDividerSelect;  ///< p, output divided by 2^(p+1)
  UINT32    VcoRange;           ///< VCO band 0..3, from Multiplier
} QDL520_PLL_SETTINGS;

/// One register setting of the engine initialisation table.
typedef struct {
  UINT64    Offset;  ///< register offset in BAR 1
  UINT32    Value;   ///< bits to set
  UINT32    Mask;    ///< bits the entry replaces
} QDL520_REGISTER_INIT;

/// A CEA-861 video identification code for one frame size.
/// The table that holds these ends with an entry whose Width is 0.
typedef struct {
  UINT16    Width;
  UINT16    Height;
  UINT16    VideoCode;
} QDL520_HDMI_VIC_ENTRY;

/// HDMI PHY settings of one pixel-clock band: Value[0] goes to HDMI
/// register 0x17, Value[1] to 0x56, Value[2..9] to 0x57..0x5E.
typedef struct {
  UINT8    Value[10];
} QDL520_HDMI_PHY_SETTING;

/**
  Pixels per frame-buffer line of a mode Width pixels wide: the width
  rounded up to a multiple of 16 pixels.
**/
constexpr UINT32
Qdl520PixelsPerScanLine (
  UINT32  Width
  )
{
  return (Width + 15) & ~static_cast<UINT32>(15);
}

STATIC_ASSERT (Qdl520PixelsPerScanLine (640) == 640, "offered widths are multiples of 16");
STATIC_ASSERT (Qdl520PixelsPerScanLine (1366) == 1376, "other widths round up");

#define QDL520_PRIVATE_DATA_SIGNATURE  SIGNATURE_32 ('Q', 'D', '5', '2')

/// Per-controller device context. Allocated zeroed by Start, freed by Stop
/// or by a failing Start.
typedef struct {
  UINTN                           Signature;          ///< QDL520_PRIVATE_DATA_SIGNATURE
  EFI_HANDLE                      Handle;             ///< child carrying GopDevicePath; NULL until installed
  EFI_PCI_IO_PROTOCOL             *PciIo;             ///< opened BY_DRIVER for the context's lifetime
  UINT64                          SavedPciAttributes; ///< read at Start, put back at Stop
  EFI_GRAPHICS_OUTPUT_PROTOCOL    GraphicsOutput;     ///< installed on the controller handle
  EFI_DEVICE_PATH_PROTOCOL        *GopDevicePath;     ///< parent path plus the display node; owned here
  UINTN                           MaxMode;            ///< entries in ModeData
  QDL520_MODE_DATA                ModeData[QDL520_MAX_MODE];
  VOID                            *LineBuffer;        ///< one screen of the current mode; owned here
  BOOLEAN                         HardwareNeedsStarting; ///< TRUE until the first full SetMode
} QDL520_PRIVATE_DATA;

#define QDL520_PRIVATE_DATA_FROM_GRAPHICS_OUTPUT_THIS(a) \
  CR (a, QDL520_PRIVATE_DATA, GraphicsOutput, QDL520_PRIVATE_DATA_SIGNATURE)

extern "C" {
//
// Module data.
//
extern EFI_DRIVER_BINDING_PROTOCOL                gQdl520DriverBinding;
extern EFI_COMPONENT_NAME_PROTOCOL                gQdl520ComponentName;
extern EFI_COMPONENT_NAME2_PROTOCOL               gQdl520ComponentName2;
extern EFI_DRIVER_SUPPORTED_EFI_VERSION_PROTOCOL  gQdl520SupportedEfiVersion;

extern const QDL520_VIDEO_MODE        mQdl520VideoModes[5];
extern const QDL520_MODE_TIMING       mQdl520ModeTimings[8];
extern const QDL520_REGISTER_INIT     mQdl520RegisterInitTable[2];
extern const QDL520_HDMI_VIC_ENTRY    mQdl520HdmiVicTable[10];
extern const QDL520_HDMI_PHY_SETTING  mQdl520HdmiPhySettings[6];
extern UINT8                          mQdl520HdmiControl;

//
// Driver entry and binding (Qdl520.cpp).
//
EFI_STATUS
EFIAPI
InitializeQdl520 (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

EFI_STATUS
EFIAPI
Qdl520ControllerDriverSupported (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   Controller,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  );

EFI_STATUS
EFIAPI
Qdl520ControllerDriverStart (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   Controller,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  );

EFI_STATUS
EFIAPI
Qdl520ControllerDriverStop (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   Controller,
  IN UINTN                        NumberOfChildren,
  IN EFI_HANDLE                   *ChildHandleBuffer
  );

//
// Component names (Qdl520ComponentName.cpp).
//
EFI_STATUS
EFIAPI
Qdl520ComponentNameGetDriverName (
  IN  EFI_COMPONENT_NAME_PROTOCOL  *This,
  IN  CHAR8                        *Language,
  OUT CHAR16                       **DriverName
  );

EFI_STATUS
EFIAPI
Qdl520ComponentNameGetControllerName (
  IN  EFI_COMPONENT_NAME_PROTOCOL  *This,
  IN  EFI_HANDLE                   ControllerHandle,
  IN  EFI_HANDLE                   ChildHandle OPTIONAL,
  IN  CHAR8                        *Language,
  OUT CHAR16                       **ControllerName
  );

//
// Register access and delays (Qdl520.cpp). The only code that touches BAR 1.
//
UINT32
Qdl520MmioRead32 (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Offset
  );

VOID
Qdl520MmioWrite32 (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Offset,
  IN UINT32               Value
  );

VOID
Qdl520Delay (
  IN UINT8  Count
  );

//
// Engine initialisation and display on/off (Qdl520Engine.cpp).
//
VOID
Qdl520InitializeHardware (
  IN QDL520_PRIVATE_DATA  *Private
  );

VOID
Qdl520SetDisplayState (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT32               State
  );

//
// Mode timings (Qdl520ModeTiming.cpp).
//
const QDL520_MODE_TIMING *
Qdl520FindModeTiming (
  IN UINT32  HorizontalDisplay,
  IN UINT32  VerticalDisplay,
  IN UINT32  RefreshRate
  );

//
// Display controller (Qdl520DisplayController.cpp).
//
VOID
Qdl520ProgramDisplayController (
  IN QDL520_PRIVATE_DATA        *Private,
  IN const QDL520_MODE_TIMING   *Timing,
  IN UINT32                     BitsPerPixel,
  IN UINT32                     Pitch,
  IN const QDL520_PLL_SETTINGS  *Settings
  );

//
// HDMI transmitter (Qdl520Hdmi.cpp).
//
VOID
Qdl520HdmiWrite (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Index,
  IN UINT8                Value
  );

UINT8
Qdl520HdmiRead (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Index
  );

VOID
Qdl520HdmiUpdate (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Index,
  IN UINT32               Clear,
  IN UINT32               Set
  );

VOID
Qdl520HdmiWriteAndStrobe (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Index,
  IN UINT8                Value
  );

VOID
Qdl520HdmiSetControl (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT8                Value
  );

VOID
Qdl520HdmiSetVideoTiming (
  IN QDL520_PRIVATE_DATA       *Private,
  IN const QDL520_MODE_TIMING  *Timing
  );

VOID
Qdl520HdmiSetAudioClock (
  IN QDL520_PRIVATE_DATA       *Private,
  IN const QDL520_MODE_TIMING  *Timing
  );

INT32
Qdl520HdmiSetPhy (
  IN QDL520_PRIVATE_DATA       *Private,
  IN const QDL520_MODE_TIMING  *Timing
  );

//
// Mode-set sequence (Qdl520ModeSet.cpp).
//
VOID
Qdl520ClearFrameBuffer (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Offset,
  IN UINTN                DwordCount
  );

INT32
Qdl520SetModeHardware (
  IN QDL520_PRIVATE_DATA      *Private,
  IN const QDL520_VIDEO_MODE  *Mode
  );

INT32
Qdl520HdmiSetMode (
  IN QDL520_PRIVATE_DATA      *Private,
  IN const QDL520_VIDEO_MODE  *Mode
  );

//
// Graphics output protocol (Qdl520GraphicsOutput.cpp).
//
EFI_STATUS
Qdl520GraphicsOutputConstructor (
  IN QDL520_PRIVATE_DATA  *Private
  );

EFI_STATUS
EFIAPI
Qdl520GraphicsOutputQueryMode (
  IN  EFI_GRAPHICS_OUTPUT_PROTOCOL          *This,
  IN  UINT32                                ModeNumber,
  OUT UINTN                                 *SizeOfInfo,
  OUT EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  **Info
  );

EFI_STATUS
EFIAPI
Qdl520GraphicsOutputSetMode (
  IN EFI_GRAPHICS_OUTPUT_PROTOCOL  *This,
  IN UINT32                        ModeNumber
  );

EFI_STATUS
EFIAPI
Qdl520GraphicsOutputBlt (
  IN EFI_GRAPHICS_OUTPUT_PROTOCOL       *This,
  IN EFI_GRAPHICS_OUTPUT_BLT_PIXEL      *BltBuffer OPTIONAL,
  IN EFI_GRAPHICS_OUTPUT_BLT_OPERATION  BltOperation,
  IN UINTN                              SourceX,
  IN UINTN                              SourceY,
  IN UINTN                              DestinationX,
  IN UINTN                              DestinationY,
  IN UINTN                              Width,
  IN UINTN                              Height,
  IN UINTN                              Delta OPTIONAL
  );
} // extern "C"

//
// Record layouts that cross into tables and the protocol.
//
STATIC_ASSERT (sizeof (QDL520_MODE_DATA) == 20, "five UINT32 fields");
STATIC_ASSERT (sizeof (QDL520_VIDEO_MODE) == 16, "four UINT32 fields");
STATIC_ASSERT (sizeof (QDL520_MODE_TIMING) == 56, "fourteen UINT32 fields");
STATIC_ASSERT (OFFSET_OF (QDL520_MODE_TIMING, PixelClock) == 40, "PixelClock is field 11");
STATIC_ASSERT (sizeof (QDL520_PLL_SETTINGS) == 20, "five UINT32 fields");
STATIC_ASSERT (sizeof (QDL520_REGISTER_INIT) == 16, "UINT64 offset, value, mask");
STATIC_ASSERT (sizeof (QDL520_HDMI_VIC_ENTRY) == 6, "three UINT16 fields");
STATIC_ASSERT (sizeof (QDL520_HDMI_PHY_SETTING) == 10, "ten bytes");
STATIC_ASSERT (OFFSET_OF (QDL520_PRIVATE_DATA, Signature) == 0, "signature first");
STATIC_ASSERT (QDL520_PRIVATE_DATA_SIGNATURE == 0x32354451, "\"QD52\", first character lowest");
STATIC_ASSERT (QDL520_DISPLAY_ADR == 0x80010100, "display output address");

#endif // QDL520_H_
