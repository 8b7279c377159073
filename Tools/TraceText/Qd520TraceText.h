/** @file
  Readable text of the simulated QD520's PCI I/O trace: one line per
  record, with BAR 1 registers and HDMI transmitter registers named from
  the driver's register map, HDMI index/data accesses decoded, delays,
  frame-buffer, attribute and configuration accesses, and the status of
  every call that did not succeed.

  Examples:
    write 0x80000 display control (channel 0) <- 0x12345678
    read 0x12C PLL reference select (bit 12: 12.288 MHz) -> 0x00001000
    HDMI write 0x45 output control <- 0x07 (strobe)
    HDMI read request 0x45 output control
    delay 8 units
    frame buffer write FillUint32 at 0x0 count 0x800000 value 0x00000000

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_TRACE_TEXT_H_
#define QD520_TRACE_TEXT_H_

#include "Qd520PciIo.h"

#include <cstddef>
#include <string>
#include <vector>

namespace Qd520TraceText {

/// "EFI_UNSUPPORTED", "EFI_SUCCESS", ...; "status 0x..." for a value
/// without a name.
std::string
StatusName (
  EFI_STATUS  Status
  );

/// One record as one line without a line break. A status other than
/// EFI_SUCCESS is appended in brackets.
std::string
FormatRecord (
  const Qd520Sim::TraceRecord  &Record
  );

/// Records [First, First + Count) of Trace, clipped to its end, one per
/// line as "op N: text\n" with N the record's index in Trace.
std::string
FormatTrace (
  const std::vector<Qd520Sim::TraceRecord>  &Trace,
  size_t                                    First = 0,
  size_t                                    Count = static_cast<size_t>(-1)
  );

} // namespace Qd520TraceText

#endif // QD520_TRACE_TEXT_H_
