/** @file
  EFI_PCI_IO_PROTOCOL front end over the QD520 adapter model (see Qd520PciIo.h).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qd520PciIo.h"
#include "SimHostRows.h"

extern "C" {
#include <IndustryStandard/Acpi.h>
}

namespace Qd520Sim {

namespace {

constexpr UINT8  PciMaxBar = 6;   ///< BAR indices 0..5 exist in a type 0 header

BOOLEAN
IsFifoWidth (
  IN EFI_PCI_IO_PROTOCOL_WIDTH  Width
  )
{
  return (Width >= EfiPciIoWidthFifoUint8) && (Width <= EfiPciIoWidthFifoUint64);
}

BOOLEAN
IsFillWidth (
  IN EFI_PCI_IO_PROTOCOL_WIDTH  Width
  )
{
  return (Width >= EfiPciIoWidthFillUint8) && (Width <= EfiPciIoWidthFillUint64);
}

/// Bytes per unit of a valid width.
UINTN
UnitSize (
  IN EFI_PCI_IO_PROTOCOL_WIDTH  Width
  )
{
  return (UINTN)1 << ((UINT32)Width & 0x03);
}

/// First unit of a buffer, zero-extended (little endian, any alignment).
inline UINT64
FirstUnit (
  IN CONST VOID  *Buffer,
  IN UINTN       Size
  )
{
  UINT8   Byte;
  UINT16  Half;
  UINT32  Word;
  UINT64  Quad;

  switch (Size) {
    case 1:
      __builtin_memcpy (&Byte, Buffer, sizeof (Byte));
      return Byte;
    case 2:
      __builtin_memcpy (&Half, Buffer, sizeof (Half));
      return Half;
    case 4:
      __builtin_memcpy (&Word, Buffer, sizeof (Word));
      return Word;
    default:
      __builtin_memcpy (&Quad, Buffer, sizeof (Quad));
      return Quad;
  }
}

} // namespace

PciIoDevice  *PciIoDevice::mLastUsed = nullptr;

VOID
PciIoDevice::Initialize (
  IN Adapter            *Model,
  IN EFI_BOOT_SERVICES  *BootServices,
  IN TraceRecord        *TraceBuffer,
  IN UINTN              TraceCapacity
  )
{
  mProtocol.PollMem          = PollMem;
  mProtocol.PollIo           = PollIo;
  mProtocol.Mem.Read         = MemRead;
  mProtocol.Mem.Write        = MemWrite;
  mProtocol.Io.Read          = IoRead;
  mProtocol.Io.Write         = IoWrite;
  mProtocol.Pci.Read         = PciRead;
  mProtocol.Pci.Write        = PciWrite;
  mProtocol.CopyMem          = CopyMem;
  mProtocol.Map              = Map;
  mProtocol.Unmap            = Unmap;
  mProtocol.AllocateBuffer   = AllocateBuffer;
  mProtocol.FreeBuffer       = FreeBuffer;
  mProtocol.Flush            = Flush;
  mProtocol.GetLocation      = GetLocation;
  mProtocol.Attributes       = Attributes;
  mProtocol.GetBarAttributes = GetBarAttributes;
  mProtocol.SetBarAttributes = SetBarAttributes;
  mProtocol.RomSize          = 0;
  mProtocol.RomImage         = nullptr;

  mSignature             = Signature;
  mModel                 = Model;
  mBootServices          = BootServices;
  mTrace                 = TraceBuffer;
  mTraceCapacity         = (TraceBuffer != nullptr) ? TraceCapacity : 0;
  mTraceCount            = 0;
  mTraceOverflow         = 0;
  mTracing               = TRUE;
  mCheckBufferAlignment  = FALSE;
  mArmedInjections       = 0;
  mUnexpectedHook        = nullptr;
  mUnexpectedHookContext = nullptr;
  mBarViolationHook        = nullptr;
  mBarViolationHookContext = nullptr;
  mCopyRow                 = HostCopyRowForThisProcessor ();
  __builtin_memset (mInjections, 0, sizeof (mInjections));
}

PciIoDevice *
PciIoDevice::FromProtocol (
  IN EFI_PCI_IO_PROTOCOL  *This
  )
{
  PciIoDevice  *Device;

  if (This == nullptr) {
    return nullptr;
  }

  Device = reinterpret_cast<PciIoDevice *>(This);
  return (Device->mSignature == Signature) ? Device : nullptr;
}

VOID
PciIoDevice::ForgetLastUsed (
  IN CONST PciIoDevice  *Device
  )
{
  if (mLastUsed == Device) {
    mLastUsed = nullptr;
  }
}

PciIoDevice *
PciIoDevice::Enter (
  IN EFI_PCI_IO_PROTOCOL  *This
  )
{
  PciIoDevice  *Device = FromProtocol (This);

  if (Device != nullptr) {
    mLastUsed = Device;
  }

  return Device;
}

inline __attribute__ ((always_inline)) EFI_STATUS
PciIoDevice::Finish (
  IN CallInfo    &Call,
  IN EFI_STATUS  Status
  )
{
  if (mTracing) {
    if (mTraceCount < mTraceCapacity) {
      TraceRecord  &Record = mTrace[mTraceCount++];
      Record.Operation = Call.Operation;
      Record.BarIndex  = Call.BarIndex;
      Record.Width     = Call.Width;
      Record.Offset    = Call.Offset;
      Record.Count     = Call.Count;
      Record.Value     = Call.Value;
      Record.Result    = Call.Result;
      Record.Buffer    = Call.Buffer;
      Record.Status    = Status;
    } else {
      mTraceOverflow++;
    }
  }

  return Status;
}

VOID
PciIoDevice::AppendDelay (
  IN UINTN  Units
  )
{
  CallInfo  Call = { PciIoOperation::Delay, NoBar, 0, 0, Units, 0, 0, nullptr };

  Finish (Call, EFI_SUCCESS);
}

BOOLEAN
PciIoDevice::InjectFailure (
  IN CONST FailureInjection  &Injection
  )
{
  if ((Injection.Nth == 0) || (Injection.Operation >= PciIoOperation::Count)) {
    return FALSE;
  }

  for (InjectionSlot &Slot : mInjections) {
    if (Slot.Remaining == 0) {
      Slot.Injection = Injection;
      Slot.Remaining = Injection.Nth;
      mArmedInjections++;
      return TRUE;
    }
  }

  return FALSE;
}

VOID
PciIoDevice::ClearInjections (
  )
{
  __builtin_memset (mInjections, 0, sizeof (mInjections));
  mArmedInjections = 0;
}

UINTN
PciIoDevice::PendingInjections (
  ) const
{
  return mArmedInjections;
}

BOOLEAN
PciIoDevice::TakeInjectedFailure (
  IN  CONST CallInfo  &Call,
  OUT EFI_STATUS      *Status
  )
{
  BOOLEAN  Fired = FALSE;

  for (InjectionSlot &Slot : mInjections) {
    CONST FailureInjection  &Injection = Slot.Injection;

    if ((Slot.Remaining == 0) || (!Injection.AnyOperation && (Injection.Operation != Call.Operation)) ||
        (Injection.MatchBar && (Injection.BarIndex != Call.BarIndex)) ||
        (Injection.MatchOffset && (Injection.Offset != Call.Offset)) ||
        (Injection.MatchWidth && (Injection.Width != Call.Width)))
    {
      continue;
    }

    if (Slot.Remaining > 1) {
      Slot.Remaining--;
      continue;
    }

    if (!Fired) {
      *Status = Injection.Status;
      Fired   = TRUE;
    }

    if (!Injection.Repeat) {
      Slot.Remaining = 0;
      mArmedInjections--;
    }
  }

  return Fired;
}

EFI_STATUS
PciIoDevice::Unexpected (
  IN PciIoOperation  Operation,
  IN UINT8           BarIndex
  )
{
  CallInfo  Call = { Operation, BarIndex, 0, 0, 0, 0, 0, nullptr };

  if (mUnexpectedHook != nullptr) {
    mUnexpectedHook (mUnexpectedHookContext, Operation);
  }

  return Finish (Call, EFI_UNSUPPORTED);
}

EFI_STATUS
PciIoDevice::CheckUnitAlignment (
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINT64                     Address,
  IN  UINTN                      Count,
  IN  CONST VOID                 *Buffer
  ) const
{
  UINT64  Size   = UnitSize (Width);
  UINT64  Length;

  //
  // Root bridge: the device address of a FIFO access does not move.
  //
  if (IsFifoWidth (Width)) {
    Count = 1;
  }

  if (Count > MAX_UINT64 / Size) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Address & (Size - 1)) != 0) {
    return EFI_UNSUPPORTED;
  }

  Length = (UINT64)Count * Size;
  if (Address > MAX_UINT64 - Length) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // CPU I/O: the buffer must be aligned to min(8, unit).
  //
  if (mCheckBufferAlignment && ((((UINTN)Buffer) & ((Size < 8 ? Size : 8) - 1)) != 0)) {
    return EFI_UNSUPPORTED;
  }

  return EFI_SUCCESS;
}

BOOLEAN
PciIoDevice::InsideBar (
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINT8                      BarIndex,
  IN  UINT64                     Offset,
  IN  UINTN                      Count
  ) const
{
  UINT64  RangeCount;

  if (((UINT32)Width >= EfiPciIoWidthMaximum) || !mModel->BarIsImplemented (BarIndex)) {
    return FALSE;
  }

  RangeCount = IsFifoWidth (Width) ? 1 : Count;
  return (BOOLEAN)((Offset < mModel->BarLength (BarIndex)) &&
                   (RangeCount <= (mModel->BarLength (BarIndex) - Offset) / UnitSize (Width)));
}

VOID
PciIoDevice::CheckBarViolation (
  IN CONST CallInfo  &Call,
  IN EFI_STATUS      Status,
  IN CONST VOID      *Buffer
  )
{
  TraceRecord  Record;

  if (!EFI_ERROR (Status) || (mBarViolationHook == nullptr) || (Call.Width >= EfiPciIoWidthMaximum) ||
      (Buffer == nullptr) || InsideBar ((EFI_PCI_IO_PROTOCOL_WIDTH)Call.Width, Call.BarIndex, Call.Offset, (UINTN)Call.Count))
  {
    return;
  }

  Record.Operation = Call.Operation;
  Record.BarIndex  = Call.BarIndex;
  Record.Width     = Call.Width;
  Record.Offset    = Call.Offset;
  Record.Count     = Call.Count;
  Record.Value     = 0;
  Record.Result    = 0;
  Record.Buffer    = Buffer;
  Record.Status    = Status;
  mBarViolationHook (mBarViolationHookContext, Record);
}

EFI_STATUS
PciIoDevice::CheckMemAccess (
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINT8                      BarIndex,
  IN  UINT64                     Offset,
  IN  UINTN                      Count,
  IN  CONST VOID                 *Buffer
  ) const
{
  UINT64  RangeCount;

  if (((UINT32)Width >= EfiPciIoWidthMaximum) || (Buffer == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Bus driver BAR check. The wrap-around of "Offset + bytes - 1" is the
  // kit's: Count 0 at Offset 0 fails here.
  //
  if (!mModel->BarIsImplemented (BarIndex)) {
    return EFI_UNSUPPORTED;
  }

  RangeCount = IsFifoWidth (Width) ? 1 : Count;
  if ((Offset + RangeCount * UnitSize (Width)) - 1 >= mModel->BarLength (BarIndex)) {
    return EFI_UNSUPPORTED;
  }

  //
  // Root bridge aperture check, without wrap-around: a range that wrapped
  // past 2^64 above passes the bus driver but never reaches the device.
  //
  if (!InsideBar (Width, BarIndex, Offset, Count)) {
    return EFI_INVALID_PARAMETER;
  }

  return CheckUnitAlignment (Width, mModel->BarBase (BarIndex) + Offset, Count, Buffer);
}

EFI_STATUS
PciIoDevice::CheckConfigAccess (
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINT32                     Offset,
  IN  UINTN                      Count,
  IN  CONST VOID                 *Buffer
  ) const
{
  if ((UINT32)Width >= EfiPciIoWidthMaximum) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The bus driver counts every unit, FIFO or not, against the header.
  //
  if (((UINT64)Offset + (UINT64)Count * UnitSize (Width)) - 1 >= ConfigSpaceSize) {
    return EFI_UNSUPPORTED;
  }

  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  return CheckUnitAlignment (Width, Offset, Count, Buffer);
}

EFI_STATUS
PciIoDevice::EnableOrDisable (
  IN EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION  Operation,
  IN UINT64                                   Attributes
  )
{
  UINT64  Supported = mModel->SupportedAttributes ();

  //
  // The kit trims a request that holds all of EFI_PCI_DEVICE_ENABLE to what
  // the controller supports.
  //
  if ((Attributes & EFI_PCI_DEVICE_ENABLE) == EFI_PCI_DEVICE_ENABLE) {
    Attributes &= Supported;
  }

  if (((Attributes & (EFI_PCI_IO_ATTRIBUTE_VGA_IO | EFI_PCI_IO_ATTRIBUTE_VGA_PALETTE_IO)) != 0) &&
      ((Attributes & (EFI_PCI_IO_ATTRIBUTE_VGA_IO_16 | EFI_PCI_IO_ATTRIBUTE_VGA_PALETTE_IO_16)) != 0))
  {
    return EFI_UNSUPPORTED;
  }

  if ((Supported & Attributes) != Attributes) {
    return EFI_UNSUPPORTED;
  }

  if (Operation == EfiPciIoAttributeOperationEnable) {
    mModel->SetCurrentAttributes (mModel->CurrentAttributes () | Attributes);
  } else {
    mModel->SetCurrentAttributes (mModel->CurrentAttributes () & ~Attributes);
  }

  return EFI_SUCCESS;
}

EFI_STATUS
PciIoDevice::DoAttributes (
  IN  EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION  Operation,
  IN  UINT64                                   Attributes,
  OUT UINT64                                   *Result
  )
{
  switch (Operation) {
    case EfiPciIoAttributeOperationGet:
    case EfiPciIoAttributeOperationSupported:
      if (Result == nullptr) {
        return EFI_INVALID_PARAMETER;
      }

      *Result = (Operation == EfiPciIoAttributeOperationGet) ?
                mModel->CurrentAttributes () : mModel->SupportedAttributes ();
      return EFI_SUCCESS;

    case EfiPciIoAttributeOperationSet:
      if (EFI_ERROR (EnableOrDisable (EfiPciIoAttributeOperationEnable, Attributes))) {
        return EFI_UNSUPPORTED;
      }

      if (EFI_ERROR (EnableOrDisable (EfiPciIoAttributeOperationDisable, ~Attributes & mModel->SupportedAttributes ()))) {
        return EFI_UNSUPPORTED;
      }

      return EFI_SUCCESS;

    case EfiPciIoAttributeOperationEnable:
    case EfiPciIoAttributeOperationDisable:
      return EnableOrDisable (Operation, Attributes);

    default:
      return EFI_INVALID_PARAMETER;
  }
}

EFI_STATUS
PciIoDevice::DoGetBarAttributes (
  IN  UINT8   BarIndex,
  OUT UINT64  *Supports,
  OUT VOID    **Resources
  )
{
  EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR  *Descriptor;
  EFI_ACPI_END_TAG_DESCRIPTOR        *End;
  VOID                               *Memory;
  UINT64                             Base;
  UINT64                             Length;
  constexpr UINTN                    ListSize =
    sizeof (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) + sizeof (EFI_ACPI_END_TAG_DESCRIPTOR);

  if ((Supports == nullptr) && (Resources == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((BarIndex >= PciMaxBar) || !mModel->BarIsImplemented (BarIndex)) {
    return EFI_UNSUPPORTED;
  }

  //
  // The kit ANDs two distinct bits here, so a BAR never reports settable
  // attributes.
  //
  if (Supports != nullptr) {
    *Supports = mModel->SupportedAttributes () & EFI_PCI_IO_ATTRIBUTE_MEMORY_CACHED &
                EFI_PCI_IO_ATTRIBUTE_MEMORY_WRITE_COMBINE;
  }

  if (Resources == nullptr) {
    return EFI_SUCCESS;
  }

  Memory = nullptr;
  if ((mBootServices == nullptr) ||
      EFI_ERROR (mBootServices->AllocatePool (EfiBootServicesData, ListSize, &Memory)) ||
      (Memory == nullptr))
  {
    return EFI_OUT_OF_RESOURCES;
  }

  __builtin_memset (Memory, 0, ListSize);
  Base       = mModel->BarBase (BarIndex);
  Length     = mModel->BarLength (BarIndex);
  Descriptor = static_cast<EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR *>(Memory);
  Descriptor->Desc                  = ACPI_ADDRESS_SPACE_DESCRIPTOR;
  Descriptor->Len                   = (UINT16)(sizeof (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) - 3);
  Descriptor->ResType               = ACPI_ADDRESS_SPACE_TYPE_MEM;
  Descriptor->SpecificFlag          = (BarIndex == FrameBufferBar) ?
                                      EFI_ACPI_MEMORY_RESOURCE_SPECIFIC_FLAG_CACHEABLE_PREFETCHABLE : 0;
  Descriptor->AddrSpaceGranularity  = (Base + Length - 1 <= MAX_UINT32) ? 32 : 64;
  Descriptor->AddrRangeMin          = Base;
  Descriptor->AddrRangeMax          = Length - 1;
  Descriptor->AddrTranslationOffset = 0;
  Descriptor->AddrLen               = Length;
  End           = reinterpret_cast<EFI_ACPI_END_TAG_DESCRIPTOR *>(Descriptor + 1);
  End->Desc     = ACPI_END_TAG_DESCRIPTOR;
  End->Checksum = 0;
  *Resources    = Memory;
  return EFI_SUCCESS;
}

//
// Protocol members.
//

/// The general path of Mem.Read (IsWrite FALSE) and Mem.Write: injection,
/// the bus driver's and root bridge's checks, the access and the trace.
__attribute__ ((noinline)) EFI_STATUS EFIAPI
PciIoDevice::SlowMemAccess (
  IN     BOOLEAN                    IsWrite,
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  PciIoDevice     *Self = Enter (This);
  PciIoOperation  Operation = IsWrite ? PciIoOperation::MemWrite : PciIoOperation::MemRead;
  EFI_STATUS      Status;

  if (Self == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  CallInfo  Call = { Operation, BarIndex, (UINT32)Width, Offset, Count, 0, 0, Buffer };

  //
  // A write traces the value the caller meant to write, even when the call
  // is refused; a read traces what it read.
  //
  if (IsWrite && Self->mTracing && (Buffer != nullptr) && (Count != 0) && ((UINT32)Width < EfiPciIoWidthMaximum)) {
    Call.Value = FirstUnit (Buffer, UnitSize (Width));
  }

  if ((Self->mArmedInjections != 0) && Self->TakeInjectedFailure (Call, &Status)) {
    return Self->Finish (Call, Status);
  }

  if (BarIndex == EFI_PCI_IO_PASS_THROUGH_BAR) {
    return Self->Unexpected (Operation, BarIndex);
  }

  Status = Self->CheckMemAccess (Width, BarIndex, Offset, Count, Buffer);
  Self->CheckBarViolation (Call, Status, Buffer);
  if (EFI_ERROR (Status)) {
    return Self->Finish (Call, Status);
  }

  if (IsWrite) {
    Self->mModel->WriteMemory (
                    BarIndex,
                    Offset,
                    UnitSize (Width),
                    Count,
                    !IsFifoWidth (Width),
                    !IsFillWidth (Width),
                    static_cast<CONST UINT8 *>(Buffer)
                    );
  } else {
    Self->mModel->ReadMemory (
                    BarIndex,
                    Offset,
                    UnitSize (Width),
                    Count,
                    !IsFifoWidth (Width),
                    !IsFillWidth (Width),
                    static_cast<UINT8 *>(Buffer)
                    );
    if (Self->mTracing && (Count != 0)) {
      Call.Value = FirstUnit (Buffer, UnitSize (Width));
    }
  }

  return Self->Finish (Call, Status);
}

//
// Frame-buffer rows take a path of their own, so that a row through PCI I/O
// costs little more than the C library's copy of it. It accepts only calls
// that the general path would accept and does exactly what that path would
// do; anything else goes to the general path.
//
// The members follow the firmware calling convention: a call from them into
// host code makes them save ten vector registers for their caller. The row
// copy keeps that convention itself (SimHostRows.h) and needs no save; a
// fill, and the page record the fuzzer keeps, are moved out of line into
// firmware-convention functions that make the save themselves, on those
// rows only. The call is traced before the row moves, so that nothing is
// held across the move.
//

namespace {

/// Writes a fill that AcceptFrameBufferRow accepted into Window.
__attribute__ ((noinline)) VOID EFIAPI
FillRow (
  OUT UINT8                      *Window,
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINTN                      Count,
  IN  CONST VOID                 *Buffer
  )
{
  if (Width == EfiPciIoWidthFillUint32) {
    HostFillUint32 (Window, (UINT32)FirstUnit (Buffer, sizeof (UINT32)), Count);
  } else {
    HostFillUint64 (Window, FirstUnit (Buffer, sizeof (UINT64)), Count);
  }
}

} // namespace

/// Writes a row that AcceptFrameBufferRow accepted into Window.
inline __attribute__ ((always_inline)) VOID
PciIoDevice::WriteRow (
  OUT UINT8                      *Window,
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINTN                      Count,
  IN  CONST VOID                 *Buffer
  ) const
{
  if ((UINT32)Width <= EfiPciIoWidthUint64) {
    mCopyRow (Window, Buffer, Count << ((UINT32)Width & 0x03));
  } else {
    FillRow (Window, Width, Count, Buffer);
  }
}

inline __attribute__ ((always_inline)) UINT8 *
PciIoDevice::AcceptFrameBufferRow (
  IN BOOLEAN                    IsWrite,
  IN EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN UINT8                      BarIndex,
  IN UINT64                     Offset,
  IN UINTN                      Count,
  IN VOID                       *Buffer
  )
{
  UINT32  Shift;
  UINT64  Length;
  UINT64  Bytes;
  UINT8   *Window;

  //
  // A pending injection may fail this call; the general path counts it.
  //
  if ((BarIndex != FrameBufferBar) || (mArmedInjections != 0) || (Buffer == nullptr) || (Count == 0)) {
    return nullptr;
  }

  //
  // Plain units either way; a fill only as a write of 32- or 64-bit units.
  //
  if (!(((UINT32)Width <= EfiPciIoWidthUint64) ||
        (IsWrite && ((Width == EfiPciIoWidthFillUint32) || (Width == EfiPciIoWidthFillUint64)))))
  {
    return nullptr;
  }

  Shift  = (UINT32)Width & 0x03;
  Length = mModel->BarLength (FrameBufferBar);
  if ((Count > (Length >> Shift)) || (Offset > Length - ((UINT64)Count << Shift))) {
    return nullptr;
  }

  //
  // The unit must be aligned in the BAR (and in the buffer when CPU I/O
  // checks it). A large zero fill (the clear of a mode set) may leave whole
  // pages to the memory's owner: the general path.
  //
  Bytes = (UINT64)Count << Shift;
  if (((mModel->BarBase (FrameBufferBar) + Offset) & ((1u << Shift) - 1)) != 0) {
    return nullptr;
  }

  if (mCheckBufferAlignment && ((((UINTN)Buffer) & ((1u << Shift) - 1)) != 0)) {
    return nullptr;
  }

  Window = mModel->FrameBuffer () + Offset;
  if ((UINT32)Width > EfiPciIoWidthUint64) {
    if ((Bytes >= MinimumZeroPagesBytes) && (FirstUnit (Buffer, (UINTN)1 << Shift) == 0)) {
      return nullptr;
    }
  } else if (((UINTN)Window < (UINTN)Buffer + Bytes) && ((UINTN)Buffer < (UINTN)Window + Bytes)) {
    return nullptr;   // overlapping copy
  }

  mLastUsed = this;

  //
  // A read traces the first unit it delivers, which is the window's.
  //
  if (mTracing) {
    CallInfo  Call = {
      IsWrite ? PciIoOperation::MemWrite : PciIoOperation::MemRead,
      BarIndex, (UINT32)Width, Offset, Count, FirstUnit (IsWrite ? Buffer : Window, (UINTN)1 << Shift), 0, Buffer
    };
    Finish (Call, EFI_SUCCESS);
  }

  return Window;
}

EFI_STATUS EFIAPI
PciIoDevice::MemRead (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  PciIoDevice  *Self = reinterpret_cast<PciIoDevice *>(This);
  UINT8        *Window;

  Window = ((This != nullptr) && (Self->mSignature == Signature)) ?
           Self->AcceptFrameBufferRow (FALSE, Width, BarIndex, Offset, Count, Buffer) : nullptr;
  if (Window == nullptr) {
    return SlowMemAccess (FALSE, This, Width, BarIndex, Offset, Count, Buffer);
  }

  Self->mCopyRow (Buffer, Window, (UINTN)Count << ((UINT32)Width & 0x03));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
PciIoDevice::MemWrite (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  PciIoDevice  *Self = reinterpret_cast<PciIoDevice *>(This);
  UINT8        *Window;

  Window = ((This != nullptr) && (Self->mSignature == Signature)) ?
           Self->AcceptFrameBufferRow (TRUE, Width, BarIndex, Offset, Count, Buffer) : nullptr;
  if (Window == nullptr) {
    return SlowMemAccess (TRUE, This, Width, BarIndex, Offset, Count, Buffer);
  }

  if (Self->mModel->RecordsWrites ()) {
    return Self->RecordedRowWrite (Window, Width, Offset, Count, Buffer);
  }

  Self->WriteRow (Window, Width, Count, Buffer);
  return EFI_SUCCESS;
}

/// A row write when the adapter keeps a record of the pages written.
__attribute__ ((noinline)) EFI_STATUS EFIAPI
PciIoDevice::RecordedRowWrite (
  OUT UINT8                      *Window,
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINT64                     Offset,
  IN  UINTN                      Count,
  IN  CONST VOID                 *Buffer
  )
{
  mModel->NoteFrameBufferWrite (Offset, (UINT64)Count << ((UINT32)Width & 0x03));
  WriteRow (Window, Width, Count, Buffer);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
PciIoDevice::PciRead (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT32                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  PciIoDevice  *Self = Enter (This);
  EFI_STATUS   Status;

  if (Self == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  CallInfo  Call = { PciIoOperation::PciRead, NoBar, (UINT32)Width, Offset, Count, 0, 0, Buffer };

  if ((Self->mArmedInjections != 0) && Self->TakeInjectedFailure (Call, &Status)) {
    return Self->Finish (Call, Status);
  }

  Status = Self->CheckConfigAccess (Width, Offset, Count, Buffer);
  if (!EFI_ERROR (Status)) {
    Self->mModel->ReadConfig (
                    Offset,
                    UnitSize (Width),
                    Count,
                    !IsFifoWidth (Width),
                    !IsFillWidth (Width),
                    static_cast<UINT8 *>(Buffer)
                    );
    if (Self->mTracing && (Count != 0)) {
      Call.Value = FirstUnit (Buffer, UnitSize (Width));
    }
  }

  return Self->Finish (Call, Status);
}

EFI_STATUS EFIAPI
PciIoDevice::PciWrite (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT32                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  PciIoDevice  *Self = Enter (This);
  EFI_STATUS   Status;

  if (Self == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  CallInfo  Call = { PciIoOperation::PciWrite, NoBar, (UINT32)Width, Offset, Count, 0, 0, Buffer };

  if (Self->mTracing && (Buffer != nullptr) && (Count != 0) && ((UINT32)Width < EfiPciIoWidthMaximum)) {
    Call.Value = FirstUnit (Buffer, UnitSize (Width));
  }

  if ((Self->mArmedInjections != 0) && Self->TakeInjectedFailure (Call, &Status)) {
    return Self->Finish (Call, Status);
  }

  Status = Self->CheckConfigAccess (Width, Offset, Count, Buffer);
  if (!EFI_ERROR (Status)) {
    Self->mModel->WriteConfig (
                    Offset,
                    UnitSize (Width),
                    Count,
                    !IsFifoWidth (Width),
                    !IsFillWidth (Width),
                    static_cast<CONST UINT8 *>(Buffer)
                    );
  }

  return Self->Finish (Call, Status);
}

EFI_STATUS EFIAPI
PciIoDevice::Attributes (
  IN  EFI_PCI_IO_PROTOCOL                      *This,
  IN  EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION  Operation,
  IN  UINT64                                   Attributes,
  OUT UINT64                                   *Result OPTIONAL
  )
{
  PciIoDevice  *Self = Enter (This);
  EFI_STATUS   Status;

  if (Self == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  CallInfo  Call = { PciIoOperation::Attributes, NoBar, (UINT32)Operation, 0, 0, Attributes, 0, Result };

  if ((Self->mArmedInjections != 0) && Self->TakeInjectedFailure (Call, &Status)) {
    return Self->Finish (Call, Status);
  }

  Status = Self->DoAttributes (Operation, Attributes, Result);
  if (!EFI_ERROR (Status) && (Result != nullptr) &&
      ((Operation == EfiPciIoAttributeOperationGet) || (Operation == EfiPciIoAttributeOperationSupported)))
  {
    Call.Result = *Result;
  }

  return Self->Finish (Call, Status);
}

EFI_STATUS EFIAPI
PciIoDevice::GetBarAttributes (
  IN  EFI_PCI_IO_PROTOCOL  *This,
  IN  UINT8                BarIndex,
  OUT UINT64               *Supports OPTIONAL,
  OUT VOID                 **Resources OPTIONAL
  )
{
  PciIoDevice  *Self = Enter (This);
  EFI_STATUS   Status;

  if (Self == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  CallInfo  Call = { PciIoOperation::GetBarAttributes, BarIndex, 0, 0, 0, 0, 0, nullptr };

  if ((Self->mArmedInjections != 0) && Self->TakeInjectedFailure (Call, &Status)) {
    return Self->Finish (Call, Status);
  }

  Status = Self->DoGetBarAttributes (BarIndex, Supports, Resources);
  if (!EFI_ERROR (Status) && (Resources != nullptr)) {
    Call.Buffer = *Resources;
  }

  return Self->Finish (Call, Status);
}

//
// Members the driver has no business calling.
//

#define QD520_UNEXPECTED(Operation, Bar)             \
  do {                                               \
    PciIoDevice  *Self = Enter (This);               \
    if (Self == nullptr) {                           \
      return EFI_INVALID_PARAMETER;                  \
    }                                                \
    return Self->Unexpected (Operation, Bar);        \
  } while (FALSE)

EFI_STATUS EFIAPI
PciIoDevice::PollMem (
  EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8 BarIndex, UINT64, UINT64, UINT64, UINT64, UINT64 *
  )
{
  QD520_UNEXPECTED (PciIoOperation::PollMem, BarIndex);
}

EFI_STATUS EFIAPI
PciIoDevice::PollIo (
  EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8 BarIndex, UINT64, UINT64, UINT64, UINT64, UINT64 *
  )
{
  QD520_UNEXPECTED (PciIoOperation::PollIo, BarIndex);
}

EFI_STATUS EFIAPI
PciIoDevice::IoRead (
  EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8 BarIndex, UINT64, UINTN, VOID *
  )
{
  QD520_UNEXPECTED (PciIoOperation::IoRead, BarIndex);
}

EFI_STATUS EFIAPI
PciIoDevice::IoWrite (
  EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8 BarIndex, UINT64, UINTN, VOID *
  )
{
  QD520_UNEXPECTED (PciIoOperation::IoWrite, BarIndex);
}

EFI_STATUS EFIAPI
PciIoDevice::CopyMem (
  EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8 DestBarIndex, UINT64, UINT8, UINT64, UINTN
  )
{
  QD520_UNEXPECTED (PciIoOperation::CopyMem, DestBarIndex);
}

EFI_STATUS EFIAPI
PciIoDevice::Map (
  EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_OPERATION, VOID *, UINTN *, EFI_PHYSICAL_ADDRESS *, VOID **
  )
{
  QD520_UNEXPECTED (PciIoOperation::Map, NoBar);
}

EFI_STATUS EFIAPI
PciIoDevice::Unmap (
  EFI_PCI_IO_PROTOCOL *This, VOID *
  )
{
  QD520_UNEXPECTED (PciIoOperation::Unmap, NoBar);
}

EFI_STATUS EFIAPI
PciIoDevice::AllocateBuffer (
  EFI_PCI_IO_PROTOCOL *This, EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN, VOID **, UINT64
  )
{
  QD520_UNEXPECTED (PciIoOperation::AllocateBuffer, NoBar);
}

EFI_STATUS EFIAPI
PciIoDevice::FreeBuffer (
  EFI_PCI_IO_PROTOCOL *This, UINTN, VOID *
  )
{
  QD520_UNEXPECTED (PciIoOperation::FreeBuffer, NoBar);
}

EFI_STATUS EFIAPI
PciIoDevice::Flush (
  EFI_PCI_IO_PROTOCOL *This
  )
{
  QD520_UNEXPECTED (PciIoOperation::Flush, NoBar);
}

EFI_STATUS EFIAPI
PciIoDevice::GetLocation (
  EFI_PCI_IO_PROTOCOL *This, UINTN *, UINTN *, UINTN *, UINTN *
  )
{
  QD520_UNEXPECTED (PciIoOperation::GetLocation, NoBar);
}

EFI_STATUS EFIAPI
PciIoDevice::SetBarAttributes (
  EFI_PCI_IO_PROTOCOL *This, UINT64, UINT8 BarIndex, UINT64 *, UINT64 *
  )
{
  QD520_UNEXPECTED (PciIoOperation::SetBarAttributes, BarIndex);
}

#undef QD520_UNEXPECTED

//
// Names.
//

CONST CHAR8 *
OperationName (
  IN PciIoOperation  Operation
  )
{
  static CONST CHAR8 *CONST  Names[] = {
    "PollMem",    "PollIo",         "MemRead",   "MemWrite",         "IoRead",
    "IoWrite",    "PciRead",        "PciWrite",  "CopyMem",          "Map",
    "Unmap",      "AllocateBuffer", "FreeBuffer", "Flush",           "GetLocation",
    "Attributes", "GetBarAttributes", "SetBarAttributes", "Delay"
  };

  static_assert (sizeof (Names) / sizeof (Names[0]) == (UINTN)PciIoOperation::Count, "one name per operation");
  return ((UINTN)Operation < (UINTN)PciIoOperation::Count) ? Names[(UINTN)Operation] : "Operation?";
}

CONST CHAR8 *
WidthName (
  IN UINT32  Width
  )
{
  static CONST CHAR8 *CONST  Names[] = {
    "Uint8",     "Uint16",     "Uint32",     "Uint64",
    "FifoUint8", "FifoUint16", "FifoUint32", "FifoUint64",
    "FillUint8", "FillUint16", "FillUint32", "FillUint64"
  };

  static_assert (sizeof (Names) / sizeof (Names[0]) == EfiPciIoWidthMaximum, "one name per width");
  return (Width < EfiPciIoWidthMaximum) ? Names[Width] : "Width?";
}

CONST CHAR8 *
AttributeOperationName (
  IN UINT32  Operation
  )
{
  static CONST CHAR8 *CONST  Names[] = { "Get", "Set", "Enable", "Disable", "Supported" };

  static_assert (sizeof (Names) / sizeof (Names[0]) == EfiPciIoAttributeOperationMaximum, "one name per operation");
  return (Operation < EfiPciIoAttributeOperationMaximum) ? Names[Operation] : "Operation?";
}

CONST CHAR8 *
RecordWidthName (
  IN CONST TraceRecord  &Record
  )
{
  switch (Record.Operation) {
    case PciIoOperation::MemRead:
    case PciIoOperation::MemWrite:
    case PciIoOperation::PciRead:
    case PciIoOperation::PciWrite:
      return WidthName (Record.Width);
    case PciIoOperation::Attributes:
      return AttributeOperationName (Record.Width);
    default:
      return "";
  }
}

} // namespace Qd520Sim
