/** @file
  The fuzzer's model of the frame buffer and of the driver's mode state.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzModel.h"

#include "SimPlatform.h"

#include <algorithm>
#include <cstring>

namespace Qd520Fuzz {

namespace {

QD520_BULK void
FillScreenPattern (
  UINT32  *Words,
  UINTN   Count
  )
{
  for (UINTN Index = 0; Index < Count; Index++) {
    Words[Index] = ScreenPatternWord (Index);
  }
}

/// Whether Count words from Words on hold the screen pattern from word
/// First on. Exact, and one pass over the memory: the pattern's words are
/// made as the loop goes. Not instrumented by AddressSanitizer either: the
/// frame buffer is plain mapped memory of the adapter.
__attribute__ ((noinline, no_sanitize ("coverage", "address", "undefined"))) bool
HoldsScreenPattern (
  const UINT8  *Words,
  UINTN        First,
  UINTN        Count
  )
{
  UINT32  Product    = static_cast<UINT32>(First) * kScreenPatternStep;
  UINT32  Difference = 0;

  for (UINTN Index = 0; Index < Count; Index++) {
    UINT32  Word;

    std::memcpy (&Word, Words + Index * kBytesPerPixel, sizeof (Word));
    Difference |= Word ^ (Product ^ kScreenPatternMask);
    Product    += kScreenPatternStep;
  }

  return Difference == 0;
}

/// Stores Count words of the screen pattern from word First on into Words:
/// one pass that only writes, where a copy of the pattern would also read
/// it. Kept out of the instrumentation like HoldsScreenPattern.
__attribute__ ((noinline, no_sanitize ("coverage", "address", "undefined"))) void
StoreScreenPattern (
  UINT8  *Words,
  UINTN  First,
  UINTN  Count
  )
{
  UINT32  Product = static_cast<UINT32>(First) * kScreenPatternStep;

  for (UINTN Index = 0; Index < Count; Index++) {
    UINT32  Word = Product ^ kScreenPatternMask;

    std::memcpy (Words + Index * kBytesPerPixel, &Word, sizeof (Word));
    Product += kScreenPatternStep;
  }
}

/// Whether Bytes (a multiple of 8) from Bytes on are all zero; one pass,
/// kept out of the instrumentation like HoldsScreenPattern.
__attribute__ ((noinline, no_sanitize ("coverage", "address", "undefined"))) bool
HoldsZero (
  const UINT8  *Bytes,
  UINTN        Count
  )
{
  UINT64  Any = 0;

  for (UINTN Index = 0; Index < Count; Index += sizeof (UINT64)) {
    UINT64  Word;

    std::memcpy (&Word, Bytes + Index, sizeof (Word));
    Any |= Word;
  }

  return Any == 0;
}

} // namespace

void
FuzzModel::Initialize (
  )
{
  mMode       = 0;
  mLineBuffer = true;
  mPattern.resize (kModelWords);
  FillScreenPattern (mPattern.data (), kModelWords);

  //
  // The start cleared the frame buffer.
  //
  mWords.assign (kModelWords, 0);
  mPages.assign (kModelBytes / kModelPageBytes, PageState::Zero);
}

QD520_BULK void
FuzzModel::Hold (
  UINTN  FirstWord,
  UINTN  EndWord
  )
{
  UINTN  End = (EndWord < kModelWords) ? EndWord : kModelWords;

  if (FirstWord >= End) {
    return;
  }

  for (UINTN Page = FirstWord / kWordsPerPage; Page * kWordsPerPage < End; Page++) {
    UINT32  *Words = mWords.data () + Page * kWordsPerPage;

    if (mPages[Page] == PageState::Pattern) {
      std::memcpy (Words, mPattern.data () + Page * kWordsPerPage, kModelPageBytes);
    } else if (mPages[Page] == PageState::Zero) {
      std::memset (Words, 0, kModelPageBytes);
    }

    mPages[Page] = PageState::Held;
  }
}

void
FuzzModel::HoldRectangle (
  UINTN  X,
  UINTN  Y,
  UINTN  Width,
  UINTN  Height
  )
{
  Hold (PixelIndex (X, Y), PixelIndex (X + Width, Y + Height - 1));
}

void
FuzzModel::ApplyBlt (
  const Qd520Reference::BltRequest  &Request,
  UINT8                             *Buffer
  )
{
  const Qd520Reference::OfferedMode  &Mode = kOfferedModes[mMode];

  if ((Request.Operation == EfiBltVideoToBltBuffer) || (Request.Operation == EfiBltVideoToVideo)) {
    HoldRectangle (Request.SourceX, Request.SourceY, Request.Width, Request.Height);
  }

  if (Request.Operation != EfiBltVideoToBltBuffer) {
    HoldRectangle (Request.DestinationX, Request.DestinationY, Request.Width, Request.Height);
  }

  Qd520Reference::ApplyBlt (
                    Request,
                    { mWords.data (), Mode.Width, Mode.Height, Qd520Reference::PixelsPerScanLine (Mode.Width) },
                    Buffer
                    );
}

void
FuzzModel::ClearCurrentMode (
  )
{
  Cleared (ScreenBytes (mMode));
}

void
FuzzModel::ChangeMode (
  UINT32  Mode
  )
{
  mMode       = Mode;
  mLineBuffer = true;
  Cleared (kModelBytes);
}

QD520_BULK void
FuzzModel::Cleared (
  UINTN  Bytes
  )
{
  UINTN  Whole = ((Bytes < kModelBytes) ? Bytes : kModelBytes) / kModelPageBytes;

  std::fill (mPages.begin (), mPages.begin () + Whole, PageState::Zero);
  if ((Whole < mPages.size ()) && (Bytes % kModelPageBytes != 0)) {
    Hold (Whole * kWordsPerPage, Whole * kWordsPerPage + 1);
    std::memset (mWords.data () + Whole * kWordsPerPage, 0, Bytes % kModelPageBytes);
  }
}

QD520_BULK bool
FuzzModel::Agrees (
  const UINT8                 *FrameBuffer,
  const Qd520Sim::SimAdapter  &Adapter
  ) const
{
  for (UINTN Page = 0; Page < mPages.size (); Page++) {
    UINTN        Offset = Page * kModelPageBytes;
    const UINT8  *Bytes = FrameBuffer + Offset;
    bool         Same;

    switch (mPages[Page]) {
      case PageState::Held:
        Same = std::memcmp (Bytes, mWords.data () + Page * kWordsPerPage, kModelPageBytes) == 0;
        break;

      case PageState::Zero:
        Same = HoldsZero (Bytes, kModelPageBytes);
        break;

      default:
        Same = !Adapter.Written (Offset, kModelPageBytes) ||
               HoldsScreenPattern (Bytes, Page * kWordsPerPage, kWordsPerPage);
        break;
    }

    if (!Same) {
      return false;
    }
  }

  return true;
}

QD520_BULK void
FuzzModel::RestorePattern (
  UINT8                       *FrameBuffer,
  const Qd520Sim::SimAdapter  &Adapter
  )
{
  for (UINTN Page = 0; Page < mPages.size (); Page++) {
    if (mPages[Page] == PageState::Pattern) {
      continue;
    }

    if ((mPages[Page] == PageState::Zero) || Adapter.Written (Page * kModelPageBytes, kModelPageBytes)) {
      StoreScreenPattern (FrameBuffer + Page * kModelPageBytes, Page * kWordsPerPage, kWordsPerPage);
    }

    mPages[Page] = PageState::Pattern;
  }
}

} // namespace Qd520Fuzz
