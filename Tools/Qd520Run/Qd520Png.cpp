/** @file
  Writes a picture of 0x00RRGGBB pixels as an RGB PNG file.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qd520Png.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace Qd520Run {

bool
WriteRgbPng (
  const std::string  &Path,
  const uint32_t     *Pixels,
  size_t             Width,
  size_t             Height,
  std::string        &Error
  )
{
  std::unique_ptr<FILE, int (*)(FILE *)>  File (std::fopen (Path.c_str (), "wb"), std::fclose);

  if (File == nullptr) {
    Error = Path + ": " + std::strerror (errno);
    return false;
  }

  png_structp  Png  = png_create_write_struct (PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop    Info = (Png != nullptr) ? png_create_info_struct (Png) : nullptr;

  if (Info == nullptr) {
    png_destroy_write_struct (&Png, nullptr);
    Error = "libpng could not start";
    return false;
  }

  std::vector<png_byte>  Row (Width * 3);

  if (setjmp (png_jmpbuf (Png)) != 0) {
    png_destroy_write_struct (&Png, &Info);
    Error = Path + ": libpng failed";
    return false;
  }

  png_init_io (Png, File.get ());
  png_set_IHDR (
    Png,
    Info,
    (png_uint_32)Width,
    (png_uint_32)Height,
    8,
    PNG_COLOR_TYPE_RGB,
    PNG_INTERLACE_NONE,
    PNG_COMPRESSION_TYPE_DEFAULT,
    PNG_FILTER_TYPE_DEFAULT
    );
  png_write_info (Png, Info);
  for (size_t Y = 0; Y < Height; Y++) {
    const uint32_t  *Pixel = Pixels + Y * Width;

    for (size_t X = 0; X < Width; X++, Pixel++) {
      Row[X * 3 + 0] = (png_byte)(*Pixel >> 16);
      Row[X * 3 + 1] = (png_byte)(*Pixel >> 8);
      Row[X * 3 + 2] = (png_byte)*Pixel;
    }

    png_write_row (Png, Row.data ());
  }

  png_write_end (Png, nullptr);
  png_destroy_write_struct (&Png, &Info);
  return true;
}

} // namespace Qd520Run
