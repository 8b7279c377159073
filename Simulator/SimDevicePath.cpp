/** @file
  Device path helpers for the simulated platform.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimDevicePath.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace Qd520Sim {

namespace {

constexpr size_t  NodeHeaderSize    = sizeof (EFI_DEVICE_PATH_PROTOCOL);
constexpr size_t  MaxDevicePathSize = 0x10000;
constexpr UINT32  PciRootHid        = EISA_PNP_ID (0x0A03);

void
AppendNode (
  DevicePathBytes  &Path,
  UINT8            Type,
  UINT8            SubType,
  const void       *Body,
  size_t           BodySize,
  size_t           Length
  )
{
  size_t  Start = Path.size ();

  Path.resize (Start + Length, 0);
  Path[Start]     = Type;
  Path[Start + 1] = SubType;
  Path[Start + 2] = (UINT8)(Length & 0xFF);
  Path[Start + 3] = (UINT8)(Length >> 8);
  if (Body != nullptr) {
    std::memcpy (&Path[Start + NodeHeaderSize], Body, BodySize < Length - NodeHeaderSize ? BodySize : Length - NodeHeaderSize);
  }
}

void
AppendEnd (
  DevicePathBytes  &Path
  )
{
  AppendNode (Path, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, nullptr, 0, NodeHeaderSize);
}

std::string
Hex (
  UINT64  Value
  )
{
  char  Text[24];

  std::snprintf (Text, sizeof (Text), "0x%llX", (unsigned long long)Value);
  return Text;
}

} // namespace

UINT16
NodeLength (
  const EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  return (UINT16)(Node->Length[0] | (Node->Length[1] << 8));
}

bool
IsEndEntireNode (
  const EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  return (Node->Type == END_DEVICE_PATH_TYPE) && (Node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE);
}

bool
IsEndInstanceNode (
  const EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  return (Node->Type == END_DEVICE_PATH_TYPE) && (Node->SubType == END_INSTANCE_DEVICE_PATH_SUBTYPE);
}

size_t
DevicePathSize (
  const EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  const UINT8  *Start = reinterpret_cast<const UINT8 *>(Path);
  size_t       Size   = 0;

  for ( ; ;) {
    const EFI_DEVICE_PATH_PROTOCOL  *Node   = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Start + Size);
    UINT16                          Length = NodeLength (Node);

    if ((Length < NodeHeaderSize) || (Size + Length > MaxDevicePathSize)) {
      return 0;
    }

    Size += Length;
    if (IsEndEntireNode (Node)) {
      return Size;
    }
  }
}

size_t
DevicePathFirstInstanceSize (
  const EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  const UINT8  *Start = reinterpret_cast<const UINT8 *>(Path);
  size_t       Size   = 0;

  for ( ; ;) {
    const EFI_DEVICE_PATH_PROTOCOL  *Node   = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Start + Size);
    UINT16                          Length = NodeLength (Node);

    if (IsEndEntireNode (Node) || IsEndInstanceNode (Node)) {
      return Size;
    }

    if ((Length < NodeHeaderSize) || (Size + Length > MaxDevicePathSize)) {
      return SIZE_MAX;
    }

    Size += Length;
  }
}

DevicePathBytes
CopyDevicePath (
  const EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  size_t        Size  = DevicePathSize (Path);
  const UINT8  *Bytes = reinterpret_cast<const UINT8 *>(Path);

  return DevicePathBytes (Bytes, Bytes + Size);
}

DevicePathBytes
MakePciControllerPath (
  UINT8   Device,
  UINT8   Function,
  UINT32  RootUid
  )
{
  DevicePathBytes  Path;
  UINT32           Acpi[2] = { PciRootHid, RootUid };
  UINT8            Pci[2]  = { Function, Device };

  static_assert (sizeof (ACPI_HID_DEVICE_PATH) == NodeHeaderSize + sizeof (Acpi), "ACPI HID node layout");
  static_assert (sizeof (PCI_DEVICE_PATH) == NodeHeaderSize + sizeof (Pci), "PCI node layout");
  AppendNode (Path, ACPI_DEVICE_PATH, ACPI_DP, Acpi, sizeof (Acpi), sizeof (ACPI_HID_DEVICE_PATH));
  AppendNode (Path, HARDWARE_DEVICE_PATH, HW_PCI_DP, Pci, sizeof (Pci), sizeof (PCI_DEVICE_PATH));
  AppendEnd (Path);
  return Path;
}

DevicePathBytes
MakeAcpiAdrPath (
  UINT32  Adr,
  UINT16  Length
  )
{
  DevicePathBytes  Path;

  AppendNode (Path, ACPI_DEVICE_PATH, ACPI_ADR_DP, &Adr, sizeof (Adr), Length < NodeHeaderSize ? NodeHeaderSize : Length);
  AppendEnd (Path);
  return Path;
}

DevicePathBytes
MakeEndPath (
  )
{
  DevicePathBytes  Path;

  AppendEnd (Path);
  return Path;
}

std::string
DevicePathToText (
  const EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  const UINT8  *Start = reinterpret_cast<const UINT8 *>(Path);
  size_t       Offset = 0;
  std::string  Text;

  if (Path == nullptr) {
    return "<null>";
  }

  for ( ; ;) {
    const EFI_DEVICE_PATH_PROTOCOL  *Node   = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Start + Offset);
    UINT16                          Length = NodeLength (Node);
    UINT32                          Words[2];

    if ((Length < NodeHeaderSize) || (Offset + Length > MaxDevicePathSize)) {
      return Text + (Text.empty () ? "" : "/") + "<malformed>";
    }

    if (IsEndEntireNode (Node)) {
      return Text.empty () ? "End" : Text;
    }

    if (!Text.empty ()) {
      Text += IsEndInstanceNode (Node) ? "," : "/";
    }

    if ((Node->Type == ACPI_DEVICE_PATH) && (Node->SubType == ACPI_DP) && (Length == sizeof (ACPI_HID_DEVICE_PATH))) {
      std::memcpy (Words, Start + Offset + NodeHeaderSize, sizeof (Words));
      Text += (Words[0] == PciRootHid) ? "PciRoot(" + Hex (Words[1]) + ")" :
              "Acpi(" + Hex (Words[0]) + "," + Hex (Words[1]) + ")";
    } else if ((Node->Type == HARDWARE_DEVICE_PATH) && (Node->SubType == HW_PCI_DP) && (Length == sizeof (PCI_DEVICE_PATH))) {
      Text += "Pci(" + Hex (Start[Offset + NodeHeaderSize + 1]) + "," + Hex (Start[Offset + NodeHeaderSize]) + ")";
    } else if ((Node->Type == ACPI_DEVICE_PATH) && (Node->SubType == ACPI_ADR_DP) && (Length == sizeof (ACPI_ADR_DEVICE_PATH))) {
      std::memcpy (Words, Start + Offset + NodeHeaderSize, sizeof (UINT32));
      Text += "AcpiAdr(" + Hex (Words[0]) + ")";
    } else if (!IsEndInstanceNode (Node)) {
      Text += "Path(" + std::to_string (Node->Type) + "," + std::to_string (Node->SubType) + "," +
              std::to_string (Length) + ")";
    }

    Offset += Length;
  }
}

} // namespace Qd520Sim
