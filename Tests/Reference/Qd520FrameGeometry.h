/** @file
  The shape of the QD520's frame buffer as the tests, the fuzzer and the
  tools expect it, written from the adapter's and the protocol's terms and
  not taken from the driver: a scan line is the mode's width rounded up to
  a multiple of 16 pixels, a pixel is 4 bytes (BGRX), and a mode's frame
  is its height in scan lines from the start of BAR 0.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_FRAME_GEOMETRY_H_
#define QD520_FRAME_GEOMETRY_H_

extern "C" {
#include <Uefi.h>
}

namespace Qd520Reference {

constexpr UINTN  kBytesPerPixel       = 4;    ///< 32 bpp BGRX
constexpr UINTN  kScanLineGranularity = 16;   ///< pixels a scan line is a multiple of

/// Pixels from the start of one scan line to the next for a mode Width
/// pixels wide.
constexpr UINTN
PixelsPerScanLine (
  UINTN  Width
  )
{
  return (Width + kScanLineGranularity - 1) / kScanLineGranularity * kScanLineGranularity;
}

/// Bytes of one scan line at BytesPerPixel.
constexpr UINTN
ScanLineBytes (
  UINTN  Width,
  UINTN  BytesPerPixel = kBytesPerPixel
  )
{
  return PixelsPerScanLine (Width) * BytesPerPixel;
}

/// Bytes of a mode's whole frame: FrameBufferSize, and the size of the
/// line buffer a video-to-video move stages through.
constexpr UINTN
FrameBufferBytes (
  UINTN  Width,
  UINTN  Height,
  UINTN  BytesPerPixel = kBytesPerPixel
  )
{
  return ScanLineBytes (Width, BytesPerPixel) * Height;
}

/// Byte offset of pixel (X, Y) in BAR 0 for a mode Width pixels wide.
constexpr UINT64
PixelOffset (
  UINTN  X,
  UINTN  Y,
  UINTN  Width
  )
{
  return (static_cast<UINT64>(Y) * PixelsPerScanLine (Width) + X) * kBytesPerPixel;
}

/// A mode as the graphics output protocol offers it.
struct OfferedMode {
  UINT32    Width;
  UINT32    Height;
};

/// The three modes, in mode-number order.
constexpr UINT32       kOfferedModeCount              = 3;
constexpr OfferedMode  kOfferedModes[kOfferedModeCount] = {
  { 640,  480 }, { 800,  600 }, { 1024, 768 }
};

static_assert (PixelsPerScanLine (640) == 640, "offered widths are whole multiples of 16");
static_assert (PixelsPerScanLine (1366) == 1376, "other widths round up to the next multiple");
static_assert (PixelsPerScanLine (1) == 16, "one pixel takes a whole granule");
static_assert (FrameBufferBytes (640, 480) == 1228800, "mode 0");
static_assert (FrameBufferBytes (800, 600) == 1920000, "mode 1");
static_assert (FrameBufferBytes (1024, 768) == 3145728, "mode 2");
static_assert (PixelOffset (3, 2, 1366) == (2 * 1376 + 3) * 4, "rows are scan lines apart");

} // namespace Qd520Reference

#endif // QD520_FRAME_GEOMETRY_H_
