/** @file
  Handle database of the simulated platform, with the DXE core's rules for
  installing, uninstalling, opening and closing protocols and its connect
  and disconnect logic towards drivers.

  Behaviour kept from the core:
  - InstallProtocolInterface: a NULL *Handle creates a handle; a GUID already
    on the handle -> EFI_INVALID_PARAMETER. New protocols go to the front of
    the handle's list.
  - InstallMultipleProtocolInterfaces: all or nothing (*Handle is put back on
    failure); a device path whose first instance equals a path some handle
    already carries -> EFI_ALREADY_STARTED.
  - UninstallProtocolInterface: opens BY_DRIVER are first released by
    disconnecting their agents (the agent's Stop runs); if that fails or opens
    other than GET_PROTOCOL/BY_HANDLE_PROTOCOL/TEST_PROTOCOL remain, the
    controller is connected again and the result is EFI_ACCESS_DENIED.
    GET_PROTOCOL, BY_HANDLE_PROTOCOL and TEST_PROTOCOL opens are dropped. A
    handle with no protocol left disappears.
  - UninstallMultipleProtocolInterfaces: all or nothing; any failure ->
    EFI_INVALID_PARAMETER.
  - OpenProtocol / CloseProtocol: the core's attribute rules (BY_DRIVER by the
    same agent and controller -> EFI_ALREADY_STARTED with *Interface set, by
    another agent -> EFI_ACCESS_DENIED; missing protocol -> EFI_UNSUPPORTED
    with *Interface NULL; CloseProtocol of nothing -> EFI_NOT_FOUND).
  - HandleProtocol = OpenProtocol BY_HANDLE_PROTOCOL with the core image
    handle as agent, which leaves an open record as in the core.
  - ConnectController / DisconnectController: Driver Binding instances in
    install order, sorted by Version (highest first); Supported then Start;
    Stop with the children opened BY_CHILD_CONTROLLER, then with none.
  The simulator's own bookkeeping never goes through the pool that the
  driver's allocations are counted in.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_SIM_HANDLE_DATABASE_H_
#define QD520_SIM_HANDLE_DATABASE_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/DevicePath.h>
#include <Protocol/DriverBinding.h>
}

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Qd520Sim {

bool
SameGuid (
  const EFI_GUID  &Left,
  const EFI_GUID  &Right
  );

/// "4CF5B200-68B8-4CA5-9EEC-B23E3F50029A", or a known protocol's name.
std::string
GuidToText (
  const EFI_GUID  &Guid
  );

/// One open of a protocol, as the core keeps it.
struct OpenRecord {
  EFI_HANDLE    AgentHandle;
  EFI_HANDLE    ControllerHandle;
  UINT32        Attributes;   ///< EFI_OPEN_PROTOCOL_*
  UINT32        OpenCount;
};

/// One call the connect or disconnect logic made into a driver.
struct BindingCall {
  enum class Kind {
    Supported,
    Start,
    Stop
  };

  Kind                           Call;
  EFI_DRIVER_BINDING_PROTOCOL    *Binding;
  EFI_HANDLE                     Controller;
  UINTN                          NumberOfChildren;  ///< Stop only
  EFI_STATUS                     Status;
};

class HandleDatabase {
public:
  using ProtocolList = std::vector<std::pair<const EFI_GUID *, VOID *> >;

  HandleDatabase (
    );

  ~HandleDatabase (
    );

  HandleDatabase (
    const HandleDatabase &
    ) = delete;

  HandleDatabase &
  operator= (
    const HandleDatabase &
    ) = delete;

  /// Agent recorded for HandleProtocol opens (the firmware core's image).
  void
  SetCoreImageHandle (
    EFI_HANDLE  Handle
    )
  {
    mCoreImageHandle = Handle;
  }

  //
  // Boot-service semantics.
  //
  EFI_STATUS
  InstallProtocolInterface (
    EFI_HANDLE          *UserHandle,
    const EFI_GUID      *Protocol,
    EFI_INTERFACE_TYPE  InterfaceType,
    VOID                *Interface
    );

  EFI_STATUS
  UninstallProtocolInterface (
    EFI_HANDLE      UserHandle,
    const EFI_GUID  *Protocol,
    VOID            *Interface
    );

  EFI_STATUS
  InstallMultipleProtocolInterfaces (
    EFI_HANDLE          *Handle,
    const ProtocolList  &Protocols
    );

  EFI_STATUS
  UninstallMultipleProtocolInterfaces (
    EFI_HANDLE          Handle,
    const ProtocolList  &Protocols
    );

  EFI_STATUS
  HandleProtocol (
    EFI_HANDLE      UserHandle,
    const EFI_GUID  *Protocol,
    VOID            **Interface
    );

  EFI_STATUS
  OpenProtocol (
    EFI_HANDLE      UserHandle,
    const EFI_GUID  *Protocol,
    VOID            **Interface,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle,
    UINT32          Attributes
    );

  EFI_STATUS
  CloseProtocol (
    EFI_HANDLE      UserHandle,
    const EFI_GUID  *Protocol,
    EFI_HANDLE      AgentHandle,
    EFI_HANDLE      ControllerHandle
    );

  /// The core's LocateDevicePath for the device path protocol.
  EFI_STATUS
  LocateDevicePath (
    EFI_DEVICE_PATH_PROTOCOL  **DevicePath,
    EFI_HANDLE                *Device
    );

  /// RemainingDevicePath is copied for the duration of the call.
  EFI_STATUS
  ConnectController (
    EFI_HANDLE                ControllerHandle,
    EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath,
    bool                      Recursive
    );

  EFI_STATUS
  DisconnectController (
    EFI_HANDLE  ControllerHandle,
    EFI_HANDLE  DriverImageHandle,
    EFI_HANDLE  ChildHandle
    );

  //
  // Inspection. None of these leaves an open record.
  //
  bool
  IsValidHandle (
    EFI_HANDLE  Handle
    ) const;

  size_t
  HandleCount (
    ) const
  {
    return mHandles.size ();
  }

  /// Live handles in creation order.
  std::vector<EFI_HANDLE>
  Handles (
    ) const;

  /// Handles carrying Protocol, in the order the protocol was installed.
  std::vector<EFI_HANDLE>
  HandlesWith (
    const EFI_GUID  &Protocol
    ) const;

  /// GUIDs on Handle, most recently installed first (the core's order).
  std::vector<EFI_GUID>
  ProtocolsOn (
    EFI_HANDLE  Handle
    ) const;

  bool
  HasProtocol (
    EFI_HANDLE      Handle,
    const EFI_GUID  &Protocol
    ) const
  {
    return FindProtocol (Handle, Protocol) != nullptr;
  }

  /// The interface of Protocol on Handle, or nullptr.
  VOID *
  InterfaceOn (
    EFI_HANDLE      Handle,
    const EFI_GUID  &Protocol
    ) const;

  std::vector<OpenRecord>
  OpenRecords (
    EFI_HANDLE      Handle,
    const EFI_GUID  &Protocol
    ) const;

  /// Open records of Protocol on Handle whose attributes share a bit with
  /// AttributeMask (all records for ~0u).
  size_t
  CountOpens (
    EFI_HANDLE      Handle,
    const EFI_GUID  &Protocol,
    UINT32          AttributeMask = ~0u
    ) const;

  /// Open records anywhere in the database held by AgentHandle with
  /// attributes sharing a bit with AttributeMask.
  size_t
  CountOpensByAgent (
    EFI_HANDLE  AgentHandle,
    UINT32      AttributeMask = ~0u
    ) const;

  /// Called for every protocol that InstallMultipleProtocolInterfaces put
  /// on a handle, once the whole call has succeeded and before it returns,
  /// as the core runs the notification functions of RegisterProtocolNotify
  /// when the call restores its task priority.
  using InstallNotify = std::function<void (EFI_HANDLE Handle, VOID *Interface)>;

  void
  NotifyOnInstall (
    const EFI_GUID  &Protocol,
    InstallNotify   Notify
    )
  {
    mInstallNotifies.emplace_back (Protocol, std::move (Notify));
  }

  const std::vector<BindingCall> &
  BindingCalls (
    ) const
  {
    return mBindingCalls;
  }

  void
  ClearBindingCalls (
    )
  {
    mBindingCalls.clear ();
  }

  /// Removes every handle (platform teardown); no driver is called.
  void
  Clear (
    );

private:
  struct ProtocolInstance {
    EFI_GUID                   Guid;
    VOID                       *Interface;
    UINT64                     Serial;   ///< install order across the database
    std::vector<OpenRecord>    Opens;
  };

  struct HandleRecord {
    UINT64                           Signature;
    std::vector<ProtocolInstance>    Protocols;   ///< most recently installed first
  };

  HandleRecord *
  Find (
    EFI_HANDLE  Handle
    ) const;

  ProtocolInstance *
  FindProtocol (
    EFI_HANDLE      Handle,
    const EFI_GUID  &Protocol
    ) const;

  void
  RetireHandle (
    EFI_HANDLE  Handle
    );

  EFI_STATUS
  DisconnectControllersUsingProtocolInterface (
    EFI_HANDLE      UserHandle,
    const EFI_GUID  &Protocol,
    VOID            *Interface
    );

  EFI_STATUS
  ConnectSingleController (
    EFI_HANDLE                ControllerHandle,
    EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath
    );

  std::vector<std::unique_ptr<HandleRecord> >    mHandles;
  std::vector<std::unique_ptr<HandleRecord> >    mRetired;   ///< kept so that a stale handle never matches a new one
  std::vector<BindingCall>                       mBindingCalls;
  std::vector<std::pair<EFI_GUID, InstallNotify> >  mInstallNotifies;
  EFI_HANDLE                                     mCoreImageHandle;
  UINT64                                         mNextSerial;
};

} // namespace Qd520Sim

#endif // QD520_SIM_HANDLE_DATABASE_H_
