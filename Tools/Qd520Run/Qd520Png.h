/** @file
  Writes a picture of 0x00RRGGBB pixels as an RGB PNG file.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_PNG_H_
#define QD520_PNG_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace Qd520Run {

/// Writes Width x Height pixels, line by line without gaps, to Path.
/// Returns false with Error set when the file cannot be written.
bool
WriteRgbPng (
  const std::string  &Path,
  const uint32_t     *Pixels,
  size_t             Width,
  size_t             Height,
  std::string        &Error
  );

} // namespace Qd520Run

#endif // QD520_PNG_H_
