/** @file
  Contract of the simulated handle database: the DXE core's open, install
  and uninstall rules and its connect logic, through the boot-service table.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimTestSupport.h"

extern "C" {
#include <Protocol/PciIo.h>
}

namespace Qd520Sim {
namespace {

EFI_GUID  gTestPciIoGuid      = EFI_PCI_IO_PROTOCOL_GUID;
EFI_GUID  gTestDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
EFI_GUID  gTestBindingGuid    = EFI_DRIVER_BINDING_PROTOCOL_GUID;
EFI_GUID  gTestMarkerGuid     = {
  0x3c1b4a5e, 0x2d77, 0x4f4e, { 0x9a, 0x61, 0x0b, 0x52, 0x7e, 0x11, 0xc4, 0x08 }
};

/// A minimal driver: takes any controller with PCI I/O, holding it BY_DRIVER.
struct FakeDriver {
  EFI_DRIVER_BINDING_PROTOCOL    Binding;
  EFI_HANDLE                     Image;
  int                            Supported;
  int                            Started;
  int                            Stopped;

  static FakeDriver *
  From (
    EFI_DRIVER_BINDING_PROTOCOL  *This
    )
  {
    return reinterpret_cast<FakeDriver *>(This);
  }

  static EFI_STATUS EFIAPI
  SupportedEntry (
    EFI_DRIVER_BINDING_PROTOCOL  *This,
    EFI_HANDLE                   Controller,
    EFI_DEVICE_PATH_PROTOCOL     *
    )
  {
    EFI_BOOT_SERVICES  *BootServices = SimPlatform::Current ()->BootServices ();
    VOID               *PciIo;
    EFI_STATUS         Status;

    From (This)->Supported++;
    Status = BootServices->OpenProtocol (Controller, &gTestPciIoGuid, &PciIo, This->DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER);
    if (!EFI_ERROR (Status)) {
      BootServices->CloseProtocol (Controller, &gTestPciIoGuid, This->DriverBindingHandle, Controller);
    }

    return Status;
  }

  static EFI_STATUS EFIAPI
  StartEntry (
    EFI_DRIVER_BINDING_PROTOCOL  *This,
    EFI_HANDLE                   Controller,
    EFI_DEVICE_PATH_PROTOCOL     *
    )
  {
    VOID  *PciIo;

    From (This)->Started++;
    return SimPlatform::Current ()->BootServices ()->OpenProtocol (
                                                     Controller,
                                                     &gTestPciIoGuid,
                                                     &PciIo,
                                                     This->DriverBindingHandle,
                                                     Controller,
                                                     EFI_OPEN_PROTOCOL_BY_DRIVER
                                                     );
  }

  static EFI_STATUS EFIAPI
  StopEntry (
    EFI_DRIVER_BINDING_PROTOCOL  *This,
    EFI_HANDLE                   Controller,
    UINTN,
    EFI_HANDLE                   *
    )
  {
    From (This)->Stopped++;
    return SimPlatform::Current ()->BootServices ()->CloseProtocol (Controller, &gTestPciIoGuid, This->DriverBindingHandle, Controller);
  }

  static EFI_STATUS EFIAPI
  FailingStopEntry (
    EFI_DRIVER_BINDING_PROTOCOL  *This,
    EFI_HANDLE,
    UINTN,
    EFI_HANDLE                   *
    )
  {
    From (This)->Stopped++;
    return EFI_DEVICE_ERROR;
  }

  /// Installs the binding on a new image handle.
  void
  Install (
    SimPlatform  &Platform
    )
  {
    Binding  = EFI_DRIVER_BINDING_PROTOCOL{ SupportedEntry, StartEntry, StopEntry, 0x10, nullptr, nullptr };
    Image    = nullptr;
    ASSERT_EQ (
      EFI_SUCCESS,
      Platform.BootServices ()->InstallMultipleProtocolInterfaces (&Image, &gTestBindingGuid, &Binding, nullptr)
      );
    Binding.ImageHandle         = Image;
    Binding.DriverBindingHandle = Image;
  }
};

class HandleDatabaseTest : public SimTest {
protected:
  void
  SetUp (
    ) override
  {
    SimTest::SetUp ();
    mPlatform   = std::make_unique<SimPlatform>();
    mBs         = mPlatform->BootServices ();
    mAdapter    = &mPlatform->AddAdapter ();
    mController = mAdapter->Controller ();
    mAgent      = mPlatform->ImageHandle ();
  }

  void
  TearDown (
    ) override
  {
    mPlatform.reset ();
    SimTest::TearDown ();
  }

  std::unique_ptr<SimPlatform>  mPlatform;
  EFI_BOOT_SERVICES             *mBs        = nullptr;
  SimAdapter                    *mAdapter   = nullptr;
  EFI_HANDLE                    mController = nullptr;
  EFI_HANDLE                    mAgent      = nullptr;
};

//
// OpenProtocol and CloseProtocol.
//

TEST_F (HandleDatabaseTest, OpenByDriverAgainBySameAgentIsAlreadyStartedWithInterface) {
  VOID  *First  = nullptr;
  VOID  *Second = nullptr;

  ASSERT_EQ (EFI_SUCCESS, mBs->OpenProtocol (mController, &gTestPciIoGuid, &First, mAgent, mController, EFI_OPEN_PROTOCOL_BY_DRIVER));
  EXPECT_EQ (mAdapter->Protocol (), First);
  EXPECT_EQ (EFI_ALREADY_STARTED, mBs->OpenProtocol (mController, &gTestPciIoGuid, &Second, mAgent, mController, EFI_OPEN_PROTOCOL_BY_DRIVER));
  EXPECT_EQ (First, Second);
  EXPECT_EQ (1u, mPlatform->Handles ().CountOpens (mController, gTestPciIoGuid, EFI_OPEN_PROTOCOL_BY_DRIVER));
}

TEST_F (HandleDatabaseTest, OpenByDriverByAnotherAgentIsAccessDeniedAndLeavesInterface) {
  VOID  *Interface = nullptr;
  VOID  *Untouched = &Interface;

  ASSERT_EQ (EFI_SUCCESS, mBs->OpenProtocol (mController, &gTestPciIoGuid, &Interface, mAgent, mController, EFI_OPEN_PROTOCOL_BY_DRIVER));
  EXPECT_EQ (
    EFI_ACCESS_DENIED,
    mBs->OpenProtocol (mController, &gTestPciIoGuid, &Untouched, mPlatform->CoreImageHandle (), mController, EFI_OPEN_PROTOCOL_BY_DRIVER)
    );
  EXPECT_EQ (static_cast<VOID *>(&Interface), Untouched);

  // GET_PROTOCOL is not blocked by a driver's open.
  EXPECT_EQ (EFI_SUCCESS, mBs->OpenProtocol (mController, &gTestPciIoGuid, &Interface, mPlatform->CoreImageHandle (), mController, EFI_OPEN_PROTOCOL_GET_PROTOCOL));
}

TEST_F (HandleDatabaseTest, OpenOfMissingProtocolIsUnsupportedAndClearsInterface) {
  VOID  *Interface = &Interface;

  EXPECT_EQ (EFI_UNSUPPORTED, mBs->OpenProtocol (mController, &gTestMarkerGuid, &Interface, mAgent, mController, EFI_OPEN_PROTOCOL_BY_DRIVER));
  EXPECT_EQ (nullptr, Interface);
  EXPECT_EQ (EFI_INVALID_PARAMETER, mBs->OpenProtocol (mController, &gTestPciIoGuid, &Interface, nullptr, mController, EFI_OPEN_PROTOCOL_BY_DRIVER));
}

TEST_F (HandleDatabaseTest, CloseOfNothingIsNotFoundAndCloseRemovesTheOpen) {
  VOID  *Interface;

  EXPECT_EQ (EFI_NOT_FOUND, mBs->CloseProtocol (mController, &gTestPciIoGuid, mAgent, mController));
  EXPECT_EQ (EFI_NOT_FOUND, mBs->CloseProtocol (mController, &gTestMarkerGuid, mAgent, mController));
  ASSERT_EQ (EFI_SUCCESS, mBs->OpenProtocol (mController, &gTestPciIoGuid, &Interface, mAgent, mController, EFI_OPEN_PROTOCOL_BY_DRIVER));
  EXPECT_EQ (EFI_SUCCESS, mBs->CloseProtocol (mController, &gTestPciIoGuid, mAgent, mController));
  EXPECT_EQ (0u, mPlatform->Handles ().CountOpens (mController, gTestPciIoGuid));
}

TEST_F (HandleDatabaseTest, HandleProtocolLeavesAnOpenByTheCoreImage) {
  VOID  *Path = nullptr;

  ASSERT_EQ (EFI_SUCCESS, mBs->HandleProtocol (mController, &gTestDevicePathGuid, &Path));
  EXPECT_EQ (mAdapter->DevicePath (), Path);

  auto  Opens = mPlatform->Handles ().OpenRecords (mController, gTestDevicePathGuid);
  ASSERT_EQ (1u, Opens.size ());
  EXPECT_EQ (mPlatform->CoreImageHandle (), Opens[0].AgentHandle);
  EXPECT_EQ ((UINT32)EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL, Opens[0].Attributes);
}

//
// Installing and uninstalling.
//

TEST_F (HandleDatabaseTest, InstallingAnIdenticalDevicePathIsAlreadyStartedAndChangesNothing) {
  DevicePathBytes  Copy    = CopyDevicePath (mAdapter->DevicePath ());
  EFI_HANDLE       Handle  = nullptr;
  size_t           Handles = mPlatform->Handles ().HandleCount ();
  int              Marker;

  EXPECT_EQ (
    EFI_ALREADY_STARTED,
    mBs->InstallMultipleProtocolInterfaces (&Handle, &gTestMarkerGuid, &Marker, &gTestDevicePathGuid, AsDevicePath (Copy), nullptr)
    );
  EXPECT_EQ (nullptr, Handle);
  EXPECT_EQ (Handles, mPlatform->Handles ().HandleCount ());

  // A longer path below the controller is a new device.
  DevicePathBytes  Child = MakePciControllerPath (0);
  Child.pop_back ();
  Child.pop_back ();
  Child.pop_back ();
  Child.pop_back ();
  DevicePathBytes  Adr = MakeAcpiAdrPath (0x80010100);
  Child.insert (Child.end (), Adr.begin (), Adr.end ());
  EXPECT_EQ (EFI_SUCCESS, mBs->InstallMultipleProtocolInterfaces (&Handle, &gTestDevicePathGuid, AsDevicePath (Child), nullptr));
  EXPECT_EQ ("PciRoot(0x0)/Pci(0x0,0x0)/AcpiAdr(0x80010100)", DevicePathToText (AsDevicePath (Child)));
}

TEST_F (HandleDatabaseTest, InstallingAGuidTwiceIsInvalidParameterAndRollsBackTheNewHandle) {
  EFI_HANDLE  Handle  = nullptr;
  size_t      Handles = mPlatform->Handles ().HandleCount ();
  int         Marker;

  EXPECT_EQ (
    EFI_INVALID_PARAMETER,
    mBs->InstallMultipleProtocolInterfaces (&Handle, &gTestMarkerGuid, &Marker, &gTestMarkerGuid, &Marker, nullptr)
    );
  EXPECT_EQ (nullptr, Handle);
  EXPECT_EQ (Handles, mPlatform->Handles ().HandleCount ());
  EXPECT_EQ (EFI_INVALID_PARAMETER, mBs->InstallProtocolInterface (&mController, &gTestPciIoGuid, EFI_NATIVE_INTERFACE, &Marker));
}

TEST_F (HandleDatabaseTest, HandleWithoutProtocolsDisappears) {
  EFI_HANDLE  Handle = nullptr;
  int         Marker;

  ASSERT_EQ (EFI_SUCCESS, mBs->InstallMultipleProtocolInterfaces (&Handle, &gTestMarkerGuid, &Marker, nullptr));
  EXPECT_TRUE (mPlatform->Handles ().IsValidHandle (Handle));
  ASSERT_EQ (EFI_SUCCESS, mBs->UninstallMultipleProtocolInterfaces (Handle, &gTestMarkerGuid, &Marker, nullptr));
  EXPECT_FALSE (mPlatform->Handles ().IsValidHandle (Handle));
  EXPECT_EQ (EFI_INVALID_PARAMETER, mBs->UninstallMultipleProtocolInterfaces (Handle, &gTestMarkerGuid, &Marker, nullptr));
}

TEST_F (HandleDatabaseTest, UninstallMultipleIsAllOrNothing) {
  EFI_HANDLE  Handle = nullptr;
  int         Marker;
  int         Other;

  ASSERT_EQ (EFI_SUCCESS, mBs->InstallMultipleProtocolInterfaces (&Handle, &gTestMarkerGuid, &Marker, &gTestPciIoGuid, &Other, nullptr));

  // The PCI I/O instance named is not the one installed: nothing is removed.
  EXPECT_EQ (
    EFI_INVALID_PARAMETER,
    mBs->UninstallMultipleProtocolInterfaces (Handle, &gTestMarkerGuid, &Marker, &gTestPciIoGuid, &Marker, nullptr)
    );
  EXPECT_EQ (&Marker, mPlatform->Handles ().InterfaceOn (Handle, gTestMarkerGuid));
  EXPECT_EQ (&Other, mPlatform->Handles ().InterfaceOn (Handle, gTestPciIoGuid));
}

TEST_F (HandleDatabaseTest, UninstallOfAProtocolHeldByANonDriverIsAccessDeniedAndDropsGetProtocolOpens) {
  EFI_HANDLE  Handle = nullptr;
  VOID        *Interface;
  int         Marker;

  ASSERT_EQ (EFI_SUCCESS, mBs->InstallMultipleProtocolInterfaces (&Handle, &gTestMarkerGuid, &Marker, nullptr));
  ASSERT_EQ (EFI_SUCCESS, mBs->OpenProtocol (Handle, &gTestMarkerGuid, &Interface, mAgent, Handle, EFI_OPEN_PROTOCOL_GET_PROTOCOL));
  ASSERT_EQ (EFI_SUCCESS, mBs->OpenProtocol (Handle, &gTestMarkerGuid, &Interface, mAgent, Handle, EFI_OPEN_PROTOCOL_BY_DRIVER));

  // The agent has no driver binding, so the core cannot stop it.
  EXPECT_EQ (EFI_ACCESS_DENIED, mBs->UninstallProtocolInterface (Handle, &gTestMarkerGuid, &Marker));
  EXPECT_EQ (EFI_INVALID_PARAMETER, mBs->UninstallMultipleProtocolInterfaces (Handle, &gTestMarkerGuid, &Marker, nullptr));
  EXPECT_TRUE (mPlatform->Handles ().HasProtocol (Handle, gTestMarkerGuid));

  ASSERT_EQ (EFI_SUCCESS, mBs->CloseProtocol (Handle, &gTestMarkerGuid, mAgent, Handle));
  ASSERT_EQ (EFI_SUCCESS, mBs->OpenProtocol (Handle, &gTestMarkerGuid, &Interface, mAgent, Handle, EFI_OPEN_PROTOCOL_GET_PROTOCOL));
  EXPECT_EQ (EFI_SUCCESS, mBs->UninstallProtocolInterface (Handle, &gTestMarkerGuid, &Marker));
  EXPECT_FALSE (mPlatform->Handles ().IsValidHandle (Handle));
}

//
// Connect and disconnect.
//

TEST_F (HandleDatabaseTest, ConnectCallsSupportedThenStartAndDisconnectCallsStop) {
  FakeDriver  Driver{};

  Driver.Install (*mPlatform);
  ASSERT_EQ (EFI_SUCCESS, mPlatform->Connect (mController));
  EXPECT_EQ (1, Driver.Supported);
  EXPECT_EQ (1, Driver.Started);
  EXPECT_EQ (1u, mPlatform->Handles ().CountOpensByAgent (Driver.Image, EFI_OPEN_PROTOCOL_BY_DRIVER));

  // Already running: Supported sees its own open and nothing starts again.
  EXPECT_EQ (EFI_NOT_FOUND, mPlatform->Connect (mController));
  EXPECT_EQ (1, Driver.Started);

  ASSERT_EQ (EFI_SUCCESS, mPlatform->Disconnect (mController));
  EXPECT_EQ (1, Driver.Stopped);
  EXPECT_EQ (0u, mPlatform->Handles ().CountOpensByAgent (Driver.Image));

  const auto  &Calls = mPlatform->Handles ().BindingCalls ();
  ASSERT_EQ (4u, Calls.size ());
  EXPECT_EQ (BindingCall::Kind::Supported, Calls[0].Call);
  EXPECT_EQ (BindingCall::Kind::Start, Calls[1].Call);
  EXPECT_EQ (BindingCall::Kind::Supported, Calls[2].Call);
  EXPECT_EQ (EFI_ALREADY_STARTED, Calls[2].Status);
  EXPECT_EQ (BindingCall::Kind::Stop, Calls[3].Call);
}

TEST_F (HandleDatabaseTest, UninstallStopsTheDriverThatHoldsTheProtocol) {
  FakeDriver  Driver{};

  Driver.Install (*mPlatform);
  ASSERT_EQ (EFI_SUCCESS, mPlatform->Connect (mController));
  EXPECT_EQ (EFI_SUCCESS, mBs->UninstallProtocolInterface (mController, &gTestPciIoGuid, mAdapter->Protocol ()));
  EXPECT_EQ (1, Driver.Stopped);
  EXPECT_FALSE (mPlatform->Handles ().HasProtocol (mController, gTestPciIoGuid));
}

TEST_F (HandleDatabaseTest, ConnectWithoutASupportingDriverIsNotFoundUnlessRemainingPathEnds) {
  FakeDriver       Driver{};
  DevicePathBytes  End = MakeEndPath ();
  VOID             *Interface;

  Driver.Install (*mPlatform);
  ASSERT_EQ (EFI_SUCCESS, mBs->OpenProtocol (mController, &gTestPciIoGuid, &Interface, mAgent, mController, EFI_OPEN_PROTOCOL_BY_DRIVER));
  EXPECT_EQ (EFI_NOT_FOUND, mPlatform->Connect (mController));
  EXPECT_EQ (EFI_SUCCESS, mPlatform->Connect (mController, AsDevicePath (End)));
  EXPECT_EQ (0, Driver.Started);
}

TEST_F (HandleDatabaseTest, DisconnectWithoutDriversSucceedsAndAFailedStopIsNotFound) {
  FakeDriver  Driver{};

  EXPECT_EQ (EFI_SUCCESS, mPlatform->Disconnect (mController));
  Driver.Install (*mPlatform);
  ASSERT_EQ (EFI_SUCCESS, mPlatform->Connect (mController));

  // A Stop that fails leaves the driver in place.
  Driver.Binding.Stop = FakeDriver::FailingStopEntry;
  EXPECT_EQ (EFI_NOT_FOUND, mPlatform->Disconnect (mController));
  EXPECT_EQ (1, Driver.Stopped);
  EXPECT_EQ (EFI_DEVICE_ERROR, mPlatform->Handles ().BindingCalls ().back ().Status);
  EXPECT_EQ (1u, mPlatform->Handles ().CountOpensByAgent (Driver.Image, EFI_OPEN_PROTOCOL_BY_DRIVER));
}

TEST_F (HandleDatabaseTest, ExclusiveOpenStopsTheDriverThatHoldsTheProtocol) {
  FakeDriver  Driver{};
  VOID        *Interface = nullptr;

  Driver.Install (*mPlatform);
  ASSERT_EQ (EFI_SUCCESS, mPlatform->Connect (mController));
  ASSERT_EQ (EFI_SUCCESS, mBs->OpenProtocol (mController, &gTestPciIoGuid, &Interface, mAgent, mController, EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE));
  EXPECT_EQ (1, Driver.Stopped);
  EXPECT_EQ (mAdapter->Protocol (), Interface);

  // The exclusive open keeps the driver out.
  EXPECT_EQ (EFI_NOT_FOUND, mPlatform->Connect (mController));
  EXPECT_EQ (1, Driver.Started);
}

TEST (DevicePathText, ShowsKnownNodesAndMarksMalformedOnes) {
  DevicePathBytes  Path = MakePciControllerPath (3, 1);

  EXPECT_EQ ("PciRoot(0x0)/Pci(0x3,0x1)", DevicePathToText (AsDevicePath (Path)));
  EXPECT_EQ (22u, DevicePathSize (AsDevicePath (Path)));
  Path[2] = 2;   // first node now shorter than its header
  EXPECT_EQ (0u, DevicePathSize (AsDevicePath (Path)));
  EXPECT_EQ ("<malformed>", DevicePathToText (AsDevicePath (Path)));

  DevicePathBytes  End = MakeEndPath ();
  EXPECT_EQ ("End", DevicePathToText (AsDevicePath (End)));
}

} // namespace
} // namespace Qd520Sim
