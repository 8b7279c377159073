/** @file
  The host's frame-buffer row copies (see SimHostRows.h).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimHostRows.h"

namespace Qd520Sim {

namespace {

/// The one loop both builds share: 8-byte units, then the bytes left. The
/// ranges do not overlap (the PCI I/O sends overlapping copies down its
/// general path), so the compiler need not check; and it must not make the
/// loop a call to memcpy, which is what the loop is there to avoid.
inline __attribute__ ((always_inline, no_builtin ("memcpy"))) VOID
CopyUnits (
  OUT VOID *__restrict        Destination,
  IN  CONST VOID *__restrict  Source,
  IN  UINTN                   Bytes
  )
{
  UINT8        *To   = static_cast<UINT8 *>(Destination);
  CONST UINT8  *From = static_cast<CONST UINT8 *>(Source);
  UINTN        Index = 0;

  for ( ; Index + sizeof (UINT64) <= Bytes; Index += sizeof (UINT64)) {
    UINT64  Unit;

    __builtin_memcpy (&Unit, From + Index, sizeof (Unit));
    __builtin_memcpy (To + Index, &Unit, sizeof (Unit));
  }

  for ( ; Index < Bytes; Index++) {
    To[Index] = From[Index];
  }
}

} // namespace

__attribute__ ((no_builtin ("memcpy"))) VOID EFIAPI
HostCopyRowBaseline (
  OUT VOID        *Destination,
  IN  CONST VOID  *Source,
  IN  UINTN       Bytes
  )
{
  CopyUnits (Destination, Source, Bytes);
}

__attribute__ ((target ("avx2"), no_builtin ("memcpy"))) VOID EFIAPI
HostCopyRowAvx2 (
  OUT VOID        *Destination,
  IN  CONST VOID  *Source,
  IN  UINTN       Bytes
  )
{
  CopyUnits (Destination, Source, Bytes);
}

#if QD520_SIM_ADDRESS_SANITIZER

VOID EFIAPI
HostCopyRowChecked (
  OUT VOID        *Destination,
  IN  CONST VOID  *Source,
  IN  UINTN       Bytes
  )
{
  std::memcpy (Destination, Source, Bytes);
}

#endif

HOST_COPY_ROW
HostCopyRowForThisProcessor (
  )
{
 #if QD520_SIM_ADDRESS_SANITIZER
  return HostCopyRowChecked;
 #else
  __builtin_cpu_init ();
  return __builtin_cpu_supports ("avx2") ? HostCopyRowAvx2 : HostCopyRowBaseline;
 #endif
}

} // namespace Qd520Sim
