/** @file
  Console test application: the files on the volume it was loaded from,
  and the report each command writes as NAME.txt.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ConsoleTest.h"

namespace Qd520ConsoleTest {

REPORT  mReport;

/**
  Appends one formatted line to the report; output beyond its capacity is
  cut off.
**/
VOID
ReportLine (
  IN CONST CHAR8  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  mReport.Length += AsciiVSPrint (&mReport.Text[mReport.Length], sizeof (mReport.Text) - mReport.Length, Format, Marker);
  VA_END (Marker);
}

/**
  Ends the report with the result and writes it to NAME.txt.
**/
VOID
FinishReport (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CONST CHAR16       *Name,
  IN EFI_STATUS         Status
  )
{
  CHAR16  FileName[64];

  ReportLine ("result=%r\n", Status);
  UnicodeSPrint (FileName, sizeof (FileName), QD520_TEXT ("%s.txt"), Name);
  WriteWholeFile (Root, FileName, mReport.Text, mReport.Length);
}

/**
  Opens the root directory of the volume this application was loaded from.
**/
EFI_STATUS
OpenOwnVolume (
  IN  EFI_HANDLE         ImageHandle,
  OUT EFI_FILE_PROTOCOL  **Root
  )
{
  EFI_STATUS                       Status;
  EFI_LOADED_IMAGE_PROTOCOL        *LoadedImage;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *FileSystem;

  Status = gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&LoadedImage));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->HandleProtocol (
                  LoadedImage->DeviceHandle,
                  &gEfiSimpleFileSystemProtocolGuid,
                  reinterpret_cast<VOID **>(&FileSystem)
                  );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return FileSystem->OpenVolume (FileSystem, Root);
}

/**
  Replaces the file Name in Root with Size bytes from Data.
**/
EFI_STATUS
WriteWholeFile (
  IN EFI_FILE_PROTOCOL  *Root,
  IN CONST CHAR16       *Name,
  IN CONST VOID         *Data,
  IN UINTN              Size
  )
{
  EFI_STATUS         Status;
  EFI_FILE_PROTOCOL  *File;
  UINTN              Written;

  Status = Root->Open (Root, &File, const_cast<CHAR16 *>(Name), EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0);
  if (!EFI_ERROR (Status)) {
    File->Delete (File);
  }

  Status = Root->Open (
                   Root,
                   &File,
                   const_cast<CHAR16 *>(Name),
                   EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE,
                   0
                   );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Written = Size;
  Status  = File->Write (File, &Written, const_cast<VOID *>(Data));
  if (!EFI_ERROR (Status) && (Written != Size)) {
    Status = EFI_VOLUME_FULL;
  }

  File->Close (File);
  return Status;
}

/**
  Reads the whole file Name into a new pool buffer, NUL-terminated.

  @param[out] Text  The contents; the caller frees it. NULL on failure.
**/
EFI_STATUS
ReadTextFile (
  IN  EFI_FILE_PROTOCOL  *Root,
  IN  CONST CHAR16       *Name,
  OUT CHAR8              **Text
  )
{
  EFI_STATUS         Status;
  EFI_FILE_PROTOCOL  *File;
  UINTN              Size;

  *Text = static_cast<CHAR8 *>(AllocateZeroPool (MAX_LISTING_BYTES + 1));
  if (*Text == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = Root->Open (Root, &File, const_cast<CHAR16 *>(Name), EFI_FILE_MODE_READ, 0);
  if (!EFI_ERROR (Status)) {
    Size   = MAX_LISTING_BYTES;
    Status = File->Read (File, &Size, *Text);
    File->Close (File);
  }

  if (EFI_ERROR (Status)) {
    FreePool (*Text);
    *Text = NULL;
  }

  return Status;
}

} // namespace Qd520ConsoleTest
