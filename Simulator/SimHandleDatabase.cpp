/** @file
  Handle database of the simulated platform (see SimHandleDatabase.h).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimHandleDatabase.h"

#include "SimDevicePath.h"
#include "SimFailure.h"

extern "C" {
#include <Protocol/ComponentName.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/DriverSupportedEfiVersion.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/PciIo.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace Qd520Sim {

namespace {

constexpr UINT64  HandleSignature = SIGNATURE_64 ('S', 'I', 'M', 'H', 'A', 'N', 'D', 'L');

/// Re-entrant driver calls could in principle keep a disconnect loop going
/// for ever; a real core would hang, the simulator reports and stops.
constexpr int  MaxDisconnectRounds = 64;

const EFI_GUID  DevicePathGuid    = EFI_DEVICE_PATH_PROTOCOL_GUID;
const EFI_GUID  DriverBindingGuid = EFI_DRIVER_BINDING_PROTOCOL_GUID;

struct KnownGuid {
  EFI_GUID      Guid;
  const char    *Name;
};

const KnownGuid  KnownGuids[] = {
  { EFI_PCI_IO_PROTOCOL_GUID,                       "PciIo"                     },
  { EFI_DEVICE_PATH_PROTOCOL_GUID,                  "DevicePath"                },
  { EFI_DRIVER_BINDING_PROTOCOL_GUID,               "DriverBinding"             },
  { EFI_COMPONENT_NAME_PROTOCOL_GUID,               "ComponentName"             },
  { EFI_COMPONENT_NAME2_PROTOCOL_GUID,              "ComponentName2"            },
  { EFI_DRIVER_SUPPORTED_EFI_VERSION_PROTOCOL_GUID, "DriverSupportedEfiVersion" },
  { EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID,              "GraphicsOutput"            },
  { EFI_LOADED_IMAGE_PROTOCOL_GUID,                 "LoadedImage"               },
};

std::string
HandleText (
  EFI_HANDLE  Handle
  )
{
  char  Text[32];

  std::snprintf (Text, sizeof (Text), "%p", Handle);
  return Text;
}

} // namespace

bool
SameGuid (
  const EFI_GUID  &Left,
  const EFI_GUID  &Right
  )
{
  return std::memcmp (&Left, &Right, sizeof (EFI_GUID)) == 0;
}

std::string
GuidToText (
  const EFI_GUID  &Guid
  )
{
  char  Text[40];

  for (const KnownGuid &Known : KnownGuids) {
    if (SameGuid (Known.Guid, Guid)) {
      return Known.Name;
    }
  }

  std::snprintf (
    Text,
    sizeof (Text),
    "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
    Guid.Data1,
    Guid.Data2,
    Guid.Data3,
    Guid.Data4[0],
    Guid.Data4[1],
    Guid.Data4[2],
    Guid.Data4[3],
    Guid.Data4[4],
    Guid.Data4[5],
    Guid.Data4[6],
    Guid.Data4[7]
    );
  return Text;
}

HandleDatabase::HandleDatabase (
  ) : mCoreImageHandle (nullptr), mNextSerial (1)
{
}

HandleDatabase::~HandleDatabase (
  ) = default;

void
HandleDatabase::Clear (
  )
{
  for (auto &Handle : mHandles) {
    Handle->Signature = 0;
    mRetired.push_back (std::move (Handle));
  }

  mHandles.clear ();
  mBindingCalls.clear ();
  mInstallNotifies.clear ();
  mCoreImageHandle = nullptr;
}

HandleDatabase::HandleRecord *
HandleDatabase::Find (
  EFI_HANDLE  Handle
  ) const
{
  if (Handle == nullptr) {
    return nullptr;
  }

  for (const auto &Record : mHandles) {
    if (Record.get () == Handle) {
      return Record.get ();
    }
  }

  return nullptr;
}

HandleDatabase::ProtocolInstance *
HandleDatabase::FindProtocol (
  EFI_HANDLE      Handle,
  const EFI_GUID  &Protocol
  ) const
{
  HandleRecord  *Record = Find (Handle);

  if (Record == nullptr) {
    return nullptr;
  }

  for (ProtocolInstance &Instance : Record->Protocols) {
    if (SameGuid (Instance.Guid, Protocol)) {
      return &Instance;
    }
  }

  return nullptr;
}

void
HandleDatabase::RetireHandle (
  EFI_HANDLE  Handle
  )
{
  for (auto It = mHandles.begin (); It != mHandles.end (); ++It) {
    if (It->get () == Handle) {
      (*It)->Signature = 0;
      mRetired.push_back (std::move (*It));
      mHandles.erase (It);
      return;
    }
  }
}

bool
HandleDatabase::IsValidHandle (
  EFI_HANDLE  Handle
  ) const
{
  return Find (Handle) != nullptr;
}

//
// Installing and uninstalling.
//

EFI_STATUS
HandleDatabase::InstallProtocolInterface (
  EFI_HANDLE          *UserHandle,
  const EFI_GUID      *Protocol,
  EFI_INTERFACE_TYPE  InterfaceType,
  VOID                *Interface
  )
{
  HandleRecord  *Record;

  if ((UserHandle == nullptr) || (Protocol == nullptr) || (InterfaceType != EFI_NATIVE_INTERFACE)) {
    return EFI_INVALID_PARAMETER;
  }

  if (*UserHandle != nullptr) {
    if (FindProtocol (*UserHandle, *Protocol) != nullptr) {
      return EFI_INVALID_PARAMETER;
    }

    Record = Find (*UserHandle);
    if (Record == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
  } else {
    mHandles.push_back (std::make_unique<HandleRecord>());
    Record            = mHandles.back ().get ();
    Record->Signature = HandleSignature;
  }

  Record->Protocols.insert (Record->Protocols.begin (), ProtocolInstance{ *Protocol, Interface, mNextSerial++, {} });
  *UserHandle = Record;
  return EFI_SUCCESS;
}

EFI_STATUS
HandleDatabase::DisconnectControllersUsingProtocolInterface (
  EFI_HANDLE      UserHandle,
  const EFI_GUID  &Protocol,
  VOID            *Interface
  )
{
  EFI_STATUS        Status = EFI_SUCCESS;
  bool              ItemFound;
  ProtocolInstance  *Instance;
  int               Rounds = 0;

  do {
    ItemFound = false;
    Instance  = FindProtocol (UserHandle, Protocol);
    if ((Instance == nullptr) || (Instance->Interface != Interface)) {
      break;
    }

    for (const OpenRecord &Open : Instance->Opens) {
      if ((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
        EFI_HANDLE  Agent = Open.AgentHandle;
        Status = DisconnectController (UserHandle, Agent, nullptr);
        if (!EFI_ERROR (Status)) {
          ItemFound = true;
        }

        break;
      }
    }

    if (++Rounds > MaxDisconnectRounds) {
      QD520_SIM_FAIL ("uninstalling " + GuidToText (Protocol) + ": the driver holding it keeps it open after a successful Stop");
      Status = EFI_ACCESS_DENIED;
      break;
    }
  } while (ItemFound);

  Instance = FindProtocol (UserHandle, Protocol);
  if (!EFI_ERROR (Status) && (Instance != nullptr)) {
    auto  &Opens = Instance->Opens;
    Opens.erase (
            std::remove_if (
                   Opens.begin (),
                   Opens.end (),
                   [](const OpenRecord &Open) {
                     return (Open.Attributes & (EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL | EFI_OPEN_PROTOCOL_GET_PROTOCOL |
                                                EFI_OPEN_PROTOCOL_TEST_PROTOCOL)) != 0;
                   }
                   ),
            Opens.end ()
            );
  }

  if (EFI_ERROR (Status) || ((Instance != nullptr) && !Instance->Opens.empty ())) {
    ConnectController (UserHandle, nullptr, true);
    Status = EFI_ACCESS_DENIED;
  }

  return Status;
}

EFI_STATUS
HandleDatabase::UninstallProtocolInterface (
  EFI_HANDLE      UserHandle,
  const EFI_GUID  *Protocol,
  VOID            *Interface
  )
{
  ProtocolInstance  *Instance;
  HandleRecord      *Record;
  EFI_STATUS        Status;

  if (Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  if (Find (UserHandle) == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  Instance = FindProtocol (UserHandle, *Protocol);
  if ((Instance == nullptr) || (Instance->Interface != Interface)) {
    return EFI_NOT_FOUND;
  }

  Status = DisconnectControllersUsingProtocolInterface (UserHandle, *Protocol, Interface);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // A Stop run above may have changed the handle; look again.
  //
  Status = EFI_NOT_FOUND;
  Record = Find (UserHandle);
  if (Record == nullptr) {
    return Status;
  }

  for (auto It = Record->Protocols.begin (); It != Record->Protocols.end (); ++It) {
    if (SameGuid (It->Guid, *Protocol) && (It->Interface == Interface)) {
      Record->Protocols.erase (It);
      Status = EFI_SUCCESS;
      break;
    }
  }

  if (Record->Protocols.empty ()) {
    RetireHandle (UserHandle);
  }

  return Status;
}

EFI_STATUS
HandleDatabase::InstallMultipleProtocolInterfaces (
  EFI_HANDLE          *Handle,
  const ProtocolList  &Protocols
  )
{
  EFI_STATUS  Status = EFI_SUCCESS;
  EFI_HANDLE  OldHandle;
  size_t      Index;

  if (Handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  OldHandle = *Handle;
  for (Index = 0; Index < Protocols.size (); Index++) {
    const EFI_GUID  *Protocol  = Protocols[Index].first;
    VOID            *Interface = Protocols[Index].second;

    if ((Protocol != nullptr) && SameGuid (*Protocol, DevicePathGuid)) {
      EFI_HANDLE                DeviceHandle = nullptr;
      EFI_DEVICE_PATH_PROTOCOL  *DevicePath  = static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Interface);
      EFI_STATUS                Located      = LocateDevicePath (&DevicePath, &DeviceHandle);

      if (!EFI_ERROR (Located) && (DeviceHandle != nullptr) && IsEndEntireNode (DevicePath)) {
        Status = EFI_ALREADY_STARTED;
        break;
      }
    }

    Status = InstallProtocolInterface (Handle, Protocol, EFI_NATIVE_INTERFACE, Interface);
    if (EFI_ERROR (Status)) {
      break;
    }
  }

  if (EFI_ERROR (Status)) {
    //
    // Pairs 0 .. Index-1 went in; take them out again, which also removes a
    // handle this call created.
    //
    for (size_t Undo = 0; Undo < Index; Undo++) {
      UninstallProtocolInterface (*Handle, Protocols[Undo].first, Protocols[Undo].second);
    }

    *Handle = OldHandle;
    return Status;
  }

  for (const auto &Pair : Protocols) {
    for (const auto &Registration : mInstallNotifies) {
      if ((Pair.first != nullptr) && SameGuid (*Pair.first, Registration.first)) {
        Registration.second (*Handle, Pair.second);
      }
    }
  }

  return Status;
}

EFI_STATUS
HandleDatabase::UninstallMultipleProtocolInterfaces (
  EFI_HANDLE          Handle,
  const ProtocolList  &Protocols
  )
{
  EFI_STATUS  Status = EFI_SUCCESS;
  size_t      Index;

  for (Index = 0; Index < Protocols.size (); Index++) {
    Status = UninstallProtocolInterface (Handle, Protocols[Index].first, Protocols[Index].second);
    if (EFI_ERROR (Status)) {
      break;
    }
  }

  if (EFI_ERROR (Status)) {
    for (size_t Redo = 0; Redo < Index; Redo++) {
      InstallProtocolInterface (&Handle, Protocols[Redo].first, EFI_NATIVE_INTERFACE, Protocols[Redo].second);
    }

    Status = EFI_INVALID_PARAMETER;
  }

  return Status;
}

//
// Opening and closing.
//

EFI_STATUS
HandleDatabase::HandleProtocol (
  EFI_HANDLE      UserHandle,
  const EFI_GUID  *Protocol,
  VOID            **Interface
  )
{
  return OpenProtocol (UserHandle, Protocol, Interface, mCoreImageHandle, nullptr, EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL);
}

EFI_STATUS
HandleDatabase::OpenProtocol (
  EFI_HANDLE      UserHandle,
  const EFI_GUID  *Protocol,
  VOID            **Interface,
  EFI_HANDLE      AgentHandle,
  EFI_HANDLE      ControllerHandle,
  UINT32          Attributes
  )
{
  ProtocolInstance  *Instance;
  EFI_STATUS        Status;
  bool              ByDriver  = false;
  bool              Exclusive = false;

  if (Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) && (Interface == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  if (!IsValidHandle (UserHandle)) {
    return EFI_INVALID_PARAMETER;
  }

  switch (Attributes) {
    case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
      if (!IsValidHandle (AgentHandle) || !IsValidHandle (ControllerHandle) || (UserHandle == ControllerHandle)) {
        return EFI_INVALID_PARAMETER;
      }

      break;
    case EFI_OPEN_PROTOCOL_BY_DRIVER:
    case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
      if (!IsValidHandle (AgentHandle) || !IsValidHandle (ControllerHandle)) {
        return EFI_INVALID_PARAMETER;
      }

      break;
    case EFI_OPEN_PROTOCOL_EXCLUSIVE:
      if (!IsValidHandle (AgentHandle)) {
        return EFI_INVALID_PARAMETER;
      }

      break;
    case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
    case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
    case EFI_OPEN_PROTOCOL_TEST_PROTOCOL:
      break;
    default:
      return EFI_INVALID_PARAMETER;
  }

  Instance = FindProtocol (UserHandle, *Protocol);
  if (Instance == nullptr) {
    if (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
      *Interface = nullptr;
    }

    return EFI_UNSUPPORTED;
  }

  Status = EFI_SUCCESS;
  for (OpenRecord &Open : Instance->Opens) {
    bool  ExactMatch = (Open.AgentHandle == AgentHandle) && (Open.Attributes == Attributes) &&
                       (Open.ControllerHandle == ControllerHandle);

    if ((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
      ByDriver = true;
      if (ExactMatch) {
        Status = EFI_ALREADY_STARTED;
        goto Done;
      }
    }

    if ((Open.Attributes & EFI_OPEN_PROTOCOL_EXCLUSIVE) != 0) {
      Exclusive = true;
    } else if (ExactMatch) {
      Open.OpenCount++;
      goto Done;
    }
  }

  switch (Attributes) {
    case EFI_OPEN_PROTOCOL_BY_DRIVER:
      if (Exclusive || ByDriver) {
        Status = EFI_ACCESS_DENIED;
        goto Done;
      }

      break;
    case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
    case EFI_OPEN_PROTOCOL_EXCLUSIVE:
      if (Exclusive) {
        Status = EFI_ACCESS_DENIED;
        goto Done;
      }

      if (ByDriver) {
        for (int Round = 0; ; Round++) {
          EFI_HANDLE  Agent = nullptr;

          Instance = FindProtocol (UserHandle, *Protocol);
          if (Instance == nullptr) {
            break;
          }

          for (const OpenRecord &Open : Instance->Opens) {
            if ((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
              Agent = Open.AgentHandle;
              break;
            }
          }

          if (Agent == nullptr) {
            break;
          }

          if ((Round >= MaxDisconnectRounds) || EFI_ERROR (DisconnectController (UserHandle, Agent, nullptr))) {
            if (Round >= MaxDisconnectRounds) {
              QD520_SIM_FAIL ("exclusive open of " + GuidToText (*Protocol) + ": a driver keeps it open after Stop");
            }

            Status = EFI_ACCESS_DENIED;
            goto Done;
          }
        }

        Instance = FindProtocol (UserHandle, *Protocol);
        if (Instance == nullptr) {
          *Interface = nullptr;
          return EFI_UNSUPPORTED;
        }
      }

      break;
    default:
      break;
  }

  if (AgentHandle != nullptr) {
    Instance->Opens.push_back (OpenRecord{ AgentHandle, ControllerHandle, Attributes, 1 });
  }

Done:
  if ((Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) && (!EFI_ERROR (Status) || (Status == EFI_ALREADY_STARTED))) {
    *Interface = Instance->Interface;
  }

  return Status;
}

EFI_STATUS
HandleDatabase::CloseProtocol (
  EFI_HANDLE      UserHandle,
  const EFI_GUID  *Protocol,
  EFI_HANDLE      AgentHandle,
  EFI_HANDLE      ControllerHandle
  )
{
  ProtocolInstance  *Instance;
  size_t            Before;

  if (!IsValidHandle (UserHandle) || !IsValidHandle (AgentHandle) ||
      ((ControllerHandle != nullptr) && !IsValidHandle (ControllerHandle)) || (Protocol == nullptr))
  {
    return EFI_INVALID_PARAMETER;
  }

  Instance = FindProtocol (UserHandle, *Protocol);
  if (Instance == nullptr) {
    return EFI_NOT_FOUND;
  }

  Before = Instance->Opens.size ();
  Instance->Opens.erase (
                    std::remove_if (
                           Instance->Opens.begin (),
                           Instance->Opens.end (),
                           [&](const OpenRecord &Open) {
                             return (Open.AgentHandle == AgentHandle) && (Open.ControllerHandle == ControllerHandle);
                           }
                           ),
                    Instance->Opens.end ()
                    );
  return Instance->Opens.size () != Before ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS
HandleDatabase::LocateDevicePath (
  EFI_DEVICE_PATH_PROTOCOL  **DevicePath,
  EFI_HANDLE                *Device
  )
{
  const UINT8  *Source;
  size_t       SourceSize;
  long         BestMatch  = -1;
  EFI_HANDLE   BestDevice = nullptr;

  if ((DevicePath == nullptr) || (*DevicePath == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  Source     = reinterpret_cast<const UINT8 *>(*DevicePath);
  SourceSize = DevicePathFirstInstanceSize (*DevicePath);
  if (SourceSize == SIZE_MAX) {
    QD520_SIM_FAIL ("device path with a node shorter than its header: " + DevicePathToText (*DevicePath));
    return EFI_INVALID_PARAMETER;
  }

  for (EFI_HANDLE Handle : HandlesWith (DevicePathGuid)) {
    const auto  *Path = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(InterfaceOn (Handle, DevicePathGuid));
    size_t      Whole;
    long        Size;

    if (Path == nullptr) {
      continue;
    }

    Whole = DevicePathSize (Path);
    if (Whole == 0) {
      QD520_SIM_FAIL ("handle " + HandleText (Handle) + " carries a malformed device path");
      continue;
    }

    Size = (long)(Whole - sizeof (EFI_DEVICE_PATH_PROTOCOL));
    if ((Size <= (long)SourceSize) && (std::memcmp (Source, Path, (size_t)Size) == 0)) {
      if (Size == BestMatch) {
        QD520_SIM_FAIL ("two handles carry the same device path " + DevicePathToText (Path));
      }

      if (Size > BestMatch) {
        BestMatch  = Size;
        BestDevice = Handle;
      }
    }
  }

  if (BestMatch == -1) {
    return EFI_NOT_FOUND;
  }

  if (Device == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  *Device     = BestDevice;
  *DevicePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(const_cast<UINT8 *>(Source) + BestMatch);
  return EFI_SUCCESS;
}

//
// Connecting and disconnecting drivers.
//

EFI_STATUS
HandleDatabase::ConnectController (
  EFI_HANDLE                ControllerHandle,
  EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath,
  bool                      Recursive
  )
{
  DevicePathBytes           AlignedCopy;
  EFI_DEVICE_PATH_PROTOCOL  *Remaining = nullptr;
  EFI_STATUS                ReturnStatus;
  std::vector<EFI_HANDLE>   Children;

  if (!IsValidHandle (ControllerHandle)) {
    return EFI_INVALID_PARAMETER;
  }

  if (RemainingDevicePath != nullptr) {
    AlignedCopy = CopyDevicePath (RemainingDevicePath);
    if (AlignedCopy.empty ()) {
      QD520_SIM_FAIL ("ConnectController with a malformed remaining device path");
      return EFI_INVALID_PARAMETER;
    }

    Remaining = AsDevicePath (AlignedCopy);
  }

  do {
    ReturnStatus = ConnectSingleController (ControllerHandle, Remaining);
  } while (ReturnStatus == EFI_NOT_READY);

  if (!Recursive || !IsValidHandle (ControllerHandle)) {
    return ReturnStatus;
  }

  for (const ProtocolInstance &Instance : Find (ControllerHandle)->Protocols) {
    for (const OpenRecord &Open : Instance.Opens) {
      if ((Open.Attributes & EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER) != 0) {
        Children.push_back (Open.ControllerHandle);
      }
    }
  }

  for (EFI_HANDLE Child : Children) {
    ConnectController (Child, nullptr, true);
  }

  return ReturnStatus;
}

EFI_STATUS
HandleDatabase::ConnectSingleController (
  EFI_HANDLE                ControllerHandle,
  EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath
  )
{
  std::vector<EFI_DRIVER_BINDING_PROTOCOL *>  Sorted;
  bool                                        OneStarted = false;
  bool                                        DriverFound;

  for (EFI_HANDLE Handle : HandlesWith (DriverBindingGuid)) {
    auto  *Binding = static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(InterfaceOn (Handle, DriverBindingGuid));
    if ((Binding != nullptr) && (std::find (Sorted.begin (), Sorted.end (), Binding) == Sorted.end ())) {
      Sorted.push_back (Binding);
    }
  }

  if (Sorted.empty ()) {
    return EFI_NOT_FOUND;
  }

  //
  // The core's selection sort by Version, highest first (not stable).
  //
  for (size_t SortIndex = 0; SortIndex < Sorted.size (); SortIndex++) {
    size_t  HighestIndex = SortIndex;
    for (size_t Index = SortIndex + 1; Index < Sorted.size (); Index++) {
      if (Sorted[Index]->Version > Sorted[HighestIndex]->Version) {
        HighestIndex = Index;
      }
    }

    std::swap (Sorted[SortIndex], Sorted[HighestIndex]);
  }

  do {
    DriverFound = false;
    for (size_t Index = 0; (Index < Sorted.size ()) && !DriverFound; Index++) {
      EFI_DRIVER_BINDING_PROTOCOL  *Binding = Sorted[Index];
      EFI_STATUS                   Status;

      if (Binding == nullptr) {
        continue;
      }

      Status = Binding->Supported (Binding, ControllerHandle, RemainingDevicePath);
      mBindingCalls.push_back (BindingCall{ BindingCall::Kind::Supported, Binding, ControllerHandle, 0, Status });
      if (!EFI_ERROR (Status)) {
        Sorted[Index] = nullptr;
        DriverFound   = true;
        Status        = Binding->Start (Binding, ControllerHandle, RemainingDevicePath);
        mBindingCalls.push_back (BindingCall{ BindingCall::Kind::Start, Binding, ControllerHandle, 0, Status });
        if (!EFI_ERROR (Status)) {
          OneStarted = true;
        }
      }
    }
  } while (DriverFound);

  if (OneStarted) {
    return EFI_SUCCESS;
  }

  if ((RemainingDevicePath != nullptr) && IsEndEntireNode (RemainingDevicePath)) {
    return EFI_SUCCESS;
  }

  return EFI_NOT_FOUND;
}

EFI_STATUS
HandleDatabase::DisconnectController (
  EFI_HANDLE  ControllerHandle,
  EFI_HANDLE  DriverImageHandle,
  EFI_HANDLE  ChildHandle
  )
{
  std::vector<EFI_HANDLE>  Agents;
  size_t                   StopCount = 0;

  if (!IsValidHandle (ControllerHandle)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((ChildHandle != nullptr) && !IsValidHandle (ChildHandle)) {
    return EFI_INVALID_PARAMETER;
  }

  if (DriverImageHandle == nullptr) {
    for (const ProtocolInstance &Instance : Find (ControllerHandle)->Protocols) {
      for (const OpenRecord &Open : Instance.Opens) {
        if (((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) &&
            (std::find (Agents.begin (), Agents.end (), Open.AgentHandle) == Agents.end ()))
        {
          Agents.push_back (Open.AgentHandle);
        }
      }
    }

    if (Agents.empty ()) {
      return EFI_SUCCESS;
    }
  } else {
    Agents.push_back (DriverImageHandle);
  }

  for (EFI_HANDLE Agent : Agents) {
    auto                     *Binding    = static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(InterfaceOn (Agent, DriverBindingGuid));
    bool                     Manages     = false;
    bool                     ChildValid  = false;
    std::vector<EFI_HANDLE>  Children;
    HandleRecord             *Controller = Find (ControllerHandle);

    if (Binding == nullptr) {
      return EFI_INVALID_PARAMETER;
    }

    if (Controller == nullptr) {
      break;   // an earlier Stop took the controller away
    }

    for (const ProtocolInstance &Instance : Controller->Protocols) {
      for (const OpenRecord &Open : Instance.Opens) {
        if (Open.AgentHandle != Agent) {
          continue;
        }

        if ((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
          Manages = true;
        }

        if (((Open.Attributes & EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER) != 0) &&
            (std::find (Children.begin (), Children.end (), Open.ControllerHandle) == Children.end ()))
        {
          Children.push_back (Open.ControllerHandle);
          if (Open.ControllerHandle == ChildHandle) {
            ChildValid = true;
          }
        }
      }
    }

    if (!Manages || ((ChildHandle != nullptr) && !ChildValid)) {
      continue;
    }

    EFI_STATUS  Status         = EFI_SUCCESS;
    size_t      ChildrenToStop = 0;

    if (!Children.empty ()) {
      if (ChildHandle != nullptr) {
        ChildrenToStop = 1;
        Status         = Binding->Stop (Binding, ControllerHandle, 1, &ChildHandle);
      } else {
        ChildrenToStop = Children.size ();
        Status         = Binding->Stop (Binding, ControllerHandle, Children.size (), Children.data ());
      }

      mBindingCalls.push_back (BindingCall{ BindingCall::Kind::Stop, Binding, ControllerHandle, ChildrenToStop, Status });
    }

    if (!EFI_ERROR (Status) && ((ChildHandle == nullptr) || (Children.size () == ChildrenToStop))) {
      Status = Binding->Stop (Binding, ControllerHandle, 0, nullptr);
      mBindingCalls.push_back (BindingCall{ BindingCall::Kind::Stop, Binding, ControllerHandle, 0, Status });
    }

    if (!EFI_ERROR (Status)) {
      StopCount++;
    }
  }

  return StopCount > 0 ? EFI_SUCCESS : EFI_NOT_FOUND;
}

//
// Inspection.
//

std::vector<EFI_HANDLE>
HandleDatabase::Handles (
  ) const
{
  std::vector<EFI_HANDLE>  Result;

  for (const auto &Record : mHandles) {
    Result.push_back (Record.get ());
  }

  return Result;
}

std::vector<EFI_HANDLE>
HandleDatabase::HandlesWith (
  const EFI_GUID  &Protocol
  ) const
{
  std::vector<std::pair<UINT64, EFI_HANDLE> >  Found;
  std::vector<EFI_HANDLE>                      Result;

  for (const auto &Record : mHandles) {
    for (const ProtocolInstance &Instance : Record->Protocols) {
      if (SameGuid (Instance.Guid, Protocol)) {
        Found.emplace_back (Instance.Serial, Record.get ());
      }
    }
  }

  std::sort (Found.begin (), Found.end ());
  for (const auto &Entry : Found) {
    Result.push_back (Entry.second);
  }

  return Result;
}

std::vector<EFI_GUID>
HandleDatabase::ProtocolsOn (
  EFI_HANDLE  Handle
  ) const
{
  std::vector<EFI_GUID>  Result;
  HandleRecord           *Record = Find (Handle);

  if (Record != nullptr) {
    for (const ProtocolInstance &Instance : Record->Protocols) {
      Result.push_back (Instance.Guid);
    }
  }

  return Result;
}

VOID *
HandleDatabase::InterfaceOn (
  EFI_HANDLE      Handle,
  const EFI_GUID  &Protocol
  ) const
{
  ProtocolInstance  *Instance = FindProtocol (Handle, Protocol);

  return Instance != nullptr ? Instance->Interface : nullptr;
}

std::vector<OpenRecord>
HandleDatabase::OpenRecords (
  EFI_HANDLE      Handle,
  const EFI_GUID  &Protocol
  ) const
{
  ProtocolInstance  *Instance = FindProtocol (Handle, Protocol);

  return Instance != nullptr ? Instance->Opens : std::vector<OpenRecord>();
}

size_t
HandleDatabase::CountOpens (
  EFI_HANDLE      Handle,
  const EFI_GUID  &Protocol,
  UINT32          AttributeMask
  ) const
{
  size_t  Count = 0;

  for (const OpenRecord &Open : OpenRecords (Handle, Protocol)) {
    if ((Open.Attributes & AttributeMask) != 0) {
      Count++;
    }
  }

  return Count;
}

size_t
HandleDatabase::CountOpensByAgent (
  EFI_HANDLE  AgentHandle,
  UINT32      AttributeMask
  ) const
{
  size_t  Count = 0;

  for (const auto &Record : mHandles) {
    for (const ProtocolInstance &Instance : Record->Protocols) {
      for (const OpenRecord &Open : Instance.Opens) {
        if ((Open.AgentHandle == AgentHandle) && ((Open.Attributes & AttributeMask) != 0)) {
          Count++;
        }
      }
    }
  }

  return Count;
}

} // namespace Qd520Sim
