/** @file
  EFI_PCI_IO_PROTOCOL front end over the QD520 adapter model, with an ordered
  trace of every call and per-call failure injection.

  Parameter checks follow the kit's PCI bus driver (PciIo.c) layered on its
  root bridge (PciRootBridgeIo.c, PcdUnalignedPciIoEnable off) and CPU I/O:
  - Mem.Read/Mem.Write: Width >= EfiPciIoWidthMaximum or Buffer NULL ->
    EFI_INVALID_PARAMETER; a BAR the adapter does not implement, or a range
    (Offset + Count * unit - 1, one unit for FIFO widths) at or beyond the BAR
    length -> EFI_UNSUPPORTED (the bus driver turns its own
    EFI_INVALID_PARAMETER into EFI_UNSUPPORTED; note Count 0 at Offset 0 wraps
    and is refused too); Count * unit beyond 64 bits -> EFI_INVALID_PARAMETER;
    BAR address + Offset not aligned to the unit -> EFI_UNSUPPORTED.
  - Pci.Read/Pci.Write: invalid Width -> EFI_INVALID_PARAMETER; range beyond
    the 256-byte header -> EFI_UNSUPPORTED; Buffer NULL ->
    EFI_INVALID_PARAMETER; misaligned offset -> EFI_UNSUPPORTED.
  - Fill widths: the device address advances, the buffer stays. FIFO widths:
    the device address stays, the buffer advances.
  - Attributes: the kit's rules, including its "EFI_PCI_DEVICE_ENABLE is
    trimmed to the supported bits" exception; Set = Enable, then Disable of
    the supported bits not asked for.
  - GetBarAttributes: one QWORD address space descriptor plus an end tag from
    BootServices->AllocatePool (EfiBootServicesData), zero-filled; the caller
    frees it.
  Every other member reports an unexpected call through the hook and returns
  EFI_UNSUPPORTED.

  Freestanding like the adapter model; trace memory is handed in.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_PCI_IO_H_
#define QD520_PCI_IO_H_

#include "Qd520Adapter.h"

namespace Qd520Sim {

/// What a trace record describes: one PCI I/O member call, or a delay that
/// the owner interleaves (AppendDelay).
enum class PciIoOperation : UINT8 {
  PollMem,
  PollIo,
  MemRead,
  MemWrite,
  IoRead,
  IoWrite,
  PciRead,
  PciWrite,
  CopyMem,
  Map,
  Unmap,
  AllocateBuffer,
  FreeBuffer,
  Flush,
  GetLocation,
  Attributes,
  GetBarAttributes,
  SetBarAttributes,
  Delay,
  Count            ///< number of operations, not an operation
};

constexpr UINT8  NoBar = 0xFF;   ///< TraceRecord::BarIndex of calls without a BAR

/// One traced call.
struct TraceRecord {
  PciIoOperation    Operation;
  UINT8             BarIndex;  ///< Mem*, Io*, Poll*, GetBarAttributes, SetBarAttributes; NoBar otherwise
  UINT32            Width;     ///< EFI_PCI_IO_PROTOCOL_WIDTH; for Attributes the EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION
  UINT64            Offset;    ///< BAR or configuration offset
  UINT64            Count;     ///< units requested; for Delay the delay units
  UINT64            Value;     ///< first unit moved (zero-extended; for a failed read 0); Attributes: the Attributes argument
  UINT64            Result;    ///< Attributes Get/Supported: the attributes returned; 0 otherwise
  CONST VOID        *Buffer;   ///< caller's buffer; GetBarAttributes: the descriptor list returned (NULL on failure)
  EFI_STATUS        Status;    ///< what the call returned
};

/// "Fail the Nth matching call from now with Status." A failing call makes
/// no access, writes nothing to its outputs and is traced with Status.
struct FailureInjection {
  PciIoOperation    Operation;
  UINTN             Nth;           ///< 1 = the next matching call
  EFI_STATUS        Status;
  BOOLEAN           MatchBar;      ///< only calls on BarIndex count
  UINT8             BarIndex;
  BOOLEAN           MatchOffset;   ///< only calls at Offset count
  UINT64            Offset;
  BOOLEAN           MatchWidth;    ///< only calls with Width (or attribute operation) count
  UINT32            Width;
  BOOLEAN           Repeat;        ///< keep failing every matching call from the Nth on
  BOOLEAN           AnyOperation;  ///< every PCI I/O call counts, whatever Operation says
};

/// Builds an injection that fails the Nth call of Operation with Status,
/// whatever its BAR, offset and width.
constexpr FailureInjection
FailNth (
  IN PciIoOperation  Operation,
  IN UINTN           Nth,
  IN EFI_STATUS      Status
  )
{
  return FailureInjection{ Operation, Nth, Status, FALSE, 0, FALSE, 0, FALSE, 0, FALSE, FALSE };
}

/// Builds an injection that fails the Nth PCI I/O call of any kind with
/// Status (delays are not calls).
constexpr FailureInjection
FailNthCall (
  IN UINTN       Nth,
  IN EFI_STATUS  Status
  )
{
  return FailureInjection{ PciIoOperation::MemRead, Nth, Status, FALSE, 0, FALSE, 0, FALSE, 0, FALSE, TRUE };
}

constexpr UINTN  MaxFailureInjections = 4;

/// Called for members the driver must not use (PollMem, Io.*, Map, ...).
typedef VOID (*UnexpectedCallHook)(
  VOID            *Context,
  PciIoOperation  Operation
  );

/// Called for a Mem.Read or Mem.Write that reaches beyond the BAR it names,
/// or names a BAR the adapter does not implement. Call describes the access
/// and the status it is refused with.
typedef VOID (*BarViolationHook)(
  VOID               *Context,
  CONST TraceRecord  &Call
  );

/// The PCI I/O instance of one adapter. The protocol is the first member so
/// that a protocol pointer leads back here (the CR pattern, checked by a
/// signature). Standard layout; no constructor: call Initialize.
class PciIoDevice {
public:
  static constexpr UINT64  Signature = SIGNATURE_64 ('Q', 'D', '5', '2', 'P', 'C', 'I', 'O');

  /// Binds the front end to its adapter. BootServices provides the pool for
  /// GetBarAttributes (may be NULL: GetBarAttributes then fails with
  /// EFI_OUT_OF_RESOURCES when asked for resources). Trace memory may be
  /// NULL/0 (nothing is kept; every record counts as overflow). Tracing
  /// starts on.
  VOID
  Initialize (
    IN Adapter            *Model,
    IN EFI_BOOT_SERVICES  *BootServices,
    IN TraceRecord        *TraceBuffer,
    IN UINTN              TraceCapacity
    );

  EFI_PCI_IO_PROTOCOL *
  Protocol (
    )
  {
    return &mProtocol;
  }

  /// The instance behind a protocol pointer; NULL when the signature is wrong.
  static PciIoDevice *
  FromProtocol (
    IN EFI_PCI_IO_PROTOCOL  *This
    );

  /// The instance whose PCI I/O was called last (NULL before any call).
  static PciIoDevice *
  LastUsed (
    )
  {
    return mLastUsed;
  }

  /// Forgets LastUsed when it is Device (call before Device goes away).
  static VOID
  ForgetLastUsed (
    IN CONST PciIoDevice  *Device
    );

  Adapter *
  Model (
    )
  {
    return mModel;
  }

  //
  // Trace.
  //
  VOID
  SetTracing (
    IN BOOLEAN  Enabled
    )
  {
    mTracing = Enabled;
  }

  BOOLEAN
  Tracing (
    ) const
  {
    return mTracing;
  }

  CONST TraceRecord *
  Trace (
    ) const
  {
    return mTrace;
  }

  UINTN
  TraceCount (
    ) const
  {
    return mTraceCount;
  }

  /// Records that did not fit since the last ClearTrace.
  UINTN
  TraceOverflow (
    ) const
  {
    return mTraceOverflow;
  }

  VOID
  ClearTrace (
    )
  {
    mTraceCount    = 0;
    mTraceOverflow = 0;
  }

  /// Appends a Delay record of Units (when tracing), so that delays appear
  /// between the register accesses around them.
  VOID
  AppendDelay (
    IN UINTN  Units
    );

  //
  // Failure injection.
  //
  /// Arms an injection. FALSE when all slots are busy or Nth is 0.
  BOOLEAN
  InjectFailure (
    IN CONST FailureInjection  &Injection
    );

  VOID
  ClearInjections (
    );

  /// Armed injections that have not fired yet (repeating ones stay armed).
  UINTN
  PendingInjections (
    ) const;

  //
  // Hooks and options.
  //
  VOID
  SetUnexpectedCallHook (
    IN UnexpectedCallHook  Hook,
    IN VOID                *Context
    )
  {
    mUnexpectedHook        = Hook;
    mUnexpectedHookContext = Context;
  }

  /// Reports every access outside the BARs to Hook (NULL: refused quietly,
  /// as the bus driver does).
  VOID
  SetBarViolationHook (
    IN BarViolationHook  Hook,
    IN VOID              *Context
    )
  {
    mBarViolationHook        = Hook;
    mBarViolationHookContext = Context;
  }

  /// Also refuse (EFI_UNSUPPORTED) buffers not aligned to min(8, unit), as
  /// the kit's CPU I/O driver under the root bridge does. Off by default.
  VOID
  SetCheckBufferAlignment (
    IN BOOLEAN  Enabled
    )
  {
    mCheckBufferAlignment = Enabled;
  }

private:
  struct InjectionSlot {
    FailureInjection    Injection;
    UINTN               Remaining;   ///< matching calls until it fires; 0 = slot free
  };

  /// One call as seen by tracing and injection.
  struct CallInfo {
    PciIoOperation    Operation;
    UINT8             BarIndex;
    UINT32            Width;
    UINT64            Offset;
    UINT64            Count;
    UINT64            Value;
    UINT64            Result;
    CONST VOID        *Buffer;
  };

  static PciIoDevice *
  Enter (
    IN EFI_PCI_IO_PROTOCOL  *This
    );

  BOOLEAN
  TakeInjectedFailure (
    IN  CONST CallInfo  &Call,
    OUT EFI_STATUS      *Status
    );

  EFI_STATUS
  Finish (
    IN CallInfo    &Call,
    IN EFI_STATUS  Status
    );

  /// The frame-buffer window of a Mem.Read or Mem.Write that the general
  /// path would accept and serve as plain moves of the row; the call is
  /// then traced. NULL for any other call.
  UINT8 *
  AcceptFrameBufferRow (
    IN BOOLEAN                    IsWrite,
    IN EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    IN UINT8                      BarIndex,
    IN UINT64                     Offset,
    IN UINTN                      Count,
    IN VOID                       *Buffer
    );

  /// Moves an accepted write into Window: a copy inline, a fill out of line.
  VOID
  WriteRow (
    OUT UINT8                      *Window,
    IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    IN  UINTN                      Count,
    IN  CONST VOID                 *Buffer
    ) const;

  /// An accepted write when the adapter keeps a record of the pages
  /// written: notes them, then WriteRow. Out of line, so that the record's
  /// call into host code costs the other rows nothing.
  EFI_STATUS EFIAPI
  RecordedRowWrite (
    OUT UINT8                      *Window,
    IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    IN  UINT64                     Offset,
    IN  UINTN                      Count,
    IN  CONST VOID                 *Buffer
    );

  EFI_STATUS
  Unexpected (
    IN PciIoOperation  Operation,
    IN UINT8           BarIndex
    );

  BOOLEAN
  InsideBar (
    IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    IN  UINT8                      BarIndex,
    IN  UINT64                     Offset,
    IN  UINTN                      Count
    ) const;

  /// Reports a refused Mem access that lay outside the BARs to the hook.
  VOID
  CheckBarViolation (
    IN CONST CallInfo  &Call,
    IN EFI_STATUS      Status,
    IN CONST VOID      *Buffer
    );

  EFI_STATUS
  CheckMemAccess (
    IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    IN  UINT8                      BarIndex,
    IN  UINT64                     Offset,
    IN  UINTN                      Count,
    IN  CONST VOID                 *Buffer
    ) const;

  EFI_STATUS
  CheckConfigAccess (
    IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    IN  UINT32                     Offset,
    IN  UINTN                      Count,
    IN  CONST VOID                 *Buffer
    ) const;

  EFI_STATUS
  CheckUnitAlignment (
    IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    IN  UINT64                     Address,
    IN  UINTN                      Count,
    IN  CONST VOID                 *Buffer
    ) const;

  EFI_STATUS
  EnableOrDisable (
    IN EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION  Operation,
    IN UINT64                                   Attributes
    );

  EFI_STATUS
  DoAttributes (
    IN  EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION  Operation,
    IN  UINT64                                   Attributes,
    OUT UINT64                                   *Result
    );

  EFI_STATUS
  DoGetBarAttributes (
    IN  UINT8   BarIndex,
    OUT UINT64  *Supports,
    OUT VOID    **Resources
    );

  //
  // Protocol members.
  //
  static EFI_STATUS EFIAPI
  PollMem (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64, UINT64, UINT64, UINT64, UINT64 *
    );

  static EFI_STATUS EFIAPI
  PollIo (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64, UINT64, UINT64, UINT64, UINT64 *
    );

  static EFI_STATUS EFIAPI
  MemRead (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64, UINTN, VOID *
    );

  static EFI_STATUS EFIAPI
  MemWrite (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64, UINTN, VOID *
    );

  /// Firmware ABI like the members that call it, so that their fast paths
  /// need not save the vector registers a host function may change.
  static EFI_STATUS EFIAPI
  SlowMemAccess (
    BOOLEAN, EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64, UINTN, VOID *
    );

  static EFI_STATUS EFIAPI
  IoRead (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64, UINTN, VOID *
    );

  static EFI_STATUS EFIAPI
  IoWrite (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64, UINTN, VOID *
    );

  static EFI_STATUS EFIAPI
  PciRead (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT32, UINTN, VOID *
    );

  static EFI_STATUS EFIAPI
  PciWrite (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT32, UINTN, VOID *
    );

  static EFI_STATUS EFIAPI
  CopyMem (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64, UINT8, UINT64, UINTN
    );

  static EFI_STATUS EFIAPI
  Map (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_OPERATION, VOID *, UINTN *, EFI_PHYSICAL_ADDRESS *, VOID **
    );

  static EFI_STATUS EFIAPI
  Unmap (
    EFI_PCI_IO_PROTOCOL *, VOID *
    );

  static EFI_STATUS EFIAPI
  AllocateBuffer (
    EFI_PCI_IO_PROTOCOL *, EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN, VOID **, UINT64
    );

  static EFI_STATUS EFIAPI
  FreeBuffer (
    EFI_PCI_IO_PROTOCOL *, UINTN, VOID *
    );

  static EFI_STATUS EFIAPI
  Flush (
    EFI_PCI_IO_PROTOCOL *
    );

  static EFI_STATUS EFIAPI
  GetLocation (
    EFI_PCI_IO_PROTOCOL *, UINTN *, UINTN *, UINTN *, UINTN *
    );

  static EFI_STATUS EFIAPI
  Attributes (
    EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION, UINT64, UINT64 *
    );

  static EFI_STATUS EFIAPI
  GetBarAttributes (
    EFI_PCI_IO_PROTOCOL *, UINT8, UINT64 *, VOID **
    );

  static EFI_STATUS EFIAPI
  SetBarAttributes (
    EFI_PCI_IO_PROTOCOL *, UINT64, UINT8, UINT64 *, UINT64 *
    );

  static PciIoDevice  *mLastUsed;

  EFI_PCI_IO_PROTOCOL    mProtocol;          ///< must stay the first member
  UINT64                 mSignature;
  Adapter                *mModel;
  EFI_BOOT_SERVICES      *mBootServices;
  TraceRecord            *mTrace;
  UINTN                  mTraceCapacity;
  UINTN                  mTraceCount;
  UINTN                  mTraceOverflow;
  BOOLEAN                mTracing;
  BOOLEAN                mCheckBufferAlignment;
  UINTN                  mArmedInjections;
  InjectionSlot          mInjections[MaxFailureInjections];
  UnexpectedCallHook     mUnexpectedHook;
  VOID                   *mUnexpectedHookContext;
  BarViolationHook       mBarViolationHook;
  VOID                   *mBarViolationHookContext;
  VOID                   (EFIAPI *mCopyRow)(VOID *, CONST VOID *, UINTN);   ///< frame-buffer row copy (SimHostRows.h)
};

static_assert (__is_standard_layout (PciIoDevice), "the protocol pointer must lead back to the instance");

//
// Names for readable output.
//
/// "MemRead", "Attributes", "Delay", ...
CONST CHAR8 *
OperationName (
  IN PciIoOperation  Operation
  );

/// "Uint32", "FifoUint8", "FillUint64", ...; "Width?" for other values.
CONST CHAR8 *
WidthName (
  IN UINT32  Width
  );

/// "Get", "Set", "Enable", "Disable", "Supported"; "Operation?" otherwise.
CONST CHAR8 *
AttributeOperationName (
  IN UINT32  Operation
  );

/// The right one of WidthName / AttributeOperationName for a record; ""
/// for operations without a width.
CONST CHAR8 *
RecordWidthName (
  IN CONST TraceRecord  &Record
  );

} // namespace Qd520Sim

#endif // QD520_PCI_IO_H_
