/** @file
  Frame-buffer rows of the host's PCI I/O fast path.

  The PCI I/O members follow the firmware calling convention, which keeps
  ten vector registers for the caller: a call from them into host code must
  save and restore all ten around every row, which costs a 4 KiB row more
  than the C library's copy gains over a plain loop. So a copy is a loop of
  8-byte units in the firmware convention, which the compiler widens to the
  vector moves of its target, built twice (the x86-64 baseline and AVX2,
  whose 32-byte moves are what the C library uses where it can) and picked
  for the processor when the device starts. Under AddressSanitizer a row
  is the C library's copy instead: its interceptor checks both ranges of the
  row, every byte, in one pass over their shadow before it copies, where
  the loop's moves would each be checked on their own at several times the
  cost; the save around the call matters little there.

  A fill goes to the C library, whose vector and string fills outrun a plain
  loop by more than the save costs: a 32-bit unit whose four bytes are equal
  (black, white, greys) is a memset, any other a wmemset, its fill of 32-bit
  units. The members make that call out of line, on fills only.

  Only the simulated platform uses these; the adapter model stays
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

#if defined (__SANITIZE_ADDRESS__)
  #define QD520_SIM_ADDRESS_SANITIZER  1
#elif defined (__has_feature)
  #if __has_feature (address_sanitizer)
    #define QD520_SIM_ADDRESS_SANITIZER  1
  #endif
#endif
#ifndef QD520_SIM_ADDRESS_SANITIZER
  #define QD520_SIM_ADDRESS_SANITIZER  0
#endif

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

/// Copies Bytes from Source to Destination; the ranges do not overlap.
typedef VOID (EFIAPI *HOST_COPY_ROW)(
  OUT VOID        *Destination,
  IN  CONST VOID  *Source,
  IN  UINTN       Bytes
  );

/// The copy built for the x86-64 baseline (16-byte vector moves).
VOID EFIAPI
HostCopyRowBaseline (
  OUT VOID        *Destination,
  IN  CONST VOID  *Source,
  IN  UINTN       Bytes
  );

/// The copy built for processors with AVX2 (32-byte vector moves).
VOID EFIAPI
HostCopyRowAvx2 (
  OUT VOID        *Destination,
  IN  CONST VOID  *Source,
  IN  UINTN       Bytes
  );

#if QD520_SIM_ADDRESS_SANITIZER

/// The C library's copy, checked by AddressSanitizer's interceptor.
VOID EFIAPI
HostCopyRowChecked (
  OUT VOID        *Destination,
  IN  CONST VOID  *Source,
  IN  UINTN       Bytes
  );

#endif

/// The copy the PCI I/O uses: under AddressSanitizer the checked one,
/// otherwise the widest build this processor runs.
HOST_COPY_ROW
HostCopyRowForThisProcessor (
  );

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
