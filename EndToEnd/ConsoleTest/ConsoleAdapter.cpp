/** @file
  Console test application: finding the display controller a command works
  on and its graphics output, and reading its screen.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ConsoleTest.h"

namespace Qd520ConsoleTest {

/**
  TRUE when Handle, or the PCI controller its device path lies below (a
  driver may put its graphics output on a child), carries PCI I/O whose
  identifiers are Wanted.
**/
BOOLEAN
IsAdapter (
  IN EFI_HANDLE    Handle,
  IN PCI_IDENTITY  Wanted
  )
{
  EFI_PCI_IO_PROTOCOL       *PciIo;
  EFI_DEVICE_PATH_PROTOCOL  *Path;
  EFI_HANDLE                PciHandle;
  UINT16                    Identity[2];

  PciHandle = Handle;
  if (EFI_ERROR (gBS->HandleProtocol (Handle, &gEfiPciIoProtocolGuid, reinterpret_cast<VOID **>(&PciIo)))) {
    if (EFI_ERROR (gBS->HandleProtocol (Handle, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path))) ||
        EFI_ERROR (gBS->LocateDevicePath (&gEfiPciIoProtocolGuid, &Path, &PciHandle)))
    {
      return FALSE;
    }
  }

  return (BOOLEAN)(!EFI_ERROR (gBS->HandleProtocol (PciHandle, &gEfiPciIoProtocolGuid, reinterpret_cast<VOID **>(&PciIo))) &&
                   !EFI_ERROR (PciIo->Pci.Read (PciIo, EfiPciIoWidthUint16, PCI_VENDOR_ID_OFFSET, 2, Identity)) &&
                   (Identity[0] == Wanted.VendorId) && (Identity[1] == Wanted.DeviceId));
}

/**
  Reads "VVVV:DDDD" (hexadecimal) into Identity.

  @retval FALSE  Text is not of that form.
**/
BOOLEAN
ParseIdentity (
  IN  CONST CHAR16  *Text,
  OUT PCI_IDENTITY  *Identity
  )
{
  constexpr UINTN  DIGITS = 4;
  CHAR16           Vendor[DIGITS + 1];

  if ((StrLen (Text) != 2 * DIGITS + 1) || (Text[DIGITS] != L':')) {
    return FALSE;
  }

  StrnCpyS (Vendor, DIGITS + 1, Text, DIGITS);
  Identity->VendorId = static_cast<UINT16>(StrHexToUintn (Vendor));
  Identity->DeviceId = static_cast<UINT16>(StrHexToUintn (&Text[DIGITS + 1]));
  return TRUE;
}

/**
  Finds the first handle with Protocol that is the controller Wanted
  identifies (the QD520 unless a command names another).
**/
EFI_STATUS
FindAdapterWith (
  IN  EFI_GUID    *Protocol,
  OUT EFI_HANDLE  *Controller,
  IN  PCI_IDENTITY  Wanted
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  *Handles;
  UINTN       Count;

  Status = gBS->LocateHandleBuffer (ByProtocol, Protocol, NULL, &Count, &Handles);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = EFI_NOT_FOUND;
  for (UINTN Index = 0; Index < Count; Index++) {
    if (IsAdapter (Handles[Index], Wanted)) {
      *Controller = Handles[Index];
      Status      = EFI_SUCCESS;
      break;
    }
  }

  FreePool (Handles);
  return Status;
}

/**
  Finds the graphics output protocol of the QD520: the handle with both a
  graphics output and PCI I/O whose identifiers are the adapter's.
**/
EFI_STATUS
FindAdapterGraphicsOutput (
  OUT EFI_HANDLE                    *Controller,
  OUT EFI_GRAPHICS_OUTPUT_PROTOCOL  **GraphicsOutput,
  IN  PCI_IDENTITY                  Wanted
  )
{
  EFI_STATUS  Status;

  Status = FindAdapterWith (&gEfiGraphicsOutputProtocolGuid, Controller, Wanted);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return gBS->HandleProtocol (*Controller, &gEfiGraphicsOutputProtocolGuid, reinterpret_cast<VOID **>(GraphicsOutput));
}

/**
  Reports the graphics mode as the protocol publishes it.
**/
VOID
ReportGraphicsMode (
  IN EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput
  )
{
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE  *Mode;

  Mode = GraphicsOutput->Mode;
  ReportLine ("gop_mode=%u\ngop_max_mode=%u\n", Mode->Mode, Mode->MaxMode);
  ReportLine (
    "width=%u\nheight=%u\npixel_format=%u\npixels_per_scan_line=%u\n",
    Mode->Info->HorizontalResolution,
    Mode->Info->VerticalResolution,
    (UINT32)Mode->Info->PixelFormat,
    Mode->Info->PixelsPerScanLine
    );
  ReportLine ("frame_buffer_base=0x%lx\nframe_buffer_size=%lu\n", Mode->FrameBufferBase, (UINT64)Mode->FrameBufferSize);
}

/**
  Reads the visible screen through Blt into Screen (width x height pixels).
**/
EFI_STATUS
ReadScreen (
  IN  EFI_GRAPHICS_OUTPUT_PROTOCOL   *GraphicsOutput,
  OUT EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *Screen
  )
{
  return GraphicsOutput->Blt (
                           GraphicsOutput,
                           Screen,
                           EfiBltVideoToBltBuffer,
                           0,
                           0,
                           0,
                           0,
                           GraphicsOutput->Mode->Info->HorizontalResolution,
                           GraphicsOutput->Mode->Info->VerticalResolution,
                           0
                           );
}

/**
  Pixels of Screen whose colour bytes (the reserved byte aside) differ from
  Colour's.
**/
UINTN
CountOtherThan (
  IN CONST EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *Screen,
  IN UINTN                                Pixels,
  IN EFI_GRAPHICS_OUTPUT_BLT_PIXEL        Colour
  )
{
  UINTN  Count;

  Count = 0;
  for (UINTN Index = 0; Index < Pixels; Index++) {
    if ((Screen[Index].Blue != Colour.Blue) || (Screen[Index].Green != Colour.Green) || (Screen[Index].Red != Colour.Red)) {
      Count++;
    }
  }

  return Count;
}

} // namespace Qd520ConsoleTest
