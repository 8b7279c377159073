/** @file
  QD520 graphics output driver: image entry, driver binding, device context
  and the register primitives through which all hardware programming of the
  display engine goes.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qdl520.h"

//
// Driver binding version reported to the firmware's connect logic.
//
#define QDL520_DRIVER_BINDING_VERSION  0x10

//
// UEFI revision the driver conforms to, as the supported-version protocol
// reports it: 2.1 in the system table's revision encoding (major << 16 | minor * 10).
//
#define QDL520_SUPPORTED_EFI_VERSION  EFI_2_10_SYSTEM_TABLE_REVISION

STATIC_ASSERT (QDL520_SUPPORTED_EFI_VERSION == 0x0002000A, "UEFI 2.1");

//
// Banner printed once per Start, and the level of the driver's messages.
//
#define QDL520_BANNER        "EFI520 V1.00.07.00"
#define QDL520_DEBUG_BANNER  (DEBUG_ERROR | DEBUG_INFO)

//
// Codes that identify the failing step of Start in its debug message.
//
enum QDL520_START_STEP : UINT32 {
  Qdl520StepAllocateContext   = 220,
  Qdl520StepOpenPciIo         = 242,
  Qdl520StepQueryAttributes   = 256,
  Qdl520StepReadAttributes    = 279,
  Qdl520StepEnableDevice      = 291,
  Qdl520StepGetParentPath     = 304,
};

//
// One delay unit is this many increments of a counter in memory.
//
#define QDL520_DELAY_UNIT_INCREMENTS  0x13FF

//
// Protocol records published on the image handle. Only the two handles of
// the binding and the firmware version are filled in at entry.
//
EFI_DRIVER_BINDING_PROTOCOL  gQdl520DriverBinding = {
  Qdl520ControllerDriverSupported,
  Qdl520ControllerDriverStart,
  Qdl520ControllerDriverStop,
  QDL520_DRIVER_BINDING_VERSION,
  NULL,
  NULL
};

EFI_COMPONENT_NAME_PROTOCOL  gQdl520ComponentName = {
  Qdl520ComponentNameGetDriverName,
  Qdl520ComponentNameGetControllerName,
  const_cast<CHAR8 *>("eng")
};

//
// Component Name 2 has the same layout as Component Name; both records share
// the two functions, which tell them apart by the record's address.
//
EFI_COMPONENT_NAME2_PROTOCOL  gQdl520ComponentName2 = {
  reinterpret_cast<EFI_COMPONENT_NAME2_GET_DRIVER_NAME>(Qdl520ComponentNameGetDriverName),
  reinterpret_cast<EFI_COMPONENT_NAME2_GET_CONTROLLER_NAME>(Qdl520ComponentNameGetControllerName),
  const_cast<CHAR8 *>("en")
};

EFI_DRIVER_SUPPORTED_EFI_VERSION_PROTOCOL  gQdl520SupportedEfiVersion = {
  sizeof (EFI_DRIVER_SUPPORTED_EFI_VERSION_PROTOCOL),
  0
};

STATIC_ASSERT (sizeof (EFI_DRIVER_SUPPORTED_EFI_VERSION_PROTOCOL) == 8, "Length is 8");

//
// Video modes the mode-set sequence can be asked for. The first
// QDL520_MAX_MODE entries are offered through the graphics output protocol.
//
extern constexpr QDL520_VIDEO_MODE  mQdl520VideoModes[5] = {
  { 640,  480,  32, 60 },
  { 800,  600,  32, 60 },
  { 1024, 768,  32, 60 },
  { 1280, 1024, 32, 60 },
  { 1920, 1080, 32, 60 },
};

STATIC_ASSERT (QDL520_MAX_MODE <= ARRAY_SIZE (mQdl520VideoModes), "offered modes come from the list");

/**
  Image entry, called after the library constructors: publishes the driver
  binding, both component-name protocols and the supported-version record on
  the image handle. Touches no hardware.

  A failing installation is an assertion. Where assertions are compiled out
  (MDEPKG_NDEBUG), the failure is returned instead, and nothing stays
  installed: the firmware unloads an image whose entry fails, so no protocol
  may be left on the handle that points into it.

  @param[in] ImageHandle  Handle of this driver image.
  @param[in] SystemTable  The firmware's system table.

  @retval EFI_SUCCESS  The four protocols are on the image handle.
  @return The failing status of an installation; nothing is installed.
**/
EFI_STATUS
EFIAPI
InitializeQdl520 (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;

  Status = EfiLibInstallDriverBindingComponentName2 (
             ImageHandle,
             SystemTable,
             &gQdl520DriverBinding,
             ImageHandle,
             &gQdl520ComponentName,
             &gQdl520ComponentName2
             );
  ASSERT_EFI_ERROR (Status);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  gQdl520SupportedEfiVersion.FirmwareVersion = QDL520_SUPPORTED_EFI_VERSION;
  Status = gBS->InstallMultipleProtocolInterfaces (
                  &ImageHandle,
                  &gEfiDriverSupportedEfiVersionProtocolGuid,
                  &gQdl520SupportedEfiVersion,
                  NULL
                  );
  ASSERT_EFI_ERROR (Status);
  if (EFI_ERROR (Status)) {
    EfiLibUninstallDriverBindingComponentName2 (&gQdl520DriverBinding, &gQdl520ComponentName, &gQdl520ComponentName2);
  }

  return Status;
}

/**
  Tells whether RemainingDevicePath names a child this driver can produce:
  nothing, an end node, or one ACPI _ADR node of the standard length.
**/
STATIC
BOOLEAN
Qdl520IsSupportedRemainingPath (
  IN EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath
  )
{
  if ((RemainingDevicePath == NULL) || IsDevicePathEnd (RemainingDevicePath)) {
    return TRUE;
  }

  return (BOOLEAN)((DevicePathType (RemainingDevicePath) == ACPI_DEVICE_PATH) &&
                   (DevicePathSubType (RemainingDevicePath) == ACPI_ADR_DP) &&
                   (DevicePathNodeLength (RemainingDevicePath) == sizeof (ACPI_ADR_DEVICE_PATH)));
}

/**
  Driver binding Supported: takes a controller whose PCI header carries the
  QD520's vendor and device identifiers. PCI I/O is closed again on every
  path that opened it.

  @retval EFI_SUCCESS      A QD520 with an acceptable remaining path.
  @retval EFI_UNSUPPORTED  Another device, or a remaining path this driver
                           does not produce.
  @return The status of opening PCI I/O or of reading the header, unchanged.
**/
EFI_STATUS
EFIAPI
Qdl520ControllerDriverSupported (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   Controller,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  )
{
  EFI_STATUS           Status;
  EFI_PCI_IO_PROTOCOL  *PciIo;
  PCI_TYPE00           Pci;

  Status = gBS->OpenProtocol (
                  Controller,
                  &gEfiPciIoProtocolGuid,
                  reinterpret_cast<VOID **>(&PciIo),
                  This->DriverBindingHandle,
                  Controller,
                  EFI_OPEN_PROTOCOL_BY_DRIVER
                  );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = PciIo->Pci.Read (PciIo, EfiPciIoWidthUint32, 0, sizeof (Pci) / sizeof (UINT32), &Pci);
  if (!EFI_ERROR (Status)) {
    if ((Pci.Hdr.VendorId != QDL520_PCI_VENDOR_ID) || (Pci.Hdr.DeviceId != QDL520_PCI_DEVICE_ID) ||
        !Qdl520IsSupportedRemainingPath (RemainingDevicePath))
    {
      Status = EFI_UNSUPPORTED;
    }
  }

  gBS->CloseProtocol (Controller, &gEfiPciIoProtocolGuid, This->DriverBindingHandle, Controller);
  return Status;
}

STATIC
VOID
Qdl520ReportStartStep (
  IN QDL520_START_STEP  Step,
  IN EFI_STATUS         Status
  )
{
  DEBUG ((DEBUG_ERROR, "line:%d,Status:%r\n", Step, Status));
}

/**
  Builds the display's device path: the controller's path plus the display
  node. RemainingDevicePath is NULL or a node Supported accepted, never an
  end node (which asks for no child).

  @return The new path from pool, or NULL when it could not be allocated.
**/
STATIC
EFI_DEVICE_PATH_PROTOCOL *
Qdl520BuildDisplayPath (
  IN EFI_DEVICE_PATH_PROTOCOL  *ParentDevicePath,
  IN EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath
  )
{
  ACPI_ADR_DEVICE_PATH  AcpiAdr;

  if (RemainingDevicePath != NULL) {
    return AppendDevicePathNode (ParentDevicePath, RemainingDevicePath);
  }

  ZeroMem (&AcpiAdr, sizeof (AcpiAdr));
  AcpiAdr.Header.Type    = ACPI_DEVICE_PATH;
  AcpiAdr.Header.SubType = ACPI_ADR_DP;
  AcpiAdr.ADR            = QDL520_DISPLAY_ADR;
  SetDevicePathNodeLength (&AcpiAdr.Header, sizeof (AcpiAdr));
  return AppendDevicePathNode (ParentDevicePath, &AcpiAdr.Header);
}

/**
  Releases what Start and the graphics output constructor allocated and
  installed for a controller, except the graphics output protocol itself,
  the PCI attributes and PCI I/O: the mode record and its information, the
  line buffer, the child handle's device path and the path itself.
**/
STATIC
VOID
Qdl520ReleaseDisplay (
  IN QDL520_PRIVATE_DATA  *Private
  )
{
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE  *Mode;

  Mode = Private->GraphicsOutput.Mode;
  if (Mode != NULL) {
    if (Mode->Info != NULL) {
      FreePool (Mode->Info);
    }

    FreePool (Mode);
    Private->GraphicsOutput.Mode = NULL;
  }

  if (Private->LineBuffer != NULL) {
    FreePool (Private->LineBuffer);
    Private->LineBuffer = NULL;
  }

  if (Private->Handle != NULL) {
    gBS->UninstallMultipleProtocolInterfaces (
           Private->Handle,
           &gEfiDevicePathProtocolGuid,
           Private->GopDevicePath,
           NULL
           );
    Private->Handle = NULL;
  }

  if (Private->GopDevicePath != NULL) {
    FreePool (Private->GopDevicePath);
    Private->GopDevicePath = NULL;
  }
}

/**
  Copies the offered entries of the video mode list into the context.
**/
STATIC
VOID
Qdl520FillModeData (
  IN OUT QDL520_PRIVATE_DATA  *Private
  )
{
  for (UINT32 Index = 0; Index < QDL520_MAX_MODE; Index++) {
    Private->ModeData[Index].ModeNumber           = Index;
    Private->ModeData[Index].HorizontalResolution = mQdl520VideoModes[Index].Width;
    Private->ModeData[Index].VerticalResolution   = mQdl520VideoModes[Index].Height;
    Private->ModeData[Index].ColorDepth           = mQdl520VideoModes[Index].ColorDepth;
    Private->ModeData[Index].RefreshRate          = mQdl520VideoModes[Index].RefreshRate;
  }

  Private->MaxMode = QDL520_MAX_MODE;
}

/**
  Driver binding Start: creates the device context, enables the adapter,
  gives the display a device path on a child handle and installs the
  graphics output protocol on the controller.

  A failing step is reported on the debug port and unwound: the saved PCI
  attributes are put back, PCI I/O is closed, everything allocated is freed.

  With an end-node remaining path the controller is started without a child:
  the graphics output, which lives on the controller, is installed as
  always, but no display path and no child handle are produced.

  A failing graphics output constructor is an assertion. Where assertions
  are compiled out (MDEPKG_NDEBUG), Start unwinds it as any failed step and
  returns its status.

  @retval EFI_SUCCESS           The controller is started.
  @retval EFI_OUT_OF_RESOURCES  The context, the display path, the mode
                                record, its information or the line buffer
                                of mode 0 could not be allocated.
  @return The failing status of a boot-service or PCI I/O call.
**/
EFI_STATUS
EFIAPI
Qdl520ControllerDriverStart (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   Controller,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  )
{
  EFI_STATUS                Status;
  QDL520_PRIVATE_DATA       *Private;
  BOOLEAN                   PciIoOpened;
  BOOLEAN                   AttributesSaved;
  UINT64                    SupportedAttributes;
  EFI_DEVICE_PATH_PROTOCOL  *ParentDevicePath;

  DEBUG ((QDL520_DEBUG_BANNER, QDL520_BANNER));
  DEBUG ((QDL520_DEBUG_BANNER, "\n"));

  Private = static_cast<QDL520_PRIVATE_DATA *>(AllocateZeroPool (sizeof (QDL520_PRIVATE_DATA)));
  if (Private == NULL) {
    Qdl520ReportStartStep (Qdl520StepAllocateContext, EFI_OUT_OF_RESOURCES);
    return EFI_OUT_OF_RESOURCES;
  }

  Private->Signature = QDL520_PRIVATE_DATA_SIGNATURE;
  Private->Handle    = NULL;
  PciIoOpened        = FALSE;
  AttributesSaved    = FALSE;

  Status = gBS->OpenProtocol (
                  Controller,
                  &gEfiPciIoProtocolGuid,
                  reinterpret_cast<VOID **>(&Private->PciIo),
                  This->DriverBindingHandle,
                  Controller,
                  EFI_OPEN_PROTOCOL_BY_DRIVER
                  );
  if (EFI_ERROR (Status)) {
    Qdl520ReportStartStep (Qdl520StepOpenPciIo, Status);
    goto Unwind;
  }

  PciIoOpened = TRUE;

  Status = Private->PciIo->Attributes (
                             Private->PciIo,
                             EfiPciIoAttributeOperationSupported,
                             0,
                             &SupportedAttributes
                             );
  if (EFI_ERROR (Status)) {
    Qdl520ReportStartStep (Qdl520StepQueryAttributes, Status);
    goto Unwind;
  }

  Status = Private->PciIo->Attributes (
                             Private->PciIo,
                             EfiPciIoAttributeOperationGet,
                             0,
                             &Private->SavedPciAttributes
                             );
  if (EFI_ERROR (Status)) {
    Qdl520ReportStartStep (Qdl520StepReadAttributes, Status);
    goto Unwind;
  }

  AttributesSaved = TRUE;

  Status = Private->PciIo->Attributes (
                             Private->PciIo,
                             EfiPciIoAttributeOperationEnable,
                             EFI_PCI_DEVICE_ENABLE,
                             NULL
                             );
  if (EFI_ERROR (Status)) {
    Qdl520ReportStartStep (Qdl520StepEnableDevice, Status);
    goto Unwind;
  }

  Status = gBS->HandleProtocol (
                  Controller,
                  &gEfiDevicePathProtocolGuid,
                  reinterpret_cast<VOID **>(&ParentDevicePath)
                  );
  if (EFI_ERROR (Status)) {
    Qdl520ReportStartStep (Qdl520StepGetParentPath, Status);
    goto Unwind;
  }

  //
  // An end node asks for the controller without children: no display path
  // and no child handle. The graphics output below is the controller's own.
  //
  if ((RemainingDevicePath == NULL) || !IsDevicePathEnd (RemainingDevicePath)) {
    Private->GopDevicePath = Qdl520BuildDisplayPath (ParentDevicePath, RemainingDevicePath);
    if (Private->GopDevicePath == NULL) {
      //
      // The child that was asked for cannot be produced without its path;
      // the start fails rather than report success without it.
      //
      Status = EFI_OUT_OF_RESOURCES;
      goto Unwind;
    }

    //
    // The child carries the display's path only; a refusal (another handle
    // already carries the same path) leaves Handle NULL and is not fatal.
    //
    gBS->InstallMultipleProtocolInterfaces (
           &Private->Handle,
           &gEfiDevicePathProtocolGuid,
           Private->GopDevicePath,
           NULL
           );
  }

  Qdl520FillModeData (Private);

  Status = Qdl520GraphicsOutputConstructor (Private);
  ASSERT_EFI_ERROR (Status);
  if (EFI_ERROR (Status)) {
    goto Unwind;
  }

  Status = gBS->InstallMultipleProtocolInterfaces (
                  &Controller,
                  &gEfiGraphicsOutputProtocolGuid,
                  &Private->GraphicsOutput,
                  NULL
                  );
  if (!EFI_ERROR (Status)) {
    return EFI_SUCCESS;
  }

Unwind:
  Qdl520ReleaseDisplay (Private);

  if (PciIoOpened && AttributesSaved) {
    Private->PciIo->Attributes (
                      Private->PciIo,
                      EfiPciIoAttributeOperationSet,
                      Private->SavedPciAttributes,
                      NULL
                      );
  }

  if (PciIoOpened) {
    gBS->CloseProtocol (Controller, &gEfiPciIoProtocolGuid, This->DriverBindingHandle, Controller);
  }

  FreePool (Private);
  return Status;
}

/**
  Driver binding Stop: removes the graphics output protocol, releases the
  display's records, buffers and device path, restores the PCI attributes
  saved at Start and closes PCI I/O.

  @retval EFI_SUCCESS  The controller is released.
  @return The status of finding or uninstalling the graphics output
          protocol, unchanged; nothing is released then.
**/
EFI_STATUS
EFIAPI
Qdl520ControllerDriverStop (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   Controller,
  IN UINTN                        NumberOfChildren,
  IN EFI_HANDLE                   *ChildHandleBuffer
  )
{
  EFI_STATUS                    Status;
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *GraphicsOutput;
  QDL520_PRIVATE_DATA           *Private;

  Status = gBS->OpenProtocol (
                  Controller,
                  &gEfiGraphicsOutputProtocolGuid,
                  reinterpret_cast<VOID **>(&GraphicsOutput),
                  This->DriverBindingHandle,
                  Controller,
                  EFI_OPEN_PROTOCOL_GET_PROTOCOL
                  );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Private = QDL520_PRIVATE_DATA_FROM_GRAPHICS_OUTPUT_THIS (GraphicsOutput);

  Status = gBS->UninstallMultipleProtocolInterfaces (
                  Controller,
                  &gEfiGraphicsOutputProtocolGuid,
                  &Private->GraphicsOutput,
                  NULL
                  );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Qdl520ReleaseDisplay (Private);

  Private->PciIo->Attributes (
                    Private->PciIo,
                    EfiPciIoAttributeOperationSet,
                    Private->SavedPciAttributes,
                    NULL
                    );
  gBS->CloseProtocol (Controller, &gEfiPciIoProtocolGuid, This->DriverBindingHandle, Controller);

  FreePool (Private);
  return EFI_SUCCESS;
}

/**
  Reads one 32-bit register of the display engine.

  @param[in] Private  Device context; its PciIo reaches the adapter.
  @param[in] Offset   Byte offset of the register in BAR 1.

  @return The value PCI I/O delivered. A failing access is an assertion;
          if the assertion handler returns, or assertions are compiled out,
          the result is 0.
**/
UINT32
Qdl520MmioRead32 (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Offset
  )
{
  EFI_STATUS  Status;
  UINT32      Value;

  Value  = 0;
  Status = Private->PciIo->Mem.Read (Private->PciIo, EfiPciIoWidthUint32, QDL520_REGISTER_BAR, Offset, 1, &Value);
  ASSERT_EFI_ERROR (Status);
  return EFI_ERROR (Status) ? 0 : Value;
}

/**
  Writes one 32-bit register of the display engine: exactly one memory write,
  no read-back. Writes reach the device in the order they are made. A
  failing access is an assertion; if the assertion handler returns, or
  assertions are compiled out, the register keeps what it held and the
  caller's sequence goes on.

  @param[in] Private  Device context; its PciIo reaches the adapter.
  @param[in] Offset   Byte offset of the register in BAR 1.
  @param[in] Value    Value to store.
**/
VOID
Qdl520MmioWrite32 (
  IN QDL520_PRIVATE_DATA  *Private,
  IN UINT64               Offset,
  IN UINT32               Value
  )
{
  EFI_STATUS  Status;

  Status = Private->PciIo->Mem.Write (Private->PciIo, EfiPciIoWidthUint32, QDL520_REGISTER_BAR, Offset, 1, &Value);
  ASSERT_EFI_ERROR (Status);
  (VOID)Status;
}

/**
  Busy-waits Count fixed units of work. A unit counts a variable in memory
  up to QDL520_DELAY_UNIT_INCREMENTS, so the loop is neither dropped nor
  shortened by the optimiser; its length in time depends on the processor.

  @param[in] Count  Units to wait; 0 returns at once.
**/
VOID
Qdl520Delay (
  IN UINT8  Count
  )
{
  volatile UINT32  Counter;

  for (UINT32 Unit = 0; Unit < Count; Unit++) {
    for (Counter = 0; Counter < QDL520_DELAY_UNIT_INCREMENTS; Counter = Counter + 1) {
    }
  }
}
