/** @file
  libFuzzer target: drives the graphics output protocol that the QD520
  driver installs on a simulated adapter with sequences of QueryMode,
  SetMode and Blt calls, and checks every call against an independent model
  of the protocol: the exact status, the caller's task priority level, the
  PCI I/O calls a transfer makes, the pool the driver keeps, the mode record,
  the pixels of the frame buffer and the caller's buffers.

  Every mismatch, driver assertion or simulator failure prints what differed
  and aborts, which libFuzzer reports as a crash. The input format is
  described in README.md beside this file; make-seeds.py writes it.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include "Qdl520.h"

extern "C" {
#include <Library/UefiDriverEntryPoint.h>
}

#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Qd520Sim::AdapterOptions;
using Qd520Sim::PciIoOperation;
using Qd520Sim::PoolBlock;
using Qd520Sim::SimAdapter;
using Qd520Sim::SimPlatform;
using Qd520Sim::TplEvent;
using Qd520Sim::TraceRecord;

typedef unsigned __int128 UINT128;

//
// What the protocol offers.
//
struct ModeGeometry {
  UINT32    Width;
  UINT32    Height;
};

constexpr UINT32        kModeCount           = 3;
constexpr ModeGeometry  kModes[kModeCount]   = {
  { 640,  480 }, { 800,  600 }, { 1024, 768 }
};
constexpr UINTN         kSizeOfInfo          = 36;
constexpr UINT32        kBytesPerPixel       = 4;

constexpr UINTN
ScreenBytes (
  UINT32  Mode
  )
{
  return static_cast<UINTN>(kModes[Mode].Width) * kModes[Mode].Height * kBytesPerPixel;
}

/// A mode information record of a BGRX mode carries no pixel masks.
bool
PixelInformationIsZero (
  const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  &Info
  )
{
  return (Info.PixelInformation.RedMask == 0) && (Info.PixelInformation.GreenMask == 0) &&
         (Info.PixelInformation.BlueMask == 0) && (Info.PixelInformation.ReservedMask == 0);
}

//
// Harness limits.
//
constexpr unsigned  kMaxOperations  = 16;                 ///< calls per input
constexpr unsigned  kMaxModeChanges = 2;                  ///< full or out-of-memory SetMode calls per input
constexpr UINTN     kGuardBytes     = 64 * 1024;          ///< checked frame buffer beyond the largest screen
constexpr UINTN     kModelBytes     = ScreenBytes (kModeCount - 1) + kGuardBytes;
constexpr UINTN     kModelWords     = kModelBytes / kBytesPerPixel;
constexpr UINTN     kBufferCap      = 16 * 1024 * 1024;   ///< largest caller's buffer the harness supplies
constexpr UINTN     kPatternSlack   = 256;                ///< start offsets into the buffer pattern
constexpr size_t    kTraceCapacity  = 4096;               ///< more than the 2 x 768 rows of any transfer
constexpr UINTN     kModelPageBytes = 4096;               ///< unit of what the model expects (PageState)
constexpr UINTN     kWordsPerPage   = kModelPageBytes / kBytesPerPixel;
constexpr UINT32    kRegisterSeed   = 0x5A5A1234;
constexpr UINTN     kSizeSentinel   = 0x5EED5EED5EED5EEDull;

STATIC_ASSERT (kModelBytes % kBytesPerPixel == 0, "the model holds whole pixels");
STATIC_ASSERT (kModelBytes % kModelPageBytes == 0, "the model is made of whole pages");
STATIC_ASSERT (2 * 768 <= kTraceCapacity, "a move of the tallest screen fits the trace");

//
// Deterministic contents: the screen pattern has a distinct value in every
// pixel (the multiplier is odd), the caller's buffers another sequence.
//
constexpr UINT32  kScreenPatternStep = 0x9E3779B1u;
constexpr UINT32  kScreenPatternMask = 0x3C5A96E1u;

constexpr UINT32
ScreenPatternWord (
  UINTN  Index
  )
{
  return static_cast<UINT32>(Index) * kScreenPatternStep ^ kScreenPatternMask;
}

constexpr UINT8
BufferPatternByte (
  UINTN  Index
  )
{
  return static_cast<UINT8>((static_cast<UINT32>(Index) * 0x85EBCA77u ^ 0xC2B2AE3Du) >> 13);
}

//
// Bulk work of the model, kept out of the coverage instrumentation (and
// out of line, where the instrumentation would follow it): a comparison
// callback per pixel would cost more than the driver's transfer.
//
#define QD520_BULK  __attribute__ ((noinline, no_sanitize ("coverage")))

/// Count copies of Value from Words on, by doubling copies.
QD520_BULK void
FillWords (
  UINT32  *Words,
  UINTN   Count,
  UINT32  Value
  )
{
  UINTN  Done;

  if (Count == 0) {
    return;
  }

  Words[0] = Value;
  for (Done = 1; Done < Count; Done *= 2) {
    std::memcpy (Words + Done, Words, ((Count - Done < Done) ? Count - Done : Done) * sizeof (UINT32));
  }
}

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

/// What a page of the model expects of the frame buffer: the start
/// pattern, zeros (the model's words are not kept), or the model's words.
enum class PageState : UINT8 {
  Pattern,
  Zero,
  Held
};

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

/// The Flags byte of an operation.
struct CallFlags {
  EFI_TPL    Tpl;            ///< the caller's level for the call
  bool       FailAllocation; ///< fail the next pool allocation (QueryMode, SetMode)
  bool       NullFirst;      ///< BltBuffer NULL; QueryMode: Info NULL
  bool       NullSecond;     ///< QueryMode: SizeOfInfo NULL
  UINTN      Misalignment;   ///< Blt: caller's buffer starts this many bytes past a malloc boundary
};

CallFlags
DecodeFlags (
  UINT8  Flags
  )
{
  static const EFI_TPL  Levels[4] = { TPL_APPLICATION, TPL_CALLBACK, TPL_NOTIFY, TPL_APPLICATION };

  return CallFlags{ Levels[Flags & 3], (Flags & 0x04) != 0, (Flags & 0x08) != 0, (Flags & 0x10) != 0,
                    static_cast<UINTN>(Flags >> 5) };
}

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

/// A mode number for QueryMode and SetMode.
UINT32
DecodeModeNumber (
  Reader  &In,
  UINT32  Current
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
    case 4:  return High % kModeCount;
    case 5:  return kModeCount + High;
    case 6:  return Invalid[High & 3];
    default: return static_cast<UINT32>(In.Bytes (4));
  }
}

const char *
StatusName (
  EFI_STATUS  Status
  )
{
  switch (Status) {
    case EFI_SUCCESS:           return "EFI_SUCCESS";
    case EFI_INVALID_PARAMETER: return "EFI_INVALID_PARAMETER";
    case EFI_UNSUPPORTED:       return "EFI_UNSUPPORTED";
    case EFI_OUT_OF_RESOURCES:  return "EFI_OUT_OF_RESOURCES";
    case EFI_DEVICE_ERROR:      return "EFI_DEVICE_ERROR";
    case EFI_NOT_STARTED:       return "EFI_NOT_STARTED";
    default:                    return "another status";
  }
}

std::string
Format (
  const char  *Text,
  ...
  )
{
  char     Buffer[512];
  va_list  Arguments;

  va_start (Arguments, Text);
  std::vsnprintf (Buffer, sizeof (Buffer), Text, Arguments);
  va_end (Arguments);
  return Buffer;
}

/// A caller's buffer: a block of exactly Misalignment + Bytes at the start
/// of one heap arena that every call reuses, with all of the arena after
/// the block poisoned, so that AddressSanitizer reports any access past its
/// end (and the arena's own left redzone any access before it). A fresh
/// heap block of megabytes would come as new pages to fault in at every
/// call. Filled with the buffer pattern; Data() starts Misalignment bytes
/// into it. One at a time.
class CallerBuffer {
public:
  CallerBuffer (
    UINTN  Misalignment,
    UINTN  Bytes,
    UINTN  PatternStart
    ) : mSize (Misalignment + Bytes), mMisalignment (Misalignment)
  {
    mBlock = Arena ();
    ASAN_UNPOISON_MEMORY_REGION (mBlock, mSize);
    std::memcpy (mBlock, Pattern () + PatternStart, mSize);
  }

  ~CallerBuffer (
    )
  {
    ASAN_POISON_MEMORY_REGION (mBlock, mSize);
  }

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

/// The platform, the driver on one adapter and the model of what the
/// protocol must show.
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
    ) const
  {
    std::fprintf (
           stderr,
           "qd520-gop-fuzz: %llu inputs (%llu starting in another mode than the last), %llu calls (%llu Blt, "
           "%llu QueryMode, %llu SetMode, %llu full SetMode); skipped: %llu Blt calls (caller's buffer over %zu "
           "bytes or beyond the address space), %llu mode changes beyond %u in an input\n",
           (unsigned long long)mInputs,
           (unsigned long long)mStartModeChanges,
           (unsigned long long)mCalls,
           (unsigned long long)mBltCalls,
           (unsigned long long)mQueryModeCalls,
           (unsigned long long)mSetModeCalls,
           (unsigned long long)mFullSetModes,
           (unsigned long long)mSkipped,
           (size_t)kBufferCap,
           (unsigned long long)mSkippedSetModes,
           kMaxModeChanges
           );
  }

private:
  [[noreturn]] void
  Fail (
    const char  *Text,
    ...
    ) const;

  void
  Begin (
    UINT32  StartMode
    );

  void
  End (
    );

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

  void
  CheckBltTrace (
    UINT32        Operation,
    const UINT8   *Buffer,
    UINTN         SourceX,
    UINTN         SourceY,
    UINTN         DestinationX,
    UINTN         DestinationY,
    UINTN         Width,
    UINTN         Height,
    UINTN         Pitch,
    UINT32        Colour
    ) const;

  void
  CheckRow (
    const char   *What,
    size_t       Index,
    const TraceRecord  &Record,
    PciIoOperation     Operation,
    UINT64       Offset,
    UINTN        Width,
    const UINT8  *Buffer
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

  /// Everything that must hold after every call: no assertion or simulator
  /// failure, the caller's level, the mode record, the driver's context and
  /// pool.
  void
  CheckState (
    ) const;

  /// Prints the call and its status when verbose.
  void
  Note (
    const char  *Outcome
    ) const
  {
    if (mVerbose) {
      std::fprintf (stderr, "  %u: %s -> %s\n", mCallIndex, mCall.c_str (), Outcome);
    }
  }

  UINT8 *
  FrameBuffer (
    ) const
  {
    return mAdapter->FrameBuffer ();
  }

  UINTN
  PixelIndex (
    UINTN  X,
    UINTN  Y
    ) const
  {
    return Y * kModes[mMode].Width + X;
  }

  /// Makes the model hold the expected words of its pages that hold words
  /// FirstWord to EndWord (exclusive), so that they can be read and
  /// changed word by word.
  void
  Hold (
    UINTN  FirstWord,
    UINTN  EndWord
    );

  /// The frame buffer's first Bytes are now zero: the model's pages
  /// inside them no longer need their words.
  void
  Cleared (
    UINTN  Bytes
    );

  /// Whether the frame buffer holds what the model expects, every page.
  bool
  FrameBufferAgrees (
    ) const;

  /// Puts the start pattern back where the frame buffer may differ from it.
  void
  RestorePattern (
    );

  static void
  PrintCallOnDeath (
    );

  SimPlatform                           *mPlatform       = nullptr;
  SimAdapter                            *mAdapter        = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL          *mGop            = nullptr;
  QDL520_PRIVATE_DATA                   *mPrivate        = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE     *mModeRecord     = nullptr;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *mInfoRecord     = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_QUERY_MODE  mQueryMode    = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_SET_MODE    mSetMode      = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_BLT         mBlt          = nullptr;
  UINT64                                mFrameBufferBase = 0;
  size_t                                mDriverBlocks    = 0;  ///< live pool blocks with a line buffer
  UINT64                                mDriverBytes     = 0;  ///< live pool bytes without the line buffer
  unsigned long                         mFailures        = 0;

  //
  // The model.
  //
  UINT32                                mMode            = 0;
  bool                                  mLineBuffer      = true;
  std::vector<UINT32>                   mModel;              ///< first kModelBytes of the frame buffer
  std::vector<UINT32>                   mPattern;            ///< what each input starts from
  std::vector<UINT32>                   mRectangle;          ///< a moved rectangle, kept allocated
  std::vector<UINT8>                    mExpectedBuffer;     ///< a caller's block as it must be, kept allocated
  std::vector<PageState>                mPages;              ///< what each model page expects

  //
  // The call under way, for messages.
  //
  std::string                           mCall;
  unsigned                              mCallIndex       = 0;
  unsigned                              mModeChanges     = 0;  ///< full and out-of-memory SetMode calls of the input
  bool                                  mVerbose         = false; ///< QD520_GOP_FUZZ_VERBOSE set: print every call

  UINT64                                mInputs          = 0;
  UINT64                                mCalls           = 0;
  UINT64                                mBltCalls        = 0;
  UINT64                                mQueryModeCalls  = 0;
  UINT64                                mSetModeCalls    = 0;
  UINT64                                mFullSetModes    = 0;
  UINT64                                mSkipped         = 0;
  UINT64                                mStartModeChanges = 0;
  UINT64                                mSkippedSetModes  = 0;
};

void
Harness::Fail (
  const char  *Text,
  ...
  ) const
{
  va_list  Arguments;

  std::fprintf (stderr, "\nqd520-gop-fuzz: ");
  va_start (Arguments, Text);
  std::vfprintf (stderr, Text, Arguments);
  va_end (Arguments);
  std::fprintf (stderr, "\n  in call %u of the input: %s\n", mCallIndex, mCall.c_str ());
  if ((mPlatform != nullptr) && !mPlatform->Assertions ().empty ()) {
    std::fprintf (stderr, "  driver assertions:\n%s", mPlatform->AssertionsText ().c_str ());
  }

  std::fflush (stderr);
  std::abort ();
}

QD520_BULK void
Harness::Hold (
  UINTN  FirstWord,
  UINTN  EndWord
  )
{
  UINTN  End = (EndWord < kModelWords) ? EndWord : kModelWords;

  if (FirstWord >= End) {
    return;
  }

  for (UINTN Page = FirstWord / kWordsPerPage; Page * kWordsPerPage < End; Page++) {
    UINT32  *Words = mModel.data () + Page * kWordsPerPage;

    if (mPages[Page] == PageState::Pattern) {
      std::memcpy (Words, mPattern.data () + Page * kWordsPerPage, kModelPageBytes);
    } else if (mPages[Page] == PageState::Zero) {
      std::memset (Words, 0, kModelPageBytes);
    }

    mPages[Page] = PageState::Held;
  }
}

QD520_BULK void
Harness::Cleared (
  UINTN  Bytes
  )
{
  UINTN  Whole = ((Bytes < kModelBytes) ? Bytes : kModelBytes) / kModelPageBytes;

  std::fill (mPages.begin (), mPages.begin () + Whole, PageState::Zero);
  if ((Whole < mPages.size ()) && (Bytes % kModelPageBytes != 0)) {
    Hold (Whole * kWordsPerPage, Whole * kWordsPerPage + 1);
    std::memset (mModel.data () + Whole * kWordsPerPage, 0, Bytes % kModelPageBytes);
  }
}

QD520_BULK bool
Harness::FrameBufferAgrees (
  ) const
{
  for (UINTN Page = 0; Page < mPages.size (); Page++) {
    UINTN        Offset = Page * kModelPageBytes;
    const UINT8  *Bytes = FrameBuffer () + Offset;
    bool         Agrees;

    switch (mPages[Page]) {
      case PageState::Held:
        Agrees = std::memcmp (Bytes, mModel.data () + Page * kWordsPerPage, kModelPageBytes) == 0;
        break;

      case PageState::Zero:
        Agrees = HoldsZero (Bytes, kModelPageBytes);
        break;

      default:
        Agrees = !mAdapter->Written (Offset, kModelPageBytes) ||
                 HoldsScreenPattern (Bytes, Page * kWordsPerPage, kWordsPerPage);
        break;
    }

    if (!Agrees) {
      return false;
    }
  }

  return true;
}

void
Harness::Initialize (
  )
{
  AdapterOptions  Options;

  mPlatform = new SimPlatform ();
  mCall     = "start of the driver";
  mVerbose  = std::getenv ("QD520_GOP_FUZZ_VERBOSE") != nullptr;
  mCall.reserve (1024);

  Options.FailOnBarViolation = true;
  Options.RecordWrittenPages = true;
  Options.TraceCapacity      = kTraceCapacity;
  mAdapter                   = &mPlatform->AddAdapter (Options);
  mAdapter->FillRegisters (kRegisterSeed);
  mAdapter->PciIo ().SetTracing (FALSE);

  if (_ModuleEntryPoint (mPlatform->ImageHandle (), mPlatform->SystemTable ()) != EFI_SUCCESS) {
    Fail ("the driver's entry point failed");
  }

  if (mPlatform->Connect (mAdapter->Controller ()) != EFI_SUCCESS) {
    Fail ("connecting the adapter failed");
  }

  mGop = static_cast<EFI_GRAPHICS_OUTPUT_PROTOCOL *>(
           mPlatform->Handles ().InterfaceOn (mAdapter->Controller (), gEfiGraphicsOutputProtocolGuid)
           );
  if ((mGop == nullptr) || (mGop->Mode == nullptr) || (mGop->Mode->Info == nullptr)) {
    Fail ("no graphics output protocol with a mode record on the controller");
  }

  mPrivate         = BASE_CR (mGop, QDL520_PRIVATE_DATA, GraphicsOutput);
  mModeRecord      = mGop->Mode;
  mInfoRecord      = mGop->Mode->Info;
  mQueryMode       = mGop->QueryMode;
  mSetMode         = mGop->SetMode;
  mBlt             = mGop->Blt;
  mFrameBufferBase = mAdapter->Model ().BarBase (QDL520_FRAME_BUFFER_BAR);
  mFailures        = Qd520Sim::FailureCount ();

  if ((mPrivate->LineBuffer == nullptr) || (mPlatform->Pool ().BlockAt (mPrivate->LineBuffer) == nullptr)) {
    Fail ("no line buffer after the start");
  }

  mDriverBlocks = mPlatform->Pool ().LiveBlocks ();
  mDriverBytes  = mPlatform->Pool ().LiveBytes () - ScreenBytes (0);
  mMode         = 0;
  mLineBuffer   = true;

  mPattern.resize (kModelWords);
  FillScreenPattern (mPattern.data (), kModelWords);
  mRectangle.resize (ScreenBytes (kModeCount - 1) / kBytesPerPixel);
  mExpectedBuffer.reserve (kBufferCap + 8);

  //
  // The start cleared the frame buffer.
  //
  mModel.assign (kModelWords, 0);
  mPages.assign (kModelBytes / kModelPageBytes, PageState::Zero);
  __sanitizer_set_death_callback (PrintCallOnDeath);
  (VOID)CallerBuffer::Pattern ();

  CheckState ();
  mPlatform->Uart ().TakeText ();
}

EFI_TPL
Harness::EnterCaller (
  const CallFlags  &Flags
  )
{
  EFI_TPL  Previous = TPL_APPLICATION;

  if (Flags.Tpl != TPL_APPLICATION) {
    Previous = gBS->RaiseTPL (Flags.Tpl);
  }

  mPlatform->Tpl ().ClearEvents ();
  mAdapter->ClearTrace ();
  return Previous;
}

void
Harness::LeaveCaller (
  const CallFlags  &Flags,
  EFI_TPL          Previous
  )
{
  if (mPlatform->Tpl ().Current () != Flags.Tpl) {
    Fail ("the call left the task priority level at %llu, the caller's is %llu",
          (unsigned long long)mPlatform->Tpl ().Current (), (unsigned long long)Flags.Tpl);
  }

  if (Flags.Tpl != TPL_APPLICATION) {
    gBS->RestoreTPL (Previous);
  }

  mPlatform->Pool ().ClearInjectedFailures ();
}

void
Harness::CheckTplEvents (
  const CallFlags  &Flags,
  bool             Raised
  ) const
{
  const std::vector<TplEvent>  &Events = mPlatform->Tpl ().Events ();

  if (!Raised) {
    if (!Events.empty ()) {
      Fail ("the call changed the task priority level (%zu RaiseTPL/RestoreTPL calls), expected none", Events.size ());
    }

    return;
  }

  if ((Events.size () != 2) ||
      (Events[0].Call != TplEvent::Kind::Raise) || (Events[0].Requested != TPL_NOTIFY) ||
      (Events[0].Previous != Flags.Tpl) ||
      (Events[1].Call != TplEvent::Kind::Restore) || (Events[1].Requested != Flags.Tpl) ||
      (Events[1].Previous != TPL_NOTIFY))
  {
    Fail ("expected RaiseTPL (TPL_NOTIFY) at %llu and RestoreTPL (%llu); saw %zu calls",
          (unsigned long long)Flags.Tpl, (unsigned long long)Flags.Tpl, Events.size ());
  }
}

void
Harness::CheckNoPciIo (
  ) const
{
  UINTN  Calls = mAdapter->PciIo ().TraceCount () + mAdapter->PciIo ().TraceOverflow ();

  if (Calls != 0) {
    const TraceRecord  &First = mAdapter->PciIo ().Trace ()[0];

    Fail ("expected no PCI I/O call; saw %zu, the first %s %s BAR %u offset 0x%llx count %llu",
          (size_t)Calls, Qd520Sim::OperationName (First.Operation), Qd520Sim::RecordWidthName (First),
          (unsigned)First.BarIndex, (unsigned long long)First.Offset, (unsigned long long)First.Count);
  }
}

void
Harness::CheckFrameClear (
  ) const
{
  const Qd520Sim::PciIoDevice  &PciIo = mAdapter->PciIo ();
  const TraceRecord            &Fill  = PciIo.Trace ()[0];
  UINT64                       Count  = ScreenBytes (mMode) / kBytesPerPixel;

  if ((PciIo.TraceOverflow () != 0) || (PciIo.TraceCount () != 1)) {
    Fail ("setting the current mode made %zu PCI I/O calls, expected one fill of its frame",
          (size_t)(PciIo.TraceCount () + PciIo.TraceOverflow ()));
  }

  if ((Fill.Operation != PciIoOperation::MemWrite) || (Fill.BarIndex != QDL520_FRAME_BUFFER_BAR) ||
      (Fill.Width != EfiPciIoWidthFillUint32) || (Fill.Offset != 0) || (Fill.Count != Count) || (Fill.Value != 0) ||
      (Fill.Status != EFI_SUCCESS))
  {
    Fail ("clear of the current mode: PCI I/O %s %s BAR %u offset 0x%llx count %llu value 0x%llx; "
          "expected MemWrite FillUint32 BAR 0 offset 0 count %llu value 0",
          Qd520Sim::OperationName (Fill.Operation), Qd520Sim::RecordWidthName (Fill), (unsigned)Fill.BarIndex,
          (unsigned long long)Fill.Offset, (unsigned long long)Fill.Count, (unsigned long long)Fill.Value,
          (unsigned long long)Count);
  }
}

void
Harness::CheckState (
  ) const
{
  const ModeGeometry  &Mode = kModes[mMode];
  size_t              Blocks;
  UINT64              Bytes;

  if (!mPlatform->Assertions ().empty ()) {
    Fail ("the driver asserted");
  }

  if (Qd520Sim::FailureCount () != mFailures) {
    Fail ("the simulator reported a failure");
  }

  if (mPlatform->Tpl ().Current () != TPL_APPLICATION) {
    Fail ("the task priority level is %llu between calls", (unsigned long long)mPlatform->Tpl ().Current ());
  }

  if ((mGop->Mode != mModeRecord) || (mGop->QueryMode != mQueryMode) || (mGop->SetMode != mSetMode) ||
      (mGop->Blt != mBlt))
  {
    Fail ("the protocol's members changed");
  }

  if ((mModeRecord->MaxMode != kModeCount) || (mModeRecord->Mode != mMode) || (mModeRecord->Info != mInfoRecord) ||
      (mModeRecord->SizeOfInfo != kSizeOfInfo) || (mModeRecord->FrameBufferBase != mFrameBufferBase) ||
      (mModeRecord->FrameBufferSize != ScreenBytes (mMode)))
  {
    Fail ("mode record: MaxMode %u Mode %u Info %p SizeOfInfo %llu FrameBufferBase 0x%llx FrameBufferSize %llu; "
          "expected 3, %u, %p, 36, 0x%llx, %llu",
          mModeRecord->MaxMode, mModeRecord->Mode, (void *)mModeRecord->Info,
          (unsigned long long)mModeRecord->SizeOfInfo, (unsigned long long)mModeRecord->FrameBufferBase,
          (unsigned long long)mModeRecord->FrameBufferSize, mMode, (void *)mInfoRecord,
          (unsigned long long)mFrameBufferBase, (unsigned long long)ScreenBytes (mMode));
  }

  if ((mInfoRecord->Version != 0) || (mInfoRecord->HorizontalResolution != Mode.Width) ||
      (mInfoRecord->VerticalResolution != Mode.Height) ||
      (mInfoRecord->PixelFormat != PixelBlueGreenRedReserved8BitPerColor) ||
      (mInfoRecord->PixelsPerScanLine != Mode.Width) || !PixelInformationIsZero (*mInfoRecord))
  {
    Fail ("Mode->Info: version %u, %ux%u, format %u, %u pixels per scan line, pixel masks %s; expected mode %u",
          mInfoRecord->Version, mInfoRecord->HorizontalResolution, mInfoRecord->VerticalResolution,
          (unsigned)mInfoRecord->PixelFormat, mInfoRecord->PixelsPerScanLine,
          PixelInformationIsZero (*mInfoRecord) ? "zero" : "not zero", mMode);
  }

  if ((mPrivate->Signature != QDL520_PRIVATE_DATA_SIGNATURE) || mPrivate->HardwareNeedsStarting) {
    Fail ("device context: signature 0x%llx, HardwareNeedsStarting %u",
          (unsigned long long)mPrivate->Signature, (unsigned)mPrivate->HardwareNeedsStarting);
  }

  if (mLineBuffer) {
    const PoolBlock  *Line = mPlatform->Pool ().BlockAt (mPrivate->LineBuffer);

    if ((Line == nullptr) || (Line->Size != ScreenBytes (mMode)) || (Line->Type != EfiBootServicesData)) {
      Fail ("the line buffer %p is not a live EfiBootServicesData block of %llu bytes",
            mPrivate->LineBuffer, (unsigned long long)ScreenBytes (mMode));
    }
  } else if (mPrivate->LineBuffer != nullptr) {
    Fail ("the line buffer is %p after a SetMode that ran out of memory, expected NULL", mPrivate->LineBuffer);
  }

  Blocks = mDriverBlocks - (mLineBuffer ? 0 : 1);
  Bytes  = mDriverBytes + (mLineBuffer ? ScreenBytes (mMode) : 0);
  if ((mPlatform->Pool ().LiveBlocks () != Blocks) || (mPlatform->Pool ().LiveBytes () != Bytes)) {
    Fail ("pool: %zu live blocks of %llu bytes, expected %zu of %llu",
          mPlatform->Pool ().LiveBlocks (), (unsigned long long)mPlatform->Pool ().LiveBytes (),
          Blocks, (unsigned long long)Bytes);
  }
}

void
Harness::CallSetMode (
  UINT32           ModeNumber,
  const CallFlags  &Flags,
  bool             Always
  )
{
  EFI_STATUS  Expected;
  EFI_STATUS  Status;
  EFI_TPL     Previous;
  bool        Full;
  bool        Repeat;
  UINT64      Allocations;

  mCall = Format ("SetMode (%u) at TPL %llu%s in mode %u%s", ModeNumber, (unsigned long long)Flags.Tpl,
                  Flags.FailAllocation ? ", next pool allocation failing" : "", mMode,
                  mLineBuffer ? "" : " without a line buffer");

  Full   = false;
  Repeat = false;
  if (ModeNumber >= kModeCount) {
    Expected = EFI_UNSUPPORTED;
  } else if (ModeNumber == mMode) {
    Expected = EFI_SUCCESS;
    Repeat   = true;
  } else if (Flags.FailAllocation) {
    Expected = EFI_OUT_OF_RESOURCES;
  } else {
    Expected = EFI_SUCCESS;
    Full     = true;
  }

  //
  // A mode change clears 32 MiB of frame buffer and costs as much as
  // hundreds of transfers; one that runs out of memory costs two at the end
  // of the input. A few per input.
  //
  if ((Full || (Expected == EFI_OUT_OF_RESOURCES)) && !Always) {
    if (mModeChanges >= kMaxModeChanges) {
      Note ("skipped: no more mode changes in this input");
      mSkippedSetModes++;
      return;
    }

    mModeChanges++;
  }

  mCalls++;
  mSetModeCalls++;
  Previous    = EnterCaller (Flags);
  Allocations = mPlatform->Pool ().AllocationCalls ();
  if (Flags.FailAllocation) {
    mPlatform->Pool ().FailAllocation (1);
  }

  //
  // A full mode set programs the adapter; only the others are traced.
  //
  mAdapter->PciIo ().SetTracing (Full ? FALSE : TRUE);
  Status = mGop->SetMode (mGop, ModeNumber);
  mAdapter->PciIo ().SetTracing (FALSE);

  CheckTplEvents (Flags, false);
  LeaveCaller (Flags, Previous);
  Note (StatusName (Status));
  if (Status != Expected) {
    Fail ("SetMode returned %s (0x%llx), expected %s", StatusName (Status), (unsigned long long)Status,
          StatusName (Expected));
  }

  if (!Full) {
    if (Repeat) {
      CheckFrameClear ();
    } else {
      CheckNoPciIo ();
    }

    if (mPlatform->Pool ().AllocationCalls () != Allocations + ((Expected == EFI_OUT_OF_RESOURCES) ? 1 : 0)) {
      Fail ("SetMode made %llu pool allocations",
            (unsigned long long)(mPlatform->Pool ().AllocationCalls () - Allocations));
    }
  }

  if (Expected == EFI_OUT_OF_RESOURCES) {
    mLineBuffer = false;
  } else if (Repeat) {
    //
    // Setting the current mode again clears its whole frame, lines at the
    // pitch, and nothing beyond; the mode, its line buffer (or the lack of
    // one) and the records stay. The end of the input compares the model
    // with the frame buffer.
    //
    Cleared (ScreenBytes (mMode));
  } else if (Full) {
    //
    // The adapter clears 32 MiB from the start of the frame buffer, more
    // than the model holds.
    //
    mFullSetModes++;
    mMode       = ModeNumber;
    mLineBuffer = true;
    Cleared (kModelBytes);
  }

  CheckState ();
}

void
Harness::RunQueryMode (
  Reader           &In,
  const CallFlags  &Flags
  )
{
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  Untouched;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info;
  UINTN                                 SizeOfInfo;
  UINT32                                ModeNumber;
  EFI_STATUS                            Expected;
  EFI_STATUS                            Status;
  EFI_TPL                               Previous;
  UINT64                                Allocations;

  ModeNumber = DecodeModeNumber (In, mMode);
  mCall      = Format ("QueryMode (%u, SizeOfInfo %s, Info %s) at TPL %llu%s in mode %u", ModeNumber,
                       Flags.NullSecond ? "NULL" : "given", Flags.NullFirst ? "NULL" : "given",
                       (unsigned long long)Flags.Tpl, Flags.FailAllocation ? ", next pool allocation failing" : "",
                       mMode);
  mCalls++;
  mQueryModeCalls++;

  if (Flags.NullFirst || Flags.NullSecond || (ModeNumber >= kModeCount)) {
    Expected = EFI_INVALID_PARAMETER;
  } else if (Flags.FailAllocation) {
    Expected = EFI_OUT_OF_RESOURCES;
  } else {
    Expected = EFI_SUCCESS;
  }

  Info       = &Untouched;
  SizeOfInfo = kSizeSentinel;
  Previous   = EnterCaller (Flags);
  Allocations = mPlatform->Pool ().AllocationCalls ();
  if (Flags.FailAllocation) {
    mPlatform->Pool ().FailAllocation (1);
  }

  mAdapter->PciIo ().SetTracing (TRUE);
  Status = mGop->QueryMode (mGop, ModeNumber, Flags.NullSecond ? nullptr : &SizeOfInfo, Flags.NullFirst ? nullptr : &Info);
  mAdapter->PciIo ().SetTracing (FALSE);

  CheckTplEvents (Flags, false);
  LeaveCaller (Flags, Previous);
  CheckNoPciIo ();
  Note (StatusName (Status));
  if (Status != Expected) {
    Fail ("QueryMode returned %s (0x%llx), expected %s", StatusName (Status), (unsigned long long)Status,
          StatusName (Expected));
  }

  if (mPlatform->Pool ().AllocationCalls () != Allocations + ((Expected == EFI_INVALID_PARAMETER) ? 0 : 1)) {
    Fail ("QueryMode made %llu pool allocations", (unsigned long long)(mPlatform->Pool ().AllocationCalls () - Allocations));
  }

  if (Expected == EFI_INVALID_PARAMETER) {
    if ((Info != &Untouched) || (SizeOfInfo != kSizeSentinel)) {
      Fail ("a refused QueryMode wrote its outputs (Info %p, SizeOfInfo 0x%llx)", (void *)Info,
            (unsigned long long)SizeOfInfo);
    }
  } else if (Expected == EFI_OUT_OF_RESOURCES) {
    if ((Info != nullptr) || (SizeOfInfo != kSizeSentinel)) {
      Fail ("QueryMode without memory left Info %p and SizeOfInfo 0x%llx, expected NULL and untouched",
            (void *)Info, (unsigned long long)SizeOfInfo);
    }
  } else {
    const PoolBlock     *Block = mPlatform->Pool ().BlockAt (Info);
    const ModeGeometry  &Mode  = kModes[ModeNumber];

    if ((Block == nullptr) || (Block->Size != kSizeOfInfo) || (Block->Type != EfiBootServicesData) ||
        (Info == mInfoRecord))
    {
      Fail ("QueryMode's Info %p is not a new EfiBootServicesData pool block of 36 bytes", (void *)Info);
    }

    if ((SizeOfInfo != kSizeOfInfo) || (Info->Version != 0) || (Info->HorizontalResolution != Mode.Width) ||
        (Info->VerticalResolution != Mode.Height) || (Info->PixelFormat != PixelBlueGreenRedReserved8BitPerColor) ||
        (Info->PixelsPerScanLine != Mode.Width) || !PixelInformationIsZero (*Info))
    {
      Fail ("QueryMode: SizeOfInfo %llu, version %u, %ux%u, format %u, %u pixels per scan line, pixel masks %s",
            (unsigned long long)SizeOfInfo, Info->Version, Info->HorizontalResolution, Info->VerticalResolution,
            (unsigned)Info->PixelFormat, Info->PixelsPerScanLine, PixelInformationIsZero (*Info) ? "zero" : "not zero");
    }

    if (gBS->FreePool (Info) != EFI_SUCCESS) {
      Fail ("FreePool of QueryMode's Info failed");
    }
  }

  CheckState ();
}

void
Harness::CheckRow (
  const char         *What,
  size_t             Index,
  const TraceRecord  &Record,
  PciIoOperation     Operation,
  UINT64             Offset,
  UINTN              Width,
  const UINT8        *Buffer
  ) const
{
  UINTN   Address = reinterpret_cast<UINTN>(Buffer);
  UINT32  Unit;
  UINT64  Count;

  if (((Width % 2) == 0) && (((Offset | Address) % 8) == 0)) {
    Unit  = EfiPciIoWidthUint64;
    Count = Width / 2;
  } else if ((Address % 4) == 0) {
    Unit  = EfiPciIoWidthUint32;
    Count = Width;
  } else {
    Unit  = EfiPciIoWidthUint8;
    Count = static_cast<UINT64>(Width) * kBytesPerPixel;
  }

  if ((Record.Operation != Operation) || (Record.BarIndex != QDL520_FRAME_BUFFER_BAR) || (Record.Width != Unit) ||
      (Record.Offset != Offset) || (Record.Count != Count) || (Record.Buffer != Buffer) ||
      (Record.Status != EFI_SUCCESS))
  {
    Fail ("%s row %zu: PCI I/O %s %s BAR %u offset 0x%llx count %llu buffer %p status 0x%llx; "
          "expected %s %s BAR 0 offset 0x%llx count %llu buffer %p",
          What, Index, Qd520Sim::OperationName (Record.Operation), Qd520Sim::RecordWidthName (Record),
          (unsigned)Record.BarIndex, (unsigned long long)Record.Offset, (unsigned long long)Record.Count,
          Record.Buffer, (unsigned long long)Record.Status, Qd520Sim::OperationName (Operation),
          Qd520Sim::WidthName (Unit), (unsigned long long)Offset, (unsigned long long)Count, (const void *)Buffer);
  }
}

void
Harness::CheckBltTrace (
  UINT32       Operation,
  const UINT8  *Buffer,
  UINTN        SourceX,
  UINTN        SourceY,
  UINTN        DestinationX,
  UINTN        DestinationY,
  UINTN        Width,
  UINTN        Height,
  UINTN        Pitch,
  UINT32       Colour
  ) const
{
  const Qd520Sim::PciIoDevice  &PciIo    = mAdapter->PciIo ();
  const TraceRecord            *Trace    = PciIo.Trace ();
  UINTN                        Expected  = (Operation == EfiBltVideoToVideo) ? 2 * Height : Height;
  const UINT8                  *Line     = static_cast<const UINT8 *>(mPrivate->LineBuffer);

  if ((PciIo.TraceOverflow () != 0) || (PciIo.TraceCount () != Expected)) {
    Fail ("the transfer made %zu PCI I/O calls, expected one per row: %zu",
          (size_t)(PciIo.TraceCount () + PciIo.TraceOverflow ()), (size_t)Expected);
  }

  for (UINTN Row = 0; Row < Height; Row++) {
    switch (Operation) {
      case EfiBltVideoFill: {
        const TraceRecord  &Record = Trace[Row];
        UINT64             Offset  = PixelIndex (DestinationX, DestinationY + Row) * kBytesPerPixel;
        bool               Aligned = (reinterpret_cast<UINTN>(Buffer) % 4) == 0;

        if ((Record.Operation != PciIoOperation::MemWrite) || (Record.BarIndex != QDL520_FRAME_BUFFER_BAR) ||
            (Record.Width != EfiPciIoWidthFillUint32) || (Record.Offset != Offset) || (Record.Count != Width) ||
            (Record.Value != Colour) || (Record.Status != EFI_SUCCESS) ||
            (Aligned ? (Record.Buffer != Buffer) : ((reinterpret_cast<UINTN>(Record.Buffer) % 4) != 0)))
        {
          Fail ("fill row %zu: PCI I/O %s %s BAR %u offset 0x%llx count %llu value 0x%llx buffer %p; "
                "expected MemWrite FillUint32 BAR 0 offset 0x%llx count %llu value 0x%x from %s",
                (size_t)Row, Qd520Sim::OperationName (Record.Operation), Qd520Sim::RecordWidthName (Record),
                (unsigned)Record.BarIndex, (unsigned long long)Record.Offset, (unsigned long long)Record.Count,
                (unsigned long long)Record.Value, Record.Buffer, (unsigned long long)Offset,
                (unsigned long long)Width, Colour, Aligned ? "BltBuffer" : "an aligned copy");
        }

        break;
      }

      case EfiBltVideoToBltBuffer:
        CheckRow ("video-to-buffer", Row, Trace[Row], PciIoOperation::MemRead,
                  PixelIndex (SourceX, SourceY + Row) * kBytesPerPixel, Width,
                  Buffer + (DestinationY + Row) * Pitch + DestinationX * kBytesPerPixel);
        break;

      case EfiBltBufferToVideo:
        CheckRow ("buffer-to-video", Row, Trace[Row], PciIoOperation::MemWrite,
                  PixelIndex (DestinationX, DestinationY + Row) * kBytesPerPixel, Width,
                  Buffer + (SourceY + Row) * Pitch + SourceX * kBytesPerPixel);
        break;

      default:
        CheckRow ("video-to-video read", Row, Trace[Row], PciIoOperation::MemRead,
                  PixelIndex (SourceX, SourceY + Row) * kBytesPerPixel, Width,
                  Line + Row * Width * kBytesPerPixel);
        CheckRow ("video-to-video write", Row, Trace[Height + Row], PciIoOperation::MemWrite,
                  PixelIndex (DestinationX, DestinationY + Row) * kBytesPerPixel, Width,
                  Line + Row * Width * kBytesPerPixel);
        break;
    }
  }
}

void
Harness::CheckRectangle (
  const char  *What,
  UINTN       X,
  UINTN       Y,
  UINTN       Width,
  UINTN       Height
  ) const
{
  for (UINTN Row = 0; Row < Height; Row++) {
    UINTN        First   = PixelIndex (X, Y + Row);
    const UINT8  *Actual = FrameBuffer () + First * kBytesPerPixel;

    if (std::memcmp (Actual, mModel.data () + First, Width * kBytesPerPixel) == 0) {
      continue;
    }

    for (UINTN Column = 0; Column < Width; Column++) {
      UINT32  Pixel;

      std::memcpy (&Pixel, Actual + Column * kBytesPerPixel, sizeof (Pixel));
      if (Pixel != mModel[First + Column]) {
        Fail ("%s: frame buffer pixel (%zu, %zu) is 0x%08x, expected 0x%08x", What, (size_t)(X + Column),
              (size_t)(Y + Row), Pixel, mModel[First + Column]);
      }
    }
  }
}

void
Harness::RunBlt (
  Reader           &In,
  const CallFlags  &Flags
  )
{
  const ModeGeometry  &Mode = kModes[mMode];
  UINT32              Operation;
  UINTN               Width, Height, SourceX, SourceY, DestinationX, DestinationY, Delta, Pitch;
  UINTN               BufferX, BufferY, Claim;
  EFI_STATUS          Expected;
  EFI_STATUS          Status;
  bool                Raises;
  EFI_TPL             Previous;
  UINT64              Allocations;
  UINT32              Colour;

  Operation    = DecodeOperation (In);
  Width        = DecodeValue (In, Mode.Width, Mode.Width);
  Height       = DecodeValue (In, Mode.Height, Mode.Height);
  SourceX      = DecodeValue (In, Mode.Width, Width);
  SourceY      = DecodeValue (In, Mode.Height, Height);
  DestinationX = DecodeValue (In, Mode.Width, Width);
  DestinationY = DecodeValue (In, Mode.Height, Height);
  Delta        = DecodeDelta (In, Width);

  mCall = Format ("Blt (BltBuffer %s+%zu, operation %u, source (%llu, %llu), destination (%llu, %llu), "
                  "%llu x %llu, Delta %llu) at TPL %llu in mode %u%s",
                  Flags.NullFirst ? "NULL" : "block", (size_t)Flags.Misalignment, Operation,
                  (unsigned long long)SourceX, (unsigned long long)SourceY, (unsigned long long)DestinationX,
                  (unsigned long long)DestinationY, (unsigned long long)Width, (unsigned long long)Height,
                  (unsigned long long)Delta, (unsigned long long)Flags.Tpl, mMode,
                  mLineBuffer ? "" : " without a line buffer");

  //
  // The status, computed with sums that cannot wrap.
  //
  auto  Fits = [&](UINTN X, UINTN Y) {
                 return ((UINT128)X + Width <= Mode.Width) && ((UINT128)Y + Height <= Mode.Height);
               };

  Raises = false;
  if ((Operation >= EfiGraphicsOutputBltOperationMax) || (Width == 0) || (Height == 0) ||
      ((Operation != EfiBltVideoToVideo) && Flags.NullFirst))
  {
    Expected = EFI_INVALID_PARAMETER;
  } else {
    bool  Accepted;

    Raises = true;
    switch (Operation) {
      case EfiBltVideoFill:        Accepted = Fits (DestinationX, DestinationY); break;
      case EfiBltVideoToBltBuffer: Accepted = Fits (SourceX, SourceY); break;
      case EfiBltBufferToVideo:    Accepted = Fits (DestinationX, DestinationY); break;
      default:                     Accepted = Fits (SourceX, SourceY) && Fits (DestinationX, DestinationY); break;
    }

    if (!Accepted) {
      Expected = EFI_INVALID_PARAMETER;
    } else if ((Operation == EfiBltVideoToVideo) && !mLineBuffer) {
      Expected = EFI_DEVICE_ERROR;
    } else {
      Expected = EFI_SUCCESS;
    }
  }

  //
  // The caller's buffer: what an accepted transfer claims, else one pixel
  // that the driver must leave alone.
  //
  Pitch   = (Delta != 0) ? Delta : Width * kBytesPerPixel;
  BufferX = (Operation == EfiBltVideoToBltBuffer) ? DestinationX : SourceX;
  BufferY = (Operation == EfiBltVideoToBltBuffer) ? DestinationY : SourceY;
  Claim   = kBytesPerPixel;
  if ((Expected == EFI_SUCCESS) && ((Operation == EfiBltVideoToBltBuffer) || (Operation == EfiBltBufferToVideo))) {
    UINT128  RowsBefore = (UINT128)BufferY + Height - 1;
    UINT128  Size       = ((UINT128)BufferX + Width) * kBytesPerPixel;

    if ((RowsBefore != 0) && ((RowsBefore > kBufferCap) || (Pitch > kBufferCap))) {
      Note ("skipped: the caller's buffer would not fit the address space or the cap");
      mSkipped++;
      return;
    }

    Size += RowsBefore * Pitch;
    if (Size > kBufferCap) {
      Note ("skipped: the caller's buffer would not fit the address space or the cap");
      mSkipped++;
      return;
    }

    Claim = static_cast<UINTN>(Size);
  }

  mCalls++;
  mBltCalls++;

  CallerBuffer         Buffer (Flags.Misalignment, Claim, (mCallIndex * 4 + 1) % kPatternSlack);
  std::vector<UINT8>   &Before    = mExpectedBuffer;
  UINT8                *BltBuffer = Flags.NullFirst ? nullptr : Buffer.Data ();

  Before.assign (Buffer.Block (), Buffer.Block () + Buffer.BlockSize ());

  std::memcpy (&Colour, Buffer.Data (), sizeof (Colour));

  //
  // The rows an accepted transfer reads or writes in the model.
  //
  if (Expected == EFI_SUCCESS) {
    if (Operation != EfiBltVideoFill) {
      Hold (PixelIndex (SourceX, SourceY), PixelIndex (SourceX + Width, SourceY + Height - 1));
    }

    Hold (PixelIndex (DestinationX, DestinationY), PixelIndex (DestinationX + Width, DestinationY + Height - 1));
  }

  Previous    = EnterCaller (Flags);
  Allocations = mPlatform->Pool ().AllocationCalls ();
  mAdapter->PciIo ().SetTracing (TRUE);
  Status = mGop->Blt (
                   mGop,
                   reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(BltBuffer),
                   static_cast<EFI_GRAPHICS_OUTPUT_BLT_OPERATION>(Operation),
                   SourceX,
                   SourceY,
                   DestinationX,
                   DestinationY,
                   Width,
                   Height,
                   Delta
                   );
  mAdapter->PciIo ().SetTracing (FALSE);

  CheckTplEvents (Flags, Raises);
  LeaveCaller (Flags, Previous);
  Note (StatusName (Status));
  if (Status != Expected) {
    Fail ("Blt returned %s (0x%llx), expected %s", StatusName (Status), (unsigned long long)Status,
          StatusName (Expected));
  }

  if (mPlatform->Pool ().AllocationCalls () != Allocations) {
    Fail ("Blt made %llu pool allocations", (unsigned long long)(mPlatform->Pool ().AllocationCalls () - Allocations));
  }

  if (Expected != EFI_SUCCESS) {
    CheckNoPciIo ();
  } else {
    CheckBltTrace (Operation, BltBuffer, SourceX, SourceY, DestinationX, DestinationY, Width, Height, Pitch, Colour);

    //
    // The model of the transfer, then the rows it changed.
    //
    switch (Operation) {
      case EfiBltVideoFill:
        for (UINTN Row = 0; Row < Height; Row++) {
          UINTN  First = PixelIndex (DestinationX, DestinationY + Row);

          FillWords (mModel.data () + First, Width, Colour);
        }

        break;

      case EfiBltVideoToBltBuffer:
        for (UINTN Row = 0; Row < Height; Row++) {
          std::memcpy (
                 Before.data () + Flags.Misalignment + (DestinationY + Row) * Pitch + DestinationX * kBytesPerPixel,
                 mModel.data () + PixelIndex (SourceX, SourceY + Row),
                 Width * kBytesPerPixel
                 );
        }

        break;

      case EfiBltBufferToVideo:
        for (UINTN Row = 0; Row < Height; Row++) {
          std::memcpy (
                 mModel.data () + PixelIndex (DestinationX, DestinationY + Row),
                 Buffer.Data () + (SourceY + Row) * Pitch + SourceX * kBytesPerPixel,
                 Width * kBytesPerPixel
                 );
        }

        break;

      default: {
        std::vector<UINT32>  &Rectangle = mRectangle;

        for (UINTN Row = 0; Row < Height; Row++) {
          std::memcpy (Rectangle.data () + Row * Width, mModel.data () + PixelIndex (SourceX, SourceY + Row),
                       Width * kBytesPerPixel);
        }

        for (UINTN Row = 0; Row < Height; Row++) {
          std::memcpy (mModel.data () + PixelIndex (DestinationX, DestinationY + Row), Rectangle.data () + Row * Width,
                       Width * kBytesPerPixel);
        }

        break;
      }
    }

    if (Operation == EfiBltVideoToBltBuffer) {
      CheckRectangle ("video-to-buffer source", SourceX, SourceY, Width, Height);
    } else {
      CheckRectangle ("destination", DestinationX, DestinationY, Width, Height);
    }
  }

  //
  // The caller's block: the rows a read delivered, every other byte as it was.
  //
  if (std::memcmp (Buffer.Block (), Before.data (), Buffer.BlockSize ()) != 0) {
    for (UINTN Index = 0; Index < Buffer.BlockSize (); Index++) {
      if (Buffer.Block ()[Index] != Before[Index]) {
        INT64  Offset = static_cast<INT64>(Index) - static_cast<INT64>(Flags.Misalignment);
        UINTN  Row    = (Offset >= 0) ? static_cast<UINTN>(Offset) / Pitch : 0;

        Fail ("caller's buffer byte %lld (row %zu at pitch %zu, of %zu bytes) is 0x%02x, expected 0x%02x",
              (long long)Offset, (size_t)Row, (size_t)Pitch, (size_t)Claim, Buffer.Block ()[Index], Before[Index]);
      }
    }
  }

  CheckState ();
}

//
// The frame buffer and the model agree (the previous input ended with a
// check); the pattern goes back where they may differ from it: pages
// cleared, and pages the adapter wrote since the last restore. A page the
// model held only to read from (the source of a transfer) still holds the
// pattern. The model makes its words from the pattern again when they are
// needed (Hold).
//
QD520_BULK void
Harness::RestorePattern (
  )
{
  for (UINTN Page = 0; Page < mPages.size (); Page++) {
    if (mPages[Page] == PageState::Pattern) {
      continue;
    }

    if ((mPages[Page] == PageState::Zero) || mAdapter->Written (Page * kModelPageBytes, kModelPageBytes)) {
      StoreScreenPattern (FrameBuffer () + Page * kModelPageBytes, Page * kWordsPerPage, kWordsPerPage);
    }

    mPages[Page] = PageState::Pattern;
  }
}

void
Harness::Begin (
  UINT32  StartMode
  )
{
  static const CallFlags  Plain = { TPL_APPLICATION, false, false, false, 0 };

  //
  // The previous input ended with a line buffer (End); a mode change makes
  // a new one.
  //
  mCallIndex = 0;
  if (mMode != StartMode) {
    mStartModeChanges++;
    CallSetMode (StartMode, Plain, true);
  }

  mModeChanges = 0;

  RestorePattern ();
  mAdapter->ClearWrittenPages ();
}

void
Harness::End (
  )
{
  mCall = Format ("end of the input, in mode %u", mMode);
  if (!FrameBufferAgrees ()) {
    Hold (0, kModelWords);
    for (UINTN Index = 0; Index < kModelWords; Index++) {
      UINT32  Pixel;

      std::memcpy (&Pixel, FrameBuffer () + Index * kBytesPerPixel, sizeof (Pixel));
      if (Pixel != mModel[Index]) {
        UINTN  Width = kModes[mMode].Width;

        if (Index < ScreenBytes (mMode) / kBytesPerPixel) {
          Fail ("frame buffer pixel (%zu, %zu) is 0x%08x, expected 0x%08x", (size_t)(Index % Width),
                (size_t)(Index / Width), Pixel, mModel[Index]);
        }

        Fail ("frame buffer word at byte offset 0x%zx, beyond the visible screen, is 0x%08x, expected 0x%08x",
              (size_t)(Index * kBytesPerPixel), Pixel, mModel[Index]);
      }
    }
  }

  mPlatform->Uart ().TakeText ();
  CheckState ();

  //
  // A SetMode that ran out of memory left no line buffer, and only a full
  // SetMode makes one: one, to mode 0, where most inputs start (from mode 0,
  // to mode 1). Done here rather than at the start of the next input, so
  // that the input frees what it allocates and libFuzzer does not take it
  // for a leak.
  //
  if (!mLineBuffer) {
    static const CallFlags  Plain = { TPL_APPLICATION, false, false, false, 0 };

    mCallIndex = 0;
    CallSetMode ((mMode == 0) ? 1 : 0, Plain, true);
  }
}

void
Harness::RunInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  //
  // Header: the start mode, mode 0 in three inputs of four so that mode
  // changes between inputs stay rare.
  //
  static const UINT32  StartModes[8] = { 0, 0, 0, 0, 0, 0, 1, 2 };
  Reader               In (Data, Size);

  mInputs++;
  Begin (StartModes[In.Byte () & 7]);
  for (mCallIndex = 1; (mCallIndex <= kMaxOperations) && !In.Empty (); mCallIndex++) {
    UINT8      Kind  = In.Byte ();
    CallFlags  Flags = DecodeFlags (In.Byte ());

    //
    // Blt in 13 of 16, QueryMode in 2, SetMode in 1.
    //
    switch (Kind % 16) {
      case 13:
      case 14:
        RunQueryMode (In, Flags);
        break;

      case 15:
        CallSetMode (DecodeModeNumber (In, mMode), Flags, false);
        break;

      default:
        RunBlt (In, Flags);
        break;
    }
  }

  End ();
}

Harness  *gHarness = nullptr;

/// A sanitizer report (a store to a read-only page of the frame buffer
/// among them) names the call under way too.
void
Harness::PrintCallOnDeath (
  )
{
  if (gHarness != nullptr) {
    std::fprintf (stderr, "\nqd520-gop-fuzz: in call %u of the input: %s\n", gHarness->mCallIndex,
                  gHarness->mCall.c_str ());
  }
}

void
PrintStatistics (
  )
{
  if (gHarness != nullptr) {
    gHarness->PrintStatistics ();
  }
}

} // namespace

extern "C" int
LLVMFuzzerInitialize (
  int   *Argc,
  char  ***Argv
  )
{
  gHarness = new Harness ();
  gHarness->Initialize ();
  std::atexit (PrintStatistics);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  gHarness->RunInput (Data, Size);
  return 0;
}
