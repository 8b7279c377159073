/** @file
  The simulated platform the QD520 driver's host tests run on: system table
  and boot services over a real handle database, a counted pool, the task
  priority level, QD520 adapters on PCI controller handles, the debug UART
  and the record of the driver's assertions.

  One SimPlatform is active at a time; the boot-service functions in the
  tables find it through SimPlatform::Current(). Create it first, add
  adapters, then run the driver's entry point with ImageHandle() and
  SystemTable().

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_SIM_PLATFORM_H_
#define QD520_SIM_PLATFORM_H_

#include "Qd520Adapter.h"
#include "Qd520PciIo.h"
#include "SimDevicePath.h"
#include "SimFailure.h"
#include "SimHandleDatabase.h"
#include "SimUart16550.h"

extern "C" {
#include <Protocol/LoadedImage.h>
}

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Qd520Sim {

//
// Pool.
//

/// One live AllocatePool block.
struct PoolBlock {
  VOID               *Address;
  UINTN              Size;
  EFI_MEMORY_TYPE    Type;
  UINT64             Serial;   ///< 1 for the first successful allocation, and so on
};

/// AllocatePool/FreePool with the core's parameter checks, accounting of
/// live blocks and bytes per memory type, and failure injection. Fresh
/// blocks are filled with FreshFill; freed blocks with FreedFill before they
/// go back to the host. A few freed blocks of SpareMinimum bytes or more
/// (line buffers) are kept, poisoned under AddressSanitizer, for the next
/// allocation of the same size: a large block from the host comes as fresh
/// pages, which would be faulted in again at every mode set.
class PoolTracker {
public:
  static constexpr UINT8  FreshFill = 0xAF;
  static constexpr UINT8  FreedFill = 0xDF;

  ~PoolTracker (
    );

  /// EFI_INVALID_PARAMETER for a bad type or NULL Buffer; an injected
  /// failure or a host failure sets *Buffer NULL and returns
  /// EFI_OUT_OF_RESOURCES.
  EFI_STATUS
  Allocate (
    EFI_MEMORY_TYPE  Type,
    UINTN            Size,
    VOID             **Buffer
    );

  /// EFI_INVALID_PARAMETER for NULL; a pointer that is not a live block is a
  /// loud failure and EFI_INVALID_PARAMETER.
  EFI_STATUS
  Free (
    VOID  *Buffer
    );

  /// The Nth allocation from now (1 = the next one) fails. Several may be
  /// pending.
  void
  FailAllocation (
    UINT64  Nth = 1
    );

  /// Every allocation from the Nth from now on fails, until cleared.
  void
  FailAllocationsFrom (
    UINT64  Nth = 1
    );

  void
  ClearInjectedFailures (
    );

  size_t
  LiveBlocks (
    ) const
  {
    return mBlocks.size ();
  }

  size_t
  LiveBlocks (
    EFI_MEMORY_TYPE  Type
    ) const;

  UINT64
  LiveBytes (
    ) const;

  UINT64
  LiveBytes (
    EFI_MEMORY_TYPE  Type
    ) const;

  /// Live blocks, oldest first.
  std::vector<PoolBlock>
  Blocks (
    ) const;

  bool
  IsLive (
    const VOID  *Address
    ) const
  {
    return mBlocks.count (Address) != 0;
  }

  /// The live block starting at Address, or nullptr.
  const PoolBlock *
  BlockAt (
    const VOID  *Address
    ) const;

  /// AllocatePool calls that passed the parameter checks (failed ones included).
  UINT64
  AllocationCalls (
    ) const
  {
    return mAllocationCalls;
  }

  UINT64
  FailedAllocations (
    ) const
  {
    return mFailedAllocations;
  }

  UINT64
  FreeCalls (
    ) const
  {
    return mFreeCalls;
  }

  /// Gives every live block back to the host (platform teardown).
  void
  ReleaseAll (
    );

private:
  static constexpr UINTN   SpareMinimum = 0x10000;
  static constexpr size_t  SpareMaxKept = 4;

  /// A kept block of exactly Size bytes, or nullptr.
  VOID *
  TakeSpare (
    UINTN  Size
    );

  /// Keeps a freed block for reuse or gives it back to the host.
  void
  KeepOrRelease (
    VOID   *Memory,
    UINTN  Size
    );

  std::map<const VOID *, PoolBlock>    mBlocks;
  std::vector<std::pair<VOID *, UINTN> >  mSpare;   ///< freed blocks kept for reuse
  std::set<UINT64>                     mFailAt;        ///< AllocationCalls values that fail
  UINT64                               mFailFrom = 0;  ///< 0 = off
  UINT64                               mAllocationCalls   = 0;
  UINT64                               mFailedAllocations = 0;
  UINT64                               mFreeCalls         = 0;
  UINT64                               mSerial            = 0;
};

//
// Task priority level.
//

struct TplEvent {
  enum class Kind {
    Raise,
    Restore
  };

  Kind       Call;
  EFI_TPL    Requested;  ///< the argument
  EFI_TPL    Previous;   ///< the level before the call
};

/// RaiseTPL/RestoreTPL with the current level (TPL_APPLICATION at start).
/// Raising below or restoring above the current level, or beyond
/// TPL_HIGH_LEVEL, is a loud failure and leaves the level alone.
class TplTracker {
public:
  EFI_TPL
  Raise (
    EFI_TPL  NewTpl
    );

  void
  Restore (
    EFI_TPL  OldTpl
    );

  EFI_TPL
  Current (
    ) const
  {
    return mCurrent;
  }

  const std::vector<TplEvent> &
  Events (
    ) const
  {
    return mEvents;
  }

  void
  ClearEvents (
    )
  {
    mEvents.clear ();
  }

private:
  EFI_TPL                  mCurrent = TPL_APPLICATION;
  std::vector<TplEvent>    mEvents;
};

//
// Boot-service calls.
//

/// One call of a boot service through the service table, with the
/// arguments that tell what it was for.
struct ServiceCall {
  const char               *Service  = "";    ///< "AllocatePool", "OpenProtocol", ...
  bool                     CanFail   = true;  ///< the service returns a status (RaiseTPL and RestoreTPL do not)
  bool                     Injected  = false; ///< failed by injection
  EFI_STATUS               Status    = EFI_SUCCESS; ///< what it returned (EFI_SUCCESS for the two without a status)
  UINTN                    Size      = 0;     ///< AllocatePool: bytes asked for
  VOID                     *Block    = nullptr; ///< AllocatePool: the block returned (NULL when it failed); FreePool: the block given back
  std::vector<EFI_GUID>    Protocols;         ///< protocol services: the GUIDs named, in order
  UINT32                   Attributes = 0;    ///< OpenProtocol: the open attributes
  EFI_TPL                  Tpl       = 0;     ///< RaiseTPL, RestoreTPL: the level asked for
};

/// Counts the boot-service calls that come through the service table (the
/// driver's, its libraries' and PCI I/O's, not the simulator's own), keeps
/// an optional log of them and fails the Nth call that returns a status.
/// An injected failure makes no change and returns the service's usual
/// refusal (FailureStatus) unless the injection names a status.
class ServiceCallTracker {
public:
  /// What a service returns when it cannot do what is asked.
  static EFI_STATUS
  FailureStatus (
    const char  *Service
    );

  /// Called by every service before it acts, with the call's service name,
  /// CanFail and arguments. For a service that can fail: true when this call
  /// is the injected one; *Status then holds the status to return.
  bool
  Enter (
    ServiceCall  &&Call,
    EFI_STATUS   *Status
    );

  /// Records what the call returned and, for AllocatePool, the block it
  /// handed out (when logging).
  void
  Leave (
    EFI_STATUS  Status,
    VOID        *Block = nullptr
    );

  /// The Nth call that can fail, counted from now (1 = the next), fails
  /// with Status (0: the service's FailureStatus).
  void
  FailCall (
    UINT64      Nth,
    EFI_STATUS  Status = EFI_SUCCESS
    );

  void
  ClearInjectedFailure (
    )
  {
    mFailAt = 0;
  }

  bool
  InjectionPending (
    ) const
  {
    return mFailAt != 0;
  }

  /// Calls that can fail, since the platform was created. The log, when
  /// on, holds every call with its arguments.
  UINT64
  FailableCalls (
    ) const
  {
    return mFailableCalls;
  }

  void
  SetLogging (
    bool  Enabled
    )
  {
    mLogging = Enabled;
  }

  const std::vector<ServiceCall> &
  Log (
    ) const
  {
    return mLog;
  }

  void
  ClearLog (
    )
  {
    mLog.clear ();
  }

private:
  bool                        mLogging       = false;
  UINT64                      mFailableCalls = 0;
  UINT64                      mFailAt        = 0;   ///< FailableCalls value that fails; 0 = none
  EFI_STATUS                  mFailStatus    = EFI_SUCCESS;
  std::vector<size_t>         mOpen;                ///< log entries awaiting their status
  std::vector<ServiceCall>    mLog;
};

//
// Adapters.
//

struct AdapterOptions {
  AdapterConfig                               Config           = DefaultAdapterConfig ();
  UINT64                                      FrameBufferSize  = DefaultFrameBufferSize;
  UINT64                                      RegisterFileSize = DefaultRegisterFileSize;
  int                                         PciDevice        = -1;      ///< Pci(dev,0); -1 picks the adapter's index
  size_t                                      TraceCapacity    = 1 << 16; ///< trace records kept
  std::vector<std::pair<UINT64, UINT32> >     InitialRegisters;           ///< (offset, value) preset after power-on (zero)
  bool                                        FailOnBarViolation = true;  ///< a Mem access outside the BARs is a loud failure (the driver never makes one); off to test the refusals themselves
  bool                                        RecordWrittenPages = false; ///< keep the record of frame-buffer pages written (WrittenPages)
};

/// One QD520 on its controller handle, with its own frame buffer, register
/// file and trace.
class SimAdapter {
public:
  SimAdapter (
    size_t                Index,
    const AdapterOptions  &Options,
    EFI_BOOT_SERVICES     *BootServices
    );

  ~SimAdapter (
    );

  SimAdapter (
    const SimAdapter &
    ) = delete;

  SimAdapter &
  operator= (
    const SimAdapter &
    ) = delete;

  size_t
  Index (
    ) const
  {
    return mIndex;
  }

  Adapter &
  Model (
    )
  {
    return mModel;
  }

  PciIoDevice &
  PciIo (
    )
  {
    return mPciIo;
  }

  EFI_PCI_IO_PROTOCOL *
  Protocol (
    )
  {
    return mPciIo.Protocol ();
  }

  EFI_HANDLE
  Controller (
    ) const
  {
    return mController;
  }

  EFI_DEVICE_PATH_PROTOCOL *
  DevicePath (
    )
  {
    return AsDevicePath (mDevicePath);
  }

  //
  // Hardware state.
  //
  /// What a 32-bit read of the register returns now (no side effect). An
  /// offset outside the register file is a loud failure and reads 0.
  UINT32
  Register (
    UINT64  Offset
    ) const;

  /// Presets what the register reads back, bypassing its write behaviour.
  void
  SetRegister (
    UINT64  Offset,
    UINT32  Value
    );

  /// Gives every register a distinct non-zero value derived from Seed and its
  /// offset (0x800C0 included, which presets the HDMI latch and index).
  void
  FillRegisters (
    UINT32  Seed
    );

  UINT8
  Hdmi (
    UINT8  Index
    ) const
  {
    return mModel.PeekHdmi (Index);
  }

  void
  SetHdmi (
    UINT8  Index,
    UINT8  Value
    )
  {
    mModel.PokeHdmi (Index, Value);
  }

  UINT8 *
  FrameBuffer (
    )
  {
    return mFrameBuffer.get ();
  }

  UINT64
  FrameBufferSize (
    ) const
  {
    return mFrameBufferSize;
  }

  /// Zero fills whose whole pages the platform cleared without storing
  /// into the pages nobody had touched (see AdapterMemory::ZeroPages).
  UINT64
  PageClears (
    ) const
  {
    return mPageClears;
  }

  /// With AdapterOptions::RecordWrittenPages: whether any write through
  /// the adapter reached a byte of [Offset, Offset + Bytes) of the frame
  /// buffer since the record was last cleared. Every other byte holds what
  /// the owner of the memory last put there. Without the record: TRUE.
  bool
  Written (
    UINT64  Offset,
    UINT64  Bytes
    ) const;

  /// Starts the record of written pages afresh.
  void
  ClearWrittenPages (
    );

  /// 32-bit pixel at byte offset (Y * PixelsPerLine + X) * 4.
  UINT32
  Pixel (
    UINTN  X,
    UINTN  Y,
    UINTN  PixelsPerLine
    ) const;

  //
  // Trace.
  //
  std::vector<TraceRecord>
  Trace (
    ) const;

  size_t
  TraceCount (
    ) const
  {
    return mPciIo.TraceCount ();
  }

  void
  ClearTrace (
    )
  {
    mPciIo.ClearTrace ();
  }

  /// Installs the controller handle (device path and PCI I/O). Called by
  /// SimPlatform::AddAdapter.
  EFI_STATUS
  Install (
    HandleDatabase  &Handles
    );

private:
  /// Gives frame-buffer memory back (to the reuse cache, see SimPlatform.cpp).
  struct FrameBufferDeleter {
    size_t    Size;

    void
    operator() (
      UINT8  *Memory
      ) const;
  };

  bool
  IsRegister (
    UINT64  Offset
    ) const;

  static BOOLEAN
  ZeroFrameBufferPages (
    VOID    *Context,
    UINT8   *Start,
    UINT64  Bytes
    );

  static void
  OnUnexpectedCall (
    VOID            *Context,
    PciIoOperation  Operation
    );

  static void
  OnBarViolation (
    VOID               *Context,
    const TraceRecord  &Call
    );

  size_t                                  mIndex;
  Adapter                                 mModel;
  PciIoDevice                             mPciIo;
  std::unique_ptr<UINT8[], FrameBufferDeleter>  mFrameBuffer;
  UINT64                                  mFrameBufferSize;
  UINT64                                  mPageClears = 0;
  std::vector<UINT8>                      mWrittenPages;      ///< a byte per page; empty: no record
  UINT32                                  mWrittenPageShift = 0;   ///< log2 of the record's page size
  std::vector<UINT32>                     mRegisters;
  std::vector<TraceRecord>                mTrace;
  DevicePathBytes                         mDevicePath;
  EFI_HANDLE                              mController;
};

//
// The platform.
//

struct PlatformOptions {
  Uart16550::InitialState    UartState = Uart16550::InitialState::SetUp;
};

/// One driver assertion: what the debug library printed before it would halt.
struct AssertionRecord {
  std::string    File;
  UINTN          Line;
  std::string    Expression;
};

class SimPlatform {
public:
  explicit SimPlatform (
    const PlatformOptions  &Options = PlatformOptions ()
    );

  ~SimPlatform (
    );

  SimPlatform (
    const SimPlatform &
    ) = delete;

  SimPlatform &
  operator= (
    const SimPlatform &
    ) = delete;

  /// The active platform, or nullptr.
  static SimPlatform *
  Current (
    );

  //
  // Firmware tables and images.
  //
  EFI_SYSTEM_TABLE *
  SystemTable (
    )
  {
    return &mSystemTable;
  }

  EFI_BOOT_SERVICES *
  BootServices (
    )
  {
    return &mBootServices;
  }

  EFI_RUNTIME_SERVICES *
  RuntimeServices (
    )
  {
    return &mRuntimeServices;
  }

  /// The driver's image handle (carries EFI_LOADED_IMAGE_PROTOCOL).
  EFI_HANDLE
  ImageHandle (
    ) const
  {
    return mImageHandle;
  }

  /// The firmware core's image handle, agent of HandleProtocol opens.
  EFI_HANDLE
  CoreImageHandle (
    ) const
  {
    return mCoreImageHandle;
  }

  //
  // Adapters.
  //
  SimAdapter &
  AddAdapter (
    const AdapterOptions  &Options = AdapterOptions ()
    );

  size_t
  AdapterCount (
    ) const
  {
    return mAdapters.size ();
  }

  SimAdapter &
  AdapterAt (
    size_t  Index
    )
  {
    return *mAdapters.at (Index);
  }

  /// The adapter whose PCI I/O was called last, else the first; nullptr
  /// when there is none. Delay records go to its trace.
  SimAdapter *
  CurrentAdapter (
    );

  SimAdapter *
  AdapterOf (
    EFI_HANDLE  Controller
    );

  //
  // Firmware connect logic towards drivers.
  //
  EFI_STATUS
  Connect (
    EFI_HANDLE                Controller,
    EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath = nullptr,
    bool                      Recursive = false
    );

  EFI_STATUS
  Disconnect (
    EFI_HANDLE  Controller
    );

  //
  // Parts.
  //
  HandleDatabase &
  Handles (
    )
  {
    return mHandles;
  }

  PoolTracker &
  Pool (
    )
  {
    return mPool;
  }

  TplTracker &
  Tpl (
    )
  {
    return mTpl;
  }

  ServiceCallTracker &
  Services (
    )
  {
    return mServices;
  }

  Uart16550 &
  Uart (
    )
  {
    return mUart;
  }

  //
  // Driver assertions (recorded by SerialDebugLibAssertHalt).
  //
  void
  RecordAssertion (
    const char  *File,
    UINTN       Line,
    const char  *Expression
    );

  const std::vector<AssertionRecord> &
  Assertions (
    ) const
  {
    return mAssertions;
  }

  std::vector<AssertionRecord>
  TakeAssertions (
    );

  /// "file(line): expression" lines, for a failure message.
  std::string
  AssertionsText (
    ) const;

  //
  // Boot and runtime services that are not simulated and were called anyway
  // (each call is also a loud failure).
  //
  void
  RecordUnexpectedService (
    const char  *Name
    );

  const std::vector<std::string> &
  UnexpectedServices (
    ) const
  {
    return mUnexpectedServices;
  }

private:
  void
  InitializeTables (
    );

  EFI_HANDLE
  CreateImageHandle (
    EFI_LOADED_IMAGE_PROTOCOL  &LoadedImage,
    EFI_HANDLE                 ParentHandle
    );

  EFI_SYSTEM_TABLE                            mSystemTable;
  EFI_BOOT_SERVICES                           mBootServices;
  EFI_RUNTIME_SERVICES                        mRuntimeServices;
  EFI_LOADED_IMAGE_PROTOCOL                   mCoreLoadedImage;
  EFI_LOADED_IMAGE_PROTOCOL                   mDriverLoadedImage;
  HandleDatabase                              mHandles;
  PoolTracker                                 mPool;
  TplTracker                                  mTpl;
  ServiceCallTracker                          mServices;
  Uart16550                                   mUart;
  EFI_HANDLE                                  mCoreImageHandle;
  EFI_HANDLE                                  mImageHandle;
  std::vector<std::unique_ptr<SimAdapter> >   mAdapters;
  std::vector<AssertionRecord>                mAssertions;
  std::vector<std::string>                    mUnexpectedServices;
};

/// Fills the boot and runtime service tables (SimBootServices.cpp).
void
FillServiceTables (
  EFI_BOOT_SERVICES     &BootServices,
  EFI_RUNTIME_SERVICES  &RuntimeServices
  );

} // namespace Qd520Sim

#endif // QD520_SIM_PLATFORM_H_
