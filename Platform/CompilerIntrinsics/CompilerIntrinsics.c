/** @file
  The memory routines clang emits calls to for structure copies and
  clears, mapped onto the kit's BaseMemoryLib. Linked into the UEFI image
  only; the host build takes them from its C library.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Base.h>
#include <Library/BaseMemoryLib.h>

void *
memcpy (
  void        *Destination,
  const void  *Source,
  UINTN       Length
  )
{
  return CopyMem (Destination, Source, Length);
}

void *
memmove (
  void        *Destination,
  const void  *Source,
  UINTN       Length
  )
{
  return CopyMem (Destination, Source, Length);
}

void *
memset (
  void   *Buffer,
  int    Value,
  UINTN  Length
  )
{
  return SetMem (Buffer, Length, (UINT8)Value);
}

int
memcmp (
  const void  *Left,
  const void  *Right,
  UINTN       Length
  )
{
  return (int)CompareMem (Left, Right, Length);
}
