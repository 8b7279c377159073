/** @file
  Device path helpers for the simulated platform: size and comparison rules
  of the handle database, builders for the paths the tests need and a short
  text form for messages.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_SIM_DEVICE_PATH_H_
#define QD520_SIM_DEVICE_PATH_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/DevicePath.h>
}

#include <cstddef>
#include <string>
#include <vector>

namespace Qd520Sim {

/// A device path held in host memory (whole nodes, end node included).
using DevicePathBytes = std::vector<UINT8>;

inline EFI_DEVICE_PATH_PROTOCOL *
AsDevicePath (
  DevicePathBytes  &Bytes
  )
{
  return reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Bytes.data ());
}

UINT16
NodeLength (
  const EFI_DEVICE_PATH_PROTOCOL  *Node
  );

bool
IsEndEntireNode (
  const EFI_DEVICE_PATH_PROTOCOL  *Node
  );

bool
IsEndInstanceNode (
  const EFI_DEVICE_PATH_PROTOCOL  *Node
  );

/// Bytes of the whole path including its end node, as the kit's
/// GetDevicePathSize counts them. 0 when a node is shorter than its header
/// or the path runs past 64 KiB without an end node.
size_t
DevicePathSize (
  const EFI_DEVICE_PATH_PROTOCOL  *Path
  );

/// Bytes of the first instance, without the end node that closes it
/// (end-of-instance or end-of-path). SIZE_MAX when malformed.
size_t
DevicePathFirstInstanceSize (
  const EFI_DEVICE_PATH_PROTOCOL  *Path
  );

/// A copy of Path (whole, end node included); empty when malformed.
DevicePathBytes
CopyDevicePath (
  const EFI_DEVICE_PATH_PROTOCOL  *Path
  );

/// PciRoot(RootUid)/Pci(Device,Function), terminated.
DevicePathBytes
MakePciControllerPath (
  UINT8   Device,
  UINT8   Function = 0,
  UINT32  RootUid = 0
  );

/// One ACPI _ADR node (type 2, subtype 3) of Length bytes (8 is the proper
/// length; longer lengths pad with zero bytes), terminated.
DevicePathBytes
MakeAcpiAdrPath (
  UINT32  Adr,
  UINT16  Length = 8
  );

/// Just an end-of-path node.
DevicePathBytes
MakeEndPath (
  );

/// "PciRoot(0x0)/Pci(0x1,0x0)/AcpiAdr(0x80010100)"; unknown nodes as
/// "Path(type,subtype,length)"; "<malformed>" at a bad node.
std::string
DevicePathToText (
  const EFI_DEVICE_PATH_PROTOCOL  *Path
  );

} // namespace Qd520Sim

#endif // QD520_SIM_DEVICE_PATH_H_
