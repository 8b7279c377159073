/** @file
  Behavioural model of the QD520 display adapter: PCI configuration header,
  PCI attributes, the BAR 0 frame buffer, the BAR 1 register file and the
  HDMI transmitter that sits behind the index/data register.

  Freestanding: builds for the host tests and into QEMU's device. No standard
  library, no heap, no exceptions, no global constructors. All bulk memory
  (frame buffer, register file) is handed in by the owner and stays owned by
  it; the model only keeps pointers.

  Register semantics the driver relies on:
  - every register reads back what was last written to it, or its initial
    contents (the owner presets the register memory);
  - 0x800C0, HDMI index/data: bits 7-0 index, 15-8 data, bit 16 write strobe
    (stores the data byte into transmitter register [index]), bit 17 read
    request (latches transmitter register [index]). A read returns the
    latched byte in bits 15-8 and the last written index in bits 7-0, zero
    above. The register word in the register memory always holds that
    read-back value, so presetting it presets the latch and the index.
  - the transmitter's InfoFrame registers 0x60 to 0x70 (header, checksum,
    payload bytes 1 to 13) are a window on one of sixteen InfoFrame buffers,
    the one that the low four bits of transmitter register 0x5F select. A
    write to 0x5F switches the window; the buffers keep their contents.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent OR GPL-2.0-or-later
**/

#ifndef QD520_ADAPTER_H_
#define QD520_ADAPTER_H_

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/Pci.h>
#include <Protocol/PciIo.h>
}

namespace Qd520Sim {

//
// Identity and geometry of the adapter as built.
//
constexpr UINT16  DefaultVendorId          = 0x7A3C;
constexpr UINT16  DefaultDeviceId          = 0x0520;
constexpr UINT32  DefaultClassCode         = 0x030000;    ///< base class 03 (display), subclass 00 (VGA), interface 00
constexpr UINT64  DefaultFrameBufferSize   = 0x2000000;   ///< 32 MiB
constexpr UINT64  MinimumRegisterFileSize  = 0x88084;     ///< covers the highest register the driver uses, 0x88080
constexpr UINT64  DefaultRegisterFileSize  = 0x100000;    ///< 1 MiB, a power-of-two BAR
constexpr UINT64  DefaultSupportedAttributes =
  EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY | EFI_PCI_IO_ATTRIBUTE_BUS_MASTER |
  EFI_PCI_IO_ATTRIBUTE_DUAL_ADDRESS_CYCLE;

constexpr UINT8   FrameBufferBar           = 0;
constexpr UINT8   RegisterBar              = 1;
constexpr UINT8   BarCount                 = 2;
constexpr UINTN   ConfigSpaceSize          = 256;
constexpr UINTN   HdmiRegisterCount        = 256;

//
// Registers with behaviour of their own.
//
constexpr UINT64  RegisterPllReference     = 0x12C;       ///< bit 12 selects the 12.288 MHz reference (plain register)
constexpr UINT32  PllReferenceSelectBit    = BIT12;
constexpr UINT64  RegisterHdmiIndexData    = 0x800C0;
constexpr UINT64  RegisterHdmiControl      = 0x800C4;     ///< plain register
constexpr UINT32  HdmiIndexMask            = 0x000000FF;
constexpr UINT32  HdmiDataShift            = 8;
constexpr UINT32  HdmiWriteStrobe          = BIT16;
constexpr UINT32  HdmiReadRequest          = BIT17;

//
// Transmitter registers with behaviour of their own.
//
constexpr UINT8   HdmiInfoFrameSelect      = 0x5F;        ///< low four bits: InfoFrame buffer behind 0x60-0x70
constexpr UINT8   HdmiInfoFrameFirst       = 0x60;        ///< header byte 0 (type) of the selected buffer
constexpr UINTN   HdmiInfoFrameBytes       = 17;          ///< 3 header bytes, the checksum, 13 payload bytes
constexpr UINTN   HdmiInfoFrameBuffers     = 16;
constexpr UINT8   HdmiInfoFrameBufferMask  = 0x0F;

/// Static description of one adapter. Fill from DefaultAdapterConfig() and
/// change what a test needs.
struct AdapterConfig {
  UINT16    VendorId;
  UINT16    DeviceId;
  UINT32    ClassCode;            ///< 24 bits: base class, subclass, programming interface
  UINT8     RevisionId;
  UINT64    SupportedAttributes;  ///< EFI_PCI_IO_ATTRIBUTE_* the controller can enable
  UINT64    InitialAttributes;    ///< current attributes at power-on; must be a subset of the supported ones
  UINT64    FrameBufferBase;      ///< BAR 0 address to report; 0 means "the frame buffer memory's own address"
  UINT64    RegisterBase;         ///< BAR 1 address to report; 0 means "the register memory's own address"
};

constexpr AdapterConfig
DefaultAdapterConfig (
  )
{
  return AdapterConfig{
           DefaultVendorId, DefaultDeviceId, DefaultClassCode, 0,
           DefaultSupportedAttributes, 0, 0, 0
  };
}

/// The owner's way of zeroing whole pages of the frame buffer without
/// storing to them (on a host: handing the pages back to the system).
/// Start and Bytes are multiples of the page size. Returns TRUE when the
/// pages now read as zero, FALSE when nothing was done.
typedef BOOLEAN (*ZeroPagesFunction)(
  IN VOID   *Context,
  IN UINT8  *Start,
  IN UINT64 Bytes
  );

/// A zero fill gives pages to ZeroPages only when it covers at least this
/// many bytes of whole pages: smaller ones (rows of a Blt) cost less as
/// plain stores than a call into the system.
constexpr UINT64  MinimumZeroPagesBytes = 0x100000;

/// Memory the owner hands to the model. It must outlive the model.
struct AdapterMemory {
  UINT8                *FrameBuffer;       ///< FrameBufferSize bytes
  UINT64               FrameBufferSize;    ///< BAR 0 length
  UINT32               *Registers;         ///< RegisterFileSize bytes, initial register contents already in place
  UINT64               RegisterFileSize;   ///< BAR 1 length, a multiple of 4, at least MinimumRegisterFileSize
  ZeroPagesFunction    ZeroPages;          ///< optional fast path of large zero fills; NULL: every fill stores
  VOID                 *ZeroPagesContext;
  UINT64               PageSize;           ///< granule of ZeroPages and WrittenPages: a power of two
  UINT8                *WrittenPages;      ///< optional: a byte per page of the frame buffer, set to 1 by every
                                           ///< write that reaches the page; NULL: not recorded
};

/// The adapter: state and raw device accesses. Parameter checking is the
/// PCI I/O front end's job (Qd520PciIo.h); the raw accesses trust their
/// arguments (BAR valid, range inside the BAR, Count > 0 where it matters).
class Adapter {
public:
  /// Takes the configuration and the owner's memory. Returns FALSE (and
  /// leaves the adapter unusable) when the memory is missing or too small.
  BOOLEAN
  Initialize (
    IN CONST AdapterConfig  &Config,
    IN CONST AdapterMemory  &Memory
    );

  //
  // PCI configuration header (256 bytes), directly inspectable and writable.
  //
  UINT8 *
  ConfigSpace (
    )
  {
    return mConfig;
  }

  //
  // BARs.
  //
  BOOLEAN
  BarIsImplemented (
    IN UINT8  BarIndex
    ) const
  {
    return BarIndex < BarCount;
  }

  UINT64
  BarBase (
    IN UINT8  BarIndex
    ) const
  {
    return BarIndex == FrameBufferBar ? mFrameBufferBase : mRegisterBase;
  }

  UINT64
  BarLength (
    IN UINT8  BarIndex
    ) const
  {
    return BarIndex == FrameBufferBar ? mFrameBufferSize : mRegisterFileSize;
  }

  //
  // PCI attributes as the bus driver tracks them.
  //
  UINT64
  SupportedAttributes (
    ) const
  {
    return mSupportedAttributes;
  }

  UINT64
  CurrentAttributes (
    ) const
  {
    return mAttributes;
  }

  /// Sets the current attributes and mirrors I/O, memory and bus-master
  /// decode into the command register of the configuration header.
  VOID
  SetCurrentAttributes (
    IN UINT64  Attributes
    );

  //
  // Register file. Offsets are byte offsets in BAR 1, 4-byte aligned.
  //
  /// Value a 32-bit read of the register returns now; no side effect.
  UINT32
  PeekRegister (
    IN UINT64  Offset
    ) const;

  /// Sets what the register reads back, bypassing any write behaviour.
  VOID
  PokeRegister (
    IN UINT64  Offset,
    IN UINT32  Value
    );

  UINT8
  PeekHdmi (
    IN UINT8  Index
    ) const
  {
    return mHdmi[Index];
  }

  /// Sets what transmitter register Index reads back. Like a strobed write,
  /// it fills the selected InfoFrame buffer (0x60-0x70) or selects one (0x5F).
  VOID
  PokeHdmi (
    IN UINT8  Index,
    IN UINT8  Value
    );

  /// Byte Offset (0 to 16: type, version, length, checksum, payload 1 to 13)
  /// of the InfoFrame buffer that select value Select addresses.
  UINT8
  PeekInfoFrame (
    IN UINT8  Select,
    IN UINTN  Offset
    ) const
  {
    return mInfoFrames[Select & HdmiInfoFrameBufferMask][Offset];
  }

  //
  // Frame buffer.
  //
  UINT8 *
  FrameBuffer (
    )
  {
    return mFrameBuffer;
  }

  CONST UINT8 *
  FrameBuffer (
    ) const
  {
    return mFrameBuffer;
  }

  UINT64
  FrameBufferSize (
    ) const
  {
    return mFrameBufferSize;
  }

  /// Whether the owner asked for a record of the pages written.
  BOOLEAN
  RecordsWrites (
    ) const
  {
    return (BOOLEAN)(mWrittenPages != nullptr);
  }

  /// Notes that Bytes from Offset on of the frame buffer are being written
  /// (the range lies inside it), when the owner asked for a record.
  inline VOID
  NoteFrameBufferWrite (
    IN UINT64  Offset,
    IN UINT64  Bytes
    )
  {
    if ((mWrittenPages != nullptr) && (Bytes != 0)) {
      UINT64  First = Offset >> mPageShift;

      __builtin_memset (mWrittenPages + First, 1, (UINTN)(((Offset + Bytes - 1) >> mPageShift) - First + 1));
    }
  }

  /// Stores Count copies of the UnitSize-byte value at Unit into the frame
  /// buffer from Offset on (the range lies inside it). A zero fill of at
  /// least MinimumZeroPagesBytes of whole pages leaves those pages to the
  /// owner's ZeroPages; the bytes around them, and every other fill, are
  /// stored here. The bytes afterwards are the same either way.
  VOID
  FillFrameBuffer (
    IN UINT64       Offset,
    IN UINTN        UnitSize,
    IN UINTN        Count,
    IN CONST UINT8  *Unit
    );

  //
  // Raw device accesses used by the PCI I/O front end.
  //
  // UnitSize is 1, 2, 4 or 8. DeviceAdvances FALSE is a FIFO access (the
  // device address stays), BufferAdvances FALSE is a fill (the buffer
  // address stays). The range [Offset, Offset + UnitSize * Count) (or one
  // unit for a FIFO access) lies inside the BAR or configuration header.
  //
  VOID
  ReadMemory (
    IN  UINT8    BarIndex,
    IN  UINT64   Offset,
    IN  UINTN    UnitSize,
    IN  UINTN    Count,
    IN  BOOLEAN  DeviceAdvances,
    IN  BOOLEAN  BufferAdvances,
    OUT UINT8    *Buffer
    );

  VOID
  WriteMemory (
    IN UINT8        BarIndex,
    IN UINT64       Offset,
    IN UINTN        UnitSize,
    IN UINTN        Count,
    IN BOOLEAN      DeviceAdvances,
    IN BOOLEAN      BufferAdvances,
    IN CONST UINT8  *Buffer
    );

  VOID
  ReadConfig (
    IN  UINT64   Offset,
    IN  UINTN    UnitSize,
    IN  UINTN    Count,
    IN  BOOLEAN  DeviceAdvances,
    IN  BOOLEAN  BufferAdvances,
    OUT UINT8    *Buffer
    );

  VOID
  WriteConfig (
    IN UINT64       Offset,
    IN UINTN        UnitSize,
    IN UINTN        Count,
    IN BOOLEAN      DeviceAdvances,
    IN BOOLEAN      BufferAdvances,
    IN CONST UINT8  *Buffer
    );

private:
  VOID
  WriteRegisterUnit (
    IN UINT64       Offset,
    IN CONST UINT8  *Source,
    IN UINTN        UnitSize
    );

  VOID
  ApplyHdmiIndexDataWrite (
    IN UINT32  Value
    );

  UINT8                mConfig[ConfigSpaceSize];
  UINT8                mHdmi[HdmiRegisterCount];    ///< 0x60-0x70 mirror the selected InfoFrame buffer
  UINT8                mInfoFrames[HdmiInfoFrameBuffers][HdmiInfoFrameBytes];
  UINT8                *mFrameBuffer;
  UINT64               mFrameBufferSize;
  UINT64               mFrameBufferBase;
  UINT8                *mRegisters;
  UINT64               mRegisterFileSize;
  UINT64               mRegisterBase;
  ZeroPagesFunction    mZeroPages;
  VOID                 *mZeroPagesContext;
  UINT64               mPageSize;
  UINT8                *mWrittenPages;
  UINT32               mPageShift;
  UINT64               mSupportedAttributes;
  UINT64               mAttributes;
};

} // namespace Qd520Sim

#endif // QD520_ADAPTER_H_
