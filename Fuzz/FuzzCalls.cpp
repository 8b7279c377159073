/** @file
  The fuzzer's calls of the protocol: for each, what the caller passes, the
  outcome the protocol owes, the call at the caller's task priority level,
  and the checks of what it did.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzHarness.h"

#include "CallerBuffer.h"

#include <cstring>

namespace Qd520Fuzz {

void
Harness::RunBlt (
  Reader           &In,
  const CallFlags  &Flags
  )
{
  const Qd520Reference::OfferedMode  &Mode  = kOfferedModes[mModel.Mode ()];
  BltFields                          Fields = DecodeBlt (In, Mode.Width, Mode.Height);
  Qd520Reference::BltRequest         Request;
  UINTN                              Claim;
  EFI_STATUS                         Expected;
  EFI_STATUS                         Status;
  bool                               Raises;
  EFI_TPL                            Previous;
  UINT64                             Allocations;
  UINT32                             Colour;

  Request = Qd520Reference::BltRequest{
    Fields.Operation, Fields.SourceX, Fields.SourceY, Fields.DestinationX, Fields.DestinationY,
    Fields.Width, Fields.Height, Fields.Delta
  };

  mCall = Format ("Blt (BltBuffer %s+%zu, operation %u, source (%llu, %llu), destination (%llu, %llu), "
                  "%llu x %llu, Delta %llu) at TPL %llu in mode %u%s",
                  Flags.NullFirst ? "NULL" : "block", (size_t)Flags.Misalignment, Request.Operation,
                  (unsigned long long)Request.SourceX, (unsigned long long)Request.SourceY,
                  (unsigned long long)Request.DestinationX, (unsigned long long)Request.DestinationY,
                  (unsigned long long)Request.Width, (unsigned long long)Request.Height,
                  (unsigned long long)Request.Delta, (unsigned long long)Flags.Tpl, mModel.Mode (),
                  mModel.HasLineBuffer () ? "" : " without a line buffer");

  //
  // The status; the priority is raised only once the arguments alone are
  // found valid.
  //
  Raises   = Qd520Reference::BltArgumentsValid (Request, !Flags.NullFirst) != FALSE;
  Expected = Qd520Reference::BltStatus (Request, !Flags.NullFirst, Mode.Width, Mode.Height, mModel.HasLineBuffer ());

  //
  // The caller's buffer: what an accepted transfer claims, else one pixel
  // that the driver must leave alone.
  //
  Claim = kBytesPerPixel;
  if ((Expected == EFI_SUCCESS) &&
      ((Request.Operation == EfiBltVideoToBltBuffer) || (Request.Operation == EfiBltBufferToVideo)))
  {
    if (!Qd520Reference::BltBufferBytes (Request, &Claim) || (Claim > kBufferCap)) {
      Note ("skipped: the caller's buffer would not fit the address space or the cap");
      mSkipped++;
      return;
    }
  }

  mCalls++;
  mBltCalls++;

  CallerBuffer        Buffer (Flags.Misalignment, Claim, (mCallIndex * 4 + 1) % kPatternSlack);
  std::vector<UINT8>  &Before    = mExpectedBuffer;
  UINT8               *BltBuffer = Flags.NullFirst ? nullptr : Buffer.Data ();

  Before.assign (Buffer.Block (), Buffer.Block () + Buffer.BlockSize ());
  std::memcpy (&Colour, Buffer.Data (), sizeof (Colour));

  Previous    = EnterCaller (Flags);
  Allocations = mPlatform->Pool ().AllocationCalls ();
  mAdapter->PciIo ().SetTracing (TRUE);
  Status = mGop->Blt (
                   mGop,
                   reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(BltBuffer),
                   static_cast<EFI_GRAPHICS_OUTPUT_BLT_OPERATION>(Request.Operation),
                   Request.SourceX,
                   Request.SourceY,
                   Request.DestinationX,
                   Request.DestinationY,
                   Request.Width,
                   Request.Height,
                   Request.Delta
                   );
  mAdapter->PciIo ().SetTracing (FALSE);

  CheckTplEvents (Flags, Raises);
  LeaveCaller (Flags, Previous);
  CheckStatus ("Blt", Status, Expected);

  if (mPlatform->Pool ().AllocationCalls () != Allocations) {
    Fail ("Blt made %llu pool allocations", (unsigned long long)(mPlatform->Pool ().AllocationCalls () - Allocations));
  }

  if (Expected != EFI_SUCCESS) {
    CheckNoPciIo ();
  } else {
    CheckBltTrace (Request, BltBuffer, Colour);

    //
    // The transfer in the model, on the caller's block as it must be; then
    // the rows it changed.
    //
    mModel.ApplyBlt (Request, Before.data () + Flags.Misalignment);
    if (Request.Operation == EfiBltVideoToBltBuffer) {
      CheckRectangle ("video-to-buffer source", Request.SourceX, Request.SourceY, Request.Width, Request.Height);
    } else {
      CheckRectangle ("destination", Request.DestinationX, Request.DestinationY, Request.Width, Request.Height);
    }
  }

  CheckCallerBlock (Buffer.Block (), Buffer.BlockSize (), Flags.Misalignment, Qd520Reference::BltBufferPitch (Request), Claim);
  CheckState ();
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
                  Flags.FailAllocation ? ", next pool allocation failing" : "", mModel.Mode (),
                  mModel.HasLineBuffer () ? "" : " without a line buffer");

  Full   = false;
  Repeat = false;
  if (ModeNumber >= kOfferedModeCount) {
    Expected = EFI_UNSUPPORTED;
  } else if (ModeNumber == mModel.Mode ()) {
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
  CheckStatus ("SetMode", Status, Expected);

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
    mModel.LoseLineBuffer ();
  } else if (Repeat) {
    //
    // Setting the current mode again clears its whole frame, lines at the
    // pitch, and nothing beyond; the mode, its line buffer (or the lack of
    // one) and the records stay. The end of the input compares the model
    // with the frame buffer.
    //
    mModel.ClearCurrentMode ();
  } else if (Full) {
    //
    // The adapter clears 32 MiB from the start of the frame buffer, more
    // than the model holds.
    //
    mFullSetModes++;
    mModel.ChangeMode (ModeNumber);
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

  ModeNumber = DecodeModeNumber (In, mModel.Mode (), kOfferedModeCount);
  mCall      = Format ("QueryMode (%u, SizeOfInfo %s, Info %s) at TPL %llu%s in mode %u", ModeNumber,
                       Flags.NullSecond ? "NULL" : "given", Flags.NullFirst ? "NULL" : "given",
                       (unsigned long long)Flags.Tpl, Flags.FailAllocation ? ", next pool allocation failing" : "",
                       mModel.Mode ());
  mCalls++;
  mQueryModeCalls++;

  if (Flags.NullFirst || Flags.NullSecond || (ModeNumber >= kOfferedModeCount)) {
    Expected = EFI_INVALID_PARAMETER;
  } else if (Flags.FailAllocation) {
    Expected = EFI_OUT_OF_RESOURCES;
  } else {
    Expected = EFI_SUCCESS;
  }

  Info        = &Untouched;
  SizeOfInfo  = kSizeSentinel;
  Previous    = EnterCaller (Flags);
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
  CheckStatus ("QueryMode", Status, Expected);

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
    const Qd520Sim::PoolBlock          *Block = mPlatform->Pool ().BlockAt (Info);
    const Qd520Reference::OfferedMode  &Mode  = kOfferedModes[ModeNumber];

    if ((Block == nullptr) || (Block->Size != kSizeOfInfo) || (Block->Type != EfiBootServicesData) ||
        (Info == mInfoRecord))
    {
      Fail ("QueryMode's Info %p is not a new EfiBootServicesData pool block of 36 bytes", (void *)Info);
    }

    if ((SizeOfInfo != kSizeOfInfo) || (Info->Version != 0) || (Info->HorizontalResolution != Mode.Width) ||
        (Info->VerticalResolution != Mode.Height) || (Info->PixelFormat != PixelBlueGreenRedReserved8BitPerColor) ||
        (Info->PixelsPerScanLine != Qd520Reference::PixelsPerScanLine (Mode.Width)) ||
        !PixelInformationIsZero (*Info))
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

} // namespace Qd520Fuzz
