/** @file
  Graphics output protocol of the QD520.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qdl520.h"

/**
  Brings the controller's graphics output protocol to life.

  Interim: this is the least that lets Start finish while the protocol's
  modes and block transfer are being written. It allocates the mode record
  and its information, which Stop releases, and programs nothing.

  @retval EFI_SUCCESS  The records exist.
  @return The status of a failing pool allocation.
**/
EFI_STATUS
Qdl520GraphicsOutputConstructor (
  IN QDL520_PRIVATE_DATA  *Private
  )
{
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE  *Mode;
  EFI_STATUS                         Status;

  Status = gBS->AllocatePool (EfiBootServicesData, sizeof (*Mode), reinterpret_cast<VOID **>(&Mode));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  ZeroMem (Mode, sizeof (*Mode));
  Private->GraphicsOutput.Mode = Mode;
  Status                       = gBS->AllocatePool (
                                        EfiBootServicesData,
                                        sizeof (*Mode->Info),
                                        reinterpret_cast<VOID **>(&Mode->Info)
                                        );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Mode->MaxMode               = static_cast<UINT32>(Private->MaxMode);
  Mode->Mode                  = 0xFFFF;
  Private->LineBuffer         = NULL;
  Private->HardwareNeedsStarting = TRUE;
  return EFI_SUCCESS;
}
