/** @file
  The fuzzer's model of what the protocol must show: the current mode,
  whether the driver holds a line buffer, and the first kModelBytes of the
  frame buffer, kept page by page. A page is either still the start
  pattern, or zero after a clear, or held as words that transfers change;
  transfers change them as the reference model of Blt says.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_FUZZ_MODEL_H_
#define QD520_FUZZ_MODEL_H_

#include "Qd520BltModel.h"

#include <vector>

namespace Qd520Sim {
class SimAdapter;
}

namespace Qd520Fuzz {

using Qd520Reference::kBytesPerPixel;
using Qd520Reference::kOfferedModeCount;
using Qd520Reference::kOfferedModes;

/// Bytes of the whole frame of Mode.
constexpr UINTN
ScreenBytes (
  UINT32  Mode
  )
{
  return Qd520Reference::FrameBufferBytes (kOfferedModes[Mode].Width, kOfferedModes[Mode].Height);
}

constexpr UINTN  kGuardBytes     = 64 * 1024;   ///< checked frame buffer beyond the largest screen
constexpr UINTN  kModelBytes     = ScreenBytes (kOfferedModeCount - 1) + kGuardBytes;
constexpr UINTN  kModelWords     = kModelBytes / kBytesPerPixel;
constexpr UINTN  kModelPageBytes = 4096;        ///< unit of what the model expects (PageState)
constexpr UINTN  kWordsPerPage   = kModelPageBytes / kBytesPerPixel;

static_assert (kModelBytes % kBytesPerPixel == 0, "the model holds whole pixels");
static_assert (kModelBytes % kModelPageBytes == 0, "the model is made of whole pages");

//
// Bulk work of the model, kept out of the coverage instrumentation (and
// out of line, where the instrumentation would follow it): a comparison
// callback per pixel would cost more than the driver's transfer.
//
#define QD520_BULK  __attribute__ ((noinline, no_sanitize ("coverage")))

/// Word Index of the pattern every input starts from: a distinct value in
/// every pixel (the multiplier is odd).
constexpr UINT32  kScreenPatternStep = 0x9E3779B1u;
constexpr UINT32  kScreenPatternMask = 0x3C5A96E1u;

constexpr UINT32
ScreenPatternWord (
  UINTN  Index
  )
{
  return static_cast<UINT32>(Index) * kScreenPatternStep ^ kScreenPatternMask;
}

/// What a page of the model expects of the frame buffer: the start
/// pattern, zeros (the model's words are not kept), or the model's words.
enum class PageState : UINT8 {
  Pattern,
  Zero,
  Held
};

class FuzzModel {
public:
  /// The driver has just started: mode 0, a line buffer, the frame buffer
  /// cleared.
  void
  Initialize (
    );

  UINT32
  Mode (
    ) const
  {
    return mMode;
  }

  bool
  HasLineBuffer (
    ) const
  {
    return mLineBuffer;
  }

  /// Word index of pixel (X, Y) of the current mode.
  UINTN
  PixelIndex (
    UINTN  X,
    UINTN  Y
    ) const
  {
    return Y * Qd520Reference::PixelsPerScanLine (kOfferedModes[mMode].Width) + X;
  }

  /// The model's words; only those of held pages mean anything.
  const UINT32 *
  Words (
    ) const
  {
    return mWords.data ();
  }

  /// An accepted Blt: the model holds the screen rows it reads or writes,
  /// then applies it (Buffer: the caller's buffer as it must be, which a
  /// read changes).
  void
  ApplyBlt (
    const Qd520Reference::BltRequest  &Request,
    UINT8                             *Buffer
    );

  /// SetMode to the current mode: its whole frame is black.
  void
  ClearCurrentMode (
    );

  /// A full SetMode to Mode: a new line buffer, and the frame buffer
  /// cleared further than the model reaches.
  void
  ChangeMode (
    UINT32  Mode
    );

  /// A SetMode that ran out of memory: no line buffer.
  void
  LoseLineBuffer (
    )
  {
    mLineBuffer = false;
  }

  /// Makes the model hold the expected words of its pages that hold words
  /// FirstWord to EndWord (exclusive), so that they can be read and
  /// changed word by word.
  void
  Hold (
    UINTN  FirstWord,
    UINTN  EndWord
    );

  /// Whether FrameBuffer holds what the model expects, every page; a page
  /// that should hold the pattern is read only if the adapter wrote it.
  bool
  Agrees (
    const UINT8                 *FrameBuffer,
    const Qd520Sim::SimAdapter  &Adapter
    ) const;

  /// Puts the pattern back into the pages of FrameBuffer that may differ
  /// from it: pages cleared, and pages the adapter wrote since the last
  /// restore. A page the model held only to read from (the source of a
  /// transfer) still holds the pattern. Every page then expects it again.
  /// The frame buffer must agree with the model.
  void
  RestorePattern (
    UINT8                       *FrameBuffer,
    const Qd520Sim::SimAdapter  &Adapter
    );

private:
  /// The frame buffer's first Bytes are now zero: the model's pages
  /// inside them no longer need their words.
  void
  Cleared (
    UINTN  Bytes
    );

  /// Holds the rows of the current mode's rectangle at (X, Y).
  void
  HoldRectangle (
    UINTN  X,
    UINTN  Y,
    UINTN  Width,
    UINTN  Height
    );

  UINT32                  mMode       = 0;
  bool                    mLineBuffer = true;
  std::vector<UINT32>     mWords;     ///< first kModelBytes of the frame buffer
  std::vector<UINT32>     mPattern;   ///< what each input starts from
  std::vector<PageState>  mPages;     ///< what each model page expects
};

} // namespace Qd520Fuzz

#endif // QD520_FUZZ_MODEL_H_
