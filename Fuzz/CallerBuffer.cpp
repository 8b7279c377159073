/** @file
  The caller's buffers the fuzzer hands to Blt.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "CallerBuffer.h"

#include "FuzzModel.h"

#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace Qd520Fuzz {

namespace {

/// Byte Index of the caller's buffers' pattern, another sequence than the
/// screen's.
constexpr UINT8
BufferPatternByte (
  UINTN  Index
  )
{
  return static_cast<UINT8>((static_cast<UINT32>(Index) * 0x85EBCA77u ^ 0xC2B2AE3Du) >> 13);
}

} // namespace

CallerBuffer::CallerBuffer (
  UINTN  Misalignment,
  UINTN  Bytes,
  UINTN  PatternStart
  ) : mSize (Misalignment + Bytes), mMisalignment (Misalignment)
{
  mBlock = Arena ();
  ASAN_UNPOISON_MEMORY_REGION (mBlock, mSize);
  std::memcpy (mBlock, Pattern () + PatternStart, mSize);
}

CallerBuffer::~CallerBuffer (
  )
{
  ASAN_POISON_MEMORY_REGION (mBlock, mSize);
}

UINT8 *
CallerBuffer::Arena (
  )
{
  static UINT8  *Memory = nullptr;

  if (Memory == nullptr) {
    Memory = static_cast<UINT8 *>(std::malloc (kArenaBytes));
    if (Memory == nullptr) {
      std::fprintf (stderr, "qd520-gop-fuzz: no host memory for the caller's buffers\n");
      std::abort ();
    }

    ASAN_POISON_MEMORY_REGION (Memory, kArenaBytes);
  }

  return Memory;
}

QD520_BULK const UINT8 *
CallerBuffer::Pattern (
  )
{
  static std::vector<UINT8>  *Bytes = nullptr;

  if (Bytes == nullptr) {
    Bytes = new std::vector<UINT8>(kBufferCap + 8 + kPatternSlack);
    for (UINTN Index = 0; Index < Bytes->size (); Index++) {
      (*Bytes)[Index] = BufferPatternByte (Index);
    }
  }

  return Bytes->data ();
}

} // namespace Qd520Fuzz
