/** @file
  Driver model of the QD520 driver on the simulated platform: image entry
  and library constructors, the debug serial port, driver binding Supported,
  Start (with every failing step and its unwinding) and Stop, and the
  register primitives.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DriverTest.h"
#include "TraceExpect.h"

#include "Qdl520.h"

extern "C" {
#include <Library/PrintLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include <algorithm>
#include <cstring>

namespace Qd520Test {
namespace {

using Qd520Sim::DevicePathBytes;
using Qd520Sim::FailNth;
using Qd520Sim::FailureInjection;
using Qd520Sim::PciIoOperation;

constexpr UINT64  InitialAttributes = EFI_PCI_IO_ATTRIBUTE_IO;
constexpr UINT64  EnableAttributes  = EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY |
                                      EFI_PCI_IO_ATTRIBUTE_BUS_MASTER;

bool
SameGuid (
  const EFI_GUID  &Left,
  const EFI_GUID  &Right
  )
{
  return std::memcmp (&Left, &Right, sizeof (EFI_GUID)) == 0;
}

/// The protocols on Handle, as GUID texts, sorted.
std::vector<std::string>
GuidTexts (
  const std::vector<EFI_GUID>  &Guids
  )
{
  std::vector<std::string>  Texts;

  for (const EFI_GUID &Guid : Guids) {
    Texts.push_back (Qd520Sim::GuidToText (Guid));
  }

  std::sort (Texts.begin (), Texts.end ());
  return Texts;
}

/// The Attributes calls in a trace: (operation, argument).
std::vector<std::pair<UINT32, UINT64> >
AttributeCalls (
  const std::vector<TraceRecord>  &Trace
  )
{
  std::vector<std::pair<UINT32, UINT64> >  Calls;

  for (const TraceRecord &Record : Trace) {
    if (Record.Operation == PciIoOperation::Attributes) {
      Calls.emplace_back (Record.Width, Record.Value);
    }
  }

  return Calls;
}

FailureInjection
FailAttribute (
  EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION  Operation,
  EFI_STATUS                               Status
  )
{
  FailureInjection  Injection = FailNth (PciIoOperation::Attributes, 1, Status);

  Injection.MatchWidth = TRUE;
  Injection.Width      = Operation;
  return Injection;
}

DevicePathBytes
Concatenate (
  const DevicePathBytes  &Parent,
  const DevicePathBytes  &Child
  )
{
  DevicePathBytes  Path (Parent.begin (), Parent.end () - END_DEVICE_PATH_LENGTH);

  Path.insert (Path.end (), Child.begin (), Child.end ());
  return Path;
}

class DriverBindingTest : public DriverTest {
protected:
  void
  SetUp (
    ) override
  {
    DriverTest::SetUp ();
    AdapterOptions  Options;

    Options.Config.InitialAttributes = InitialAttributes;
    mAdapter                         = &AddAdapter (Options);
    mAdapter->FillRegisters (RegisterSeed);
    ASSERT_EQ (LoadDriver (), EFI_SUCCESS);
    ClearSerialText ();
    mHandlesBefore = Platform ().Handles ().HandleCount ();
  }

  EFI_STATUS
  Supported (
    EFI_DEVICE_PATH_PROTOCOL  *Remaining = nullptr
    )
  {
    return Binding ()->Supported (Binding (), mAdapter->Controller (), Remaining);
  }

  EFI_STATUS
  Start (
    EFI_DEVICE_PATH_PROTOCOL  *Remaining = nullptr
    )
  {
    return Binding ()->Start (Binding (), mAdapter->Controller (), Remaining);
  }

  EFI_STATUS
  Stop (
    )
  {
    return Binding ()->Stop (Binding (), mAdapter->Controller (), 0, nullptr);
  }

  size_t
  DriverPciIoOpens (
    )
  {
    return Platform ().Handles ().CountOpens (
                                    mAdapter->Controller (),
                                    gEfiPciIoProtocolGuid,
                                    EFI_OPEN_PROTOCOL_BY_DRIVER
                                    );
  }

  /// Handles created since SetUp (the display child, when there is one).
  std::vector<EFI_HANDLE>
  NewHandles (
    )
  {
    std::vector<EFI_HANDLE>  Handles = Platform ().Handles ().Handles ();

    return std::vector<EFI_HANDLE>(Handles.begin () + mHandlesBefore, Handles.end ());
  }

  /// After a failed Start: nothing of the driver's is left on the platform.
  void
  ExpectNothingHeld (
    )
  {
    EXPECT_EQ (DriverPciIoOpens (), 0u);
    EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u);
    EXPECT_EQ (GraphicsOutputOn (mAdapter->Controller ()), nullptr);
    EXPECT_EQ (Platform ().Handles ().HandleCount (), mHandlesBefore);
  }

  SimAdapter  *mAdapter      = nullptr;
  size_t      mHandlesBefore = 0;
};

//
// Image entry and library constructors.
//

TEST_F (DriverTest, EntryPublishesBindingNamesAndVersionOnTheImageHandle) {
  AddAdapter ();
  std::vector<EFI_GUID>  Before = Platform ().Handles ().ProtocolsOn (Platform ().ImageHandle ());

  ASSERT_EQ (LoadDriver (), EFI_SUCCESS);

  std::vector<EFI_GUID>  After = Platform ().Handles ().ProtocolsOn (Platform ().ImageHandle ());
  std::vector<EFI_GUID>  Added;

  for (const EFI_GUID &Guid : After) {
    if (std::none_of (Before.begin (), Before.end (), [&](const EFI_GUID &Old) { return SameGuid (Old, Guid); })) {
      Added.push_back (Guid);
    }
  }

  EXPECT_EQ (
    GuidTexts (Added),
    GuidTexts ({ gEfiDriverBindingProtocolGuid, gEfiComponentNameProtocolGuid,
                 gEfiComponentName2ProtocolGuid, gEfiDriverSupportedEfiVersionProtocolGuid })
    );

  EFI_DRIVER_BINDING_PROTOCOL  *DriverBinding = Binding ();

  ASSERT_NE (DriverBinding, nullptr);
  EXPECT_EQ (DriverBinding->Version, 0x10u);
  EXPECT_EQ (DriverBinding->ImageHandle, Platform ().ImageHandle ());
  EXPECT_EQ (DriverBinding->DriverBindingHandle, Platform ().ImageHandle ());
  EXPECT_EQ (DriverBinding->Supported, &Qdl520ControllerDriverSupported);
  EXPECT_EQ (DriverBinding->Start, &Qdl520ControllerDriverStart);
  EXPECT_EQ (DriverBinding->Stop, &Qdl520ControllerDriverStop);

  auto  *Name  = static_cast<EFI_COMPONENT_NAME_PROTOCOL *>(
                   Platform ().Handles ().InterfaceOn (Platform ().ImageHandle (), gEfiComponentNameProtocolGuid)
                   );
  auto  *Name2 = static_cast<EFI_COMPONENT_NAME2_PROTOCOL *>(
                   Platform ().Handles ().InterfaceOn (Platform ().ImageHandle (), gEfiComponentName2ProtocolGuid)
                   );

  ASSERT_NE (Name, nullptr);
  ASSERT_NE (Name2, nullptr);
  EXPECT_STREQ (Name->SupportedLanguages, "eng");
  EXPECT_STREQ (Name2->SupportedLanguages, "en");

  auto  *Version = static_cast<EFI_DRIVER_SUPPORTED_EFI_VERSION_PROTOCOL *>(
                     Platform ().Handles ().InterfaceOn (
                                              Platform ().ImageHandle (),
                                              gEfiDriverSupportedEfiVersionProtocolGuid
                                              )
                     );

  ASSERT_NE (Version, nullptr);
  EXPECT_EQ (Version->Length, 8u);
  EXPECT_EQ (Version->FirmwareVersion, 0x0002000Au);

  //
  // The entry touches no hardware and keeps no memory.
  //
  EXPECT_EQ (Platform ().AdapterAt (0).TraceCount (), 0u);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u);
}

TEST_F (DriverTest, ConstructorsRecordTheFirmwareTables) {
  ASSERT_EQ (LoadDriver (), EFI_SUCCESS);
  EXPECT_EQ (gImageHandle, Platform ().ImageHandle ());
  EXPECT_EQ (gST, Platform ().SystemTable ());
  EXPECT_EQ (gBS, Platform ().BootServices ());
  EXPECT_EQ (gRT, Platform ().RuntimeServices ());
}

TEST_F (DriverTest, EntryRefusesFirmwareOlderThanUefi21) {
  Platform ().SystemTable ()->Hdr.Revision = EFI_2_00_SYSTEM_TABLE_REVISION;
  std::vector<EFI_GUID>  Before = Platform ().Handles ().ProtocolsOn (Platform ().ImageHandle ());

  EXPECT_EQ (LoadDriver (), EFI_INCOMPATIBLE_VERSION);
  EXPECT_EQ (Platform ().Handles ().ProtocolsOn (Platform ().ImageHandle ()).size (), Before.size ());
  EXPECT_TRUE (Platform ().Uart ().Writes ().empty ());
}

//
// Debug serial port.
//

struct UartWrite {
  uint8_t    Offset;
  uint8_t    Value;
  bool       Dlab;
};

std::vector<UartWrite>
UartWrites (
  SimPlatform  &Platform
  )
{
  std::vector<UartWrite>  Writes;

  for (const auto &Write : Platform.Uart ().Writes ()) {
    if (!((Write.Offset == 0) && !Write.Dlab)) {
      Writes.push_back ({ Write.Offset, Write.Value, Write.Dlab });
    }
  }

  return Writes;
}

void
ExpectUartWrites (
  SimPlatform                    &Platform,
  const std::vector<UartWrite>   &Expected
  )
{
  std::vector<UartWrite>  Actual = UartWrites (Platform);

  ASSERT_EQ (Actual.size (), Expected.size ());
  for (size_t Index = 0; Index < Expected.size (); Index++) {
    EXPECT_EQ (Actual[Index].Offset, Expected[Index].Offset) << "write " << Index;
    EXPECT_EQ (Actual[Index].Value, Expected[Index].Value) << "write " << Index;
    EXPECT_EQ (Actual[Index].Dlab, Expected[Index].Dlab) << "write " << Index;
  }
}

TEST_F (DriverTest, SerialPortAlreadySetUpIsOnlyProbed) {
  ASSERT_EQ (LoadDriver (), EFI_SUCCESS);

  //
  // Line control is read with the divisor latch opened and closed again;
  // nothing is reprogrammed.
  //
  ExpectUartWrites (Platform (), { { 3, 0x83, false }, { 3, 0x03, true } });
}

TEST_F (DriverTest, FreshSerialPortIsProgrammedForDivisorOne8N1AndFifo) {
  Qd520Sim::PlatformOptions  Options;

  Options.UartState = Qd520Sim::Uart16550::InitialState::Fresh;
  ResetPlatform (Options);
  ASSERT_EQ (LoadDriver (), EFI_SUCCESS);

  ExpectUartWrites (
    Platform (),
    {
      { 3, 0x80, false }, { 3, 0x00, true },                     // probe the divisor
      { 3, 0x80, false }, { 1, 0x00, true }, { 0, 0x01, true },  // divisor 1
      { 3, 0x03, true },                                         // 8 data bits, no parity, 1 stop bit
      { 2, 0x00, false }, { 2, 0x01, false },                    // FIFO reset, then enabled
      { 1, 0x00, false },                                        // polled: no interrupts
      { 4, 0x00, false },                                        // modem control at reset
    }
    );
}

TEST_F (DriverBindingTest, DebugTextLeavesInBurstsThatFitTheFifo) {
  ASSERT_EQ (Start (), EFI_SUCCESS);

  //
  // The banner is 18 bytes: one full FIFO, then the rest; the line end goes
  // out as "\r\n" in a message of its own.
  //
  std::vector<size_t>  Bursts = Platform ().Uart ().Bursts ();

  Bursts.push_back (Platform ().Uart ().CurrentBurst ());
  ASSERT_GE (Bursts.size (), 3u);
  EXPECT_EQ (std::vector<size_t>(Bursts.begin (), Bursts.begin () + 3), (std::vector<size_t>{ 16, 2, 2 }));
  EXPECT_TRUE (std::all_of (Bursts.begin (), Bursts.end (), [](size_t Burst) { return Burst <= 16; }));
  EXPECT_EQ (Platform ().Uart ().Text ().substr (0, 20), "EFI520 V1.00.07.00\r\n");
  EXPECT_EQ (Platform ().Uart ().OverrunCount (), 0u);
}

//
// Supported.
//

TEST_F (DriverTest, SupportedTakesOnlyTheQd520AndClosesPciIoAgain) {
  struct {
    UINT16        VendorId;
    UINT16        DeviceId;
    EFI_STATUS    Expected;
  } const Cases[] = {
    { 0x7A3C, 0x0520, EFI_SUCCESS     },
    { 0x7A3D, 0x0520, EFI_UNSUPPORTED },
    { 0x7A3C, 0x0521, EFI_UNSUPPORTED },
    { 0x0520, 0x7A3C, EFI_UNSUPPORTED },
    { 0xFFFF, 0xFFFF, EFI_UNSUPPORTED },
  };

  for (const auto &Case : Cases) {
    AdapterOptions  Options;

    Options.Config.VendorId = Case.VendorId;
    Options.Config.DeviceId = Case.DeviceId;
    AddAdapter (Options);
  }

  ASSERT_EQ (LoadDriver (), EFI_SUCCESS);
  for (size_t Index = 0; Index < ARRAY_SIZE (Cases); Index++) {
    SimAdapter  &Adapter = Platform ().AdapterAt (Index);

    EXPECT_EQ (Binding ()->Supported (Binding (), Adapter.Controller (), nullptr), Cases[Index].Expected) << Index;
    EXPECT_EQ (Platform ().Handles ().CountOpens (Adapter.Controller (), gEfiPciIoProtocolGuid), 0u) << Index;

    //
    // One read of the whole 64-byte header, as sixteen 32-bit units.
    //
    std::vector<TraceRecord>  Trace = Adapter.Trace ();

    ASSERT_EQ (Trace.size (), 1u) << Index;
    EXPECT_EQ (Trace[0].Operation, PciIoOperation::PciRead);
    EXPECT_EQ (Trace[0].Width, (UINT32)EfiPciIoWidthUint32);
    EXPECT_EQ (Trace[0].Offset, 0u);
    EXPECT_EQ (Trace[0].Count, 16u);
  }
}

TEST_F (DriverBindingTest, SupportedJudgesTheRemainingPath) {
  DevicePathBytes  End       = Qd520Sim::MakeEndPath ();
  DevicePathBytes  Adr       = Qd520Sim::MakeAcpiAdrPath (0x80010100);
  DevicePathBytes  OtherAdr  = Qd520Sim::MakeAcpiAdrPath (0x80010200);
  DevicePathBytes  LongAdr   = Qd520Sim::MakeAcpiAdrPath (0x80010100, 12);
  DevicePathBytes  PciNode   = Qd520Sim::MakePciControllerPath (3);

  EXPECT_EQ (Supported (nullptr), EFI_SUCCESS);
  EXPECT_EQ (Supported (Qd520Sim::AsDevicePath (End)), EFI_SUCCESS);
  EXPECT_EQ (Supported (Qd520Sim::AsDevicePath (Adr)), EFI_SUCCESS);
  EXPECT_EQ (Supported (Qd520Sim::AsDevicePath (OtherAdr)), EFI_SUCCESS);
  EXPECT_EQ (Supported (Qd520Sim::AsDevicePath (LongAdr)), EFI_UNSUPPORTED);
  EXPECT_EQ (Supported (Qd520Sim::AsDevicePath (PciNode)), EFI_UNSUPPORTED);
  EXPECT_EQ (DriverPciIoOpens (), 0u);
}

TEST_F (DriverBindingTest, SupportedPassesOpenFailuresThroughAndClosesNothing) {
  EFI_HANDLE           OtherAgent = Platform ().CoreImageHandle ();
  EFI_PCI_IO_PROTOCOL  *PciIo;

  ASSERT_EQ (
    Platform ().Handles ().OpenProtocol (
                             mAdapter->Controller (),
                             &gEfiPciIoProtocolGuid,
                             reinterpret_cast<VOID **>(&PciIo),
                             OtherAgent,
                             mAdapter->Controller (),
                             EFI_OPEN_PROTOCOL_BY_DRIVER
                             ),
    EFI_SUCCESS
    );
  EXPECT_EQ (Supported (), EFI_ACCESS_DENIED);
  EXPECT_EQ (Platform ().Handles ().CountOpensByAgent (OtherAgent, EFI_OPEN_PROTOCOL_BY_DRIVER), 1u);
  ASSERT_EQ (
    Platform ().Handles ().CloseProtocol (mAdapter->Controller (), &gEfiPciIoProtocolGuid, OtherAgent, mAdapter->Controller ()),
    EFI_SUCCESS
    );

  //
  // Once the driver holds the controller itself, Supported says so and
  // leaves the driver's own open in place.
  //
  ASSERT_EQ (Start (), EFI_SUCCESS);
  EXPECT_EQ (Supported (), EFI_ALREADY_STARTED);
  EXPECT_EQ (DriverPciIoOpens (), 1u);
}

TEST_F (DriverBindingTest, SupportedReturnsAFailedHeaderReadAfterClosing) {
  mAdapter->PciIo ().InjectFailure (FailNth (PciIoOperation::PciRead, 1, EFI_DEVICE_ERROR));
  EXPECT_EQ (Supported (), EFI_DEVICE_ERROR);
  EXPECT_EQ (Platform ().Handles ().CountOpens (mAdapter->Controller (), gEfiPciIoProtocolGuid), 0u);
}

//
// Start and Stop.
//

TEST_F (DriverBindingTest, StartEnablesTheDeviceAndGivesTheDisplayAChildPath) {
  ASSERT_EQ (Start (), EFI_SUCCESS);

  EXPECT_EQ (SerialText ().substr (0, 19), "EFI520 V1.00.07.00\n");
  EXPECT_EQ (DriverPciIoOpens (), 1u);

  //
  // Attributes: the supported set is asked for, the current set is saved,
  // then I/O, memory and bus mastering are enabled.
  //
  std::vector<TraceRecord>  Trace = mAdapter->Trace ();
  auto                      Calls = AttributeCalls (Trace);

  ASSERT_EQ (Calls.size (), 3u);
  EXPECT_EQ (Calls[0].first, (UINT32)EfiPciIoAttributeOperationSupported);
  EXPECT_EQ (Calls[1].first, (UINT32)EfiPciIoAttributeOperationGet);
  EXPECT_EQ (Calls[2], std::make_pair ((UINT32)EfiPciIoAttributeOperationEnable, EnableAttributes));
  EXPECT_EQ (Trace[0].Operation, PciIoOperation::Attributes) << "attributes come before any register access";
  EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), InitialAttributes | EnableAttributes);

  //
  // One child, carrying only the display path: the controller's path and
  // the ACPI _ADR node of a VGA/VESA monitor on head 0.
  //
  std::vector<EFI_HANDLE>  Children = NewHandles ();

  ASSERT_EQ (Children.size (), 1u);
  EXPECT_EQ (GuidTexts (Platform ().Handles ().ProtocolsOn (Children[0])), GuidTexts ({ gEfiDevicePathProtocolGuid }));

  auto             *ChildPath = static_cast<EFI_DEVICE_PATH_PROTOCOL *>(
                                  Platform ().Handles ().InterfaceOn (Children[0], gEfiDevicePathProtocolGuid)
                                  );
  DevicePathBytes  Parent   = Qd520Sim::CopyDevicePath (mAdapter->DevicePath ());
  DevicePathBytes  Expected = Concatenate (Parent, Qd520Sim::MakeAcpiAdrPath (0x80010100));

  EXPECT_EQ (Qd520Sim::CopyDevicePath (ChildPath), Expected) << Qd520Sim::DevicePathToText (ChildPath);

  //
  // The graphics output sits on the controller itself, in mode 0.
  //
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop = GraphicsOutputOn (mAdapter->Controller ());

  ASSERT_NE (Gop, nullptr);
  EXPECT_FALSE (Platform ().Handles ().HasProtocol (Children[0], gEfiGraphicsOutputProtocolGuid));
  EXPECT_EQ (Gop->Mode->MaxMode, 3u);
  EXPECT_EQ (Gop->Mode->Mode, 0u);
  EXPECT_EQ (Gop->Mode->Info->HorizontalResolution, 640u);
  EXPECT_EQ (Gop->Mode->Info->VerticalResolution, 480u);
}

TEST_F (DriverBindingTest, StartBuildsTheChildPathFromAnAdrRemainingNode) {
  DevicePathBytes  Remaining = Qd520Sim::MakeAcpiAdrPath (0x80010200);

  ASSERT_EQ (Start (Qd520Sim::AsDevicePath (Remaining)), EFI_SUCCESS);

  std::vector<EFI_HANDLE>  Children = NewHandles ();

  ASSERT_EQ (Children.size (), 1u);
  auto  *ChildPath = static_cast<EFI_DEVICE_PATH_PROTOCOL *>(
                       Platform ().Handles ().InterfaceOn (Children[0], gEfiDevicePathProtocolGuid)
                       );

  EXPECT_EQ (
    Qd520Sim::CopyDevicePath (ChildPath),
    Concatenate (Qd520Sim::CopyDevicePath (mAdapter->DevicePath ()), Remaining)
    );
  EXPECT_NE (GraphicsOutputOn (mAdapter->Controller ()), nullptr);
}

TEST_F (DriverBindingTest, StartWithAnEndNodeRunsTheControllerWithoutAChildAndStopReleasesIt) {
  DevicePathBytes  End = Qd520Sim::MakeEndPath ();

  //
  // The register traffic of an ordinary start, for comparison; each start
  // below begins from the same register and transmitter contents.
  //
  std::vector<UINT8>  Transmitter;

  for (UINT32 Index = 0; Index < Qd520Sim::HdmiRegisterCount; Index++) {
    Transmitter.push_back (mAdapter->Hdmi (static_cast<UINT8>(Index)));
  }

  ASSERT_EQ (Start (), EFI_SUCCESS);
  std::vector<TraceRecord>  Ordinary = mAdapter->Trace ();
  ASSERT_EQ (Stop (), EFI_SUCCESS);

  for (int Round = 0; Round < 2; Round++) {
    SCOPED_TRACE ("round " + std::to_string (Round));
    mAdapter->FillRegisters (RegisterSeed);
    for (UINT32 Index = 0; Index < Qd520Sim::HdmiRegisterCount; Index++) {
      mAdapter->SetHdmi (static_cast<UINT8>(Index), Transmitter[Index]);
    }

    mAdapter->ClearTrace ();
    ASSERT_EQ (Start (Qd520Sim::AsDevicePath (End)), EFI_SUCCESS);

    //
    // The graphics output on the controller, in mode 0, exactly as after an
    // ordinary start; no child handle and no display path.
    //
    EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop = GraphicsOutputOn (mAdapter->Controller ());

    ASSERT_NE (Gop, nullptr);
    EXPECT_EQ (Gop->Mode->Mode, 0u);
    EXPECT_EQ (Gop->Mode->MaxMode, 3u);
    EXPECT_EQ (Gop->Mode->Info->HorizontalResolution, 640u);
    EXPECT_EQ (Gop->Mode->Info->VerticalResolution, 480u);
    EXPECT_TRUE (NewHandles ().empty ());
    EXPECT_EQ (PrivateOf (Gop)->Handle, nullptr);
    EXPECT_EQ (PrivateOf (Gop)->GopDevicePath, nullptr);
    EXPECT_EQ (DriverPciIoOpens (), 1u);
    EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), InitialAttributes | EnableAttributes);
    EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 4u) << "context, mode record, its Info, line buffer";
    EXPECT_TRUE (TraceMatches (Ordinary, mAdapter->Trace ())) << "the adapter is brought up as in an ordinary start";

    //
    // Stop finds the output and releases everything.
    //
    mAdapter->ClearTrace ();
    ASSERT_EQ (Stop (), EFI_SUCCESS);
    ExpectNothingHeld ();
    EXPECT_EQ (
      AttributeCalls (mAdapter->Trace ()),
      (std::vector<std::pair<UINT32, UINT64> >{ { EfiPciIoAttributeOperationSet, InitialAttributes } })
      );
    EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), InitialAttributes);
    EXPECT_EQ (Stop (), EFI_UNSUPPORTED);
  }

  //
  // Through the firmware's connect logic as well.
  //
  ASSERT_EQ (Platform ().Connect (mAdapter->Controller (), Qd520Sim::AsDevicePath (End)), EFI_SUCCESS);
  EXPECT_NE (GraphicsOutputOn (mAdapter->Controller ()), nullptr);
  EXPECT_TRUE (NewHandles ().empty ());
  ASSERT_EQ (Platform ().Disconnect (mAdapter->Controller ()), EFI_SUCCESS);
  ExpectNothingHeld ();
  EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), InitialAttributes);
}

//
// A failing step of Start: its message, its status, and an unwinding that
// leaves the controller as it was.
//
struct FailingStep {
  const char    *Name;
  UINT32        Code;
  EFI_STATUS    Status;
  bool          AttributesRestored;
};

class StartFailureTest : public DriverBindingTest, public ::testing::WithParamInterface<FailingStep> {
protected:
  void
  Arrange (
    const FailingStep  &Step
    )
  {
    std::string  Name = Step.Name;

    if (Name == "context") {
      Platform ().Pool ().FailAllocation (1);
    } else if (Name == "open") {
      EFI_PCI_IO_PROTOCOL  *PciIo;

      ASSERT_EQ (
        Platform ().Handles ().OpenProtocol (
                                 mAdapter->Controller (),
                                 &gEfiPciIoProtocolGuid,
                                 reinterpret_cast<VOID **>(&PciIo),
                                 Platform ().CoreImageHandle (),
                                 mAdapter->Controller (),
                                 EFI_OPEN_PROTOCOL_BY_DRIVER
                                 ),
        EFI_SUCCESS
        );
    } else if (Name == "supported") {
      mAdapter->PciIo ().InjectFailure (FailAttribute (EfiPciIoAttributeOperationSupported, Step.Status));
    } else if (Name == "get") {
      mAdapter->PciIo ().InjectFailure (FailAttribute (EfiPciIoAttributeOperationGet, Step.Status));
    } else if (Name == "enable") {
      mAdapter->PciIo ().InjectFailure (FailAttribute (EfiPciIoAttributeOperationEnable, Step.Status));
    } else if (Name == "path") {
      ASSERT_EQ (
        Platform ().Handles ().UninstallProtocolInterface (
                                 mAdapter->Controller (),
                                 &gEfiDevicePathProtocolGuid,
                                 mAdapter->DevicePath ()
                                 ),
        EFI_SUCCESS
        );
    }
  }
};

TEST_P (StartFailureTest, ReportsTheStepAndUnwinds) {
  const FailingStep  &Step = GetParam ();

  Arrange (Step);
  ASSERT_FALSE (HasFatalFailure ());

  EXPECT_EQ (Start (), Step.Status);

  char  Message[64];

  AsciiSPrint (Message, sizeof (Message), "line:%d,Status:%r", Step.Code, Step.Status);
  EXPECT_EQ (SerialText (), std::string ("EFI520 V1.00.07.00\n") + Message + "\n");

  auto  Calls    = AttributeCalls (mAdapter->Trace ());
  bool  Restored = !Calls.empty () && (Calls.back ().first == (UINT32)EfiPciIoAttributeOperationSet);

  EXPECT_EQ (Restored, Step.AttributesRestored);
  if (Restored) {
    EXPECT_EQ (Calls.back ().second, InitialAttributes);
  }

  EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), InitialAttributes);
  if (std::string (Step.Name) == "open") {
    EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u);
    EXPECT_EQ (Platform ().Handles ().CountOpensByAgent (Platform ().ImageHandle ()), 0u);
  } else {
    ExpectNothingHeld ();
  }
}

INSTANTIATE_TEST_SUITE_P (
  EveryStep,
  StartFailureTest,
  ::testing::Values (
               FailingStep { "context", 220, EFI_OUT_OF_RESOURCES, false },
               FailingStep { "open", 242, EFI_ACCESS_DENIED, false },
               FailingStep { "supported", 256, EFI_DEVICE_ERROR, false },
               FailingStep { "get", 279, EFI_DEVICE_ERROR, false },
               FailingStep { "enable", 291, EFI_UNSUPPORTED, true },
               FailingStep { "path", 304, EFI_UNSUPPORTED, true }
               ),
  [](const ::testing::TestParamInfo<FailingStep> &Info) { return std::string (Info.param.Name); }
  );

TEST_F (DriverBindingTest, StartWithoutMemoryForTheDisplayPathFailsAndUnwinds) {
  //
  // Appending the display node takes two allocations after the context:
  // the terminated node, then the new path. Either failing leaves no path.
  //
  for (UINT64 Allocation : { 2, 3 }) {
    SCOPED_TRACE (Allocation);
    ClearSerialText ();
    mAdapter->ClearTrace ();
    Platform ().Pool ().FailAllocation (Allocation);

    EXPECT_EQ (Start (), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ (SerialText (), "EFI520 V1.00.07.00\n");
    auto  Calls = AttributeCalls (mAdapter->Trace ());

    ASSERT_FALSE (Calls.empty ());
    EXPECT_EQ (Calls.back (), std::make_pair ((UINT32)EfiPciIoAttributeOperationSet, InitialAttributes));
    ExpectNothingHeld ();
  }

  EXPECT_EQ (Start (), EFI_SUCCESS);
}

TEST_F (DriverBindingTest, StartThatCannotInstallTheOutputReleasesEverything) {
  //
  // Another graphics output already on the controller makes the final
  // installation fail.
  //
  EFI_GRAPHICS_OUTPUT_PROTOCOL  Other = {};
  EFI_HANDLE                    Controller = mAdapter->Controller ();

  ASSERT_EQ (
    Platform ().Handles ().InstallProtocolInterface (&Controller, &gEfiGraphicsOutputProtocolGuid, EFI_NATIVE_INTERFACE, &Other),
    EFI_SUCCESS
    );
  EXPECT_EQ (Start (), EFI_INVALID_PARAMETER);

  EXPECT_EQ (GraphicsOutputOn (Controller), &Other);
  EXPECT_EQ (DriverPciIoOpens (), 0u);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u);
  EXPECT_EQ (Platform ().Handles ().HandleCount (), mHandlesBefore);
  EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), InitialAttributes);
  EXPECT_EQ (
    Platform ().Handles ().UninstallProtocolInterface (Controller, &gEfiGraphicsOutputProtocolGuid, &Other),
    EFI_SUCCESS
    );
}

TEST_F (DriverBindingTest, StopReleasesEverythingAndASecondStopFails) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  mAdapter->ClearTrace ();

  EXPECT_EQ (Stop (), EFI_SUCCESS);

  EXPECT_EQ (GraphicsOutputOn (mAdapter->Controller ()), nullptr);
  EXPECT_EQ (DriverPciIoOpens (), 0u);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u);
  EXPECT_EQ (Platform ().Handles ().HandleCount (), mHandlesBefore);
  EXPECT_EQ (
    AttributeCalls (mAdapter->Trace ()),
    (std::vector<std::pair<UINT32, UINT64> >{ { EfiPciIoAttributeOperationSet, InitialAttributes } })
    );
  EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), InitialAttributes);

  //
  // Stop touches no register: the display is left as it was.
  //
  for (const TraceRecord &Record : mAdapter->Trace ()) {
    EXPECT_EQ (Record.Operation, PciIoOperation::Attributes);
  }

  mAdapter->ClearTrace ();
  EXPECT_EQ (Stop (), EFI_UNSUPPORTED);
  EXPECT_EQ (mAdapter->TraceCount (), 0u);
}

TEST_F (DriverBindingTest, RepeatedStartAndStopLeavesNoPoolBlock) {
  for (int Cycle = 0; Cycle < 3; Cycle++) {
    ASSERT_EQ (Start (), EFI_SUCCESS);
    ASSERT_EQ (GraphicsOutputOn (mAdapter->Controller ())->SetMode (GraphicsOutputOn (mAdapter->Controller ()), 2), EFI_SUCCESS);
    ASSERT_EQ (Stop (), EFI_SUCCESS);
    EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u) << "cycle " << Cycle;
    EXPECT_EQ (Platform ().Handles ().HandleCount (), mHandlesBefore);
  }
}

TEST_F (DriverBindingTest, ConnectAndDisconnectThroughTheFirmwareLogic) {
  ASSERT_EQ (Platform ().Connect (mAdapter->Controller ()), EFI_SUCCESS);
  EXPECT_NE (GraphicsOutputOn (mAdapter->Controller ()), nullptr);
  ASSERT_EQ (Platform ().Disconnect (mAdapter->Controller ()), EFI_SUCCESS);
  EXPECT_EQ (GraphicsOutputOn (mAdapter->Controller ()), nullptr);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u);
}

TEST_F (DriverBindingTest, GraphicsOutputIsCompleteWhenItsInstallationIsAnnounced) {
  //
  // Firmware runs the notification functions of consumers (the graphics
  // console, platform code) inside the installation, before Start returns:
  // by then the protocol must be ready for use.
  //
  int  Announced = 0;

  Platform ().Handles ().NotifyOnInstall (
                           gEfiGraphicsOutputProtocolGuid,
                           [&](EFI_HANDLE Handle, VOID *Interface) {
      auto  *Gop = static_cast<EFI_GRAPHICS_OUTPUT_PROTOCOL *>(Interface);

      Announced++;
      EXPECT_EQ (Handle, mAdapter->Controller ());
      ASSERT_NE (Gop->Mode, nullptr);
      ASSERT_NE (Gop->Mode->Info, nullptr);
      EXPECT_EQ (Gop->Mode->Mode, 0u);
      EXPECT_EQ (Gop->Mode->MaxMode, 3u);
      EXPECT_EQ (Gop->Mode->Info->HorizontalResolution, 640u);
      EXPECT_EQ (Gop->Mode->FrameBufferBase, (EFI_PHYSICAL_ADDRESS)(UINTN)mAdapter->FrameBuffer ());
      EXPECT_EQ (Gop->Mode->FrameBufferSize, 640u * 480 * 4);

      UINTN                                 Size;
      EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info;

      ASSERT_EQ (Gop->QueryMode (Gop, 2, &Size, &Info), EFI_SUCCESS);
      EXPECT_EQ (Info->HorizontalResolution, 1024u);
      gBS->FreePool (Info);

      EFI_GRAPHICS_OUTPUT_BLT_PIXEL  White = { 0xFF, 0xFF, 0xFF, 0 };

      EXPECT_EQ (Gop->Blt (Gop, &White, EfiBltVideoFill, 0, 0, 0, 0, 640, 480, 0), EFI_SUCCESS);
      EXPECT_EQ (Gop->Blt (Gop, nullptr, EfiBltVideoToVideo, 0, 1, 0, 0, 640, 479, 0), EFI_SUCCESS);
    }
                           );

  ASSERT_EQ (Start (), EFI_SUCCESS);
  EXPECT_EQ (Announced, 1);
  EXPECT_EQ (mAdapter->Pixel (639, 479, 640), 0x00FFFFFFu);
}

//
// Register primitives.
//

class RegisterAccessTest : public DriverTest {
protected:
  void
  SetUp (
    ) override
  {
    DriverTest::SetUp ();
    mAdapter = &AddAdapter ();
    ASSERT_EQ (LoadDriver (), EFI_SUCCESS);
    ClearSerialText ();
    mPrivate.Signature = QDL520_PRIVATE_DATA_SIGNATURE;
    mPrivate.PciIo     = mAdapter->Protocol ();
  }

  SimAdapter           *mAdapter = nullptr;
  QDL520_PRIVATE_DATA  mPrivate  = {};
};

TEST_F (RegisterAccessTest, ReadIsOne32BitMemoryReadOfBar1) {
  mAdapter->SetRegister (0x80010, 0xC001D00D);

  EXPECT_EQ (Qdl520MmioRead32 (&mPrivate, 0x80010), 0xC001D00Du);

  std::vector<TraceRecord>  Trace = mAdapter->Trace ();

  ASSERT_EQ (Trace.size (), 1u);
  EXPECT_EQ (Trace[0].Operation, PciIoOperation::MemRead);
  EXPECT_EQ (Trace[0].Width, (UINT32)EfiPciIoWidthUint32);
  EXPECT_EQ (Trace[0].BarIndex, 1u);
  EXPECT_EQ (Trace[0].Offset, 0x80010u);
  EXPECT_EQ (Trace[0].Count, 1u);
  EXPECT_EQ (Trace[0].Value, 0xC001D00Du);
}

TEST_F (RegisterAccessTest, WriteIsOne32BitMemoryWriteOfBar1AndNoRead) {
  Qdl520MmioWrite32 (&mPrivate, 0x88040, 0x89ABCDEF);

  std::vector<TraceRecord>  Trace = mAdapter->Trace ();

  ASSERT_EQ (Trace.size (), 1u);
  EXPECT_EQ (Trace[0].Operation, PciIoOperation::MemWrite);
  EXPECT_EQ (Trace[0].Width, (UINT32)EfiPciIoWidthUint32);
  EXPECT_EQ (Trace[0].BarIndex, 1u);
  EXPECT_EQ (Trace[0].Offset, 0x88040u);
  EXPECT_EQ (Trace[0].Count, 1u);
  EXPECT_EQ (Trace[0].Value, 0x89ABCDEFu);
  EXPECT_EQ (mAdapter->Register (0x88040), 0x89ABCDEFu);
}


TEST_F (RegisterAccessTest, FailingAccessIsReportedAsAnAssertion) {
  mAdapter->SetRegister (0x12C, 0x1000);
  mAdapter->PciIo ().InjectFailure (FailNth (PciIoOperation::MemRead, 1, EFI_DEVICE_ERROR));
  mAdapter->PciIo ().InjectFailure (FailNth (PciIoOperation::MemWrite, 1, EFI_TIMEOUT));

  EXPECT_EQ (Qdl520MmioRead32 (&mPrivate, 0x12C), 0u);
  Qdl520MmioWrite32 (&mPrivate, 0x80000, 1);

  std::vector<AssertionRecord>  Assertions = TakeAssertions ();

  ASSERT_EQ (Assertions.size (), 2u);
  for (const AssertionRecord &Assertion : Assertions) {
    EXPECT_EQ (Assertion.File, "Qdl520.cpp");
    EXPECT_EQ (Assertion.Expression, EfiErrorExpression);
  }

  std::string  Expected = "\nASSERT_EFI_ERROR (Status = Device Error)\n"
                          "ASSERT Qdl520.cpp(" + std::to_string (Assertions[0].Line) + "): " + EfiErrorExpression + "\n"
                          "\nASSERT_EFI_ERROR (Status = Time out)\n"
                          "ASSERT Qdl520.cpp(" + std::to_string (Assertions[1].Line) + "): " + EfiErrorExpression + "\n";

  EXPECT_EQ (SerialText (), Expected);
  EXPECT_EQ (mAdapter->Register (0x80000), 0u) << "a failed write stores nothing";
}

TEST_F (RegisterAccessTest, DelaysAreCountedInUnits) {
  Qdl520MmioRead32 (&mPrivate, 0x68);
  mAdapter->ClearTrace ();

  for (UINT8 Count : { 0, 1, 8, 10, 255 }) {
    Qdl520Delay (Count);
  }

  std::vector<TraceRecord>  Trace = mAdapter->Trace ();

  ASSERT_EQ (Trace.size (), 5u);
  std::vector<UINT64>  Units;

  for (const TraceRecord &Record : Trace) {
    EXPECT_EQ (Record.Operation, PciIoOperation::Delay);
    Units.push_back (Record.Count);
  }

  EXPECT_EQ (Units, (std::vector<UINT64>{ 0, 1, 8, 10, 255 }));
}

TEST_F (RegisterAccessTest, ContextWithABadSignatureIsAnAssertion) {
  QDL520_PRIVATE_DATA  Impostor = {};

  Impostor.Signature = SIGNATURE_32 ('Q', 'D', '5', '3');
  EXPECT_EQ (
    Qdl520GraphicsOutputBlt (&Impostor.GraphicsOutput, nullptr, EfiGraphicsOutputBltOperationMax, 0, 0, 0, 0, 1, 1, 0),
    EFI_INVALID_PARAMETER
    );

  std::vector<AssertionRecord>  Assertions = TakeAssertions ();

  ASSERT_EQ (Assertions.size (), 1u);
  EXPECT_EQ (Assertions[0].Expression, "CR has Bad Signature");
  EXPECT_EQ (Assertions[0].File, "Qdl520GraphicsOutput.cpp");
}

} // namespace
} // namespace Qd520Test
