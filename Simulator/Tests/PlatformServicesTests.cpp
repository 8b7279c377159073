/** @file
  Contract of the simulated platform's services: pool accounting and
  failure injection, task priority level, the debug UART behind IoLib, the
  loud stubs and the assertion hook.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimTestSupport.h"

extern "C" {
#include <Library/IoLib.h>

VOID
EFIAPI
SerialDebugLibAssertHalt (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  );
}

#include <cstring>
#include <string>
#include <vector>

namespace Qd520Sim {
namespace {

class PlatformServicesTest : public SimTest {
protected:
  void
  SetUp (
    ) override
  {
    SimTest::SetUp ();
    mPlatform = std::make_unique<SimPlatform>();
    mBs       = mPlatform->BootServices ();
  }

  void
  TearDown (
    ) override
  {
    mPlatform.reset ();
    SimTest::TearDown ();
  }

  std::unique_ptr<SimPlatform>  mPlatform;
  EFI_BOOT_SERVICES             *mBs = nullptr;
};

TEST_F (PlatformServicesTest, SystemTableHasRevision270AndNoConsoles) {
  EFI_SYSTEM_TABLE  *St = mPlatform->SystemTable ();

  EXPECT_EQ ((UINT32)EFI_2_70_SYSTEM_TABLE_REVISION, St->Hdr.Revision);
  EXPECT_EQ (mBs, St->BootServices);
  EXPECT_EQ (nullptr, St->ConOut);
  EXPECT_EQ (nullptr, St->ConIn);
  EXPECT_TRUE (mPlatform->Handles ().IsValidHandle (mPlatform->ImageHandle ()));
}

//
// Pool.
//

TEST_F (PlatformServicesTest, PoolCountsLiveBlocksAndBytesPerTypeAndFillsFreshBlocks) {
  VOID  *Data = nullptr;
  VOID  *Code = nullptr;

  ASSERT_EQ (EFI_SUCCESS, mBs->AllocatePool (EfiBootServicesData, 24, &Data));
  ASSERT_EQ (EFI_SUCCESS, mBs->AllocatePool (EfiBootServicesCode, 8, &Code));
  EXPECT_EQ (PoolTracker::FreshFill, static_cast<UINT8 *>(Data)[23]);
  EXPECT_EQ (2u, mPlatform->Pool ().LiveBlocks ());
  EXPECT_EQ (1u, mPlatform->Pool ().LiveBlocks (EfiBootServicesData));
  EXPECT_EQ (24u, mPlatform->Pool ().LiveBytes (EfiBootServicesData));
  EXPECT_EQ (32u, mPlatform->Pool ().LiveBytes ());
  EXPECT_EQ (Data, mPlatform->Pool ().Blocks ().front ().Address);

  EXPECT_EQ (EFI_SUCCESS, mBs->FreePool (Data));
  EXPECT_EQ (EFI_SUCCESS, mBs->FreePool (Code));
  EXPECT_EQ (0u, mPlatform->Pool ().LiveBlocks ());
  EXPECT_EQ (EFI_INVALID_PARAMETER, mBs->AllocatePool (EfiConventionalMemory, 8, &Data));
  EXPECT_EQ (EFI_INVALID_PARAMETER, mBs->AllocatePool (EfiBootServicesData, 8, nullptr));
}

//
// A line buffer given back and asked for again is a fresh block to the
// driver, however the pool keeps its memory.
//
TEST_F (PlatformServicesTest, ALargeBlockFreedAndAllocatedAgainIsFreshlyFilledAndCounted) {
  constexpr UINTN  Size  = 0x300000;
  VOID             *First = nullptr;
  VOID             *Again = nullptr;

  ASSERT_EQ (EFI_SUCCESS, mBs->AllocatePool (EfiBootServicesData, Size, &First));
  std::memset (First, 0x5C, Size);
  ASSERT_EQ (EFI_SUCCESS, mBs->FreePool (First));
  EXPECT_FALSE (mPlatform->Pool ().IsLive (First));
  ASSERT_EQ (EFI_SUCCESS, mBs->AllocatePool (EfiBootServicesData, Size, &Again));
  EXPECT_EQ (Size, mPlatform->Pool ().LiveBytes ());
  EXPECT_EQ (2u, mPlatform->Pool ().BlockAt (Again)->Serial);

  std::vector<UINT8>  Fresh (Size, PoolTracker::FreshFill);
  EXPECT_EQ (0, std::memcmp (Fresh.data (), Again, Size));
  EXPECT_EQ (EFI_SUCCESS, mBs->FreePool (Again));
}

TEST_F (PlatformServicesTest, InjectedPoolFailureHitsTheNthAllocationAndClearsBuffer) {
  VOID  *First  = nullptr;
  VOID  *Second = &Second;
  VOID  *Third  = nullptr;

  mPlatform->Pool ().FailAllocation (2);
  ASSERT_EQ (EFI_SUCCESS, mBs->AllocatePool (EfiBootServicesData, 4, &First));
  EXPECT_EQ (EFI_OUT_OF_RESOURCES, mBs->AllocatePool (EfiBootServicesData, 4, &Second));
  EXPECT_EQ (nullptr, Second);
  EXPECT_EQ (EFI_SUCCESS, mBs->AllocatePool (EfiBootServicesData, 4, &Third));
  EXPECT_EQ (2u, mPlatform->Pool ().LiveBlocks ());
  EXPECT_EQ (1u, mPlatform->Pool ().FailedAllocations ());
  mBs->FreePool (First);
  mBs->FreePool (Third);
}

TEST_F (PlatformServicesTest, FailingAllocationsFromTheNthKeepsFailingUntilCleared) {
  VOID  *Blocks[3] = { nullptr, nullptr, nullptr };

  mPlatform->Pool ().FailAllocationsFrom (2);
  EXPECT_EQ (EFI_SUCCESS, mBs->AllocatePool (EfiBootServicesData, 4, &Blocks[0]));
  EXPECT_EQ (EFI_OUT_OF_RESOURCES, mBs->AllocatePool (EfiBootServicesData, 4, &Blocks[1]));
  EXPECT_EQ (EFI_OUT_OF_RESOURCES, mBs->AllocatePool (EfiBootServicesData, 4, &Blocks[1]));
  mPlatform->Pool ().ClearInjectedFailures ();
  EXPECT_EQ (EFI_SUCCESS, mBs->AllocatePool (EfiBootServicesData, 0, &Blocks[2]));
  EXPECT_NE (nullptr, Blocks[2]);
  EXPECT_EQ (4u, mPlatform->Pool ().AllocationCalls ());
  mBs->FreePool (Blocks[0]);
  mBs->FreePool (Blocks[2]);
}

TEST_F (PlatformServicesTest, ServiceCallsAreCountedLoggedAndTheNthFailableOneFails) {
  ServiceCallTracker  &Services = mPlatform->Services ();
  VOID                *Block    = nullptr;
  VOID                *Failed   = &Failed;
  VOID                *Interface = &Interface;
  EFI_GUID            Anything  = { 0x1d3de7f0, 0x807, 0x424f, { 0xaa, 0x69, 0x11, 0xa5, 0x4e, 0x19, 0xa4, 0x6f } };
  UINT64              Start     = Services.FailableCalls ();

  Services.SetLogging (true);
  Services.FailCall (2);
  EFI_TPL  Previous = mBs->RaiseTPL (TPL_NOTIFY);
  mBs->RestoreTPL (Previous);
  ASSERT_EQ (EFI_SUCCESS, mBs->AllocatePool (EfiBootServicesData, 8, &Block));
  EXPECT_EQ (EFI_UNSUPPORTED, mBs->HandleProtocol (mPlatform->ImageHandle (), &Anything, &Interface));
  EXPECT_EQ (nullptr, Interface);
  EXPECT_FALSE (Services.InjectionPending ());

  //
  // A named status replaces the service's usual refusal; the block stays.
  //
  Services.FailCall (1, EFI_DEVICE_ERROR);
  EXPECT_EQ (EFI_DEVICE_ERROR, mBs->FreePool (Block));
  EXPECT_TRUE (mPlatform->Pool ().IsLive (Block));
  Services.FailCall (1);
  EXPECT_EQ (EFI_OUT_OF_RESOURCES, mBs->AllocatePool (EfiBootServicesData, 8, &Failed));
  EXPECT_EQ (nullptr, Failed);
  EXPECT_EQ (EFI_SUCCESS, mBs->FreePool (Block));
  EXPECT_EQ (5u, Services.FailableCalls () - Start);

  std::string  Log;
  for (const ServiceCall &Call : Services.Log ()) {
    Log += std::string (Call.Service) + (Call.Injected ? "!" : "") + (Call.CanFail ? "" : "~") + " " +
           std::to_string (Call.Status & ~MAX_BIT) + "; ";
  }

  EXPECT_EQ ("RaiseTPL~ 0; RestoreTPL~ 0; AllocatePool 0; HandleProtocol! 3; FreePool! 7; AllocatePool! 9; FreePool 0; ", Log);

  //
  // The arguments that tell what a call was for.
  //
  const std::vector<ServiceCall>  &Calls = Services.Log ();

  ASSERT_EQ (7u, Calls.size ());
  EXPECT_EQ ((EFI_TPL)TPL_NOTIFY, Calls[0].Tpl);
  EXPECT_EQ ((EFI_TPL)TPL_APPLICATION, Calls[1].Tpl);
  EXPECT_EQ (8u, Calls[2].Size);
  EXPECT_EQ (Block, Calls[2].Block);
  ASSERT_EQ (1u, Calls[3].Protocols.size ());
  EXPECT_TRUE (SameGuid (Anything, Calls[3].Protocols[0]));
  EXPECT_EQ (Block, Calls[4].Block);
  EXPECT_EQ (nullptr, Calls[5].Block) << "a failed allocation hands out no block";
  EXPECT_EQ (Block, Calls[6].Block);

  Services.ClearLog ();
  EFI_GUID    Other  = Anything;
  EFI_HANDLE  Handle = nullptr;

  Other.Data1++;
  ASSERT_EQ (EFI_SUCCESS, mBs->InstallMultipleProtocolInterfaces (&Handle, &Anything, &Anything, &Other, nullptr, nullptr));
  EXPECT_EQ (EFI_SUCCESS, mBs->OpenProtocol (Handle, &Anything, &Interface, mPlatform->ImageHandle (), nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL));
  ASSERT_EQ (EFI_SUCCESS, mBs->UninstallMultipleProtocolInterfaces (Handle, &Anything, &Anything, &Other, nullptr, nullptr));
  ASSERT_EQ (3u, Services.Log ().size ());
  ASSERT_EQ (2u, Services.Log ()[0].Protocols.size ());
  EXPECT_TRUE (SameGuid (Other, Services.Log ()[0].Protocols[1]));
  EXPECT_EQ ((UINT32)EFI_OPEN_PROTOCOL_GET_PROTOCOL, Services.Log ()[1].Attributes);
  EXPECT_EQ (2u, Services.Log ()[2].Protocols.size ());
}

TEST_F (PlatformServicesTest, FreeingAnUnknownPointerIsALoudFailure) {
  int   NotPool;
  VOID  *Block = nullptr;

  EXPECT_EQ (EFI_INVALID_PARAMETER, mBs->FreePool (&NotPool));
  ASSERT_EQ (1u, TakeFailures ().size ());

  ASSERT_EQ (EFI_SUCCESS, mBs->AllocatePool (EfiBootServicesData, 4, &Block));
  ASSERT_EQ (EFI_SUCCESS, mBs->FreePool (Block));
  EXPECT_EQ (EFI_INVALID_PARAMETER, mBs->FreePool (Block));
  EXPECT_EQ (1u, TakeFailures ().size ());
  EXPECT_EQ (EFI_INVALID_PARAMETER, mBs->FreePool (nullptr));
}

//
// Task priority level.
//

TEST_F (PlatformServicesTest, RaiseAndRestoreAreRecordedAndTracked) {
  EXPECT_EQ ((EFI_TPL)TPL_APPLICATION, mPlatform->Tpl ().Current ());
  EFI_TPL  Old = mBs->RaiseTPL (TPL_NOTIFY);
  EXPECT_EQ ((EFI_TPL)TPL_APPLICATION, Old);
  EXPECT_EQ ((EFI_TPL)TPL_NOTIFY, mPlatform->Tpl ().Current ());
  mBs->RestoreTPL (Old);
  EXPECT_EQ ((EFI_TPL)TPL_APPLICATION, mPlatform->Tpl ().Current ());

  const auto  &Events = mPlatform->Tpl ().Events ();
  ASSERT_EQ (2u, Events.size ());
  EXPECT_EQ (TplEvent::Kind::Raise, Events[0].Call);
  EXPECT_EQ ((EFI_TPL)TPL_NOTIFY, Events[0].Requested);
  EXPECT_EQ (TplEvent::Kind::Restore, Events[1].Call);
  EXPECT_EQ ((EFI_TPL)TPL_NOTIFY, Events[1].Previous);
}

//
// Firmware consumers call the driver at raised levels: the graphics console
// draws with Blt from inside its own TPL_NOTIFY section, so raising to the
// current level and restoring it are ordinary calls, as in the DXE core.
//
TEST_F (PlatformServicesTest, RaisingToTheCurrentLevelAndRestoringItAreAccepted) {
  EFI_TPL  Outer = mBs->RaiseTPL (TPL_NOTIFY);
  EFI_TPL  Inner = mBs->RaiseTPL (TPL_NOTIFY);

  EXPECT_EQ ((EFI_TPL)TPL_NOTIFY, Inner);
  EXPECT_EQ ((EFI_TPL)TPL_NOTIFY, mPlatform->Tpl ().Current ());
  mBs->RestoreTPL (Inner);
  EXPECT_EQ ((EFI_TPL)TPL_NOTIFY, mPlatform->Tpl ().Current ());
  mBs->RestoreTPL (Outer);
  EXPECT_EQ ((EFI_TPL)TPL_APPLICATION, mPlatform->Tpl ().Current ());
  EXPECT_TRUE (TakeFailures ().empty ());
}

TEST_F (PlatformServicesTest, RaisingBelowOrRestoringAboveTheLevelIsALoudFailure) {
  mBs->RaiseTPL (TPL_NOTIFY);
  mBs->RaiseTPL (TPL_CALLBACK);
  EXPECT_EQ (1u, TakeFailures ().size ());
  mBs->RestoreTPL (TPL_HIGH_LEVEL);
  EXPECT_EQ (1u, TakeFailures ().size ());
  EXPECT_EQ ((EFI_TPL)TPL_NOTIFY, mPlatform->Tpl ().Current ());
}

//
// Serial port.
//

TEST_F (PlatformServicesTest, UartCapturesTextWritesWithDlabAndBursts) {
  Uart16550  &Uart = mPlatform->Uart ();

  EXPECT_EQ (0x03, IoRead8 (0x3FB));
  IoWrite8 (0x3FB, 0x83);
  EXPECT_EQ (1, IoRead8 (0x3F8));
  IoWrite8 (0x3F8, 0x01);
  IoWrite8 (0x3FB, 0x03);
  EXPECT_EQ (0x60, IoRead8 (0x3FD) & 0x60);
  for (char Character : std::string ("EFI520 V1.00.07.00")) {
    IoWrite8 (0x3F8, (UINT8)Character);
  }

  IoRead8 (0x3FD);
  EXPECT_EQ ("EFI520 V1.00.07.00", Uart.Text ());
  ASSERT_EQ (21u, Uart.Writes ().size ());
  EXPECT_TRUE (Uart.Writes ()[1].Dlab);
  EXPECT_EQ (0u, Uart.Writes ()[1].Offset);
  EXPECT_FALSE (Uart.Writes ()[3].Dlab);
  ASSERT_EQ (1u, Uart.Bursts ().size ());
  EXPECT_EQ (18u, Uart.Bursts ()[0]);
  EXPECT_EQ (1u, Uart.OverrunCount ());
}

TEST_F (PlatformServicesTest, FreshUartHasNoLineSetupAndASingleByteFifo) {
  Uart16550  &Uart = mPlatform->Uart ();

  Uart.Reset (Uart16550::InitialState::Fresh);
  EXPECT_EQ (0, IoRead8 (0x3FB));
  EXPECT_EQ (0u, Uart.Divisor ());
  IoWrite8 (0x3F8, 'a');
  IoWrite8 (0x3F8, 'b');
  EXPECT_EQ (1u, Uart.OverrunCount ());
  IoWrite8 (0x3FA, 0x01);
  EXPECT_EQ (16u, Uart.TransmitFifoDepth ());
}

TEST_F (PlatformServicesTest, OtherPortsAndAddressesAreLoudFailures) {
  EXPECT_EQ (0xFFFFFFFFu, IoRead32 (0xCFC));
  MmioWrite32 (0xFED00000, 1);
  EXPECT_EQ (2u, TakeFailures ().size ());
}

//
// Unprovided services and assertions.
//

TEST_F (PlatformServicesTest, UnprovidedBootServiceFailsLoudlyWithItsName) {
  EXPECT_EQ (EFI_UNSUPPORTED, mBs->Stall (10));

  auto  Failures = TakeFailures ();
  ASSERT_EQ (1u, Failures.size ());
  EXPECT_NE (std::string::npos, Failures[0].find ("Stall"));
  ASSERT_EQ (1u, mPlatform->UnexpectedServices ().size ());
  EXPECT_EQ ("Stall", mPlatform->UnexpectedServices ()[0]);

  mPlatform->RuntimeServices ()->ResetSystem (EfiResetCold, EFI_SUCCESS, 0, nullptr);
  EXPECT_EQ (1u, TakeFailures ().size ());
}

TEST_F (PlatformServicesTest, AssertionHookRecordsFileLineAndExpression) {
  SerialDebugLibAssertHalt ("Qdl520.cpp", 42, "!EFI_ERROR (Status)");

  ASSERT_EQ (1u, mPlatform->Assertions ().size ());
  EXPECT_EQ ("Qdl520.cpp(42): !EFI_ERROR (Status)\n", mPlatform->AssertionsText ());

  auto  Taken = mPlatform->TakeAssertions ();
  ASSERT_EQ (1u, Taken.size ());
  EXPECT_EQ (42u, Taken[0].Line);
  EXPECT_TRUE (mPlatform->Assertions ().empty ());
}

} // namespace
} // namespace Qd520Sim
