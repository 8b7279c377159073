/** @file
  Graphics output protocol of the QD520: the mode record, QueryMode, SetMode
  and the block transfers that move pixels between memory and the linear
  frame buffer in BAR 0.

  The frame buffer is reached only through PCI I/O memory accesses, one call
  per pixel row. Pixels are 32-bit BGRX, the layout of
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL, so they move byte for byte.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qdl520.h"

//
// The constructor's mode number before the first mode set: no mode has it,
// so SetMode (0) is never taken for a repeat of the current mode.
//
#define QDL520_NO_MODE  0xFFFF

STATIC_ASSERT (sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION) == 36, "SizeOfInfo reported to consumers");
STATIC_ASSERT (sizeof (EFI_GRAPHICS_OUTPUT_BLT_PIXEL) == QDL520_BYTES_PER_PIXEL, "pixels move byte for byte");
STATIC_ASSERT (sizeof (EFI_GRAPHICS_OUTPUT_BLT_OPERATION) == sizeof (UINT32), "Blt reads the operation as a UINT32");
STATIC_ASSERT (OFFSET_OF (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR, AddrRangeMin) == 14, "AddrRangeMin at bytes 14..21");
STATIC_ASSERT (QDL520_NO_MODE >= QDL520_MAX_MODE, "the placeholder is no mode");

//
// The screen starts at the first byte of BAR 0: pixel (0, 0).
//
constexpr UINT64  QDL520_SCREEN_OFFSET = 0;

/**
  Bytes of a whole screen of a mode, the frame-buffer size it publishes and
  the size of its line buffer.
**/
constexpr UINTN
Qdl520ScreenBytes (
  const QDL520_MODE_DATA  &ModeData
  )
{
  return static_cast<UINTN>(Qdl520PixelsPerScanLine (ModeData.HorizontalResolution)) *
         (ModeData.ColorDepth / 8) * ModeData.VerticalResolution;
}

STATIC_ASSERT (Qdl520ScreenBytes (QDL520_MODE_DATA { 0, 640, 480, 32, 60 }) == 1228800, "mode 0");
STATIC_ASSERT (Qdl520ScreenBytes (QDL520_MODE_DATA { 1, 800, 600, 32, 60 }) == 1920000, "mode 1");
STATIC_ASSERT (Qdl520ScreenBytes (QDL520_MODE_DATA { 2, 1024, 768, 32, 60 }) == 3145728, "mode 2");

/**
  Fills a mode information record from an offered mode.
**/
STATIC
VOID
Qdl520FillModeInformation (
  IN  const QDL520_MODE_DATA            &ModeData,
  OUT EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info
  )
{
  Info->Version              = 0;
  Info->HorizontalResolution = ModeData.HorizontalResolution;
  Info->VerticalResolution   = ModeData.VerticalResolution;
  Info->PixelFormat          = PixelBlueGreenRedReserved8BitPerColor;
  Info->PixelsPerScanLine    = Qdl520PixelsPerScanLine (ModeData.HorizontalResolution);
}

/**
  Clears the whole frame of the current mode to black: every line of the
  mode at its scan-line pitch, padding pixels included, from the start of
  BAR 0, in one PCI I/O fill request. Nothing beyond the mode's frame is
  written, and no register is touched.

  @param[in] Private   Device context.
  @param[in] ModeData  The current mode.
**/
STATIC
VOID
Qdl520ClearScreen (
  IN QDL520_PRIVATE_DATA     *Private,
  IN const QDL520_MODE_DATA  &ModeData
  )
{
  //
  // As with the mode set's own clear, a refused fill leaves the frame as it
  // was; the mode stays set and SetMode reports success.
  //
  Qdl520ClearFrameBuffer (Private, QDL520_SCREEN_OFFSET, Qdl520ScreenBytes (ModeData) / sizeof (UINT32));
}

/**
  Start of BAR 0 as PCI I/O describes it.

  @param[in]  Private  Device context.
  @param[out] Base     Receives the BAR's first address; left alone when PCI
                       I/O gives no address descriptor for the BAR.
**/
STATIC
VOID
Qdl520GetFrameBufferBase (
  IN  QDL520_PRIVATE_DATA   *Private,
  OUT EFI_PHYSICAL_ADDRESS  *Base
  )
{
  EFI_STATUS  Status;
  VOID        *Resources;
  UINT8       *Descriptor;

  Resources = NULL;
  Status    = Private->PciIo->GetBarAttributes (Private->PciIo, QDL520_FRAME_BUFFER_BAR, NULL, &Resources);
  if (EFI_ERROR (Status) || (Resources == NULL)) {
    return;
  }

  Descriptor = static_cast<UINT8 *>(Resources);
  if (*Descriptor == ACPI_ADDRESS_SPACE_DESCRIPTOR) {
    *Base = ReadUnaligned64 (
              reinterpret_cast<const UINT64 *>(Descriptor + OFFSET_OF (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR, AddrRangeMin))
              );
  }

  FreePool (Resources);
}

/**
  Builds the graphics output protocol of a started controller: allocates the
  mode record and its information, brings the display engine up once and
  sets mode 0. Start calls it after filling ModeData and MaxMode.

  Mode 0 without its line buffer is an assertion. Where assertions are
  compiled out (MDEPKG_NDEBUG), that failure is returned instead: the
  protocol must not go out without a current mode, which Blt relies on.

  @param[in] Private  Device context; GraphicsOutput is filled in.

  @retval EFI_SUCCESS  Mode 0 is current.
  @return The status of a failing pool allocation. The records allocated so
          far stay in GraphicsOutput.Mode for the caller to release.
**/
EFI_STATUS
Qdl520GraphicsOutputConstructor (
  IN QDL520_PRIVATE_DATA  *Private
  )
{
  EFI_STATUS                         Status;
  EFI_GRAPHICS_OUTPUT_PROTOCOL       *GraphicsOutput;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE  *Mode;

  GraphicsOutput            = &Private->GraphicsOutput;
  GraphicsOutput->QueryMode = Qdl520GraphicsOutputQueryMode;
  GraphicsOutput->SetMode   = Qdl520GraphicsOutputSetMode;
  GraphicsOutput->Blt       = Qdl520GraphicsOutputBlt;

  Status = gBS->AllocatePool (
                  EfiBootServicesData,
                  sizeof (EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE),
                  reinterpret_cast<VOID **>(&GraphicsOutput->Mode)
                  );
  if (EFI_ERROR (Status)) {
    GraphicsOutput->Mode = NULL;
    return Status;
  }

  Mode = GraphicsOutput->Mode;
  ZeroMem (Mode, sizeof (*Mode));
  Status = gBS->AllocatePool (
                  EfiBootServicesData,
                  sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION),
                  reinterpret_cast<VOID **>(&Mode->Info)
                  );
  if (EFI_ERROR (Status)) {
    Mode->Info = NULL;
    return Status;
  }

  //
  // PixelInformation is never written (it means something only for
  // PixelBitMask); consumers that print or compare the record read zeros.
  //
  ZeroMem (Mode->Info, sizeof (*Mode->Info));

  Mode->MaxMode                  = static_cast<UINT32>(Private->MaxMode);
  Mode->Mode                     = QDL520_NO_MODE;
  Private->LineBuffer            = NULL;
  Private->HardwareNeedsStarting = TRUE;

  Qdl520InitializeHardware (Private);

  Status = GraphicsOutput->SetMode (GraphicsOutput, 0);
  ASSERT (Private->GraphicsOutput.Mode->Mode < (Private->MaxMode));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return EFI_SUCCESS;
}

/**
  GraphicsOutput.QueryMode: describes one offered mode in a new buffer that
  the caller owns and frees.

  @retval EFI_SUCCESS            *Info holds the mode, *SizeOfInfo its size.
  @retval EFI_NOT_STARTED        No mode has been set yet.
  @retval EFI_INVALID_PARAMETER  Info or SizeOfInfo is NULL, or ModeNumber
                                 is not below MaxMode.
  @retval EFI_OUT_OF_RESOURCES   The buffer could not be allocated; *Info is
                                 NULL.
**/
EFI_STATUS
EFIAPI
Qdl520GraphicsOutputQueryMode (
  IN  EFI_GRAPHICS_OUTPUT_PROTOCOL          *This,
  IN  UINT32                                ModeNumber,
  OUT UINTN                                 *SizeOfInfo,
  OUT EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  **Info
  )
{
  QDL520_PRIVATE_DATA  *Private;

  Private = QDL520_PRIVATE_DATA_FROM_GRAPHICS_OUTPUT_THIS (This);

  if (Private->HardwareNeedsStarting) {
    return EFI_NOT_STARTED;
  }

  if ((Info == NULL) || (SizeOfInfo == NULL) || (ModeNumber >= This->Mode->MaxMode)) {
    return EFI_INVALID_PARAMETER;
  }

  *Info = static_cast<EFI_GRAPHICS_OUTPUT_MODE_INFORMATION *>(
            AllocateZeroPool (sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION))
            );
  if (*Info == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  *SizeOfInfo = sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION);
  Qdl520FillModeInformation (Private->ModeData[ModeNumber], *Info);
  return EFI_SUCCESS;
}

/**
  GraphicsOutput.SetMode: programs the adapter for an offered mode, clears
  the screen to black and publishes the mode. Setting the current mode again
  only clears its frame to black: no register access, no allocation, and the
  mode record, the line buffer and HardwareNeedsStarting stay as they are.

  @retval EFI_SUCCESS           The mode is current.
  @retval EFI_UNSUPPORTED       ModeNumber is not below MaxMode.
  @retval EFI_OUT_OF_RESOURCES  No line buffer for the new mode; the previous
                                mode stays current, without a line buffer.
**/
EFI_STATUS
EFIAPI
Qdl520GraphicsOutputSetMode (
  IN EFI_GRAPHICS_OUTPUT_PROTOCOL  *This,
  IN UINT32                        ModeNumber
  )
{
  QDL520_PRIVATE_DATA                   *Private;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE     *Mode;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info;
  const QDL520_MODE_DATA                *ModeData;

  Private = QDL520_PRIVATE_DATA_FROM_GRAPHICS_OUTPUT_THIS (This);
  Mode    = This->Mode;

  if (ModeNumber >= Mode->MaxMode) {
    return EFI_UNSUPPORTED;
  }

  if (ModeNumber == Mode->Mode) {
    Qdl520ClearScreen (Private, Private->ModeData[ModeNumber]);
    return EFI_SUCCESS;
  }

  ModeData = &Private->ModeData[ModeNumber];

  if (Private->LineBuffer != NULL) {
    FreePool (Private->LineBuffer);
    Private->LineBuffer = NULL;
  }

  Private->LineBuffer = AllocatePool (Qdl520ScreenBytes (*ModeData));
  if (Private->LineBuffer == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Qdl520SetModeHardware (Private, &mQdl520VideoModes[ModeData->ModeNumber]);

  Info       = Mode->Info;
  Mode->Mode = ModeNumber;
  Qdl520FillModeInformation (*ModeData, Info);
  Mode->SizeOfInfo = sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION);

  Qdl520GetFrameBufferBase (Private, &Mode->FrameBufferBase);
  Mode->FrameBufferSize = static_cast<UINTN>(Info->VerticalResolution) * Info->PixelsPerScanLine *
                          (ModeData->ColorDepth / 8);

  Private->HardwareNeedsStarting = FALSE;
  return EFI_SUCCESS;
}

//
// Geometry of the current mode as the block transfers see it.
//
struct QDL520_BLT_GEOMETRY {
  UINTN    PixelsPerScanLine;
  UINTN    BytesPerPixel;
};

STATIC
QDL520_BLT_GEOMETRY
Qdl520BltGeometry (
  IN const QDL520_PRIVATE_DATA  *Private,
  IN UINTN                      ModeNumber
  )
{
  const QDL520_MODE_DATA  &ModeData = Private->ModeData[ModeNumber];

  return QDL520_BLT_GEOMETRY {
           Qdl520PixelsPerScanLine (ModeData.HorizontalResolution),
           ModeData.ColorDepth / 8
  };
}

/**
  Byte offset of pixel (X, Y) in BAR 0.
**/
STATIC
UINT64
Qdl520PixelOffset (
  IN const QDL520_BLT_GEOMETRY  &Geometry,
  IN UINTN                      X,
  IN UINTN                      Y
  )
{
  return (static_cast<UINT64>(Y) * Geometry.PixelsPerScanLine + X) * Geometry.BytesPerPixel;
}

/**
  Moves one row of Width pixels between Buffer and BAR 0 at Offset in a
  single PCI I/O call. The unit is the widest that both sides are aligned
  to, because the kit's root bridge and CPU I/O refuse a unit that is
  misaligned on either side: 64-bit units for an even number of pixels when
  the first pixel in the frame buffer and Buffer lie on an 8-byte boundary,
  otherwise 32-bit units, and bytes when the caller's buffer is not even on
  a 4-byte boundary (an EFI_GRAPHICS_OUTPUT_BLT_PIXEL array need not be).
**/
STATIC
VOID
Qdl520MoveRow (
  IN     QDL520_PRIVATE_DATA  *Private,
  IN     BOOLEAN              Write,
  IN     UINT64               Offset,
  IN     UINTN                Width,
  IN OUT VOID                 *Buffer
  )
{
  EFI_PCI_IO_PROTOCOL        *PciIo;
  EFI_PCI_IO_PROTOCOL_WIDTH  Unit;
  UINTN                      Count;
  UINTN                      Address;

  PciIo   = Private->PciIo;
  Address = reinterpret_cast<UINTN>(Buffer);
  if (((Width % 2) == 0) && (((Offset | Address) % sizeof (UINT64)) == 0)) {
    Unit  = EfiPciIoWidthUint64;
    Count = Width / 2;
  } else if ((Address % sizeof (UINT32)) == 0) {
    Unit  = EfiPciIoWidthUint32;
    Count = Width;
  } else {
    Unit  = EfiPciIoWidthUint8;
    Count = Width * sizeof (EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
  }

  if (Write) {
    PciIo->Mem.Write (PciIo, Unit, QDL520_FRAME_BUFFER_BAR, Offset, Count, Buffer);
  } else {
    PciIo->Mem.Read (PciIo, Unit, QDL520_FRAME_BUFFER_BAR, Offset, Count, Buffer);
  }
}

/**
  Moves a rectangle between the caller's buffer and the frame buffer, row by
  row from the top: reads the frame buffer into BltBuffer, or writes it from
  BltBuffer when Write is TRUE.

  @param[in] BufferX, BufferY  First pixel in BltBuffer, whose rows are Delta
                               bytes apart.
  @param[in] VideoX, VideoY    First pixel in the frame buffer.
**/
STATIC
VOID
Qdl520BltBufferRows (
  IN QDL520_PRIVATE_DATA            *Private,
  IN BOOLEAN                        Write,
  IN EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *BltBuffer,
  IN UINTN                          BufferX,
  IN UINTN                          BufferY,
  IN UINTN                          VideoX,
  IN UINTN                          VideoY,
  IN UINTN                          Width,
  IN UINTN                          Height,
  IN UINTN                          Delta,
  IN UINTN                          ModeNumber
  )
{
  QDL520_BLT_GEOMETRY  Geometry;
  UINT8                *Row;

  Geometry = Qdl520BltGeometry (Private, ModeNumber);
  for (UINTN Index = 0; Index < Height; Index++) {
    Row = reinterpret_cast<UINT8 *>(BltBuffer) + (BufferY + Index) * Delta +
          BufferX * sizeof (EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
    Qdl520MoveRow (Private, Write, Qdl520PixelOffset (Geometry, VideoX, VideoY + Index), Width, Row);
  }
}

/**
  Copies a rectangle of the frame buffer at (SourceX, SourceY) into the
  caller's buffer at (DestinationX, DestinationY).
**/
STATIC
VOID
Qdl520BltVideoToBltBuffer (
  IN QDL520_PRIVATE_DATA            *Private,
  IN EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *BltBuffer,
  IN UINTN                          SourceX,
  IN UINTN                          SourceY,
  IN UINTN                          DestinationX,
  IN UINTN                          DestinationY,
  IN UINTN                          Width,
  IN UINTN                          Height,
  IN UINTN                          Delta,
  IN UINTN                          ModeNumber
  )
{
  Qdl520BltBufferRows (Private, FALSE, BltBuffer, DestinationX, DestinationY, SourceX, SourceY, Width, Height, Delta, ModeNumber);
}

/**
  Copies a rectangle of the caller's buffer at (SourceX, SourceY) into the
  frame buffer at (DestinationX, DestinationY).
**/
STATIC
VOID
Qdl520BltBufferToVideo (
  IN QDL520_PRIVATE_DATA            *Private,
  IN EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *BltBuffer,
  IN UINTN                          SourceX,
  IN UINTN                          SourceY,
  IN UINTN                          DestinationX,
  IN UINTN                          DestinationY,
  IN UINTN                          Width,
  IN UINTN                          Height,
  IN UINTN                          Delta,
  IN UINTN                          ModeNumber
  )
{
  Qdl520BltBufferRows (Private, TRUE, BltBuffer, SourceX, SourceY, DestinationX, DestinationY, Width, Height, Delta, ModeNumber);
}

/**
  Moves a rectangle within the frame buffer through the line buffer: the
  whole source is read before the first destination row is written, so
  overlapping rectangles come out right in every direction.
**/
STATIC
VOID
Qdl520BltVideoToVideo (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINTN                SourceX,
  IN UINTN                SourceY,
  IN UINTN                DestinationX,
  IN UINTN                DestinationY,
  IN UINTN                Width,
  IN UINTN                Height,
  IN UINTN                ModeNumber
  )
{
  QDL520_BLT_GEOMETRY  Geometry;
  UINT8                *Staging;
  UINTN                RowBytes;

  Geometry = Qdl520BltGeometry (Private, ModeNumber);
  Staging  = static_cast<UINT8 *>(Private->LineBuffer);
  RowBytes = Width * sizeof (EFI_GRAPHICS_OUTPUT_BLT_PIXEL);

  for (UINTN Index = 0; Index < Height; Index++) {
    Qdl520MoveRow (Private, FALSE, Qdl520PixelOffset (Geometry, SourceX, SourceY + Index), Width, Staging + Index * RowBytes);
  }

  for (UINTN Index = 0; Index < Height; Index++) {
    Qdl520MoveRow (Private, TRUE, Qdl520PixelOffset (Geometry, DestinationX, DestinationY + Index), Width, Staging + Index * RowBytes);
  }
}

/**
  Fills a rectangle of the frame buffer with one pixel, one PCI I/O fill
  request per row.
**/
STATIC
VOID
Qdl520BltVideoFill (
  IN QDL520_PRIVATE_DATA            *Private,
  IN EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *BltBuffer,
  IN UINTN                          DestinationX,
  IN UINTN                          DestinationY,
  IN UINTN                          Width,
  IN UINTN                          Height,
  IN UINTN                          ModeNumber
  )
{
  QDL520_BLT_GEOMETRY  Geometry;
  EFI_PCI_IO_PROTOCOL  *PciIo;
  UINT32               Colour;
  VOID                 *Pattern;

  //
  // The fill repeats a 32-bit unit that CPU I/O reads from an aligned
  // buffer only; a pixel elsewhere is copied first.
  //
  Pattern = BltBuffer;
  if ((reinterpret_cast<UINTN>(BltBuffer) % sizeof (UINT32)) != 0) {
    Colour  = ReadUnaligned32 (reinterpret_cast<const UINT32 *>(BltBuffer));
    Pattern = &Colour;
  }

  Geometry = Qdl520BltGeometry (Private, ModeNumber);
  PciIo    = Private->PciIo;
  for (UINTN Index = 0; Index < Height; Index++) {
    PciIo->Mem.Write (
                 PciIo,
                 EfiPciIoWidthFillUint32,
                 QDL520_FRAME_BUFFER_BAR,
                 Qdl520PixelOffset (Geometry, DestinationX, DestinationY + Index),
                 Width,
                 Pattern
                 );
  }
}

/**
  TRUE when a Width x Height rectangle at (X, Y) lies inside the mode. The
  comparisons cannot overflow.
**/
STATIC
BOOLEAN
Qdl520RectangleFits (
  IN const QDL520_MODE_DATA  &ModeData,
  IN UINTN                   X,
  IN UINTN                   Y,
  IN UINTN                   Width,
  IN UINTN                   Height
  )
{
  return (BOOLEAN)((Width <= ModeData.HorizontalResolution) && (X <= ModeData.HorizontalResolution - Width) &&
                   (Height <= ModeData.VerticalResolution) && (Y <= ModeData.VerticalResolution - Height));
}

/**
  GraphicsOutput.Blt: fills, reads, writes or moves a rectangle of pixels in
  the current mode. Runs the transfer at TPL_NOTIFY and restores the caller's
  level on every path.

  @retval EFI_SUCCESS            The rectangle was transferred.
  @retval EFI_INVALID_PARAMETER  Unknown operation, an empty rectangle, no
                                 BltBuffer for an operation that uses it, or
                                 a rectangle outside the mode. Nothing moved.
  @retval EFI_DEVICE_ERROR       A video-to-video move without a line buffer
                                 (after SetMode ran out of memory). Nothing
                                 moved.
**/
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
  )
{
  QDL520_PRIVATE_DATA  *Private;
  UINT32               Operation;
  UINTN                ModeNumber;
  EFI_TPL              OriginalTpl;
  BOOLEAN              SourceOnScreen;
  BOOLEAN              DestinationOnScreen;
  EFI_STATUS           Status;

  Private = QDL520_PRIVATE_DATA_FROM_GRAPHICS_OUTPUT_THIS (This);

  //
  // Callers pass any 32-bit value here; a C++ enumeration may not hold values
  // beyond its enumerators, so the argument is read as an integer.
  //
  CopyMem (&Operation, &BltOperation, sizeof (Operation));
  if (Operation >= EfiGraphicsOutputBltOperationMax) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Width == 0) || (Height == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Operation != EfiBltVideoToVideo) && (BltBuffer == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if (Delta == 0) {
    Delta = Width * sizeof (EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
  }

  ModeNumber = This->Mode->Mode;

  OriginalTpl = gBS->RaiseTPL (TPL_NOTIFY);

  const QDL520_MODE_DATA  &ModeData = Private->ModeData[ModeNumber];

  SourceOnScreen      = Qdl520RectangleFits (ModeData, SourceX, SourceY, Width, Height);
  DestinationOnScreen = Qdl520RectangleFits (ModeData, DestinationX, DestinationY, Width, Height);

  Status = EFI_SUCCESS;
  switch (Operation) {
    case EfiBltVideoFill:
      if (!DestinationOnScreen) {
        Status = EFI_INVALID_PARAMETER;
        break;
      }

      Qdl520BltVideoFill (Private, BltBuffer, DestinationX, DestinationY, Width, Height, ModeNumber);
      break;

    case EfiBltVideoToBltBuffer:
      if (!SourceOnScreen) {
        Status = EFI_INVALID_PARAMETER;
        break;
      }

      Qdl520BltVideoToBltBuffer (Private, BltBuffer, SourceX, SourceY, DestinationX, DestinationY, Width, Height, Delta, ModeNumber);
      break;

    case EfiBltBufferToVideo:
      if (!DestinationOnScreen) {
        Status = EFI_INVALID_PARAMETER;
        break;
      }

      Qdl520BltBufferToVideo (Private, BltBuffer, SourceX, SourceY, DestinationX, DestinationY, Width, Height, Delta, ModeNumber);
      break;

    default:
      if (!SourceOnScreen || !DestinationOnScreen) {
        Status = EFI_INVALID_PARAMETER;
        break;
      }

      if (Private->LineBuffer == NULL) {
        Status = EFI_DEVICE_ERROR;
        break;
      }

      Qdl520BltVideoToVideo (Private, SourceX, SourceY, DestinationX, DestinationY, Width, Height, ModeNumber);
      break;
  }

  gBS->RestoreTPL (OriginalTpl);
  return Status;
}
