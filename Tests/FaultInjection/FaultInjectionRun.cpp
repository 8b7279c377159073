/** @file
  Fault injection, the runs: a fresh platform brought to the start of a
  phase, the phase run, the clean run that lists the phase's calls, and
  one run per call with just that call failed.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FaultInjectionFixture.h"

#include <cstring>

namespace Qd520Test {
namespace FaultInjection {

using Qd520Sim::PciIoOperation;
using Qd520Sim::ServiceCallTracker;

/// Source line of each assertion group, across the whole program.
std::map<std::string, UINTN> &
GroupLines (
  )
{
  static std::map<std::string, UINTN>  Lines;

  return Lines;
}

/// Faults injected per phase and class, and per role within them, for the
/// summary.
std::map<std::string, size_t> &
InjectedCounts (
  )
{
  static std::map<std::string, size_t>  Counts;

  return Counts;
}

std::map<std::string, size_t> &
RoleCounts (
  )
{
  static std::map<std::string, size_t>  Counts;

  return Counts;
}

namespace {

/// Failures the running test has recorded so far.
int
FailedParts (
  )
{
  const ::testing::TestResult  *Result = ::testing::UnitTest::GetInstance ()->current_test_info ()->result ();
  int                          Failed  = 0;

  for (int Index = 0; Index < Result->total_part_count (); Index++) {
    if (Result->GetTestPartResult (Index).failed ()) {
      Failed++;
    }
  }

  return Failed;
}

} // namespace

void
PrintTo (
  const PhaseAndClass  &Param,
  std::ostream         *Stream
  )
{
  *Stream << PhaseName (Param.Which) << ", " << ClassName (Param.Class) << "s";
}

/// A fresh platform with one QD520 that logs every boot-service call;
/// the previous one goes, and its tear-down must be clean.
void
FaultInjectionTest::NewPlatform (
  )
{
  ResetPlatform (Qd520Sim::PlatformOptions ());
  Platform ().Services ().SetLogging (true);
  for (const std::string &Failure : TakeFailures ()) {
    ADD_FAILURE () << "simulator failure up to the tear-down of the previous run: " << Failure;
  }

  mQdl520HdmiControl = 0x11;

  AdapterOptions  Options;

  Options.Config.InitialAttributes = InitialAttributes;
  Options.TraceCapacity            = TraceCapacity;
  mAdapter                         = &AddAdapter (Options);
  mAdapter->FillRegisters (RegisterSeed);
  mPrivate        = nullptr;
  mGop            = nullptr;
  mOldLineBuffer  = nullptr;
  mOldLineSerial  = 0;
  mQueryInfo      = nullptr;
  mQuerySize      = SizeOfInfoMarker;
  mPreviousBase   = 0;
  mHandlesBefore  = Platform ().Handles ().HandleCount ();
}

/// The logged boot-service calls that can fail, oldest first.
std::vector<ServiceRecord>
FaultInjectionTest::FailableCalls (
  )
{
  std::vector<ServiceRecord>  Calls;

  for (const ServiceRecord &Call : Platform ().Services ().Log ()) {
    if (Call.CanFail) {
      Calls.push_back (Call);
    }
  }

  return Calls;
}

/// The context the constructor is given: prepared as Start prepares it.
bool
FaultInjectionTest::PrepareContext (
  )
{
  VOID  *Memory = nullptr;

  EXPECT_EQ (Platform ().BootServices ()->AllocatePool (EfiBootServicesData, sizeof (QDL520_PRIVATE_DATA), &Memory), EFI_SUCCESS);
  if (Memory == nullptr) {
    return false;
  }

  std::memset (Memory, 0, sizeof (QDL520_PRIVATE_DATA));
  mPrivate            = static_cast<QDL520_PRIVATE_DATA *>(Memory);
  mPrivate->Signature = QDL520_PRIVATE_DATA_SIGNATURE;
  EXPECT_EQ (
    Platform ().BootServices ()->OpenProtocol (
                                   Controller (),
                                   &gEfiPciIoProtocolGuid,
                                   reinterpret_cast<VOID **>(&mPrivate->PciIo),
                                   Binding ()->DriverBindingHandle,
                                   Controller (),
                                   EFI_OPEN_PROTOCOL_BY_DRIVER
                                   ),
    EFI_SUCCESS
    );
  if (mPrivate->PciIo == nullptr) {
    return false;
  }

  EXPECT_EQ (
    mPrivate->PciIo->Attributes (mPrivate->PciIo, EfiPciIoAttributeOperationGet, 0, &mPrivate->SavedPciAttributes),
    EFI_SUCCESS
    );
  EXPECT_EQ (
    mPrivate->PciIo->Attributes (mPrivate->PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_DEVICE_ENABLE, nullptr),
    EFI_SUCCESS
    );

  for (UINT32 Index = 0; Index < QDL520_MAX_MODE; Index++) {
    mPrivate->ModeData[Index].ModeNumber           = Index;
    mPrivate->ModeData[Index].HorizontalResolution = mQdl520VideoModes[Index].Width;
    mPrivate->ModeData[Index].VerticalResolution   = mQdl520VideoModes[Index].Height;
    mPrivate->ModeData[Index].ColorDepth           = mQdl520VideoModes[Index].ColorDepth;
    mPrivate->ModeData[Index].RefreshRate          = mQdl520VideoModes[Index].RefreshRate;
  }

  mPrivate->MaxMode = QDL520_MAX_MODE;
  return true;
}

/// Byte offsets of the frame-buffer words that show whether the phase
/// cleared the screen.
std::vector<UINTN>
FaultInjectionTest::SentinelOffsets (
  )
{
  UINTN  Screen = ScreenBytes (TargetMode (mPhase));

  return { 0, (Screen / 2) & ~static_cast<UINTN>(3), Screen - 4, static_cast<UINTN>(mAdapter->FrameBufferSize ()) - 4 };
}

void
FaultInjectionTest::PaintSentinels (
  )
{
  for (UINTN Offset : SentinelOffsets ()) {
    std::memcpy (mAdapter->FrameBuffer () + Offset, &SentinelPixel, sizeof (SentinelPixel));
  }
}

/// Brings the fresh platform to the start of the phase; false (with a
/// failure) when the way there fails.
bool
FaultInjectionTest::Prepare (
  Phase  Which
  )
{
  int  FailuresBefore = FailedParts ();

  mPhase = Which;
  if (Which != Phase::Entry) {
    EXPECT_EQ (LoadDriver (), EFI_SUCCESS);
    mHandlesBefore = Platform ().Handles ().HandleCount ();
  }

  if (Which == Phase::Constructor) {
    if (!PrepareContext ()) {
      return false;
    }
  } else if ((Which != Phase::Entry) && (Which != Phase::Start)) {
    EXPECT_EQ (Binding ()->Start (Binding (), Controller (), nullptr), EFI_SUCCESS);
    mGop = GraphicsOutputOn (Controller ());
    if (mGop == nullptr) {
      ADD_FAILURE () << "no graphics output after Start";
      return false;
    }

    mPrivate = PrivateOf (mGop);
    if (Which == Phase::SetModeTwoToZero) {
      EXPECT_EQ (mGop->SetMode (mGop, 2), EFI_SUCCESS);
    }

    if (IsModeChange (Which)) {
      //
      // A value no read of the BAR gives: kept or replaced, it shows.
      //
      mGop->Mode->FrameBufferBase = PlantedFrameBufferBase;
      mPreviousBase               = PlantedFrameBufferBase;
    }

    mRecordBefore  = BytesOf (mGop->Mode);
    mInfoBefore    = BytesOf (mGop->Mode->Info);
    mOldLineBuffer = mPrivate->LineBuffer;
    mOldLineSerial = (Platform ().Pool ().BlockAt (mOldLineBuffer) != nullptr) ?
                     Platform ().Pool ().BlockAt (mOldLineBuffer)->Serial : 0;
  }

  if (SetsAMode (Which)) {
    PaintSentinels ();
  }

  std::vector<AssertionRecord>  Early = TakeAssertions ();

  EXPECT_TRUE (Early.empty ()) << "assertion before the phase: " << (Early.empty () ? "" : Early[0].Expression);
  ClearSerialText ();
  mServiceStart   = FailableCalls ().size ();
  mFailableStart  = Platform ().Services ().FailableCalls ();
  mAllocStart     = Platform ().Pool ().AllocationCalls ();
  mFailedStart    = Platform ().Pool ().FailedAllocations ();
  mTraceStart     = mAdapter->TraceCount ();
  return FailedParts () == FailuresBefore;
}

EFI_STATUS
FaultInjectionTest::RunPhase (
  )
{
  switch (mPhase) {
    case Phase::Entry:
      return LoadDriver ();

    case Phase::Start:
      return Binding ()->Start (Binding (), Controller (), nullptr);

    case Phase::Constructor:
      return Qdl520GraphicsOutputConstructor (mPrivate);

    case Phase::SetModeZeroToTwo:
      return mGop->SetMode (mGop, 2);

    case Phase::SetModeTwoToZero:
      return mGop->SetMode (mGop, 0);

    case Phase::QueryMode:
      return mGop->QueryMode (mGop, QueriedMode, &mQuerySize, &mQueryInfo);
  }

  return EFI_UNSUPPORTED;
}

/// PCI I/O calls of the phase: indexes of the trace records other than delays.
std::vector<size_t>
FaultInjectionTest::PhasePciIoCalls (
  const std::vector<TraceRecord>  &Trace
  )
{
  std::vector<size_t>  Calls;

  for (size_t Index = mTraceStart; Index < Trace.size (); Index++) {
    if (Trace[Index].Operation != PciIoOperation::Delay) {
      Calls.push_back (Index);
    }
  }

  return Calls;
}

/// Indexes (into Records) of the phase's AllocatePool calls.
std::vector<size_t>
FaultInjectionTest::PhaseAllocations (
  const std::vector<ServiceRecord>  &Records
  )
{
  std::vector<size_t>  Calls;

  for (size_t Index = mServiceStart; Index < Records.size (); Index++) {
    if (IsService (Records[Index], "AllocatePool")) {
      Calls.push_back (Index);
    }
  }

  return Calls;
}

void
FaultInjectionTest::Enumerate (
  Phase      Which,
  CallClass  Class
  )
{
  std::vector<CallCase>  Cases;

  //
  // The clean run: what the phase calls, and the outcome of a phase that
  // nothing disturbs.
  //
  {
    SCOPED_TRACE (std::string (PhaseName (Which)) + ", clean run");
    NewPlatform ();
    ASSERT_TRUE (Prepare (Which));

    EFI_STATUS  Status = RunPhase ();
    RunFacts    Facts;

    Facts.Which           = Which;
    Facts.Records         = FailableCalls ();
    Facts.Trace           = mAdapter->Trace ();
    Facts.ParentPathBytes = Qd520Sim::DevicePathSize (mAdapter->DevicePath ());
    ASSERT_EQ (mAdapter->PciIo ().TraceOverflow (), 0u) << "trace capacity too small";

    //
    // The log holds every call the platform counted.
    //
    ASSERT_EQ (Platform ().Services ().FailableCalls () - mFailableStart, Facts.Records.size () - mServiceStart);
    ASSERT_EQ (Platform ().Pool ().AllocationCalls () - mAllocStart, PhaseAllocations (Facts.Records).size ());

    Expectation  Clean;

    ExpectOutcome (Clean, Status, nullptr);
    ASSERT_FALSE (::testing::Test::HasFailure ()) << "the clean run must pass before faults are injected";

    switch (Class) {
      case CallClass::BootService:
        for (size_t Index = mServiceStart; Index < Facts.Records.size (); Index++) {
          Role  CallRole = ServiceRole (Facts, Index);

          Cases.push_back (
                  CallCase{ DescribeService (Facts.Records[Index]) + ": " + RoleName (CallRole), CallRole,
                            Facts.Records[Index].Service, Facts.Records[Index].Size, TraceRecord{} }
                  );
        }

        break;

      case CallClass::PoolAllocation:
        for (size_t Index : PhaseAllocations (Facts.Records)) {
          Role  CallRole = ServiceRole (Facts, Index);

          Cases.push_back (
                  CallCase{ DescribeService (Facts.Records[Index]) + ": " + RoleName (CallRole), CallRole,
                            Facts.Records[Index].Service, Facts.Records[Index].Size, TraceRecord{} }
                  );
        }

        break;

      case CallClass::PciIo:
        for (size_t Index : PhasePciIoCalls (Facts.Trace)) {
          Role  CallRole = PciIoRole (Facts.Trace[Index]);

          Cases.push_back (
                  CallCase{ DescribeTrace (Facts.Trace[Index]) + ": " + RoleName (CallRole), CallRole, "", 0,
                            Facts.Trace[Index] }
                  );
        }

        break;
    }
  }

  InjectedCounts ()[std::string (PhaseName (Which)) + ", " + ClassName (Class) + "s"] = Cases.size ();
  for (const CallCase &Case : Cases) {
    RoleCounts ()[std::string (PhaseName (Which)) + ", " + ClassName (Class) + "s: " + RoleName (Case.Which)]++;
  }

  RecordProperty ("InjectedFaults", static_cast<int>(Cases.size ()));

  size_t  FailedRuns = 0;

  for (size_t Number = 1; Number <= Cases.size (); Number++) {
    const CallCase  &Case = Cases[Number - 1];

    SCOPED_TRACE (
      std::string (PhaseName (Which)) + ", " + ClassName (Class) + " " + std::to_string (Number) +
      " (" + Case.Name + ")"
      );

    EFI_STATUS  Injected = (Class == CallClass::BootService) ? ServiceCallTracker::FailureStatus (Case.Service.c_str ()) :
                           (Class == CallClass::PoolAllocation) ? EFI_OUT_OF_RESOURCES : PciIoFailure;
    Expectation  Expected;

    if (!ExpectationFor (Which, Case.Which, Injected, &Expected)) {
      ADD_FAILURE () << "no expectation for call " << Number << ": " << Case.Name;
      continue;
    }

    int  FailuresBefore = FailedParts ();

    RunWithFault (Class, Number, Case, Injected, Expected);

    if (FailedParts () != FailuresBefore) {
      if (++FailedRuns == 8) {
        ADD_FAILURE () << "eight injected runs failed; the remaining " << (Cases.size () - Number) << " are skipped";
        break;
      }
    }
  }
}

void
FaultInjectionTest::RunWithFault (
  CallClass          Class,
  size_t             Number,
  const CallCase     &Case,
  EFI_STATUS         Injected,
  const Expectation  &Expected
  )
{
  NewPlatform ();
  ASSERT_TRUE (Prepare (mPhase));

  switch (Class) {
    case CallClass::BootService:
      Platform ().Services ().FailCall (Number);
      break;

    case CallClass::PoolAllocation:
      Platform ().Pool ().FailAllocation (Number);
      break;

    case CallClass::PciIo:
      ASSERT_TRUE (mAdapter->PciIo ().InjectFailure (Qd520Sim::FailNthCall (Number, PciIoFailure)));
      break;
  }

  EFI_STATUS  Status = RunPhase ();
  const VOID  *Stuck = nullptr;

  ASSERT_EQ (mAdapter->PciIo ().TraceOverflow (), 0u) << "trace capacity too small";

  //
  // The failed call is the one the clean run made at this place.
  //
  switch (Class) {
    case CallClass::BootService:
    {
      EXPECT_FALSE (Platform ().Services ().InjectionPending ());
      std::vector<ServiceRecord>  Records = FailableCalls ();

      ASSERT_GT (Records.size (), mServiceStart + Number - 1);
      const ServiceRecord  &Failed = Records[mServiceStart + Number - 1];

      ASSERT_EQ (std::string (Failed.Service), Case.Service);
      EXPECT_TRUE (Failed.Injected);
      EXPECT_EQ (Failed.Status, Injected);
      if (Expected.BlockStays) {
        EXPECT_TRUE (IsService (Failed, "FreePool"));
        Stuck = Failed.Block;
      }

      break;
    }

    case CallClass::PoolAllocation:
    {
      EXPECT_EQ (Platform ().Pool ().FailedAllocations () - mFailedStart, 1u);
      std::vector<ServiceRecord>  Records     = FailableCalls ();
      std::vector<size_t>         Allocations = PhaseAllocations (Records);

      ASSERT_GE (Allocations.size (), Number);
      EXPECT_EQ (Records[Allocations[Number - 1]].Size, Case.Size);
      EXPECT_EQ (Records[Allocations[Number - 1]].Status, EFI_OUT_OF_RESOURCES);
      break;
    }

    case CallClass::PciIo:
    {
      EXPECT_EQ (mAdapter->PciIo ().PendingInjections (), 0u);
      std::vector<TraceRecord>  Trace = mAdapter->Trace ();
      std::vector<size_t>       Calls = PhasePciIoCalls (Trace);

      ASSERT_GE (Calls.size (), Number);
      const TraceRecord  &Failed = Trace[Calls[Number - 1]];

      ASSERT_EQ (DescribeTrace (Failed), DescribeTrace (Case.Trace));
      EXPECT_EQ (Failed.Status, PciIoFailure);
      break;
    }
  }

  ExpectOutcome (Expected, Status, Stuck);
}

} // namespace FaultInjection
} // namespace Qd520Test
