/** @file
  Decoding of the fuzzer's input: the start mode, then per call a Kind
  byte, a Flags byte and the call's fields (README.md, "Input format").

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_FUZZ_INPUT_H_
#define QD520_FUZZ_INPUT_H_

extern "C" {
#include <Uefi.h>
}

#include <cstddef>
#include <cstdint>

namespace Qd520Fuzz {

/// Bytes of the input in order; a byte past the end reads as 0.
class Reader {
public:
  Reader (
    const uint8_t  *Data,
    size_t         Size
    ) : mData (Data), mSize (Size) {}

  bool
  Empty (
    ) const
  {
    return mPosition >= mSize;
  }

  UINT8
  Byte (
    )
  {
    return (mPosition < mSize) ? mData[mPosition++] : (mPosition++, 0);
  }

  /// Count bytes, least significant first.
  UINT64
  Bytes (
    unsigned  Count
    )
  {
    UINT64  Value = 0;

    for (unsigned Index = 0; Index < Count; Index++) {
      Value |= static_cast<UINT64>(Byte ()) << (8 * Index);
    }

    return Value;
  }

private:
  const uint8_t  *mData;
  size_t         mSize;
  size_t         mPosition = 0;
};

/// The protocol function a call makes.
enum class CallKind {
  Blt,
  QueryMode,
  SetMode
};

/// The Flags byte of a call.
struct CallFlags {
  EFI_TPL    Tpl;            ///< the caller's level for the call
  bool       FailAllocation; ///< fail the next pool allocation (QueryMode, SetMode)
  bool       NullFirst;      ///< BltBuffer NULL; QueryMode: Info NULL
  bool       NullSecond;     ///< QueryMode: SizeOfInfo NULL
  UINTN      Misalignment;   ///< Blt: caller's buffer starts this many bytes past a malloc boundary
};

/// The fields of a Blt call, in the protocol's order.
struct BltFields {
  UINT32    Operation;
  UINTN     SourceX;
  UINTN     SourceY;
  UINTN     DestinationX;
  UINTN     DestinationY;
  UINTN     Width;
  UINTN     Height;
  UINTN     Delta;
};

/// The header: the start mode, mode 0 in three inputs of four so that mode
/// changes between inputs stay rare.
UINT32
DecodeStartMode (
  Reader  &In
  );

/// The Kind byte: Blt in 13 of 16, QueryMode in 2, SetMode in 1.
CallKind
DecodeKind (
  Reader  &In
  );

CallFlags
DecodeFlags (
  Reader  &In
  );

/// A Blt call's fields on a screen of ScreenWidth x ScreenHeight: sizes
/// first, so that coordinates can land at the rectangle's edges.
BltFields
DecodeBlt (
  Reader  &In,
  UINTN   ScreenWidth,
  UINTN   ScreenHeight
  );

/// A mode number for QueryMode and SetMode, with Current the current mode
/// and ModeCount the modes offered.
UINT32
DecodeModeNumber (
  Reader  &In,
  UINT32  Current,
  UINT32  ModeCount
  );

} // namespace Qd520Fuzz

#endif // QD520_FUZZ_INPUT_H_
