/** @file
  DebugLib instance of the platform: formats debug messages and assertion
  reports into a bounded buffer and writes them to the serial port through
  SerialPortLib: the kit's 16550 instance on x64 PCs, the firmware's serial
  I/O protocol on machines without a port at a fixed I/O address.

  An assertion is printed as "ASSERT file(line): expression" and then handed
  to SerialDebugLibAssertHalt(), which halts in firmware and, in the host
  build, reports the assertion to the running test.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Base.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/PcdLib.h>
#include <Library/PrintLib.h>
#include <Library/SerialPortLib.h>

#include "SerialDebugLib.h"

//
// Longest message, terminator included, that one print or report produces.
//
#define SERIAL_DEBUG_MESSAGE_LENGTH  0x100

STATIC_ASSERT (SERIAL_DEBUG_MESSAGE_LENGTH == 256, "messages format into a 256-byte buffer");

/**
  Brings up the debug serial port before any other library constructor runs.

  Built without assertions and messages (MDEPKG_NDEBUG), the library never
  writes to the port, so it leaves the port as the platform set it: a
  console on it keeps its speed and format.

  @retval RETURN_SUCCESS  The port is ready (or the platform hook failed and
                          output is silently lost).
**/
RETURN_STATUS
EFIAPI
SerialDebugLibConstructor (
  VOID
  )
{
 #ifdef MDEPKG_NDEBUG
  return RETURN_SUCCESS;
 #else
  return SerialPortInitialize ();
 #endif
}

/**
  Writes one formatted message to the port. Built without assertions and
  messages (MDEPKG_NDEBUG) nothing calls here, and the library does not
  reference the port at all: the image then carries no serial port driver.
**/
STATIC
VOID
SerialDebugWrite (
  IN CONST CHAR8  *Buffer
  )
{
 #ifndef MDEPKG_NDEBUG
  SerialPortWrite ((UINT8 *)Buffer, AsciiStrLen (Buffer));
 #endif
}

/**
  Whether a message of ErrorLevel is printed: it shares a bit with the
  platform's print level.
**/
STATIC
BOOLEAN
SerialDebugLevelPrinted (
  IN UINTN  ErrorLevel
  )
{
  return (BOOLEAN)((ErrorLevel & PcdGet32 (PcdDebugPrintErrorLevel)) != 0);
}

VOID
EFIAPI
DebugPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  DebugVPrint (ErrorLevel, Format, Marker);
  VA_END (Marker);
}

VOID
EFIAPI
DebugVPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  IN  VA_LIST      VaListMarker
  )
{
  CHAR8  Buffer[SERIAL_DEBUG_MESSAGE_LENGTH];

  ASSERT (Format != NULL);
  if (!SerialDebugLevelPrinted (ErrorLevel)) {
    return;
  }

  AsciiVSPrint (Buffer, sizeof (Buffer), Format, VaListMarker);
  SerialDebugWrite (Buffer);
}

VOID
EFIAPI
DebugBPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  IN  BASE_LIST    BaseListMarker
  )
{
  CHAR8  Buffer[SERIAL_DEBUG_MESSAGE_LENGTH];

  ASSERT (Format != NULL);
  if (!SerialDebugLevelPrinted (ErrorLevel)) {
    return;
  }

  AsciiBSPrint (Buffer, sizeof (Buffer), Format, BaseListMarker);
  SerialDebugWrite (Buffer);
}

VOID
EFIAPI
DebugAssert (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  )
{
  CHAR8  Buffer[SERIAL_DEBUG_MESSAGE_LENGTH];

  AsciiSPrint (Buffer, sizeof (Buffer), "ASSERT %a(%d): %a\n", FileName, LineNumber, Description);
  SerialDebugWrite (Buffer);

  SerialDebugLibAssertHalt (FileName, LineNumber, Description);
}

VOID *
EFIAPI
DebugClearMemory (
  OUT VOID  *Buffer,
  IN UINTN  Length
  )
{
  ASSERT (Buffer != NULL);
  return SetMem (Buffer, Length, PcdGet8 (PcdDebugClearMemoryValue));
}

BOOLEAN
EFIAPI
DebugAssertEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_ASSERT_ENABLED) != 0);
}

BOOLEAN
EFIAPI
DebugPrintEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_PRINT_ENABLED) != 0);
}

BOOLEAN
EFIAPI
DebugCodeEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_CODE_ENABLED) != 0);
}

BOOLEAN
EFIAPI
DebugClearMemoryEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_CLEAR_MEMORY_ENABLED) != 0);
}

BOOLEAN
EFIAPI
DebugPrintLevelEnabled (
  IN  CONST UINTN  ErrorLevel
  )
{
  return (BOOLEAN)((ErrorLevel & PcdGet32 (PcdFixedDebugPrintErrorLevel)) != 0);
}
