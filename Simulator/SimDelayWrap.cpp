/** @file
  Wrapper of the driver's busy-wait delay for test executables linked with
  -Wl,--wrap=Qdl520Delay: it appends a Delay record of Count units to the
  current adapter's PCI I/O trace (the adapter whose PCI I/O the driver
  called last), so that delays show up between the register accesses around
  them. It does not spin: the simulated adapter has no timing, so the busy
  loop would only cost test time.

  Kept in a file of its own: only executables linked with the wrap option
  pull it in.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

extern "C" {

VOID
__wrap_Qdl520Delay (
  UINT8  Count
  );

VOID
__wrap_Qdl520Delay (
  UINT8  Count
  )
{
  Qd520Sim::SimPlatform  *Platform = Qd520Sim::SimPlatform::Current ();
  Qd520Sim::SimAdapter   *Adapter  = (Platform != nullptr) ? Platform->CurrentAdapter () : nullptr;

  if (Adapter != nullptr) {
    Adapter->PciIo ().AppendDelay (Count);
  }
}

} // extern "C"
