/** @file
  Decoding of the fuzzer's input.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzInput.h"

#include "Qd520FrameGeometry.h"

namespace Qd520Fuzz {

namespace {

using Qd520Reference::kBytesPerPixel;

/// BltOperation: mostly the four operations and the first invalid value,
/// then small invalid values, then any 32-bit value.
UINT32
DecodeOperation (
  Reader  &In
  )
{
  UINT8  Selector = In.Byte ();

  if (Selector < 0xE0) {
    return Selector % 5;
  }

  if (Selector < 0xF8) {
    return 4 + (Selector - 0xE0);
  }

  return static_cast<UINT32>(In.Bytes (4));
}

/// A size or coordinate. Edge is the resolution of the axis; Partner the
/// rectangle's size on that axis for a coordinate, Edge itself for a size.
UINTN
DecodeValue (
  Reader  &In,
  UINTN   Edge,
  UINTN   Partner
  )
{
  UINT8  Selector = In.Byte ();
  UINTN  Low      = Selector & 31;

  switch (Selector >> 5) {
    case 0:  return Low;
    case 1:  return (Low << 8) | In.Byte ();
    case 2:  return Edge + Low - 16;
    case 3:  return Edge - Partner + Low - 16;
    case 4:  return static_cast<UINTN>(In.Bytes (4));
    case 5:  return static_cast<UINTN>(In.Bytes (8));
    case 6:  return ~static_cast<UINTN>(0) - Low;
    default: return static_cast<UINTN>(0) - Partner + Low;
  }
}

/// Delta: 0 (rows Width x 4 apart) for a quarter, odd and padded pitches
/// near Width x 4, small and large values.
UINTN
DecodeDelta (
  Reader  &In,
  UINTN   Width
  )
{
  UINT8  Selector = In.Byte ();
  UINTN  Low      = Selector & 31;

  switch (Selector >> 5) {
    case 0:
    case 1:  return 0;
    case 2:  return Width * kBytesPerPixel + Low - 16;
    case 3:  return Width * kBytesPerPixel + Low * kBytesPerPixel;
    case 4:  return Low;
    case 5:  return (Low << 8) | In.Byte ();
    case 6:  return static_cast<UINTN>(In.Bytes (8));
    default: return ~static_cast<UINTN>(0) - Low;
  }
}

} // namespace

UINT32
DecodeStartMode (
  Reader  &In
  )
{
  static const UINT32  StartModes[8] = { 0, 0, 0, 0, 0, 0, 1, 2 };

  return StartModes[In.Byte () & 7];
}

CallKind
DecodeKind (
  Reader  &In
  )
{
  switch (In.Byte () % 16) {
    case 13:
    case 14:
      return CallKind::QueryMode;

    case 15:
      return CallKind::SetMode;

    default:
      return CallKind::Blt;
  }
}

CallFlags
DecodeFlags (
  Reader  &In
  )
{
  static const EFI_TPL  Levels[4] = { TPL_APPLICATION, TPL_CALLBACK, TPL_NOTIFY, TPL_APPLICATION };
  UINT8                 Flags     = In.Byte ();

  return CallFlags{ Levels[Flags & 3], (Flags & 0x04) != 0, (Flags & 0x08) != 0, (Flags & 0x10) != 0,
                    static_cast<UINTN>(Flags >> 5) };
}

BltFields
DecodeBlt (
  Reader  &In,
  UINTN   ScreenWidth,
  UINTN   ScreenHeight
  )
{
  BltFields  Fields;

  Fields.Operation    = DecodeOperation (In);
  Fields.Width        = DecodeValue (In, ScreenWidth, ScreenWidth);
  Fields.Height       = DecodeValue (In, ScreenHeight, ScreenHeight);
  Fields.SourceX      = DecodeValue (In, ScreenWidth, Fields.Width);
  Fields.SourceY      = DecodeValue (In, ScreenHeight, Fields.Height);
  Fields.DestinationX = DecodeValue (In, ScreenWidth, Fields.Width);
  Fields.DestinationY = DecodeValue (In, ScreenHeight, Fields.Height);
  Fields.Delta        = DecodeDelta (In, Fields.Width);
  return Fields;
}

UINT32
DecodeModeNumber (
  Reader  &In,
  UINT32  Current,
  UINT32  ModeCount
  )
{
  static const UINT32  Invalid[4] = { 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF };
  UINT8                Selector   = In.Byte ();
  UINT32               High       = Selector >> 3;

  switch (Selector & 7) {
    case 0:
    case 1:  return Current;
    case 2:
    case 3:
    case 4:  return High % ModeCount;
    case 5:  return ModeCount + High;
    case 6:  return Invalid[High & 3];
    default: return static_cast<UINT32>(In.Bytes (4));
  }
}

} // namespace Qd520Fuzz
