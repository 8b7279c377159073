/** @file
  Fault injection, recognising calls.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "CallRoles.h"

#include "Qd520FrameGeometry.h"
#include "Qdl520.h"

#include <cstdio>
#include <cstring>

namespace Qd520Test {
namespace FaultInjection {

using Qd520Sim::PciIoOperation;

bool
IsService (
  const ServiceRecord  &Record,
  const char           *Service
  )
{
  return std::strcmp (Record.Service, Service) == 0;
}

std::string
Hex (
  UINT64  Value
  )
{
  char  Text[24];

  std::snprintf (Text, sizeof (Text), "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

UINTN
ScreenBytes (
  UINT32  ModeNumber
  )
{
  const Qd520Reference::OfferedMode  &Mode = Qd520Reference::kOfferedModes[ModeNumber];

  return Qd520Reference::FrameBufferBytes (Mode.Width, Mode.Height);
}

std::string
DescribeService (
  const ServiceRecord  &Record
  )
{
  std::string  Text = Record.Service;

  if (IsService (Record, "AllocatePool")) {
    Text += " of " + std::to_string (Record.Size) + " bytes";
  }

  for (size_t Index = 0; Index < Record.Protocols.size (); Index++) {
    Text += (Index == 0 ? " " : ", ") + Qd520Sim::GuidToText (Record.Protocols[Index]);
  }

  if (IsService (Record, "OpenProtocol")) {
    Text += " attributes " + Hex (Record.Attributes);
  }

  return Text;
}

std::string
DescribeTrace (
  const TraceRecord  &Record
  )
{
  std::string  Text = Qd520Sim::OperationName (Record.Operation);

  if (Record.BarIndex != Qd520Sim::NoBar) {
    Text += " BAR " + std::to_string (Record.BarIndex);
  }

  Text += std::string (" ") + Qd520Sim::RecordWidthName (Record);
  if ((Record.Operation == PciIoOperation::MemRead) || (Record.Operation == PciIoOperation::MemWrite)) {
    Text += " offset " + Hex (Record.Offset) + " count " + std::to_string (Record.Count);
  }

  return Text;
}

namespace {

bool
SameProtocols (
  const std::vector<EFI_GUID>                &Actual,
  std::initializer_list<const EFI_GUID *>    Expected
  )
{
  if (Actual.size () != Expected.size ()) {
    return false;
  }

  size_t  Index = 0;

  for (const EFI_GUID *Guid : Expected) {
    if (!Qd520Sim::SameGuid (Actual[Index++], *Guid)) {
      return false;
    }
  }

  return true;
}

Role
AllocationRole (
  const RunFacts       &Facts,
  const ServiceRecord  &Record
  )
{
  std::vector<Role>  Matches;

  //
  // PCI I/O allocates the descriptor list while GetBarAttributes runs: the
  // trace record of that call hands out the same block.
  //
  if (Record.Size == sizeof (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) + sizeof (EFI_ACPI_END_TAG_DESCRIPTOR)) {
    for (const TraceRecord &Call : Facts.Trace) {
      if ((Call.Operation == PciIoOperation::GetBarAttributes) && (Call.Buffer == Record.Block)) {
        Matches.push_back (Role::DescriptorListAllocation);
        break;
      }
    }
  }

  if (Record.Size == sizeof (QDL520_PRIVATE_DATA)) {
    Matches.push_back (Role::ContextAllocation);
  }

  if (Record.Size == sizeof (ACPI_ADR_DEVICE_PATH) + END_DEVICE_PATH_LENGTH) {
    Matches.push_back (Role::DisplayNodeAllocation);
  }

  if (Record.Size == Facts.ParentPathBytes + sizeof (ACPI_ADR_DEVICE_PATH)) {
    Matches.push_back (Role::DisplayPathAllocation);
  }

  if (Record.Size == sizeof (EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE)) {
    Matches.push_back (Role::ModeRecordAllocation);
  }

  if (Record.Size == sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION)) {
    Matches.push_back ((Facts.Which == Phase::QueryMode) ? Role::QueryInfoAllocation : Role::ModeInfoAllocation);
  }

  for (UINT32 ModeNumber = 0; ModeNumber < Qd520Reference::kOfferedModeCount; ModeNumber++) {
    if (Record.Size == ScreenBytes (ModeNumber)) {
      Matches.push_back (Role::LineBufferAllocation);
      break;
    }
  }

  return (Matches.size () == 1) ? Matches[0] : Role::Unknown;
}

} // namespace

/// The role of the service call Facts.Records[Index].
Role
ServiceRole (
  const RunFacts  &Facts,
  size_t          Index
  )
{
  const ServiceRecord  &Record = Facts.Records[Index];

  if (IsService (Record, "AllocatePool")) {
    return AllocationRole (Facts, Record);
  }

  if (IsService (Record, "FreePool")) {
    //
    // A release is known by the block it gives back.
    //
    for (size_t Earlier = Index; Earlier-- > 0;) {
      const ServiceRecord  &Allocation = Facts.Records[Earlier];

      if (IsService (Allocation, "AllocatePool") && (Allocation.Block == Record.Block)) {
        switch (AllocationRole (Facts, Allocation)) {
          case Role::DisplayNodeAllocation:    return Role::DisplayNodeRelease;
          case Role::DescriptorListAllocation: return Role::DescriptorListRelease;
          case Role::LineBufferAllocation:     return Role::LineBufferRelease;
          default:                             return Role::Unknown;
        }
      }
    }

    return Role::Unknown;
  }

  if (IsService (Record, "OpenProtocol") && SameProtocols (Record.Protocols, { &gEfiPciIoProtocolGuid }) &&
      (Record.Attributes == EFI_OPEN_PROTOCOL_BY_DRIVER))
  {
    return Role::OpenPciIo;
  }

  if (IsService (Record, "HandleProtocol") && SameProtocols (Record.Protocols, { &gEfiDevicePathProtocolGuid })) {
    return Role::GetParentPath;
  }

  if (IsService (Record, "InstallMultipleProtocolInterfaces")) {
    if (SameProtocols (
          Record.Protocols,
          { &gEfiDriverBindingProtocolGuid, &gEfiComponentNameProtocolGuid, &gEfiComponentName2ProtocolGuid }
          ))
    {
      return Role::InstallBindingAndNames;
    }

    if (SameProtocols (Record.Protocols, { &gEfiDriverSupportedEfiVersionProtocolGuid })) {
      return Role::InstallSupportedVersion;
    }

    if (SameProtocols (Record.Protocols, { &gEfiDevicePathProtocolGuid })) {
      return Role::InstallChildPath;
    }

    if (SameProtocols (Record.Protocols, { &gEfiGraphicsOutputProtocolGuid })) {
      return Role::InstallGraphicsOutput;
    }
  }

  return Role::Unknown;
}

Role
PciIoRole (
  const TraceRecord  &Record
  )
{
  switch (Record.Operation) {
    case PciIoOperation::Attributes:
      switch (Record.Width) {
        case EfiPciIoAttributeOperationSupported: return Role::QuerySupportedAttributes;
        case EfiPciIoAttributeOperationGet:       return Role::ReadAttributes;
        case EfiPciIoAttributeOperationEnable:    return Role::EnableDevice;
        default:                                  return Role::Unknown;
      }

    case PciIoOperation::MemRead:
    case PciIoOperation::MemWrite:
      if ((Record.BarIndex == QDL520_REGISTER_BAR) && (Record.Width == EfiPciIoWidthUint32) && (Record.Count == 1)) {
        return (Record.Operation == PciIoOperation::MemRead) ? Role::RegisterRead : Role::RegisterWrite;
      }

      if ((Record.Operation == PciIoOperation::MemWrite) && (Record.BarIndex == QDL520_FRAME_BUFFER_BAR) &&
          (Record.Width == EfiPciIoWidthFillUint32) && (Record.Offset == 0) && (Record.Count * 4 >= ScreenBytes (2)))
      {
        return Role::FrameBufferClear;
      }

      return Role::Unknown;

    case PciIoOperation::GetBarAttributes:
      return (Record.BarIndex == QDL520_FRAME_BUFFER_BAR) ? Role::BarAttributes : Role::Unknown;

    default:
      return Role::Unknown;
  }
}

} // namespace FaultInjection
} // namespace Qd520Test
