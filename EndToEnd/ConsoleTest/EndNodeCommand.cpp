/** @file
  Console test application: the "endnode" command, which connects the QD520
  with an end-node remaining device path (the controller without children)
  and checks what the start made and what the disconnect gave back.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ConsoleTest.h"

namespace Qd520ConsoleTest {

namespace {

//
// BAR 0 filled before a mode set: a pixel no mode set leaves behind.
//
constexpr UINT8   FRAME_BUFFER_BAR = 0;
constexpr UINT32  BAR_FILL_PIXEL   = 0xA5C3E1F0;

/**
  Handles whose device path lies below Path (Path's nodes, then more).
**/
UINTN
CountPathsBelow (
  IN EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  EFI_HANDLE                *Handles;
  UINTN                     Count;
  UINTN                     Below;
  UINTN                     Prefix;
  EFI_DEVICE_PATH_PROTOCOL  *Other;

  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiDevicePathProtocolGuid, NULL, &Count, &Handles))) {
    return 0;
  }

  Below  = 0;
  Prefix = GetDevicePathSize (Path) - END_DEVICE_PATH_LENGTH;
  for (UINTN Index = 0; Index < Count; Index++) {
    if (!EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Other))) &&
        (GetDevicePathSize (Other) > Prefix + END_DEVICE_PATH_LENGTH) && (CompareMem (Other, Path, Prefix) == 0))
    {
      Below++;
    }
  }

  FreePool (Handles);
  return Below;
}

/**
  Agents that hold the controller's PCI I/O open BY_DRIVER.
**/
UINTN
CountPciIoDriverOpens (
  IN EFI_HANDLE  Controller
  )
{
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  *Entries;
  UINTN                                Count;
  UINTN                                Opens;

  if (EFI_ERROR (gBS->OpenProtocolInformation (Controller, &gEfiPciIoProtocolGuid, &Entries, &Count))) {
    return 0;
  }

  Opens = 0;
  for (UINTN Index = 0; Index < Count; Index++) {
    Opens += ((Entries[Index].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) ? 1 : 0;
  }

  FreePool (Entries);
  return Opens;
}

/**
  "absent" or "present" for Protocol on Handle.
**/
CONST CHAR8 *
Presence (
  IN EFI_HANDLE  Handle,
  IN EFI_GUID    *Protocol
  )
{
  VOID  *Interface;

  return EFI_ERROR (gBS->HandleProtocol (Handle, Protocol, &Interface)) ? "absent" : "present";
}

/**
  The text output bound to Controller writes a line; the screen read back
  through GraphicsOutput then shows ink. Reports both.
**/
EFI_STATUS
CheckConsoleDraws (
  IN EFI_HANDLE                    Controller,
  IN EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput
  )
{
  constexpr EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Black = { 0x00, 0x00, 0x00, 0x00 };
  EFI_STATUS                               Status;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL          *TextOut;
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL            *Screen;
  UINTN                                    Pixels;
  UINTN                                    Inked;

  Status = gBS->HandleProtocol (Controller, &gEfiSimpleTextOutProtocolGuid, reinterpret_cast<VOID **>(&TextOut));
  ReportLine ("text_output_status=%r\n", Status);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  ReportLine ("set_attribute_status=%r\n", TextOut->SetAttribute (TextOut, EFI_TEXT_ATTR (EFI_WHITE, EFI_BLACK)));
  ReportLine ("clear_screen_status=%r\n", TextOut->ClearScreen (TextOut));
  Status = TextOut->OutputString (TextOut, const_cast<CHAR16 *>(QD520_TEXT ("QD520 started without a child\r\n")));
  ReportLine ("output_string_status=%r\n", Status);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Pixels = (UINTN)GraphicsOutput->Mode->Info->HorizontalResolution * GraphicsOutput->Mode->Info->VerticalResolution;
  Screen = static_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(AllocatePool (Pixels * sizeof (*Screen)));
  if (Screen == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = ReadScreen (GraphicsOutput, Screen);
  Inked  = CountOtherThan (Screen, Pixels, Black);
  FreePool (Screen);
  ReportLine ("read_status=%r\ninked_pixels=%u\n", Status, (UINT32)Inked);
  if (!EFI_ERROR (Status) && (Inked == 0)) {
    Status = EFI_NOT_FOUND;
  }

  return Status;
}

/**
  Where BAR 0 of PciIo lies and how long it is.
**/
EFI_STATUS
GetFrameBufferBar (
  IN  EFI_PCI_IO_PROTOCOL  *PciIo,
  OUT UINT32               **Base,
  OUT UINT64               *Length
  )
{
  EFI_STATUS                         Status;
  EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR  *Resources;

  Status = PciIo->GetBarAttributes (PciIo, FRAME_BUFFER_BAR, NULL, reinterpret_cast<VOID **>(&Resources));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  *Base   = reinterpret_cast<UINT32 *>(static_cast<UINTN>(Resources->AddrRangeMin));
  *Length = Resources->AddrLen;
  FreePool (Resources);
  return EFI_SUCCESS;
}

/**
  Fills all of BAR 0 with BAR_FILL_PIXEL, with memory decoding on for the
  fill and the attributes put back afterwards.
**/
EFI_STATUS
FillFrameBufferBar (
  IN EFI_HANDLE  Controller
  )
{
  EFI_STATUS           Status;
  EFI_PCI_IO_PROTOCOL  *PciIo;
  UINT64               Attributes;
  UINT32               *Base;
  UINT64               Length;

  Status = gBS->HandleProtocol (Controller, &gEfiPciIoProtocolGuid, reinterpret_cast<VOID **>(&PciIo));
  if (!EFI_ERROR (Status)) {
    Status = GetFrameBufferBar (PciIo, &Base, &Length);
  }

  if (!EFI_ERROR (Status)) {
    Status = PciIo->Attributes (PciIo, EfiPciIoAttributeOperationGet, 0, &Attributes);
  }

  if (!EFI_ERROR (Status)) {
    Status = PciIo->Attributes (PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_IO_ATTRIBUTE_MEMORY, NULL);
  }

  if (!EFI_ERROR (Status)) {
    SetMem32 (Base, Length, BAR_FILL_PIXEL);
    Status = PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSet, Attributes, NULL);
  }

  return Status;
}

/**
  32-bit words of BAR 0 from Offset to its end that are not zero.
**/
UINT64
CountFrameBufferWordsNotZero (
  IN EFI_HANDLE  Controller,
  IN UINT64      Offset
  )
{
  EFI_PCI_IO_PROTOCOL  *PciIo;
  UINT32               *Base;
  UINT64               Length;
  UINT64               Count;

  if (EFI_ERROR (gBS->HandleProtocol (Controller, &gEfiPciIoProtocolGuid, reinterpret_cast<VOID **>(&PciIo))) ||
      EFI_ERROR (GetFrameBufferBar (PciIo, &Base, &Length)))
  {
    return MAX_UINT64;
  }

  Count = 0;
  for (UINT64 Index = Offset / sizeof (UINT32); Index < Length / sizeof (UINT32); Index++) {
    Count += (Base[Index] != 0) ? 1 : 0;
  }

  return Count;
}

} // namespace

/**
  The "endnode" command.
**/
EFI_STATUS
RunEndNodeCommand (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CHAR16             **Argv
  )
{
  EFI_STATUS                    Status;
  EFI_STATUS                    Connected;
  EFI_HANDLE                    Controller;
  EFI_DEVICE_PATH_PROTOCOL      *Path;
  EFI_DEVICE_PATH_PROTOCOL      End;
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput;
  UINTN                         ChildrenBefore;
  UINTN                         ChildrenAfter;
  UINTN                         Opens;
  EFI_STATUS                    Disconnected;

  mReport.Length = 0;
  Status         = FindAdapterWith (&gEfiPciIoProtocolGuid, &Controller);
  ReportLine ("controller_status=%r\n", Status);
  if (!EFI_ERROR (Status)) {
    Status = gBS->HandleProtocol (Controller, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path));
    ReportLine ("device_path_status=%r\n", Status);
  }

  if (!EFI_ERROR (Status)) {
    ReportLine ("graphics_output_before=%a\n", Presence (Controller, &gEfiGraphicsOutputProtocolGuid));
    if (!EFI_ERROR (gBS->HandleProtocol (Controller, &gEfiGraphicsOutputProtocolGuid, reinterpret_cast<VOID **>(&GraphicsOutput)))) {
      Status = EFI_ALREADY_STARTED;   // the caller disconnects the controller first
    }
  }

  if (EFI_ERROR (Status)) {
    Print (QD520_TEXT ("QD520 console test: end-node connect not tried: %r\n"), Status);
    FinishReport (Root, Argv[2], Status);
    return Status;
  }

  //
  // Connect with an end node: the controller without children.
  //
  ReportLine ("bar0_fill_status=%r\n", FillFrameBufferBar (Controller));
  SetDevicePathEndNode (&End);
  ChildrenBefore = CountPathsBelow (Path);
  Connected      = gBS->ConnectController (Controller, NULL, &End, FALSE);
  ChildrenAfter  = CountPathsBelow (Path);
  ReportLine ("connect_status=%r\nchildren_before=%u\nchildren_after=%u\n", Connected, (UINT32)ChildrenBefore, (UINT32)ChildrenAfter);

  Status = gBS->HandleProtocol (Controller, &gEfiGraphicsOutputProtocolGuid, reinterpret_cast<VOID **>(&GraphicsOutput));
  ReportLine ("graphics_output_status=%r\n", Status);
  if (!EFI_ERROR (Status)) {
    ReportGraphicsMode (GraphicsOutput);
    ReportLine ("bar0_words_not_zero_beyond_mode=%lu\n", CountFrameBufferWordsNotZero (Controller, GraphicsOutput->Mode->FrameBufferSize));
    Status = CheckConsoleDraws (Controller, GraphicsOutput);
  }

  if (!EFI_ERROR (Status) && (EFI_ERROR (Connected) || (ChildrenAfter != ChildrenBefore))) {
    Status = EFI_ERROR (Connected) ? Connected : EFI_INVALID_PARAMETER;
  }

  //
  // Disconnect: everything the start took is given back.
  //
  Disconnected = gBS->DisconnectController (Controller, NULL, NULL);
  Opens        = CountPciIoDriverOpens (Controller);
  ReportLine (
    "disconnect_status=%r\ngraphics_output_after=%a\ntext_output_after=%a\npci_io_driver_opens_after=%u\n",
    Disconnected,
    Presence (Controller, &gEfiGraphicsOutputProtocolGuid),
    Presence (Controller, &gEfiSimpleTextOutProtocolGuid),
    (UINT32)Opens
    );
  if (!EFI_ERROR (Status)) {
    if (EFI_ERROR (Disconnected)) {
      Status = Disconnected;
    } else if ((Opens != 0) || (AsciiStrCmp (Presence (Controller, &gEfiGraphicsOutputProtocolGuid), "absent") != 0)) {
      Status = EFI_ACCESS_DENIED;
    }
  }

  Print (
    QD520_TEXT ("QD520 console test: end-node connect %r, %u new children, disconnect %r: %r\n"),
    Connected,
    (UINT32)(ChildrenAfter - ChildrenBefore),
    Disconnected,
    Status
    );
  FinishReport (Root, Argv[2], Status);
  return Status;
}

} // namespace Qd520ConsoleTest
