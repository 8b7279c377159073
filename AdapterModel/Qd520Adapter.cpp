/** @file
  Behavioural model of the QD520 display adapter (see Qd520Adapter.h).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent OR GPL-2.0-or-later
**/

#include "Qd520Adapter.h"

namespace Qd520Sim {

namespace {

//
// Configuration header offsets and BAR flag bits (PCI Local Bus 3.0, 6.1, 6.2.5).
//
constexpr UINTN   ConfigVendorId          = 0x00;
constexpr UINTN   ConfigDeviceId          = 0x02;
constexpr UINTN   ConfigCommand           = 0x04;
constexpr UINTN   ConfigRevisionId        = 0x08;
constexpr UINTN   ConfigClassCode         = 0x09;
constexpr UINTN   ConfigBar0              = 0x10;
constexpr UINTN   ConfigSubsystemVendorId = 0x2C;
constexpr UINTN   ConfigSubsystemId       = 0x2E;
constexpr UINT32  BarAddressMask          = 0xFFFFFFF0;
constexpr UINT32  BarPrefetchable         = BIT3;
constexpr UINT16  CommandDecodeMask       =
  EFI_PCI_COMMAND_IO_SPACE | EFI_PCI_COMMAND_MEMORY_SPACE | EFI_PCI_COMMAND_BUS_MASTER;

static_assert (OFFSET_OF (PCI_TYPE00, Hdr.VendorId) == ConfigVendorId, "configuration header layout");
static_assert (OFFSET_OF (PCI_TYPE00, Hdr.DeviceId) == ConfigDeviceId, "configuration header layout");
static_assert (OFFSET_OF (PCI_TYPE00, Hdr.Command) == ConfigCommand, "configuration header layout");
static_assert (OFFSET_OF (PCI_TYPE00, Hdr.ClassCode) == ConfigClassCode, "configuration header layout");
static_assert (OFFSET_OF (PCI_TYPE00, Device.Bar) == ConfigBar0, "configuration header layout");

VOID
PutLe (
  OUT UINT8   *Destination,
  IN  UINT64  Value,
  IN  UINTN   Bytes
  )
{
  for (UINTN Index = 0; Index < Bytes; Index++) {
    Destination[Index] = (UINT8)(Value >> (8 * Index));
  }
}

UINT64
GetLe (
  IN CONST UINT8  *Source,
  IN UINTN        Bytes
  )
{
  UINT64  Value = 0;

  for (UINTN Index = 0; Index < Bytes; Index++) {
    Value |= (UINT64)Source[Index] << (8 * Index);
  }

  return Value;
}

template<typename UNIT>
inline VOID
RepeatUnit (
  OUT UINT8        *Destination,
  IN  CONST UINT8  *Unit,
  IN  UINTN        Count
  )
{
  UNIT  Value;

  __builtin_memcpy (&Value, Unit, sizeof (UNIT));
  for (UINTN Index = 0; Index < Count; Index++) {
    __builtin_memcpy (Destination + Index * sizeof (UNIT), &Value, sizeof (UNIT));
  }
}

/// Writes Count copies of one unit of UnitSize bytes, back to back.
VOID
RepeatUnitAnySize (
  OUT UINT8        *Destination,
  IN  CONST UINT8  *Unit,
  IN  UINTN        UnitSize,
  IN  UINTN        Count
  )
{
  switch (UnitSize) {
    case 1:
      __builtin_memset (Destination, *Unit, Count);
      break;
    case 2:
      RepeatUnit<UINT16>(Destination, Unit, Count);
      break;
    case 4:
      RepeatUnit<UINT32>(Destination, Unit, Count);
      break;
    default:
      RepeatUnit<UINT64>(Destination, Unit, Count);
      break;
  }
}

/// Moves units between a side-effect-free device window and a buffer.
/// A side that does not advance sees every unit at the same address: a
/// fixed device address ends up with the last unit written, a fixed buffer
/// with the last unit read.
VOID
TransferPlain (
  IN UINT8        *Destination,
  IN BOOLEAN      DestinationAdvances,
  IN CONST UINT8  *Source,
  IN BOOLEAN      SourceAdvances,
  IN UINTN        UnitSize,
  IN UINTN        Count
  )
{
  if (Count == 0) {
    return;
  }

  if (DestinationAdvances && SourceAdvances) {
    __builtin_memmove (Destination, Source, UnitSize * Count);
  } else if (DestinationAdvances) {
    RepeatUnitAnySize (Destination, Source, UnitSize, Count);
  } else if (SourceAdvances) {
    __builtin_memmove (Destination, Source + (Count - 1) * UnitSize, UnitSize);
  } else {
    __builtin_memmove (Destination, Source, UnitSize);
  }
}

} // namespace

BOOLEAN
Adapter::Initialize (
  IN CONST AdapterConfig  &Config,
  IN CONST AdapterMemory  &Memory
  )
{
  mFrameBuffer         = nullptr;
  mFrameBufferSize     = 0;
  mZeroPages           = nullptr;
  mZeroPagesContext    = nullptr;
  mPageSize            = 0;
  mWrittenPages        = nullptr;
  mPageShift           = 0;
  mRegisters           = nullptr;
  mRegisterFileSize    = 0;
  mSupportedAttributes = 0;
  mAttributes          = 0;
  __builtin_memset (mConfig, 0, sizeof (mConfig));
  __builtin_memset (mHdmi, 0, sizeof (mHdmi));
  __builtin_memset (mInfoFrames, 0, sizeof (mInfoFrames));

  if ((Memory.FrameBuffer == nullptr) || (Memory.FrameBufferSize == 0) ||
      (Memory.Registers == nullptr) || (Memory.RegisterFileSize < MinimumRegisterFileSize) ||
      ((Memory.RegisterFileSize % sizeof (UINT32)) != 0) ||
      ((Config.InitialAttributes & ~Config.SupportedAttributes) != 0))
  {
    return FALSE;
  }

  mFrameBuffer         = Memory.FrameBuffer;
  mFrameBufferSize     = Memory.FrameBufferSize;
  mFrameBufferBase     = Config.FrameBufferBase != 0 ? Config.FrameBufferBase : (UINT64)(UINTN)Memory.FrameBuffer;
  mRegisters           = reinterpret_cast<UINT8 *>(Memory.Registers);
  mRegisterFileSize    = Memory.RegisterFileSize;
  mRegisterBase        = Config.RegisterBase != 0 ? Config.RegisterBase : (UINT64)(UINTN)Memory.Registers;
  mSupportedAttributes = Config.SupportedAttributes;
  if ((Memory.PageSize != 0) && ((Memory.PageSize & (Memory.PageSize - 1)) == 0)) {
    mPageSize      = Memory.PageSize;
    mPageShift     = (UINT32)__builtin_ctzll (Memory.PageSize);
    mWrittenPages  = Memory.WrittenPages;
    if (Memory.ZeroPages != nullptr) {
      mZeroPages        = Memory.ZeroPages;
      mZeroPagesContext = Memory.ZeroPagesContext;
    }
  }

  PutLe (&mConfig[ConfigVendorId], Config.VendorId, 2);
  PutLe (&mConfig[ConfigDeviceId], Config.DeviceId, 2);
  PutLe (&mConfig[ConfigRevisionId], Config.RevisionId, 1);
  PutLe (&mConfig[ConfigClassCode], Config.ClassCode, 3);
  PutLe (&mConfig[ConfigBar0], ((UINT32)mFrameBufferBase & BarAddressMask) | BarPrefetchable, 4);
  PutLe (&mConfig[ConfigBar0 + 4], (UINT32)mRegisterBase & BarAddressMask, 4);
  PutLe (&mConfig[ConfigSubsystemVendorId], Config.VendorId, 2);
  PutLe (&mConfig[ConfigSubsystemId], Config.DeviceId, 2);
  SetCurrentAttributes (Config.InitialAttributes);
  return TRUE;
}

VOID
Adapter::SetCurrentAttributes (
  IN UINT64  Attributes
  )
{
  UINT16  Command;

  mAttributes = Attributes;
  Command     = (UINT16)GetLe (&mConfig[ConfigCommand], 2) & (UINT16) ~CommandDecodeMask;
  if ((Attributes & EFI_PCI_IO_ATTRIBUTE_IO) != 0) {
    Command |= EFI_PCI_COMMAND_IO_SPACE;
  }

  if ((Attributes & EFI_PCI_IO_ATTRIBUTE_MEMORY) != 0) {
    Command |= EFI_PCI_COMMAND_MEMORY_SPACE;
  }

  if ((Attributes & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) != 0) {
    Command |= EFI_PCI_COMMAND_BUS_MASTER;
  }

  PutLe (&mConfig[ConfigCommand], Command, 2);
}

UINT32
Adapter::PeekRegister (
  IN UINT64  Offset
  ) const
{
  UINT32  Value;

  __builtin_memcpy (&Value, mRegisters + Offset, sizeof (Value));
  return Value;
}

VOID
Adapter::PokeRegister (
  IN UINT64  Offset,
  IN UINT32  Value
  )
{
  __builtin_memcpy (mRegisters + Offset, &Value, sizeof (Value));
}

VOID
Adapter::PokeHdmi (
  IN UINT8  Index,
  IN UINT8  Value
  )
{
  UINT8  *Selected;

  mHdmi[Index] = Value;
  Selected     = mInfoFrames[mHdmi[HdmiInfoFrameSelect] & HdmiInfoFrameBufferMask];
  if (Index == HdmiInfoFrameSelect) {
    __builtin_memcpy (&mHdmi[HdmiInfoFrameFirst], Selected, HdmiInfoFrameBytes);
  } else if ((Index >= HdmiInfoFrameFirst) && (Index < HdmiInfoFrameFirst + HdmiInfoFrameBytes)) {
    Selected[Index - HdmiInfoFrameFirst] = Value;
  }
}

VOID
Adapter::ApplyHdmiIndexDataWrite (
  IN UINT32  Value
  )
{
  UINT8  Index;
  UINT8  Latched;

  Index   = (UINT8)(Value & HdmiIndexMask);
  Latched = (UINT8)(PeekRegister (RegisterHdmiIndexData) >> HdmiDataShift);
  if ((Value & HdmiWriteStrobe) != 0) {
    PokeHdmi (Index, (UINT8)(Value >> HdmiDataShift));
  }

  if ((Value & HdmiReadRequest) != 0) {
    Latched = mHdmi[Index];
  }

  PokeRegister (RegisterHdmiIndexData, ((UINT32)Latched << HdmiDataShift) | Index);
}

VOID
Adapter::WriteRegisterUnit (
  IN UINT64       Offset,
  IN CONST UINT8  *Source,
  IN UINTN        UnitSize
  )
{
  constexpr UINT64  HdmiFirst = RegisterHdmiIndexData;
  constexpr UINT64  HdmiEnd   = RegisterHdmiIndexData + sizeof (UINT32);
  UINT8             Word[sizeof (UINT32)];
  UINT32            Value;

  if ((Offset + UnitSize <= HdmiFirst) || (Offset >= HdmiEnd)) {
    __builtin_memcpy (mRegisters + Offset, Source, UnitSize);
    return;
  }

  //
  // The unit covers (part of) the index/data register: merge its bytes into
  // the register's current read-back value and let the register act on the
  // whole word. Bytes outside it are plain storage.
  //
  PutLe (Word, PeekRegister (HdmiFirst), sizeof (Word));
  for (UINTN Index = 0; Index < UnitSize; Index++) {
    UINT64  Address = Offset + Index;
    if ((Address >= HdmiFirst) && (Address < HdmiEnd)) {
      Word[Address - HdmiFirst] = Source[Index];
    } else {
      mRegisters[Address] = Source[Index];
    }
  }

  Value = (UINT32)GetLe (Word, sizeof (Word));
  ApplyHdmiIndexDataWrite (Value);
}

VOID
Adapter::FillFrameBuffer (
  IN UINT64       Offset,
  IN UINTN        UnitSize,
  IN UINTN        Count,
  IN CONST UINT8  *Unit
  )
{
  UINT8   *Start = mFrameBuffer + Offset;
  UINT64  Bytes  = (UINT64)UnitSize * Count;
  UINTN   First;
  UINTN   End;

  //
  // Whole pages inside the range; a zero fill leaves them to the owner.
  //
  First = ((UINTN)Start + mPageSize - 1) & ~(UINTN)(mPageSize - 1);
  End   = ((UINTN)Start + (UINTN)Bytes) & ~(UINTN)(mPageSize - 1);
  if ((mZeroPages != nullptr) && (End > First) && (End - First >= MinimumZeroPagesBytes)) {
    BOOLEAN  Zero = TRUE;

    for (UINTN Index = 0; Index < UnitSize; Index++) {
      Zero = (BOOLEAN)(Zero && (Unit[Index] == 0));
    }

    if (Zero && mZeroPages (mZeroPagesContext, (UINT8 *)First, End - First)) {
      __builtin_memset (Start, 0, First - (UINTN)Start);
      __builtin_memset ((UINT8 *)End, 0, (UINTN)Start + (UINTN)Bytes - End);
      return;
    }
  }

  RepeatUnitAnySize (Start, Unit, UnitSize, Count);
}

VOID
Adapter::ReadMemory (
  IN  UINT8    BarIndex,
  IN  UINT64   Offset,
  IN  UINTN    UnitSize,
  IN  UINTN    Count,
  IN  BOOLEAN  DeviceAdvances,
  IN  BOOLEAN  BufferAdvances,
  OUT UINT8    *Buffer
  )
{
  //
  // Neither window has read side effects: a read of 0x800C0 returns the
  // latched value, which is what the register memory holds.
  //
  CONST UINT8  *Window = (BarIndex == FrameBufferBar) ? mFrameBuffer : mRegisters;

  TransferPlain (Buffer, BufferAdvances, Window + Offset, DeviceAdvances, UnitSize, Count);
}

VOID
Adapter::WriteMemory (
  IN UINT8        BarIndex,
  IN UINT64       Offset,
  IN UINTN        UnitSize,
  IN UINTN        Count,
  IN BOOLEAN      DeviceAdvances,
  IN BOOLEAN      BufferAdvances,
  IN CONST UINT8  *Buffer
  )
{
  UINT64  DeviceBytes;

  if (BarIndex == FrameBufferBar) {
    NoteFrameBufferWrite (Offset, DeviceAdvances ? (UINT64)UnitSize * Count : UnitSize);
    if (DeviceAdvances && !BufferAdvances) {
      FillFrameBuffer (Offset, UnitSize, Count, Buffer);
    } else {
      TransferPlain (mFrameBuffer + Offset, DeviceAdvances, Buffer, BufferAdvances, UnitSize, Count);
    }

    return;
  }

  DeviceBytes = DeviceAdvances ? (UINT64)UnitSize * Count : UnitSize;
  if ((Offset + DeviceBytes <= RegisterHdmiIndexData) || (Offset >= RegisterHdmiIndexData + sizeof (UINT32))) {
    TransferPlain (mRegisters + Offset, DeviceAdvances, Buffer, BufferAdvances, UnitSize, Count);
    return;
  }

  //
  // The access reaches the index/data register: every unit acts in order.
  //
  for (UINTN Index = 0; Index < Count; Index++) {
    WriteRegisterUnit (
      Offset + (DeviceAdvances ? (UINT64)Index * UnitSize : 0),
      Buffer + (BufferAdvances ? Index * UnitSize : 0),
      UnitSize
      );
  }
}

VOID
Adapter::ReadConfig (
  IN  UINT64   Offset,
  IN  UINTN    UnitSize,
  IN  UINTN    Count,
  IN  BOOLEAN  DeviceAdvances,
  IN  BOOLEAN  BufferAdvances,
  OUT UINT8    *Buffer
  )
{
  TransferPlain (Buffer, BufferAdvances, mConfig + Offset, DeviceAdvances, UnitSize, Count);
}

VOID
Adapter::WriteConfig (
  IN UINT64       Offset,
  IN UINTN        UnitSize,
  IN UINTN        Count,
  IN BOOLEAN      DeviceAdvances,
  IN BOOLEAN      BufferAdvances,
  IN CONST UINT8  *Buffer
  )
{
  TransferPlain (mConfig + Offset, DeviceAdvances, Buffer, BufferAdvances, UnitSize, Count);
}

} // namespace Qd520Sim
