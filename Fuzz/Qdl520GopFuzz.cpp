/** @file
  libFuzzer target: drives the graphics output protocol that the QD520
  driver installs on a simulated adapter with sequences of QueryMode,
  SetMode and Blt calls, and checks every call against an independent model
  of the protocol: the exact status, the caller's task priority level, the
  PCI I/O calls a transfer makes, the pool the driver keeps, the mode record,
  the pixels of the frame buffer and the caller's buffers.

  Every mismatch, driver assertion or simulator failure prints what differed
  and aborts, which libFuzzer reports as a crash. The input format is
  described in README.md beside this file; make-seeds.py writes it.

  The parts: FuzzInput (decoding the input), FuzzModel (what the frame
  buffer and the mode state must be, with the reference model of Blt),
  CallerBuffer (the caller's buffers), FuzzHarness (the platform and the run
  of an input), FuzzCalls (each call) and FuzzChecks (the checks).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FuzzHarness.h"

#include <cstdlib>

namespace {

void
PrintStatistics (
  )
{
  if (Qd520Fuzz::gHarness != nullptr) {
    Qd520Fuzz::gHarness->PrintStatistics ();
  }
}

} // namespace

extern "C" int
LLVMFuzzerInitialize (
  int   *Argc,
  char  ***Argv
  )
{
  Qd520Fuzz::gHarness = new Qd520Fuzz::Harness ();
  Qd520Fuzz::gHarness->Initialize ();
  std::atexit (PrintStatistics);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  Qd520Fuzz::gHarness->RunInput (Data, Size);
  return 0;
}
