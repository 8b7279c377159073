/** @file
  Writes a region of a 32-bit BGRX frame buffer as an RGB PNG file.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_PNG_H_
#define QD520_PNG_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace Qd520Run {

/// Writes Width x Height pixels of FrameBuffer, whose lines are
/// PixelsPerLine pixels apart, to Path. Returns false with Error set when
/// the file cannot be written.
bool
WriteBgrxPng (
  const std::string  &Path,
  const uint8_t      *FrameBuffer,
  size_t             Width,
  size_t             Height,
  size_t             PixelsPerLine,
  std::string        &Error
  );

} // namespace Qd520Run

#endif // QD520_PNG_H_
