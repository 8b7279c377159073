/** @file
  Frame-buffer rows of the host's PCI I/O fast path, moved by the C library:
  its memcpy, memset and wmemset choose at run time the fastest code the
  processor has (vector width, fast string instructions), so a row through
  the simulated adapter costs what the same row costs the library, on any
  x86-64.

  A 32-bit fill whose four bytes are equal (black, white, greys) is a memset,
  the library's fastest fill; any other is a wmemset, its fill of 32-bit
  units. Only the simulated platform uses these; the adapter model stays
  freestanding.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_SIM_HOST_ROWS_H_
#define QD520_SIM_HOST_ROWS_H_

extern "C" {
#include <Uefi.h>
}

#include <cstddef>
#include <cstring>

//
// The C library's wmemset stores 32-bit units: wchar_t is 4 bytes in its
// ABI. The host build compiles with 2-byte wide characters (CHAR16), so the
// header's prototype does not apply; it is declared here under its own name.
//
extern "C" UINT32 *
Qd520SimStoreUint32 (
  UINT32  *Destination,
  UINT32  Value,
  size_t  Count
  ) __asm__ ("wmemset");

namespace Qd520Sim {

/// Copies Bytes; the ranges do not overlap.
inline VOID
HostCopyRow (
  OUT VOID        *Destination,
  IN  CONST VOID  *Source,
  IN  UINTN       Bytes
  )
{
  std::memcpy (Destination, Source, Bytes);
}

/// Stores Count copies of a 32-bit Value; Destination is 4-byte aligned.
inline VOID
HostFillUint32 (
  OUT VOID    *Destination,
  IN  UINT32  Value,
  IN  UINTN   Count
  )
{
  if (Value == (Value & 0xFF) * 0x01010101u) {
    std::memset (Destination, (int)(Value & 0xFF), Count * sizeof (Value));
  } else {
    Qd520SimStoreUint32 (static_cast<UINT32 *>(Destination), Value, Count);
  }
}

/// Stores Count copies of a 64-bit Value; Destination is 8-byte aligned.
inline VOID
HostFillUint64 (
  OUT VOID    *Destination,
  IN  UINT64  Value,
  IN  UINTN   Count
  )
{
  if ((UINT32)Value == (UINT32)(Value >> 32)) {
    HostFillUint32 (Destination, (UINT32)Value, 2 * Count);
    return;
  }

  UINT64  *Units = static_cast<UINT64 *>(Destination);

  for (UINTN Index = 0; Index < Count; Index++) {
    Units[Index] = Value;
  }
}

} // namespace Qd520Sim

#endif // QD520_SIM_HOST_ROWS_H_
