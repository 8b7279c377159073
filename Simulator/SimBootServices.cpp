/** @file
  Boot and runtime service tables of the simulated platform. The services
  the driver uses route to the active SimPlatform; every other slot is a
  typed stub that reports a loud failure with the service's name and returns
  EFI_UNSUPPORTED (or nothing).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include <type_traits>
#include <utility>

namespace Qd520Sim {

namespace {

/// Guards against a protocol list without its NULL terminator.
constexpr size_t  MaxProtocolPairs = 64;

SimPlatform *
Active (
  const char  *Service
  )
{
  SimPlatform  *Platform = SimPlatform::Current ();

  if (Platform == nullptr) {
    QD520_SIM_FAIL (std::string ("boot service ") + Service + " called with no active SimPlatform");
  }

  return Platform;
}

/// The record of a call of Service, for the platform's count and log.
ServiceCall
Call (
  const char  *Service,
  bool        CanFail = true
  )
{
  ServiceCall  Record;

  Record.Service = Service;
  Record.CanFail = CanFail;
  return Record;
}

/// The record of a call of a protocol service that names Protocol.
ServiceCall
ProtocolCall (
  const char      *Service,
  const EFI_GUID  *Protocol
  )
{
  ServiceCall  Record = Call (Service);

  if (Protocol != nullptr) {
    Record.Protocols.push_back (*Protocol);
  }

  return Record;
}

/// Counts the call, logs it with its arguments and tells whether it is the
/// injected failure; Leave records what it returned.
bool
Injected (
  SimPlatform  *Platform,
  ServiceCall  &&Record,
  EFI_STATUS   *Status
  )
{
  return (Platform != nullptr) && Platform->Services ().Enter (std::move (Record), Status);
}

EFI_STATUS
Leave (
  SimPlatform  *Platform,
  EFI_STATUS   Status,
  VOID         *Block = nullptr
  )
{
  if (Platform != nullptr) {
    Platform->Services ().Leave (Status, Block);
  }

  return Status;
}

//
// Services the driver and its libraries use. Those that return a status
// can be failed by injection: the service then changes nothing and clears
// what it would have returned.
//

EFI_TPL EFIAPI
SimRaiseTpl (
  IN EFI_TPL  NewTpl
  )
{
  SimPlatform  *Platform = Active ("RaiseTPL");
  EFI_TPL      Previous;
  EFI_STATUS   Unused;

  if (Platform == nullptr) {
    return TPL_APPLICATION;
  }

  ServiceCall  Record = Call ("RaiseTPL", false);

  Record.Tpl = NewTpl;
  Platform->Services ().Enter (std::move (Record), &Unused);
  Previous = Platform->Tpl ().Raise (NewTpl);
  Platform->Services ().Leave (EFI_SUCCESS);
  return Previous;
}

VOID EFIAPI
SimRestoreTpl (
  IN EFI_TPL  OldTpl
  )
{
  SimPlatform  *Platform = Active ("RestoreTPL");
  EFI_STATUS   Unused;

  if (Platform != nullptr) {
    ServiceCall  Record = Call ("RestoreTPL", false);

    Record.Tpl = OldTpl;
    Platform->Services ().Enter (std::move (Record), &Unused);
    Platform->Tpl ().Restore (OldTpl);
    Platform->Services ().Leave (EFI_SUCCESS);
  }
}

EFI_STATUS EFIAPI
SimAllocatePool (
  IN  EFI_MEMORY_TYPE  PoolType,
  IN  UINTN            Size,
  OUT VOID             **Buffer
  )
{
  SimPlatform  *Platform = Active ("AllocatePool");
  ServiceCall  Record    = Call ("AllocatePool");
  EFI_STATUS   Status;

  Record.Size = Size;
  if (Injected (Platform, std::move (Record), &Status)) {
    if (Buffer != nullptr) {
      *Buffer = nullptr;
    }

    return Leave (Platform, Status);
  }

  Status = (Platform != nullptr) ? Platform->Pool ().Allocate (PoolType, Size, Buffer) : EFI_OUT_OF_RESOURCES;
  return Leave (Platform, Status, (!EFI_ERROR (Status) && (Buffer != nullptr)) ? *Buffer : nullptr);
}

EFI_STATUS EFIAPI
SimFreePool (
  IN VOID  *Buffer
  )
{
  SimPlatform  *Platform = Active ("FreePool");
  ServiceCall  Record    = Call ("FreePool");
  EFI_STATUS   Status;

  Record.Block = Buffer;
  if (Injected (Platform, std::move (Record), &Status)) {
    return Leave (Platform, Status);
  }

  return Leave (Platform, Platform != nullptr ? Platform->Pool ().Free (Buffer) : EFI_INVALID_PARAMETER);
}

EFI_STATUS EFIAPI
SimInstallProtocolInterface (
  IN OUT EFI_HANDLE      *Handle,
  IN     EFI_GUID        *Protocol,
  IN     EFI_INTERFACE_TYPE  InterfaceType,
  IN     VOID            *Interface
  )
{
  SimPlatform  *Platform = Active ("InstallProtocolInterface");
  EFI_STATUS   Status;

  if (Injected (Platform, ProtocolCall ("InstallProtocolInterface", Protocol), &Status)) {
    return Leave (Platform, Status);
  }

  return Leave (
           Platform,
           Platform != nullptr ?
           Platform->Handles ().InstallProtocolInterface (Handle, Protocol, InterfaceType, Interface) :
           EFI_OUT_OF_RESOURCES
           );
}

EFI_STATUS EFIAPI
SimUninstallProtocolInterface (
  IN EFI_HANDLE  Handle,
  IN EFI_GUID    *Protocol,
  IN VOID        *Interface
  )
{
  SimPlatform  *Platform = Active ("UninstallProtocolInterface");
  EFI_STATUS   Status;

  if (Injected (Platform, ProtocolCall ("UninstallProtocolInterface", Protocol), &Status)) {
    return Leave (Platform, Status);
  }

  return Leave (
           Platform,
           Platform != nullptr ?
           Platform->Handles ().UninstallProtocolInterface (Handle, Protocol, Interface) :
           EFI_INVALID_PARAMETER
           );
}

EFI_STATUS EFIAPI
SimHandleProtocol (
  IN  EFI_HANDLE  Handle,
  IN  EFI_GUID    *Protocol,
  OUT VOID        **Interface
  )
{
  SimPlatform  *Platform = Active ("HandleProtocol");
  EFI_STATUS   Status;

  if (Injected (Platform, ProtocolCall ("HandleProtocol", Protocol), &Status)) {
    if (Interface != nullptr) {
      *Interface = nullptr;
    }

    return Leave (Platform, Status);
  }

  return Leave (Platform, Platform != nullptr ? Platform->Handles ().HandleProtocol (Handle, Protocol, Interface) : EFI_UNSUPPORTED);
}

/// The core's LocateProtocol without a registration: the interface on the
/// first handle that carries Protocol.
EFI_STATUS EFIAPI
SimLocateProtocol (
  IN  EFI_GUID  *Protocol,
  IN  VOID      *Registration OPTIONAL,
  OUT VOID      **Interface
  )
{
  SimPlatform  *Platform = Active ("LocateProtocol");
  EFI_STATUS   Status;

  if (Interface != nullptr) {
    *Interface = nullptr;
  }

  if (Injected (Platform, ProtocolCall ("LocateProtocol", Protocol), &Status)) {
    return Leave (Platform, Status);
  }

  if (Platform == nullptr) {
    return EFI_UNSUPPORTED;
  }

  if ((Protocol == nullptr) || (Interface == nullptr)) {
    return Leave (Platform, EFI_INVALID_PARAMETER);
  }

  if (Registration != nullptr) {
    QD520_SIM_FAIL ("LocateProtocol: registrations are not simulated");
    return Leave (Platform, EFI_UNSUPPORTED);
  }

  std::vector<EFI_HANDLE>  Handles = Platform->Handles ().HandlesWith (*Protocol);

  if (Handles.empty ()) {
    return Leave (Platform, EFI_NOT_FOUND);
  }

  *Interface = Platform->Handles ().InterfaceOn (Handles.front (), *Protocol);
  return Leave (Platform, EFI_SUCCESS);
}

EFI_STATUS EFIAPI
SimOpenProtocol (
  IN  EFI_HANDLE  Handle,
  IN  EFI_GUID    *Protocol,
  OUT VOID        **Interface OPTIONAL,
  IN  EFI_HANDLE  AgentHandle,
  IN  EFI_HANDLE  ControllerHandle,
  IN  UINT32      Attributes
  )
{
  SimPlatform  *Platform = Active ("OpenProtocol");
  ServiceCall  Record    = ProtocolCall ("OpenProtocol", Protocol);
  EFI_STATUS   Status;

  Record.Attributes = Attributes;
  if (Injected (Platform, std::move (Record), &Status)) {
    if ((Interface != nullptr) && (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL)) {
      *Interface = nullptr;
    }

    return Leave (Platform, Status);
  }

  return Leave (
           Platform,
           Platform != nullptr ?
           Platform->Handles ().OpenProtocol (Handle, Protocol, Interface, AgentHandle, ControllerHandle, Attributes) :
           EFI_UNSUPPORTED
           );
}

EFI_STATUS EFIAPI
SimCloseProtocol (
  IN EFI_HANDLE  Handle,
  IN EFI_GUID    *Protocol,
  IN EFI_HANDLE  AgentHandle,
  IN EFI_HANDLE  ControllerHandle
  )
{
  SimPlatform  *Platform = Active ("CloseProtocol");
  EFI_STATUS   Status;

  if (Injected (Platform, ProtocolCall ("CloseProtocol", Protocol), &Status)) {
    return Leave (Platform, Status);
  }

  return Leave (
           Platform,
           Platform != nullptr ?
           Platform->Handles ().CloseProtocol (Handle, Protocol, AgentHandle, ControllerHandle) :
           EFI_NOT_FOUND
           );
}

/// Reads (GUID, interface) pairs up to the NULL GUID.
bool
ReadProtocolList (
  IN  VA_LIST                         &Args,
  IN  const char                      *Service,
  OUT HandleDatabase::ProtocolList    &List
  )
{
  for ( ; ;) {
    EFI_GUID  *Protocol = VA_ARG (Args, EFI_GUID *);
    if (Protocol == nullptr) {
      return true;
    }

    VOID  *Interface = VA_ARG (Args, VOID *);
    List.emplace_back (Protocol, Interface);
    if (List.size () > MaxProtocolPairs) {
      QD520_SIM_FAIL (std::string (Service) + ": protocol list without its NULL terminator");
      return false;
    }
  }
}

EFI_STATUS EFIAPI
SimInstallMultipleProtocolInterfaces (
  IN OUT EFI_HANDLE  *Handle,
  ...
  )
{
  SimPlatform                   *Platform = Active ("InstallMultipleProtocolInterfaces");
  HandleDatabase::ProtocolList  List;
  VA_LIST                       Args;
  bool                          Complete;

  VA_START (Args, Handle);
  Complete = ReadProtocolList (Args, "InstallMultipleProtocolInterfaces", List);
  VA_END (Args);
  if ((Platform == nullptr) || !Complete) {
    return EFI_INVALID_PARAMETER;
  }

  ServiceCall  Record = Call ("InstallMultipleProtocolInterfaces");
  EFI_STATUS   Status;

  for (const auto &Pair : List) {
    Record.Protocols.push_back (*Pair.first);
  }

  if (Injected (Platform, std::move (Record), &Status)) {
    return Leave (Platform, Status);
  }

  return Leave (Platform, Platform->Handles ().InstallMultipleProtocolInterfaces (Handle, List));
}

EFI_STATUS EFIAPI
SimUninstallMultipleProtocolInterfaces (
  IN EFI_HANDLE  Handle,
  ...
  )
{
  SimPlatform                   *Platform = Active ("UninstallMultipleProtocolInterfaces");
  HandleDatabase::ProtocolList  List;
  VA_LIST                       Args;
  bool                          Complete;

  VA_START (Args, Handle);
  Complete = ReadProtocolList (Args, "UninstallMultipleProtocolInterfaces", List);
  VA_END (Args);
  if ((Platform == nullptr) || !Complete) {
    return EFI_INVALID_PARAMETER;
  }

  ServiceCall  Record = Call ("UninstallMultipleProtocolInterfaces");
  EFI_STATUS   Status;

  for (const auto &Pair : List) {
    Record.Protocols.push_back (*Pair.first);
  }

  if (Injected (Platform, std::move (Record), &Status)) {
    return Leave (Platform, Status);
  }

  return Leave (Platform, Platform->Handles ().UninstallMultipleProtocolInterfaces (Handle, List));
}

//
// Everything else.
//

void
UnexpectedService (
  const char  *Name
  )
{
  SimPlatform  *Platform = SimPlatform::Current ();

  if (Platform != nullptr) {
    Platform->RecordUnexpectedService (Name);
  }

  QD520_SIM_FAIL (std::string ("unexpected call of the firmware service ") + Name + ", which the simulator does not provide");
}

template<typename FUNCTION, typename TAG>
struct Stub;

template<typename RESULT, typename ... ARGUMENTS, typename TAG>
struct Stub<RESULT (EFIAPI *)(ARGUMENTS ...), TAG> {
  static RESULT EFIAPI
  Call (
    ARGUMENTS ...
    )
  {
    UnexpectedService (TAG::Name ());
    if constexpr (std::is_void_v<RESULT>) {
      return;
    } else {
      return (RESULT)EFI_UNSUPPORTED;
    }
  }
};

} // namespace

#define QD520_STUB(Table, Member)                        \
  do {                                                   \
    struct Tag {                                         \
      static const char *Name () { return #Member; }     \
    };                                                   \
    (Table).Member = Stub<decltype ((Table).Member), Tag>::Call; \
  } while (false)

void
FillServiceTables (
  EFI_BOOT_SERVICES     &BootServices,
  EFI_RUNTIME_SERVICES  &RuntimeServices
  )
{
  BootServices.RaiseTPL                            = SimRaiseTpl;
  BootServices.RestoreTPL                          = SimRestoreTpl;
  BootServices.AllocatePool                        = SimAllocatePool;
  BootServices.FreePool                            = SimFreePool;
  BootServices.InstallProtocolInterface            = SimInstallProtocolInterface;
  BootServices.UninstallProtocolInterface          = SimUninstallProtocolInterface;
  BootServices.HandleProtocol                      = SimHandleProtocol;
  BootServices.LocateProtocol                      = SimLocateProtocol;
  BootServices.OpenProtocol                        = SimOpenProtocol;
  BootServices.CloseProtocol                       = SimCloseProtocol;
  BootServices.InstallMultipleProtocolInterfaces   = SimInstallMultipleProtocolInterfaces;
  BootServices.UninstallMultipleProtocolInterfaces = SimUninstallMultipleProtocolInterfaces;
  BootServices.Reserved                            = nullptr;

  QD520_STUB (BootServices, AllocatePages);
  QD520_STUB (BootServices, FreePages);
  QD520_STUB (BootServices, GetMemoryMap);
  QD520_STUB (BootServices, CreateEvent);
  QD520_STUB (BootServices, SetTimer);
  QD520_STUB (BootServices, WaitForEvent);
  QD520_STUB (BootServices, SignalEvent);
  QD520_STUB (BootServices, CloseEvent);
  QD520_STUB (BootServices, CheckEvent);
  QD520_STUB (BootServices, ReinstallProtocolInterface);
  QD520_STUB (BootServices, RegisterProtocolNotify);
  QD520_STUB (BootServices, LocateHandle);
  QD520_STUB (BootServices, LocateDevicePath);
  QD520_STUB (BootServices, InstallConfigurationTable);
  QD520_STUB (BootServices, LoadImage);
  QD520_STUB (BootServices, StartImage);
  QD520_STUB (BootServices, Exit);
  QD520_STUB (BootServices, UnloadImage);
  QD520_STUB (BootServices, ExitBootServices);
  QD520_STUB (BootServices, GetNextMonotonicCount);
  QD520_STUB (BootServices, Stall);
  QD520_STUB (BootServices, SetWatchdogTimer);
  QD520_STUB (BootServices, ConnectController);
  QD520_STUB (BootServices, DisconnectController);
  QD520_STUB (BootServices, OpenProtocolInformation);
  QD520_STUB (BootServices, ProtocolsPerHandle);
  QD520_STUB (BootServices, LocateHandleBuffer);
  QD520_STUB (BootServices, CalculateCrc32);
  QD520_STUB (BootServices, CopyMem);
  QD520_STUB (BootServices, SetMem);
  QD520_STUB (BootServices, CreateEventEx);

  QD520_STUB (RuntimeServices, GetTime);
  QD520_STUB (RuntimeServices, SetTime);
  QD520_STUB (RuntimeServices, GetWakeupTime);
  QD520_STUB (RuntimeServices, SetWakeupTime);
  QD520_STUB (RuntimeServices, SetVirtualAddressMap);
  QD520_STUB (RuntimeServices, ConvertPointer);
  QD520_STUB (RuntimeServices, GetVariable);
  QD520_STUB (RuntimeServices, GetNextVariableName);
  QD520_STUB (RuntimeServices, SetVariable);
  QD520_STUB (RuntimeServices, GetNextHighMonotonicCount);
  QD520_STUB (RuntimeServices, ResetSystem);
  QD520_STUB (RuntimeServices, UpdateCapsule);
  QD520_STUB (RuntimeServices, QueryCapsuleCapabilities);
  QD520_STUB (RuntimeServices, QueryVariableInfo);
}

#undef QD520_STUB

} // namespace Qd520Sim
