/** @file
  The fuzzer's harness: the start of the driver, and the run of one input
  from the same state every time.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzHarness.h"

#include "CallerBuffer.h"

extern "C" {
#include <Library/UefiDriverEntryPoint.h>
}

#include <sanitizer/common_interface_defs.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace Qd520Fuzz {

Harness  *gHarness = nullptr;

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

void
Harness::Note (
  const char  *Outcome
  ) const
{
  if (mVerbose) {
    std::fprintf (stderr, "  %u: %s -> %s\n", mCallIndex, mCall.c_str (), Outcome);
  }
}

void
Harness::CheckStatus (
  const char  *Function,
  EFI_STATUS  Status,
  EFI_STATUS  Expected
  ) const
{
  Note (StatusName (Status));
  if (Status != Expected) {
    Fail ("%s returned %s (0x%llx), expected %s", Function, StatusName (Status), (unsigned long long)Status,
          StatusName (Expected));
  }
}

void
Harness::PrintStatistics (
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
Harness::Initialize (
  )
{
  Qd520Sim::AdapterOptions  Options;

  mPlatform = new Qd520Sim::SimPlatform ();
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

  mModel.Initialize ();
  mExpectedBuffer.reserve (kBufferCap + 8);
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
  if (mModel.Mode () != StartMode) {
    mStartModeChanges++;
    CallSetMode (StartMode, Plain, true);
  }

  mModeChanges = 0;

  //
  // The frame buffer and the model agree (the previous input ended with a
  // check); put the pattern back where they may differ from it. The model
  // makes its words from the pattern again when they are needed (Hold).
  //
  mModel.RestorePattern (FrameBuffer (), *mAdapter);
  mAdapter->ClearWrittenPages ();
}

void
Harness::End (
  )
{
  mCall = Format ("end of the input, in mode %u", mModel.Mode ());
  CheckFrameBuffer ();
  mPlatform->Uart ().TakeText ();
  CheckState ();

  //
  // A SetMode that ran out of memory left no line buffer, and only a full
  // SetMode makes one: one, to mode 0, where most inputs start (from mode 0,
  // to mode 1). Done here rather than at the start of the next input, so
  // that the input frees what it allocates and libFuzzer does not take it
  // for a leak.
  //
  if (!mModel.HasLineBuffer ()) {
    static const CallFlags  Plain = { TPL_APPLICATION, false, false, false, 0 };

    mCallIndex = 0;
    CallSetMode ((mModel.Mode () == 0) ? 1 : 0, Plain, true);
  }
}

void
Harness::RunInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  Reader  In (Data, Size);

  mInputs++;
  Begin (DecodeStartMode (In));
  for (mCallIndex = 1; (mCallIndex <= kMaxOperations) && !In.Empty (); mCallIndex++) {
    CallKind   Kind  = DecodeKind (In);
    CallFlags  Flags = DecodeFlags (In);

    switch (Kind) {
      case CallKind::QueryMode:
        RunQueryMode (In, Flags);
        break;

      case CallKind::SetMode:
        CallSetMode (DecodeModeNumber (In, mModel.Mode (), kOfferedModeCount), Flags, false);
        break;

      default:
        RunBlt (In, Flags);
        break;
    }
  }

  End ();
}

} // namespace Qd520Fuzz
