/** @file
  Virtual QD520 for firmware that has no such adapter: a boot-service driver
  that puts the freestanding adapter model of the host tests behind a
  controller handle, so that the firmware's own connect logic can start the
  QD520 graphics output driver on it.

  The controller handle carries:
  - a device path VenHw(virtual bus GUID)/Pci(0x0,0x0);
  - an EFI_PCI_IO_PROTOCOL for vendor 0x7A3C, device 0x0520, class 0x030000,
    whose BAR 0 is 32 MiB of guest memory (the frame buffer the driver draws
    into and a test reads back) and whose BAR 1 is the 1 MiB register file
    of the model.

  What the firmware and the driver do to the adapter is reported on the
  debug serial port, one line per event, each starting with
  "QD520 virtual device:":
  - the BAR addresses once the adapter exists;
  - every graphics output protocol installed on the controller: its mode
    record as published, and whether the mode set cleared the whole frame
    buffer to black (it is filled with a non-black pattern beforehand);
  - every PCI I/O member the model does not implement (the caller gets
    EFI_UNSUPPORTED). GetLocation is answered here, not by the model.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qd520PciIo.h"

extern "C" {
#include <Protocol/DevicePath.h>
#include <Protocol/GraphicsOutput.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

namespace {

//
// Memory behind the two BARs.
//
constexpr UINTN   QD520_VIRTUAL_FRAME_BUFFER_PAGES = EFI_SIZE_TO_PAGES (Qd520Sim::DefaultFrameBufferSize);
constexpr UINTN   QD520_VIRTUAL_REGISTER_PAGES     = EFI_SIZE_TO_PAGES (Qd520Sim::DefaultRegisterFileSize);

STATIC_ASSERT (EFI_PAGES_TO_SIZE (QD520_VIRTUAL_FRAME_BUFFER_PAGES) == Qd520Sim::DefaultFrameBufferSize, "whole pages");
STATIC_ASSERT (EFI_PAGES_TO_SIZE (QD520_VIRTUAL_REGISTER_PAGES) == Qd520Sim::DefaultRegisterFileSize, "whole pages");

//
// The configuration header keeps 32-bit BARs: both windows lie below 4 GiB.
//
constexpr EFI_PHYSICAL_ADDRESS  QD520_VIRTUAL_MAX_ADDRESS = MAX_UINT32;

//
// What the frame buffer holds before the driver's first mode set: a pixel
// no mode set leaves behind.
//
constexpr UINT32  QD520_VIRTUAL_POWER_ON_PIXEL = 0xA5C3E1F0;

//
// The device path of the virtual controller: a vendor-defined hardware node
// naming the virtual bus, then the adapter as function 0 of device 0.
//
#define QD520_VIRTUAL_BUS_GUID \
  { 0x5A1E5E1D, 0x520C, 0x4D52, { 0x9F, 0x61, 0x51, 0x44, 0x35, 0x32, 0x56, 0x42 } }

//
// The PCI segment GetLocation reports: the virtual bus is no root bridge's.
//
constexpr UINTN  QD520_VIRTUAL_SEGMENT = 0x520;

#pragma pack(1)
struct QD520_VIRTUAL_DEVICE_PATH {
  VENDOR_DEVICE_PATH          Bus;
  PCI_DEVICE_PATH             Adapter;
  EFI_DEVICE_PATH_PROTOCOL    End;
};
#pragma pack()

STATIC_ASSERT (sizeof (QD520_VIRTUAL_DEVICE_PATH) == 20 + 6 + 4, "packed device path nodes");

constexpr UINT8
LengthLow (
  UINTN  Length
  )
{
  return static_cast<UINT8>(Length & 0xFF);
}

constexpr UINT8
LengthHigh (
  UINTN  Length
  )
{
  return static_cast<UINT8>(Length >> 8);
}

QD520_VIRTUAL_DEVICE_PATH  mQd520VirtualDevicePath = {
  {
    { HARDWARE_DEVICE_PATH, HW_VENDOR_DP, { LengthLow (sizeof (VENDOR_DEVICE_PATH)), LengthHigh (sizeof (VENDOR_DEVICE_PATH)) } },
    QD520_VIRTUAL_BUS_GUID
  },
  {
    { HARDWARE_DEVICE_PATH, HW_PCI_DP, { LengthLow (sizeof (PCI_DEVICE_PATH)), LengthHigh (sizeof (PCI_DEVICE_PATH)) } },
    0,   // Function
    0    // Device
  },
  { END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, { LengthLow (sizeof (EFI_DEVICE_PATH_PROTOCOL)), LengthHigh (sizeof (EFI_DEVICE_PATH_PROTOCOL)) } }
};

//
// The one virtual adapter. Zero-initialised; set up by the entry point.
//
Qd520Sim::Adapter      mQd520VirtualAdapter;
Qd520Sim::PciIoDevice  mQd520VirtualPciIo;
EFI_HANDLE             mQd520VirtualController;
VOID                   *mQd520VirtualGopRegistration;

/**
  Reports a PCI I/O member the model does not implement. The caller gets
  EFI_UNSUPPORTED.
**/
VOID
Qd520VirtualUnexpectedCall (
  IN VOID                      *Context,
  IN Qd520Sim::PciIoOperation  Operation
  )
{
  DEBUG ((DEBUG_ERROR, "QD520 virtual device: unsupported PCI I/O call %a\n", Qd520Sim::OperationName (Operation)));
}

/**
  PCI I/O GetLocation of the virtual controller: function 0 of device 0 on
  bus 0 of a segment that no root bridge of the platform has. Where the
  adapter sits is the platform's business, not the model's; firmware tools
  such as the shell's "dh -v" ask for it.

  @retval EFI_INVALID_PARAMETER  An output pointer is NULL.
**/
EFI_STATUS
EFIAPI
Qd520VirtualGetLocation (
  IN  EFI_PCI_IO_PROTOCOL  *This,
  OUT UINTN                *Segment,
  OUT UINTN                *Bus,
  OUT UINTN                *Device,
  OUT UINTN                *Function
  )
{
  if ((Segment == NULL) || (Bus == NULL) || (Device == NULL) || (Function == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  *Segment  = QD520_VIRTUAL_SEGMENT;
  *Bus      = 0;
  *Device   = mQd520VirtualDevicePath.Adapter.Device;
  *Function = mQd520VirtualDevicePath.Adapter.Function;
  return EFI_SUCCESS;
}

/**
  Counts the frame-buffer bytes in 8-byte words that are not all black
  (zero).
**/
UINT64
Qd520VirtualNonBlackBytes (
  VOID
  )
{
  CONST UINT64  *Word;
  UINT64        Count;
  UINT64        Words;

  Word  = reinterpret_cast<CONST UINT64 *>(mQd520VirtualAdapter.FrameBuffer ());
  Words = mQd520VirtualAdapter.FrameBufferSize () / sizeof (UINT64);
  Count = 0;
  for (UINT64 Index = 0; Index < Words; Index++) {
    if (Word[Index] != 0) {
      Count += sizeof (UINT64);
    }
  }

  return Count;
}

/**
  Reports a graphics output protocol installed on the virtual controller as
  it is at the moment of installation, before any consumer has used it.
**/
VOID
Qd520VirtualReportGraphicsOutput (
  IN EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput
  )
{
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE     *Mode;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info;

  Mode = GraphicsOutput->Mode;
  if ((Mode == NULL) || (Mode->Info == NULL)) {
    DEBUG ((DEBUG_ERROR, "QD520 virtual device: graphics output installed without a mode record\n"));
    return;
  }

  Info = Mode->Info;
  DEBUG ((
    DEBUG_INFO,
    "QD520 virtual device: graphics output installed: mode %u of %u, %ux%u, format %u, %u pixels per scan line, info size %u\n",
    Mode->Mode,
    Mode->MaxMode,
    Info->HorizontalResolution,
    Info->VerticalResolution,
    (UINT32)Info->PixelFormat,
    Info->PixelsPerScanLine,
    (UINT32)Mode->SizeOfInfo
    ));
  DEBUG ((
    DEBUG_INFO,
    "QD520 virtual device: graphics output frame buffer 0x%lx size 0x%lx, BAR 0 at 0x%lx; %lu of %lu frame buffer bytes not black\n",
    Mode->FrameBufferBase,
    (UINT64)Mode->FrameBufferSize,
    mQd520VirtualAdapter.BarBase (Qd520Sim::FrameBufferBar),
    Qd520VirtualNonBlackBytes (),
    mQd520VirtualAdapter.FrameBufferSize ()
    ));
}

/**
  Protocol notification for EFI_GRAPHICS_OUTPUT_PROTOCOL: reports each
  installation on the virtual controller. Runs at TPL_CALLBACK, right after
  the installing call has released the protocol database.
**/
VOID
EFIAPI
Qd520VirtualGraphicsOutputInstalled (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  EFI_STATUS                    Status;
  EFI_HANDLE                    Handle;
  UINTN                         Size;
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput;

  for ( ; ;) {
    Size   = sizeof (Handle);
    Status = gBS->LocateHandle (ByRegisterNotify, NULL, mQd520VirtualGopRegistration, &Size, &Handle);
    if (EFI_ERROR (Status)) {
      return;
    }

    if (Handle != mQd520VirtualController) {
      continue;
    }

    Status = gBS->HandleProtocol (Handle, &gEfiGraphicsOutputProtocolGuid, reinterpret_cast<VOID **>(&GraphicsOutput));
    if (!EFI_ERROR (Status)) {
      Qd520VirtualReportGraphicsOutput (GraphicsOutput);
    }
  }
}

/**
  Allocates zeroed pages below 4 GiB.

  @return The address, or 0 when the pages cannot be had.
**/
EFI_PHYSICAL_ADDRESS
Qd520VirtualAllocateWindow (
  IN UINTN  Pages
  )
{
  EFI_STATUS            Status;
  EFI_PHYSICAL_ADDRESS  Address;

  Address = QD520_VIRTUAL_MAX_ADDRESS;
  Status  = gBS->AllocatePages (AllocateMaxAddress, EfiBootServicesData, Pages, &Address);
  if (EFI_ERROR (Status)) {
    return 0;
  }

  ZeroMem (reinterpret_cast<VOID *>(static_cast<UINTN>(Address)), EFI_PAGES_TO_SIZE (Pages));
  return Address;
}

} // namespace

/**
  Driver entry: builds the adapter model over fresh guest memory and
  publishes it as a PCI controller. Touches nothing else; the QD520 driver
  is loaded and connected to it afterwards.

  @retval EFI_SUCCESS           The virtual controller exists.
  @retval EFI_OUT_OF_RESOURCES  The BAR memory could not be allocated.
  @return The status of the failing boot service otherwise; nothing stays
          installed then.
**/
EFI_STATUS
EFIAPI
Qd520VirtualDeviceEntry (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS               Status;
  EFI_PHYSICAL_ADDRESS     FrameBuffer;
  EFI_PHYSICAL_ADDRESS     Registers;
  Qd520Sim::AdapterMemory  Memory;
  EFI_EVENT                Event;

  FrameBuffer = Qd520VirtualAllocateWindow (QD520_VIRTUAL_FRAME_BUFFER_PAGES);
  Registers   = Qd520VirtualAllocateWindow (QD520_VIRTUAL_REGISTER_PAGES);
  if ((FrameBuffer == 0) || (Registers == 0)) {
    DEBUG ((DEBUG_ERROR, "QD520 virtual device: no memory below 4 GiB for the BARs\n"));
    if (FrameBuffer != 0) {
      gBS->FreePages (FrameBuffer, QD520_VIRTUAL_FRAME_BUFFER_PAGES);
    }

    if (Registers != 0) {
      gBS->FreePages (Registers, QD520_VIRTUAL_REGISTER_PAGES);
    }

    return EFI_OUT_OF_RESOURCES;
  }

  SetMem32 (
    reinterpret_cast<VOID *>(static_cast<UINTN>(FrameBuffer)),
    static_cast<UINTN>(Qd520Sim::DefaultFrameBufferSize),
    QD520_VIRTUAL_POWER_ON_PIXEL
    );

  Memory.FrameBuffer      = reinterpret_cast<UINT8 *>(static_cast<UINTN>(FrameBuffer));
  Memory.FrameBufferSize  = Qd520Sim::DefaultFrameBufferSize;
  Memory.Registers        = reinterpret_cast<UINT32 *>(static_cast<UINTN>(Registers));
  Memory.RegisterFileSize = Qd520Sim::DefaultRegisterFileSize;
  Memory.ZeroPages        = NULL;
  Memory.ZeroPagesContext = NULL;
  Memory.PageSize         = 0;
  if (!mQd520VirtualAdapter.Initialize (Qd520Sim::DefaultAdapterConfig (), Memory)) {
    DEBUG ((DEBUG_ERROR, "QD520 virtual device: the adapter model refused its memory\n"));
    gBS->FreePages (FrameBuffer, QD520_VIRTUAL_FRAME_BUFFER_PAGES);
    gBS->FreePages (Registers, QD520_VIRTUAL_REGISTER_PAGES);
    return EFI_OUT_OF_RESOURCES;
  }

  //
  // No trace memory: nobody reads a trace here, and the frame-buffer rows
  // then take the model's copy-only path.
  //
  mQd520VirtualPciIo.Initialize (&mQd520VirtualAdapter, gBS, NULL, 0);
  mQd520VirtualPciIo.SetTracing (FALSE);
  mQd520VirtualPciIo.SetUnexpectedCallHook (Qd520VirtualUnexpectedCall, NULL);

  //
  // A PCI adapter in this firmware is reached through the root bridge and
  // the CPU I/O driver, which refuse buffers not aligned to min (8, unit).
  //
  mQd520VirtualPciIo.SetCheckBufferAlignment (TRUE);
  mQd520VirtualPciIo.Protocol ()->GetLocation = Qd520VirtualGetLocation;

  Status = gBS->CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Qd520VirtualGraphicsOutputInstalled, NULL, &Event);
  if (!EFI_ERROR (Status)) {
    Status = gBS->RegisterProtocolNotify (&gEfiGraphicsOutputProtocolGuid, Event, &mQd520VirtualGopRegistration);
    if (EFI_ERROR (Status)) {
      gBS->CloseEvent (Event);
    }
  }

  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "QD520 virtual device: no graphics output notification: %r\n", Status));
    gBS->FreePages (FrameBuffer, QD520_VIRTUAL_FRAME_BUFFER_PAGES);
    gBS->FreePages (Registers, QD520_VIRTUAL_REGISTER_PAGES);
    return Status;
  }

  mQd520VirtualController = NULL;
  Status                  = gBS->InstallMultipleProtocolInterfaces (
                                   &mQd520VirtualController,
                                   &gEfiDevicePathProtocolGuid,
                                   &mQd520VirtualDevicePath,
                                   &gEfiPciIoProtocolGuid,
                                   mQd520VirtualPciIo.Protocol (),
                                   NULL
                                   );
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "QD520 virtual device: controller not installed: %r\n", Status));
    gBS->CloseEvent (Event);
    gBS->FreePages (FrameBuffer, QD520_VIRTUAL_FRAME_BUFFER_PAGES);
    gBS->FreePages (Registers, QD520_VIRTUAL_REGISTER_PAGES);
    return Status;
  }

  DEBUG ((
    DEBUG_INFO,
    "QD520 virtual device: adapter %04x:%04x ready, BAR 0 at 0x%lx (0x%lx bytes), BAR 1 at 0x%lx (0x%lx bytes)\n",
    (UINT32)Qd520Sim::DefaultVendorId,
    (UINT32)Qd520Sim::DefaultDeviceId,
    mQd520VirtualAdapter.BarBase (Qd520Sim::FrameBufferBar),
    mQd520VirtualAdapter.BarLength (Qd520Sim::FrameBufferBar),
    mQd520VirtualAdapter.BarBase (Qd520Sim::RegisterBar),
    mQd520VirtualAdapter.BarLength (Qd520Sim::RegisterBar)
    ));
  return EFI_SUCCESS;
}
