/** @file
  The fuzzer's harness: the simulated platform with the driver on one
  adapter, the model of what the protocol must show (FuzzModel.h), and for
  every call of an input the expectation, the call and the checks.

  FuzzHarness.cpp runs an input, FuzzCalls.cpp makes each call and
  FuzzChecks.cpp holds the checks.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_FUZZ_HARNESS_H_
#define QD520_FUZZ_HARNESS_H_

#include "SimPlatform.h"

#include "Qdl520.h"

#include "FuzzInput.h"
#include "FuzzModel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Qd520Fuzz {

//
// Harness limits.
//
constexpr unsigned  kMaxOperations  = 16;     ///< calls per input
constexpr unsigned  kMaxModeChanges = 2;      ///< full or out-of-memory SetMode calls per input
constexpr size_t    kTraceCapacity  = 4096;   ///< more than the 2 x 768 rows of any transfer
constexpr UINT32    kRegisterSeed   = 0x5A5A1234;
constexpr UINTN     kSizeSentinel   = 0x5EED5EED5EED5EEDull;
constexpr UINTN     kSizeOfInfo     = 36;

static_assert (2 * 768 <= kTraceCapacity, "a move of the tallest screen fits the trace");

/// Formats like printf, into a string.
std::string
Format (
  const char  *Text,
  ...
  );

const char *
StatusName (
  EFI_STATUS  Status
  );

/// A mode information record of a BGRX mode carries no pixel masks.
inline bool
PixelInformationIsZero (
  const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  &Info
  )
{
  return (Info.PixelInformation.RedMask == 0) && (Info.PixelInformation.GreenMask == 0) &&
         (Info.PixelInformation.BlueMask == 0) && (Info.PixelInformation.ReservedMask == 0);
}

class Harness {
public:
  void
  Initialize (
    );

  void
  RunInput (
    const uint8_t  *Data,
    size_t         Size
    );

  void
  PrintStatistics (
    ) const;

  /// A sanitizer report (a store to a read-only page of the frame buffer
  /// among them) names the call under way too.
  static void
  PrintCallOnDeath (
    );

private:
  [[noreturn]] void
  Fail (
    const char  *Text,
    ...
    ) const;

  //
  // The run of an input (FuzzHarness.cpp).
  //
  void
  Begin (
    UINT32  StartMode
    );

  void
  End (
    );

  /// Raises to the caller's level; LeaveCaller restores it.
  EFI_TPL
  EnterCaller (
    const CallFlags  &Flags
    );

  void
  LeaveCaller (
    const CallFlags  &Flags,
    EFI_TPL          Previous
    );

  /// Prints the call and its outcome when verbose.
  void
  Note (
    const char  *Outcome
    ) const;

  /// Notes the status Function returned; fails unless it is Expected.
  void
  CheckStatus (
    const char  *Function,
    EFI_STATUS  Status,
    EFI_STATUS  Expected
    ) const;

  //
  // The calls (FuzzCalls.cpp).
  //
  void
  RunBlt (
    Reader           &In,
    const CallFlags  &Flags
    );

  void
  RunQueryMode (
    Reader           &In,
    const CallFlags  &Flags
    );

  /// SetMode; an input's full or out-of-memory mode sets beyond
  /// kMaxModeChanges are not made unless Always.
  void
  CallSetMode (
    UINT32           ModeNumber,
    const CallFlags  &Flags,
    bool             Always
    );

  //
  // The checks (FuzzChecks.cpp).
  //

  /// The TPL calls a protocol function made: none, or one raise to
  /// TPL_NOTIFY and its restore.
  void
  CheckTplEvents (
    const CallFlags  &Flags,
    bool             Raised
    ) const;

  /// No PCI I/O call since the trace was cleared.
  void
  CheckNoPciIo (
    ) const;

  /// Exactly one PCI I/O call since the trace was cleared: the zero fill of
  /// the current mode's whole frame from the start of BAR 0.
  void
  CheckFrameClear (
    ) const;

  /// One PCI I/O call per row of an accepted transfer (two for a move),
  /// each with its row's offset, unit and buffer.
  void
  CheckBltTrace (
    const Qd520Reference::BltRequest  &Request,
    const UINT8                       *Buffer,
    UINT32                            Colour
    ) const;

  void
  CheckRow (
    const char                         *What,
    size_t                             Index,
    const Qd520Sim::TraceRecord        &Record,
    Qd520Sim::PciIoOperation           Operation,
    UINT64                             Offset,
    UINTN                              Width,
    const UINT8                        *Buffer
    ) const;

  /// Frame buffer rows of a rectangle of the current mode against the model.
  void
  CheckRectangle (
    const char  *What,
    UINTN       X,
    UINTN       Y,
    UINTN       Width,
    UINTN       Height
    ) const;

  /// The caller's whole block against what it must hold.
  void
  CheckCallerBlock (
    const UINT8  *Block,
    UINTN        BlockSize,
    UINTN        Misalignment,
    UINTN        Pitch,
    UINTN        Claim
    ) const;

  /// The frame buffer against the model, every page; word by word when a
  /// page differs.
  void
  CheckFrameBuffer (
    );

  /// Everything that must hold after every call: no assertion or simulator
  /// failure, the caller's level, the mode record, the driver's context and
  /// pool.
  void
  CheckState (
    ) const;

  UINT8 *
  FrameBuffer (
    ) const
  {
    return mAdapter->FrameBuffer ();
  }

  Qd520Sim::SimPlatform                    *mPlatform       = nullptr;
  Qd520Sim::SimAdapter                     *mAdapter        = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL             *mGop            = nullptr;
  QDL520_PRIVATE_DATA                      *mPrivate        = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE        *mModeRecord     = nullptr;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION     *mInfoRecord     = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_QUERY_MODE  mQueryMode       = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_SET_MODE    mSetMode         = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_BLT         mBlt             = nullptr;
  UINT64                                   mFrameBufferBase = 0;
  size_t                                   mDriverBlocks    = 0;  ///< live pool blocks with a line buffer
  UINT64                                   mDriverBytes     = 0;  ///< live pool bytes without the line buffer
  unsigned long                            mFailures        = 0;

  FuzzModel                                mModel;
  std::vector<UINT8>                       mExpectedBuffer;     ///< a caller's block as it must be, kept allocated

  //
  // The call under way, for messages.
  //
  std::string                              mCall;
  unsigned                                 mCallIndex       = 0;
  unsigned                                 mModeChanges     = 0;  ///< full and out-of-memory SetMode calls of the input
  bool                                     mVerbose         = false; ///< QD520_GOP_FUZZ_VERBOSE set: print every call

  UINT64                                   mInputs           = 0;
  UINT64                                   mCalls            = 0;
  UINT64                                   mBltCalls         = 0;
  UINT64                                   mQueryModeCalls   = 0;
  UINT64                                   mSetModeCalls     = 0;
  UINT64                                   mFullSetModes     = 0;
  UINT64                                   mSkipped          = 0;
  UINT64                                   mStartModeChanges = 0;
  UINT64                                   mSkippedSetModes  = 0;
};

/// The one harness of the process, for the death callback and the
/// statistics at exit.
extern Harness  *gHarness;

} // namespace Qd520Fuzz

#endif // QD520_FUZZ_HARNESS_H_
