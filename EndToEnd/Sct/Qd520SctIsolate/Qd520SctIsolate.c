/** @file
  Leaves each QD520 controller to its own driver before the SCT runs.

  The firmware's console drivers bind to every graphics output they find:
  the graphics console opens the adapter's protocol, and the console
  platform and splitter drivers follow the text output it produces. An
  isolated SCT run tests the driver's instances alone, so this application
  disconnects every driver but the one holding the adapter's PCI I/O, then
  checks that nothing else manages the controller and that its graphics
  output is still installed.

  Prints one line per driver disconnected and a last line
  "QD520 SCT isolate: <n> adapter(s), <result>"; returns EFI_SUCCESS only
  when at least one adapter was found and each is left to its driver.
**/

#include <Uefi.h>
#include <IndustryStandard/Pci.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/PciIo.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>

#define QD520_VENDOR_ID  0x7A3C
#define QD520_DEVICE_ID  0x0520
#define MAX_AGENTS       16

/**
  TRUE when the controller's PCI I/O reads the QD520's identifiers.
**/
STATIC
BOOLEAN
IsQd520 (
  IN EFI_HANDLE  Controller
  )
{
  EFI_PCI_IO_PROTOCOL  *PciIo;
  UINT16               Ids[2];

  if (EFI_ERROR (gBS->HandleProtocol (Controller, &gEfiPciIoProtocolGuid, (VOID **)&PciIo))) {
    return FALSE;
  }

  if (EFI_ERROR (PciIo->Pci.Read (PciIo, EfiPciIoWidthUint16, PCI_VENDOR_ID_OFFSET, 2, Ids))) {
    return FALSE;
  }

  return Ids[0] == QD520_VENDOR_ID && Ids[1] == QD520_DEVICE_ID;
}

/**
  The drivers that have a protocol of Controller open BY_DRIVER, each once.
**/
STATIC
UINTN
ManagingDrivers (
  IN  EFI_HANDLE  Controller,
  OUT EFI_HANDLE  *Agents
  )
{
  EFI_GUID                             **Protocols;
  UINTN                                ProtocolCount;
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  *Entries;
  UINTN                                EntryCount;
  UINTN                                Count;
  UINTN                                P;
  UINTN                                E;
  UINTN                                Known;

  Count = 0;
  if (EFI_ERROR (gBS->ProtocolsPerHandle (Controller, &Protocols, &ProtocolCount))) {
    return 0;
  }

  for (P = 0; P < ProtocolCount; P++) {
    if (EFI_ERROR (gBS->OpenProtocolInformation (Controller, Protocols[P], &Entries, &EntryCount))) {
      continue;
    }

    for (E = 0; E < EntryCount; E++) {
      if ((Entries[E].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) == 0) {
        continue;
      }

      for (Known = 0; Known < Count && Agents[Known] != Entries[E].AgentHandle; Known++) {
      }

      if ((Known == Count) && (Count < MAX_AGENTS)) {
        Agents[Count++] = Entries[E].AgentHandle;
      }
    }

    FreePool (Entries);
  }

  FreePool (Protocols);
  return Count;
}

/**
  The driver that has the controller's PCI I/O open BY_DRIVER, or NULL.
**/
STATIC
EFI_HANDLE
PciIoDriver (
  IN EFI_HANDLE  Controller
  )
{
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  *Entries;
  UINTN                                EntryCount;
  UINTN                                E;
  EFI_HANDLE                           Driver;

  Driver = NULL;
  if (EFI_ERROR (gBS->OpenProtocolInformation (Controller, &gEfiPciIoProtocolGuid, &Entries, &EntryCount))) {
    return NULL;
  }

  for (E = 0; E < EntryCount; E++) {
    if ((Entries[E].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
      Driver = Entries[E].AgentHandle;
    }
  }

  FreePool (Entries);
  return Driver;
}

STATIC
CHAR16 *
DriverName (
  IN EFI_HANDLE  Driver
  )
{
  EFI_COMPONENT_NAME2_PROTOCOL  *Names;
  CHAR16                        *Name;

  if (!EFI_ERROR (gBS->HandleProtocol (Driver, &gEfiComponentName2ProtocolGuid, (VOID **)&Names)) &&
      !EFI_ERROR (Names->GetDriverName (Names, "en", &Name)))
  {
    return Name;
  }

  return L"(no name)";
}

/**
  Disconnects every driver but the adapter's own from Controller; TRUE when
  afterwards only that driver manages it and its graphics output remains.
**/
STATIC
BOOLEAN
Isolate (
  IN EFI_HANDLE  Controller
  )
{
  EFI_HANDLE  Driver;
  EFI_HANDLE  Agents[MAX_AGENTS];
  UINTN       Count;
  UINTN       Index;
  EFI_STATUS  Status;
  VOID        *Gop;

  Driver = PciIoDriver (Controller);
  if (Driver == NULL) {
    Print (L"QD520 SCT isolate: no driver holds the adapter's PCI I/O\n");
    return FALSE;
  }

  Count = ManagingDrivers (Controller, Agents);
  for (Index = 0; Index < Count; Index++) {
    if (Agents[Index] == Driver) {
      continue;
    }

    // A console driver stopped earlier in this loop may already have taken
    // its dependants with it; those report that they manage nothing.
    Status = gBS->DisconnectController (Controller, Agents[Index], NULL);
    Print (L"QD520 SCT isolate: disconnected %s: %r\n", DriverName (Agents[Index]), Status);
  }

  Count = ManagingDrivers (Controller, Agents);
  if ((Count != 1) || (Agents[0] != Driver)) {
    Print (L"QD520 SCT isolate: %u drivers still manage the controller\n", Count);
    return FALSE;
  }

  if (EFI_ERROR (gBS->HandleProtocol (Controller, &gEfiGraphicsOutputProtocolGuid, &Gop))) {
    Print (L"QD520 SCT isolate: the graphics output is gone\n");
    return FALSE;
  }

  return TRUE;
}

EFI_STATUS
EFIAPI
Qd520SctIsolateMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_HANDLE  *Handles;
  UINTN       HandleCount;
  UINTN       Index;
  UINTN       Adapters;
  BOOLEAN     Isolated;

  Adapters = 0;
  Isolated = TRUE;
  if (!EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiGraphicsOutputProtocolGuid, NULL, &HandleCount, &Handles))) {
    for (Index = 0; Index < HandleCount; Index++) {
      if (IsQd520 (Handles[Index])) {
        Adapters++;
        Isolated = Isolate (Handles[Index]) && Isolated;
      }
    }

    FreePool (Handles);
  }

  Isolated = Isolated && Adapters > 0;
  Print (
    L"QD520 SCT isolate: %u adapter(s), %s\n",
    Adapters,
    Isolated ? L"each left to its driver alone" : L"NOT isolated"
    );
  return Isolated ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}
