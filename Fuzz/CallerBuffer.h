/** @file
  The caller's buffers the fuzzer hands to Blt: blocks of exactly the size
  a call claims, so that AddressSanitizer reports any access past their
  end.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_FUZZ_CALLER_BUFFER_H_
#define QD520_FUZZ_CALLER_BUFFER_H_

extern "C" {
#include <Uefi.h>
}

namespace Qd520Fuzz {

constexpr UINTN  kBufferCap     = 16 * 1024 * 1024;   ///< largest caller's buffer the harness supplies
constexpr UINTN  kPatternSlack  = 256;                ///< start offsets into the buffer pattern

/// A caller's buffer: a block of exactly Misalignment + Bytes at the start
/// of one heap arena that every call reuses, with all of the arena after
/// the block poisoned, so that AddressSanitizer reports any access past its
/// end (and the arena's own left redzone any access before it). A fresh
/// heap block of megabytes would come as new pages to fault in at every
/// call. Filled with the buffer pattern from PatternStart on; Data() starts
/// Misalignment bytes into it. One at a time.
class CallerBuffer {
public:
  CallerBuffer (
    UINTN  Misalignment,
    UINTN  Bytes,
    UINTN  PatternStart
    );

  ~CallerBuffer (
    );

  CallerBuffer (
    const CallerBuffer &
    ) = delete;

  CallerBuffer &
  operator= (
    const CallerBuffer &
    ) = delete;

  UINT8 *
  Data (
    ) const
  {
    return mBlock + mMisalignment;
  }

  UINT8 *
  Block (
    ) const
  {
    return mBlock;
  }

  UINTN
  BlockSize (
    ) const
  {
    return mSize;
  }

  /// The buffer pattern, kBufferCap + 8 + kPatternSlack bytes.
  static const UINT8 *
  Pattern (
    );

private:
  static constexpr UINTN  kArenaBytes = kBufferCap + 8;

  /// The arena, kArenaBytes; all poisoned while no buffer is in it.
  static UINT8 *
  Arena (
    );

  UINT8  *mBlock;
  UINTN  mSize;
  UINTN  mMisalignment;
};

} // namespace Qd520Fuzz

#endif // QD520_FUZZ_CALLER_BUFFER_H_
