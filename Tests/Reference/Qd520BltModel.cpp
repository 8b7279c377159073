/** @file
  Reference model of EFI_GRAPHICS_OUTPUT_PROTOCOL.Blt.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qd520BltModel.h"

#include <cstring>

namespace Qd520Reference {

namespace {

/// TRUE when Size pixels from Start on stay below Limit, with no sum that
/// could wrap.
bool
FitsWithin (
  UINTN  Start,
  UINTN  Size,
  UINTN  Limit
  )
{
  return (Size <= Limit) && (Start <= Limit - Size);
}

bool
RectangleOnScreen (
  UINTN  X,
  UINTN  Y,
  UINTN  Width,
  UINTN  Height,
  UINTN  ScreenWidth,
  UINTN  ScreenHeight
  )
{
  return FitsWithin (X, Width, ScreenWidth) && FitsWithin (Y, Height, ScreenHeight);
}

UINT32 *
ScreenRow (
  const ScreenView  &Screen,
  UINTN             X,
  UINTN             Y
  )
{
  return Screen.Pixels + Y * Screen.PixelsPerScanLine + X;
}

UINT8 *
BufferRow (
  UINT8             *Buffer,
  const BltRequest  &Request,
  UINTN             X,
  UINTN             Y
  )
{
  return Buffer + Y * BltBufferPitch (Request) + X * kBytesPerPixel;
}

/// Every row of the destination rectangle holds the first pixel of Buffer.
void
Fill (
  const BltRequest  &Request,
  const ScreenView  &Screen,
  const UINT8       *Buffer
  )
{
  UINT32  Colour;
  UINT32  *First = ScreenRow (Screen, Request.DestinationX, Request.DestinationY);

  std::memcpy (&Colour, Buffer, sizeof (Colour));
  for (UINTN Column = 0; Column < Request.Width; Column++) {
    First[Column] = Colour;
  }

  for (UINTN Row = 1; Row < Request.Height; Row++) {
    std::memcpy (ScreenRow (Screen, Request.DestinationX, Request.DestinationY + Row), First,
                 Request.Width * kBytesPerPixel);
  }
}

void
VideoToBuffer (
  const BltRequest  &Request,
  const ScreenView  &Screen,
  UINT8             *Buffer
  )
{
  for (UINTN Row = 0; Row < Request.Height; Row++) {
    std::memcpy (
           BufferRow (Buffer, Request, Request.DestinationX, Request.DestinationY + Row),
           ScreenRow (Screen, Request.SourceX, Request.SourceY + Row),
           Request.Width * kBytesPerPixel
           );
  }
}

void
BufferToVideo (
  const BltRequest  &Request,
  const ScreenView  &Screen,
  UINT8             *Buffer
  )
{
  for (UINTN Row = 0; Row < Request.Height; Row++) {
    std::memcpy (
           ScreenRow (Screen, Request.DestinationX, Request.DestinationY + Row),
           BufferRow (Buffer, Request, Request.SourceX, Request.SourceY + Row),
           Request.Width * kBytesPerPixel
           );
  }
}

/// The destination ends up as the source was: rows are taken in the order
/// that reads each source row before any destination row lands on it
/// (bottom up when the rectangle moves down), and each row moves as a whole.
void
VideoToVideo (
  const BltRequest  &Request,
  const ScreenView  &Screen
  )
{
  bool  Down = Request.DestinationY > Request.SourceY;

  for (UINTN Step = 0; Step < Request.Height; Step++) {
    UINTN  Row = Down ? Request.Height - 1 - Step : Step;

    std::memmove (
           ScreenRow (Screen, Request.DestinationX, Request.DestinationY + Row),
           ScreenRow (Screen, Request.SourceX, Request.SourceY + Row),
           Request.Width * kBytesPerPixel
           );
  }
}

} // namespace

BOOLEAN
BltArgumentsValid (
  const BltRequest  &Request,
  BOOLEAN           BufferGiven
  )
{
  if (Request.Operation >= EfiGraphicsOutputBltOperationMax) {
    return FALSE;
  }

  if ((Request.Width == 0) || (Request.Height == 0)) {
    return FALSE;
  }

  return (BufferGiven || (Request.Operation == EfiBltVideoToVideo)) ? TRUE : FALSE;
}

EFI_STATUS
BltStatus (
  const BltRequest  &Request,
  BOOLEAN           BufferGiven,
  UINTN             ScreenWidth,
  UINTN             ScreenHeight,
  BOOLEAN           CanMove
  )
{
  bool  SourceTested      = false;
  bool  DestinationTested = false;

  if (!BltArgumentsValid (Request, BufferGiven)) {
    return EFI_INVALID_PARAMETER;
  }

  switch (Request.Operation) {
    case EfiBltVideoFill:        DestinationTested = true; break;
    case EfiBltVideoToBltBuffer: SourceTested      = true; break;
    case EfiBltBufferToVideo:    DestinationTested = true; break;
    default:                     SourceTested      = DestinationTested = true; break;
  }

  if (SourceTested &&
      !RectangleOnScreen (Request.SourceX, Request.SourceY, Request.Width, Request.Height, ScreenWidth, ScreenHeight))
  {
    return EFI_INVALID_PARAMETER;
  }

  if (DestinationTested &&
      !RectangleOnScreen (
         Request.DestinationX,
         Request.DestinationY,
         Request.Width,
         Request.Height,
         ScreenWidth,
         ScreenHeight
         ))
  {
    return EFI_INVALID_PARAMETER;
  }

  if ((Request.Operation == EfiBltVideoToVideo) && !CanMove) {
    return EFI_DEVICE_ERROR;
  }

  return EFI_SUCCESS;
}

UINTN
BltBufferPitch (
  const BltRequest  &Request
  )
{
  return (Request.Delta != 0) ? Request.Delta : Request.Width * kBytesPerPixel;
}

BOOLEAN
BltBufferBytes (
  const BltRequest  &Request,
  UINTN             *Bytes
  )
{
  UINTN  X;
  UINTN  Y;
  UINTN  Rows;
  UINTN  Before;
  UINTN  Last;

  switch (Request.Operation) {
    case EfiBltVideoFill:
      *Bytes = kBytesPerPixel;
      return TRUE;

    case EfiBltVideoToBltBuffer:
      X = Request.DestinationX;
      Y = Request.DestinationY;
      break;

    case EfiBltBufferToVideo:
      X = Request.SourceX;
      Y = Request.SourceY;
      break;

    default:
      *Bytes = 0;
      return TRUE;
  }

  //
  // (Y + Height - 1) x pitch + (X + Width) x 4, each step checked.
  //
  if (__builtin_add_overflow (Y, Request.Height - 1, &Rows) ||
      __builtin_mul_overflow (Rows, BltBufferPitch (Request), &Before) ||
      __builtin_add_overflow (X, Request.Width, &Last) ||
      __builtin_mul_overflow (Last, kBytesPerPixel, &Last) ||
      __builtin_add_overflow (Before, Last, Bytes))
  {
    return FALSE;
  }

  return TRUE;
}

VOID
ApplyBlt (
  const BltRequest  &Request,
  const ScreenView  &Screen,
  UINT8             *Buffer
  )
{
  switch (Request.Operation) {
    case EfiBltVideoFill:
      Fill (Request, Screen, Buffer);
      break;

    case EfiBltVideoToBltBuffer:
      VideoToBuffer (Request, Screen, Buffer);
      break;

    case EfiBltBufferToVideo:
      BufferToVideo (Request, Screen, Buffer);
      break;

    case EfiBltVideoToVideo:
      VideoToVideo (Request, Screen);
      break;

    default:
      break;
  }
}

EFI_STATUS
ModelBlt (
  const BltRequest  &Request,
  const ScreenView  &Screen,
  UINT8             *Buffer,
  BOOLEAN           CanMove
  )
{
  EFI_STATUS  Status;

  Status = BltStatus (Request, (Buffer != nullptr) ? TRUE : FALSE, Screen.Width, Screen.Height, CanMove);
  if (Status == EFI_SUCCESS) {
    ApplyBlt (Request, Screen, Buffer);
  }

  return Status;
}

} // namespace Qd520Reference
