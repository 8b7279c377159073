/** @file
  SerialPortLib instance for machines whose debug console is not a PC serial
  port at a fixed I/O address (Arm and RISC-V boards): bytes go to the
  firmware's first EFI_SERIAL_IO_PROTOCOL, and are dropped when there is
  none. Such machines have no I/O port space at all, so nothing here touches
  one.

  The protocol is looked up at every call: an option ROM driver may load
  before the firmware has connected its console, and the port may come and
  go. Nothing here reports through DebugLib or asserts, so an assertion
  report written through this library cannot recurse into it.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>
#include <Protocol/SerialIo.h>
#include <Library/SerialPortLib.h>
#include <Library/UefiBootServicesTableLib.h>

/**
  The firmware's serial port, when one may be used from here: boot services
  are up, the caller runs at or below TPL_NOTIFY (the highest level at which
  a protocol may be looked up) and the firmware has a serial I/O protocol.

  @return The protocol, or NULL.
**/
STATIC
EFI_SERIAL_IO_PROTOCOL *
SerialIoPortFind (
  VOID
  )
{
  EFI_TPL                 CallerTpl;
  EFI_SERIAL_IO_PROTOCOL  *SerialIo;

  if (gBS == NULL) {
    return NULL;
  }

  CallerTpl = gBS->RaiseTPL (TPL_HIGH_LEVEL);
  gBS->RestoreTPL (CallerTpl);
  if (CallerTpl > TPL_NOTIFY) {
    return NULL;
  }

  if (EFI_ERROR (gBS->LocateProtocol (&gEfiSerialIoProtocolGuid, NULL, (VOID **)&SerialIo))) {
    return NULL;
  }

  return SerialIo;
}

/**
  Nothing to set up: the port belongs to the firmware, which has configured
  it for its own console.

  @retval RETURN_SUCCESS  Always.
**/
RETURN_STATUS
EFIAPI
SerialPortInitialize (
  VOID
  )
{
  return RETURN_SUCCESS;
}

/**
  Writes Buffer to the firmware's serial port, in as many calls as the port
  takes; a call that writes nothing ends the attempt.

  @return The number of bytes written: NumberOfBytes, fewer when the port
          failed, 0 when there is no port (the text is dropped) or Buffer is
          NULL.
**/
UINTN
EFIAPI
SerialPortWrite (
  IN UINT8  *Buffer,
  IN UINTN  NumberOfBytes
  )
{
  EFI_SERIAL_IO_PROTOCOL  *SerialIo;
  UINTN                   Written;
  UINTN                   Size;
  EFI_STATUS              Status;

  if ((Buffer == NULL) || (NumberOfBytes == 0)) {
    return 0;
  }

  SerialIo = SerialIoPortFind ();
  if (SerialIo == NULL) {
    return 0;
  }

  Written = 0;
  while (Written < NumberOfBytes) {
    Size    = NumberOfBytes - Written;
    Status  = SerialIo->Write (SerialIo, &Size, Buffer + Written);
    Written += (Size <= NumberOfBytes - Written) ? Size : 0;
    if (EFI_ERROR (Status) || (Size == 0)) {
      break;
    }
  }

  return Written;
}

/**
  Reads what the firmware's serial port has received, up to NumberOfBytes.

  @return The number of bytes read (0 without a port).
**/
UINTN
EFIAPI
SerialPortRead (
  OUT UINT8  *Buffer,
  IN  UINTN  NumberOfBytes
  )
{
  EFI_SERIAL_IO_PROTOCOL  *SerialIo;
  UINTN                   Size;

  if ((Buffer == NULL) || (NumberOfBytes == 0)) {
    return 0;
  }

  SerialIo = SerialIoPortFind ();
  if (SerialIo == NULL) {
    return 0;
  }

  Size = NumberOfBytes;
  SerialIo->Read (SerialIo, &Size, Buffer);
  return (Size <= NumberOfBytes) ? Size : 0;
}

/**
  @retval TRUE   The firmware's serial port holds received data.
  @retval FALSE  It holds none, or there is no port.
**/
BOOLEAN
EFIAPI
SerialPortPoll (
  VOID
  )
{
  UINT32  Control;

  if (RETURN_ERROR (SerialPortGetControl (&Control))) {
    return FALSE;
  }

  return (BOOLEAN)((Control & EFI_SERIAL_INPUT_BUFFER_EMPTY) == 0);
}

/**
  The port's control bits belong to the firmware's console.

  @retval RETURN_UNSUPPORTED  Always.
**/
RETURN_STATUS
EFIAPI
SerialPortSetControl (
  IN UINT32  Control
  )
{
  return RETURN_UNSUPPORTED;
}

/**
  @retval RETURN_SUCCESS       *Control holds the port's control bits.
  @retval RETURN_UNSUPPORTED   There is no port.
  @retval RETURN_DEVICE_ERROR  The port could not report them.
**/
RETURN_STATUS
EFIAPI
SerialPortGetControl (
  OUT UINT32  *Control
  )
{
  EFI_SERIAL_IO_PROTOCOL  *SerialIo;

  if (Control == NULL) {
    return RETURN_INVALID_PARAMETER;
  }

  SerialIo = SerialIoPortFind ();
  if (SerialIo == NULL) {
    return RETURN_UNSUPPORTED;
  }

  return EFI_ERROR (SerialIo->GetControl (SerialIo, Control)) ? RETURN_DEVICE_ERROR : RETURN_SUCCESS;
}

/**
  The port's speed and format belong to the firmware's console.

  @retval RETURN_UNSUPPORTED  Always.
**/
RETURN_STATUS
EFIAPI
SerialPortSetAttributes (
  IN OUT UINT64              *BaudRate,
  IN OUT UINT32              *ReceiveFifoDepth,
  IN OUT UINT32              *Timeout,
  IN OUT EFI_PARITY_TYPE     *Parity,
  IN OUT UINT8               *DataBits,
  IN OUT EFI_STOP_BITS_TYPE  *StopBits
  )
{
  return RETURN_UNSUPPORTED;
}
