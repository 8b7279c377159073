/** @file
  Reference model of EFI_GRAPHICS_OUTPUT_PROTOCOL.Blt: the status a call
  earns and what an accepted call leaves on the screen and in the caller's
  buffer. Written from the protocol's contract, not from the driver, and
  shared by the Blt unit tests, the ported conformance checks and the
  fuzzer's oracle, so that the three cannot drift apart.

  The contract, as the model keeps it:
  - The operations are the four of EFI_GRAPHICS_OUTPUT_BLT_OPERATION; any
    other value, an empty rectangle (Width or Height 0), or a missing
    BltBuffer for an operation that uses one, is EFI_INVALID_PARAMETER.
  - The fill tests its destination against the screen, video-to-buffer its
    source, buffer-to-video its destination, video-to-video both; a
    rectangle that leaves the screen, with sums taken exactly (no
    wrap-around), is EFI_INVALID_PARAMETER. Coordinates inside the caller's
    buffer are not tested.
  - A device that cannot stage a video-to-video move answers it with
    EFI_DEVICE_ERROR, after the rectangles are found valid.
  - Pixel (x, y) of the caller's buffer lies Y x Delta + X x 4 bytes from
    BltBuffer; Delta 0 stands for Width x 4. The fill repeats BltBuffer's
    first pixel. Video-to-video leaves the destination equal to the source
    as it was before the call, however the two overlap.
  - Nothing else changes: not the screen outside the destination, not the
    caller's buffer outside the rows a read delivers.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_BLT_MODEL_H_
#define QD520_BLT_MODEL_H_

#include "Qd520FrameGeometry.h"

extern "C" {
#include <Protocol/GraphicsOutput.h>
}

namespace Qd520Reference {

/// The arguments of one Blt call but This and BltBuffer, in the protocol's
/// order. Operation is the value passed, which may be any 32-bit value.
struct BltRequest {
  UINT32    Operation;
  UINTN     SourceX;
  UINTN     SourceY;
  UINTN     DestinationX;
  UINTN     DestinationY;
  UINTN     Width;
  UINTN     Height;
  UINTN     Delta;
};

/// The visible screen of the current mode: Width x Height pixels, rows
/// PixelsPerScanLine pixels apart from Pixels on.
struct ScreenView {
  UINT32    *Pixels;
  UINTN     Width;
  UINTN     Height;
  UINTN     PixelsPerScanLine;
};

/// TRUE when the arguments alone (operation, size, whether BltBuffer was
/// given) allow the call; the screen is not consulted.
BOOLEAN
BltArgumentsValid (
  const BltRequest  &Request,
  BOOLEAN           BufferGiven
  );

/// The status the call earns on a screen of ScreenWidth x ScreenHeight.
/// CanMove: the device can stage a video-to-video move.
EFI_STATUS
BltStatus (
  const BltRequest  &Request,
  BOOLEAN           BufferGiven,
  UINTN             ScreenWidth,
  UINTN             ScreenHeight,
  BOOLEAN           CanMove = TRUE
  );

/// Bytes between rows of the caller's buffer: Delta, or Width x 4 for 0.
UINTN
BltBufferPitch (
  const BltRequest  &Request
  );

/// The bytes of the caller's buffer, from BltBuffer on, that an accepted
/// call reads or writes: one pixel for the fill, none for video-to-video,
/// up to the last pixel of the rectangle for the two buffer transfers.
/// FALSE when that count does not fit a UINTN.
BOOLEAN
BltBufferBytes (
  const BltRequest  &Request,
  UINTN             *Bytes
  );

/// Applies an accepted call (BltStatus gave EFI_SUCCESS) to Screen and to
/// Buffer, the model's copy of the caller's buffer as BltBuffer addresses
/// it (any alignment; unused by video-to-video).
VOID
ApplyBlt (
  const BltRequest  &Request,
  const ScreenView  &Screen,
  UINT8             *Buffer
  );

/// The status of Request on Screen and, when it is EFI_SUCCESS, its effect
/// on Screen and Buffer. Buffer NULL stands for a call without BltBuffer.
EFI_STATUS
ModelBlt (
  const BltRequest  &Request,
  const ScreenView  &Screen,
  UINT8             *Buffer,
  BOOLEAN           CanMove = TRUE
  );

} // namespace Qd520Reference

#endif // QD520_BLT_MODEL_H_
