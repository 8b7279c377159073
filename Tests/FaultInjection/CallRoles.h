/** @file
  Fault injection, recognising calls: what a boot-service call, pool
  allocation or PCI I/O call of a clean run was for, read from its
  arguments in the platform's call log and the adapter's trace (allocation
  size, block, GUIDs, open attributes, BAR, offset, attribute operation).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_CALL_ROLES_H_
#define QD520_CALL_ROLES_H_

#include "FaultExpectations.h"

#include <string>
#include <vector>

namespace Qd520Test {
namespace FaultInjection {

/// One boot-service call as the platform logged it.
using ServiceRecord = Qd520Sim::ServiceCall;

bool
IsService (
  const ServiceRecord  &Record,
  const char           *Service
  );

std::string
Hex (
  UINT64  Value
  );

/// Bytes of the whole frame of ModeNumber: FrameBufferSize and the size of
/// its line buffer.
UINTN
ScreenBytes (
  UINT32  ModeNumber
  );

/// "AllocatePool of 12 bytes", "OpenProtocol <GUID> attributes 0x10", ...
std::string
DescribeService (
  const ServiceRecord  &Record
  );

/// "MemWrite BAR 1 Uint32 offset 0x80000 count 1", ...
std::string
DescribeTrace (
  const TraceRecord  &Record
  );

/// What the run knows for recognising calls: every boot-service call that
/// can fail since the platform was made, the whole trace, and the path the
/// display is built on.
struct RunFacts {
  Phase                         Which;
  std::vector<ServiceRecord>    Records;
  std::vector<TraceRecord>      Trace;
  size_t                        ParentPathBytes = 0;
};

/// The role of the service call Facts.Records[Index].
Role
ServiceRole (
  const RunFacts  &Facts,
  size_t          Index
  );

Role
PciIoRole (
  const TraceRecord  &Record
  );

} // namespace FaultInjection
} // namespace Qd520Test

#endif // QD520_CALL_ROLES_H_
