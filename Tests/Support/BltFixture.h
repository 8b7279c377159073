/** @file
  Fixture of the tests that draw through Blt: the screen of the current
  mode painted with a pattern, copies of it for the reference model
  (Qd520BltModel.h) to work on, and the comparison of the frame buffer with
  what the model expects.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_BLT_FIXTURE_H_
#define QD520_BLT_FIXTURE_H_

#include "DriverTest.h"

#include "Qd520BltModel.h"

#include <string>
#include <vector>

namespace Qd520Test {

/// Contents of frame-buffer pixel Index before a test's transfer.
constexpr UINT32
ScreenPattern (
  UINTN  Index
  )
{
  return static_cast<UINT32>(0x01000193u * (Index + 1)) ^ 0xA5000000u;
}

/// Contents of caller-buffer pixel Index for a write to the screen.
constexpr UINT32
BufferPattern (
  UINTN  Index
  )
{
  return static_cast<UINT32>(0x9E3779B1u * (Index + 3)) | 0x01000000u;
}

/// "equal", or the first byte where Actual differs from Expected.
std::string
BytesDifference (
  const std::vector<UINT8>  &Actual,
  const std::vector<UINT8>  &Expected
  );

class BltFixture : public StartedDriverTest {
protected:
  /// Sets ModeNumber and forgets the trace and priority events of the set.
  void
  UseMode (
    UINT32  ModeNumber
    );

  /// The current mode's scan line, from its width (not from the mode record).
  UINTN
  PixelsPerLine (
    )
  {
    return Qd520Reference::PixelsPerScanLine (mGop->Mode->Info->HorizontalResolution);
  }

  /// Pixels of the current mode's whole frame, scan-line padding included.
  UINTN
  ScreenPixels (
    )
  {
    return PixelsPerLine () * mGop->Mode->Info->VerticalResolution;
  }

  UINT32 *
  Screen (
    )
  {
    return reinterpret_cast<UINT32 *>(mAdapter->FrameBuffer ());
  }

  /// Byte offset of pixel (X, Y) of the current mode in BAR 0.
  UINT64
  OffsetOf (
    UINTN  X,
    UINTN  Y
    )
  {
    return (static_cast<UINT64>(Y) * PixelsPerLine () + X) * Qd520Reference::kBytesPerPixel;
  }

  /// Paints the current mode's frame with ScreenPattern and returns a copy.
  std::vector<UINT32>
  PaintScreen (
    );

  std::vector<UINT32>
  ScreenCopy (
    )
  {
    return std::vector<UINT32>(Screen (), Screen () + ScreenPixels ());
  }

  /// The current mode's visible screen laid over Copy (a ScreenCopy), for
  /// the model to draw on.
  Qd520Reference::ScreenView
  ViewOf (
    std::vector<UINT32>  &Copy
    );

  /// "equal", or the first pixel where the frame differs from Expected.
  std::string
  ScreenDifference (
    const std::vector<UINT32>  &Expected
    );
};

} // namespace Qd520Test

#endif // QD520_BLT_FIXTURE_H_
