/** @file
  Names of the QD520 driver and of the controllers it manages, answered
  through Component Name (ISO 639-2 codes) and Component Name 2 (RFC 4646
  tags). Both protocol records share these two functions.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qdl520.h"

//
// CHAR16 is the firmware's UTF-16 code unit; the kit's tables want mutable
// pointers to it.
//
#define QDL520_NAME(Text)  const_cast<CHAR16 *>(reinterpret_cast<const CHAR16 *>(L"" Text))

STATIC EFI_UNICODE_STRING_TABLE  mQdl520DriverNameTable[] = {
  { const_cast<CHAR8 *>("eng;en"), QDL520_NAME ("Quandrel QD520 GOP Driver") },
  { NULL,                          NULL                                       }
};

STATIC EFI_UNICODE_STRING_TABLE  mQdl520ControllerNameTable[] = {
  { const_cast<CHAR8 *>("eng;en"), QDL520_NAME ("Quandrel QD520 PCI Adapter") },
  { NULL,                          NULL                                        }
};

STATIC_ASSERT (sizeof (L"") == sizeof (CHAR16), "wide literals are UTF-16 code units");

/**
  Looks Language up in Table for the record This was called through: the
  Component Name record matches ISO 639-2 codes, the other RFC 4646 tags.
**/
STATIC
EFI_STATUS
Qdl520LookupName (
  IN  EFI_COMPONENT_NAME_PROTOCOL  *This,
  IN  CHAR8                        *Language,
  IN  EFI_UNICODE_STRING_TABLE     *Table,
  OUT CHAR16                       **Name
  )
{
  return LookupUnicodeString2 (
           Language,
           This->SupportedLanguages,
           Table,
           Name,
           (BOOLEAN)(This == &gQdl520ComponentName)
           );
}

/**
  Returns the driver's name in Language.

  @param[in]  This        Component Name or Component Name 2 record.
  @param[in]  Language    Language code or tag.
  @param[out] DriverName  Points at the name in the driver's table, not a copy.

  @retval EFI_SUCCESS            The name is in *DriverName.
  @retval EFI_INVALID_PARAMETER  Language or DriverName is NULL.
  @retval EFI_UNSUPPORTED        The record does not support Language.
**/
EFI_STATUS
EFIAPI
Qdl520ComponentNameGetDriverName (
  IN  EFI_COMPONENT_NAME_PROTOCOL  *This,
  IN  CHAR8                        *Language,
  OUT CHAR16                       **DriverName
  )
{
  return Qdl520LookupName (This, Language, mQdl520DriverNameTable, DriverName);
}

/**
  Returns the name of a controller this driver manages. The display child
  has no name of its own.

  @param[in]  This              Component Name or Component Name 2 record.
  @param[in]  ControllerHandle  Controller to name.
  @param[in]  ChildHandle       Must be NULL.
  @param[in]  Language          Language code or tag.
  @param[out] ControllerName    Points at the name in the driver's table.

  @retval EFI_SUCCESS            The name is in *ControllerName.
  @retval EFI_INVALID_PARAMETER  Language or ControllerName is NULL.
  @retval EFI_UNSUPPORTED        A child was named, the controller is not
                                 managed by this driver, or the record does
                                 not support Language.
**/
EFI_STATUS
EFIAPI
Qdl520ComponentNameGetControllerName (
  IN  EFI_COMPONENT_NAME_PROTOCOL  *This,
  IN  EFI_HANDLE                   ControllerHandle,
  IN  EFI_HANDLE                   ChildHandle        OPTIONAL,
  IN  CHAR8                        *Language,
  OUT CHAR16                       **ControllerName
  )
{
  EFI_STATUS           Status;
  EFI_PCI_IO_PROTOCOL  *PciIo;

  if (ChildHandle != NULL) {
    return EFI_UNSUPPORTED;
  }

  //
  // The controller is ours exactly when our binding already holds its PCI
  // I/O BY_DRIVER. An open that succeeds proves otherwise and is undone.
  //
  Status = gBS->OpenProtocol (
                  ControllerHandle,
                  &gEfiPciIoProtocolGuid,
                  reinterpret_cast<VOID **>(&PciIo),
                  gQdl520DriverBinding.DriverBindingHandle,
                  ControllerHandle,
                  EFI_OPEN_PROTOCOL_BY_DRIVER
                  );
  if (!EFI_ERROR (Status)) {
    gBS->CloseProtocol (
           ControllerHandle,
           &gEfiPciIoProtocolGuid,
           gQdl520DriverBinding.DriverBindingHandle,
           ControllerHandle
           );
    return EFI_UNSUPPORTED;
  }

  if (Status != EFI_ALREADY_STARTED) {
    return EFI_UNSUPPORTED;
  }

  return Qdl520LookupName (This, Language, mQdl520ControllerNameTable, ControllerName);
}
