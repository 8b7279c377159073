/** @file
  The simulated platform (see SimPlatform.h): pool, task priority level,
  adapters and the platform object.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

extern "C" {
#include <Protocol/PciIo.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#if defined (__SANITIZE_ADDRESS__)
  #define QD520_ADDRESS_SANITIZER  1
#elif defined (__has_feature)
  #if __has_feature (address_sanitizer)
    #define QD520_ADDRESS_SANITIZER  1
  #endif
#endif
#ifndef QD520_ADDRESS_SANITIZER
  #define QD520_ADDRESS_SANITIZER  0
#endif

namespace Qd520Sim {

namespace {

SimPlatform  *gCurrentPlatform = nullptr;

constexpr UINT32  OemReservedMemoryTypeMin = 0x70000000;    ///< the core's MEMORY_TYPE_OEM_RESERVED_MIN
constexpr UINTN   MaxHostPoolBlock         = (UINTN)1 << 32; ///< larger requests fail as out of resources

const EFI_GUID  PciIoGuid       = EFI_PCI_IO_PROTOCOL_GUID;
const EFI_GUID  DevicePathGuid  = EFI_DEVICE_PATH_PROTOCOL_GUID;
const EFI_GUID  LoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;

std::string
Hex (
  UINT64  Value
  )
{
  char  Text[24];

  std::snprintf (Text, sizeof (Text), "0x%llX", (unsigned long long)Value);
  return Text;
}

} // namespace

//
// Pool.
//

PoolTracker::~PoolTracker (
  )
{
  ReleaseAll ();
}

EFI_STATUS
PoolTracker::Allocate (
  EFI_MEMORY_TYPE  Type,
  UINTN            Size,
  VOID             **Buffer
  )
{
  VOID  *Memory;
  bool  Inject;

  if ((((UINT32)Type >= EfiMaxMemoryType) && ((UINT32)Type < OemReservedMemoryTypeMin)) ||
      (Type == EfiConventionalMemory) || (Type == EfiPersistentMemory))
  {
    return EFI_INVALID_PARAMETER;
  }

  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  *Buffer = nullptr;
  mAllocationCalls++;
  Inject = (mFailAt.erase (mAllocationCalls) != 0) || ((mFailFrom != 0) && (mAllocationCalls >= mFailFrom));
  Memory = (Inject || (Size > MaxHostPoolBlock)) ? nullptr : TakeSpare (Size);
  if ((Memory == nullptr) && !Inject && (Size <= MaxHostPoolBlock)) {
    Memory = std::malloc (Size != 0 ? Size : 1);
  }

  if (Memory == nullptr) {
    mFailedAllocations++;
    return EFI_OUT_OF_RESOURCES;
  }

  std::memset (Memory, FreshFill, Size);
  mBlocks[Memory] = PoolBlock{ Memory, Size, Type, ++mSerial };
  *Buffer         = Memory;
  return EFI_SUCCESS;
}

EFI_STATUS
PoolTracker::Free (
  VOID  *Buffer
  )
{
  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  auto  Block = mBlocks.find (Buffer);

  if (Block == mBlocks.end ()) {
    QD520_SIM_FAIL ("FreePool of " + Hex ((UINTN)Buffer) + ", which is not a live pool block");
    return EFI_INVALID_PARAMETER;
  }

  mFreeCalls++;
  KeepOrRelease (Buffer, Block->second.Size);
  mBlocks.erase (Block);
  return EFI_SUCCESS;
}

VOID *
PoolTracker::TakeSpare (
  UINTN  Size
  )
{
  for (size_t Index = 0; Index < mSpare.size (); Index++) {
    if (mSpare[Index].second == Size) {
      VOID  *Memory = mSpare[Index].first;

      mSpare.erase (mSpare.begin () + Index);
      ASAN_UNPOISON_MEMORY_REGION (Memory, Size);
      return Memory;
    }
  }

  return nullptr;
}

void
PoolTracker::KeepOrRelease (
  VOID   *Memory,
  UINTN  Size
  )
{
  //
  // A kept block that AddressSanitizer guards needs no fill: any access
  // to it is reported.
  //
  if ((Size >= SpareMinimum) && (mSpare.size () < SpareMaxKept)) {
 #if !QD520_ADDRESS_SANITIZER
    std::memset (Memory, FreedFill, Size);
 #endif
    ASAN_POISON_MEMORY_REGION (Memory, Size);
    mSpare.emplace_back (Memory, Size);
  } else {
    std::memset (Memory, FreedFill, Size);
    std::free (Memory);
  }
}

void
PoolTracker::FailAllocation (
  UINT64  Nth
  )
{
  if (Nth == 0) {
    QD520_SIM_FAIL ("FailAllocation counts from 1 (the next allocation)");
    return;
  }

  mFailAt.insert (mAllocationCalls + Nth);
}

void
PoolTracker::FailAllocationsFrom (
  UINT64  Nth
  )
{
  if (Nth == 0) {
    QD520_SIM_FAIL ("FailAllocationsFrom counts from 1 (the next allocation)");
    return;
  }

  mFailFrom = mAllocationCalls + Nth;
}

void
PoolTracker::ClearInjectedFailures (
  )
{
  mFailAt.clear ();
  mFailFrom = 0;
}

size_t
PoolTracker::LiveBlocks (
  EFI_MEMORY_TYPE  Type
  ) const
{
  size_t  Count = 0;

  for (const auto &Entry : mBlocks) {
    Count += (Entry.second.Type == Type) ? 1 : 0;
  }

  return Count;
}

UINT64
PoolTracker::LiveBytes (
  ) const
{
  UINT64  Bytes = 0;

  for (const auto &Entry : mBlocks) {
    Bytes += Entry.second.Size;
  }

  return Bytes;
}

UINT64
PoolTracker::LiveBytes (
  EFI_MEMORY_TYPE  Type
  ) const
{
  UINT64  Bytes = 0;

  for (const auto &Entry : mBlocks) {
    Bytes += (Entry.second.Type == Type) ? Entry.second.Size : 0;
  }

  return Bytes;
}

std::vector<PoolBlock>
PoolTracker::Blocks (
  ) const
{
  std::vector<PoolBlock>  Result;

  for (const auto &Entry : mBlocks) {
    Result.push_back (Entry.second);
  }

  std::sort (
         Result.begin (),
         Result.end (),
         [](const PoolBlock &Left, const PoolBlock &Right) {
    return Left.Serial < Right.Serial;
  }
         );
  return Result;
}

const PoolBlock *
PoolTracker::BlockAt (
  const VOID  *Address
  ) const
{
  auto  Block = mBlocks.find (Address);

  return Block != mBlocks.end () ? &Block->second : nullptr;
}

void
PoolTracker::ReleaseAll (
  )
{
  for (auto &Entry : mBlocks) {
    std::free (Entry.second.Address);
  }

  for (auto &Spare : mSpare) {
    ASAN_UNPOISON_MEMORY_REGION (Spare.first, Spare.second);
    std::free (Spare.first);
  }

  mBlocks.clear ();
  mSpare.clear ();
}

//
// Task priority level.
//

EFI_TPL
TplTracker::Raise (
  EFI_TPL  NewTpl
  )
{
  EFI_TPL  Previous = mCurrent;

  mEvents.push_back (TplEvent{ TplEvent::Kind::Raise, NewTpl, Previous });
  if ((NewTpl < mCurrent) || (NewTpl > TPL_HIGH_LEVEL)) {
    QD520_SIM_FAIL ("RaiseTPL (" + std::to_string (NewTpl) + ") at TPL " + std::to_string (mCurrent));
    return Previous;
  }

  mCurrent = NewTpl;
  return Previous;
}

void
TplTracker::Restore (
  EFI_TPL  OldTpl
  )
{
  mEvents.push_back (TplEvent{ TplEvent::Kind::Restore, OldTpl, mCurrent });
  if ((OldTpl > mCurrent) || (OldTpl > TPL_HIGH_LEVEL)) {
    QD520_SIM_FAIL ("RestoreTPL (" + std::to_string (OldTpl) + ") at TPL " + std::to_string (mCurrent));
    return;
  }

  mCurrent = OldTpl;
}

//
// Adapters.
//

namespace {

/// Frame-buffer memory: anonymous mappings of the system, which read as zero
/// until written. A zero fill of whole pages (the clear of every mode set)
/// stores zeros only into the pages that are resident; the others are
/// handed back to the system, which makes them read as zero at no cost
/// (without swap they are zero already). Storing into the resident pages
/// rather than handing them back too keeps the screen's pages from being
/// faulted in again by the next frame. Blocks of adapters that went away
/// are kept for the next adapter of the same size and cleared the same way.
class FrameBufferCache {
public:
  static size_t
  PageSize (
    )
  {
    static const size_t  Size = (size_t)sysconf (_SC_PAGESIZE);

    return Size;
  }

  /// Makes whole pages read as zero; false when the system refuses. Bulk
  /// work: a coverage callback per page would cost more than the clear.
  __attribute__ ((no_sanitize ("coverage"))) static bool
  ZeroPages (
    UINT8   *Start,
    size_t  Bytes
    )
  {
    const size_t  Page  = PageSize ();
    const size_t  Pages = Bytes / Page;

    //
    // One residency vector for every call: each mode set asks about
    // thousands of pages. Never destroyed, like the cache.
    //
    static std::vector<unsigned char>  &Resident = *new std::vector<unsigned char>();

    Resident.resize (Pages);

    if (mincore (Start, Bytes, Resident.data ()) != 0) {
      return false;
    }

    for (size_t First = 0; First < Pages;) {
      bool    InCore = (Resident[First] & 1) != 0;
      size_t  End    = First + 1;

      while ((End < Pages) && (((Resident[End] & 1) != 0) == InCore)) {
        End++;
      }

      if (InCore) {
        std::memset (Start + First * Page, 0, (End - First) * Page);
      } else if (madvise (Start + First * Page, (End - First) * Page, MADV_DONTNEED) != 0) {
        return false;
      }

      First = End;
    }

    return true;
  }

  UINT8 *
  Take (
    size_t  Size
    )
  {
    for (size_t Index = 0; Index < mBlocks.size (); Index++) {
      if (mBlocks[Index].Size == Size) {
        UINT8  *Memory = mBlocks[Index].Memory;
        mBlocks.erase (mBlocks.begin () + Index);
        if (!ZeroPages (Memory, Size)) {
          std::memset (Memory, 0, Size);
        }

        return Memory;
      }
    }

    void  *Memory = mmap (nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);

    return (Memory != MAP_FAILED) ? static_cast<UINT8 *>(Memory) : nullptr;
  }

  void
  Give (
    UINT8   *Memory,
    size_t  Size
    )
  {
    if ((Memory != nullptr) && (mBlocks.size () < MaxKept)) {
      mBlocks.push_back (Block{ Memory, Size });
    } else if (Memory != nullptr) {
      munmap (Memory, Size);
    }
  }

private:
  static constexpr size_t  MaxKept = 2;

  struct Block {
    UINT8     *Memory;
    size_t    Size;
  };

  std::vector<Block>  mBlocks;
};

/// Never destroyed, so that adapters of platforms that outlive main's
/// static destructors can still give their memory back.
FrameBufferCache &
FrameBuffers (
  )
{
  static FrameBufferCache  &Cache = *new FrameBufferCache ();

  return Cache;
}

} // namespace

BOOLEAN
SimAdapter::ZeroFrameBufferPages (
  VOID    *Context,
  UINT8   *Start,
  UINT64  Bytes
  )
{
  auto  *Self = static_cast<SimAdapter *>(Context);

  if (!FrameBufferCache::ZeroPages (Start, (size_t)Bytes)) {
    return FALSE;
  }

  Self->mPageClears++;
  return TRUE;
}

bool
SimAdapter::Written (
  UINT64  Offset,
  UINT64  Bytes
  ) const
{
  if (mWrittenPages.empty ()) {
    return true;
  }

  //
  // Shifts, not divisions: the fuzzer asks for every page at the end of
  // every input.
  //
  const UINT64  Last  = (UINT64)mWrittenPages.size ();
  const size_t  First = (size_t)std::min<UINT64>(Offset >> mWrittenPageShift, Last);
  const size_t  End   = (size_t)std::min<UINT64>((Offset + Bytes + (1ull << mWrittenPageShift) - 1) >> mWrittenPageShift, Last);

  if (End == First + 1) {
    return mWrittenPages[First] != 0;
  }

  return (End > First) && (std::memchr (mWrittenPages.data () + First, 1, End - First) != nullptr);
}

void
SimAdapter::ClearWrittenPages (
  )
{
  std::memset (mWrittenPages.data (), 0, mWrittenPages.size ());
}

void
SimAdapter::FrameBufferDeleter::operator() (
  UINT8  *Memory
  ) const
{
  FrameBuffers ().Give (Memory, Size);
}

//
// Boot-service calls.
//

EFI_STATUS
ServiceCallTracker::FailureStatus (
  const char  *Service
  )
{
  static const struct {
    const char    *Service;
    EFI_STATUS    Status;
  } Refusals[] = {
    { "AllocatePool",                        EFI_OUT_OF_RESOURCES  },
    { "FreePool",                            EFI_INVALID_PARAMETER },
    { "InstallProtocolInterface",            EFI_OUT_OF_RESOURCES  },
    { "InstallMultipleProtocolInterfaces",   EFI_OUT_OF_RESOURCES  },
    { "UninstallProtocolInterface",          EFI_ACCESS_DENIED     },
    { "UninstallMultipleProtocolInterfaces", EFI_INVALID_PARAMETER },
    { "HandleProtocol",                      EFI_UNSUPPORTED       },
    { "OpenProtocol",                        EFI_UNSUPPORTED       },
    { "CloseProtocol",                       EFI_NOT_FOUND         },
  };

  for (const auto &Refusal : Refusals) {
    if (std::strcmp (Refusal.Service, Service) == 0) {
      return Refusal.Status;
    }
  }

  return EFI_DEVICE_ERROR;
}

bool
ServiceCallTracker::Enter (
  ServiceCall  &&Call,
  EFI_STATUS   *Status
  )
{
  bool  Inject = false;

  if (Call.CanFail) {
    mFailableCalls++;
    if ((mFailAt != 0) && (mFailAt == mFailableCalls)) {
      Inject  = true;
      *Status = (mFailStatus != EFI_SUCCESS) ? mFailStatus : FailureStatus (Call.Service);
      mFailAt = 0;
    }
  }

  if (mLogging) {
    Call.Injected = Inject;
    Call.Status   = EFI_SUCCESS;
    mOpen.push_back (mLog.size ());
    mLog.push_back (std::move (Call));
  }

  return Inject;
}

void
ServiceCallTracker::Leave (
  EFI_STATUS  Status,
  VOID        *Block
  )
{
  if (mLogging && !mOpen.empty ()) {
    ServiceCall  &Call = mLog[mOpen.back ()];

    Call.Status = Status;
    if (Block != nullptr) {
      Call.Block = Block;
    }

    mOpen.pop_back ();
  }
}

void
ServiceCallTracker::FailCall (
  UINT64      Nth,
  EFI_STATUS  Status
  )
{
  mFailAt     = (Nth != 0) ? mFailableCalls + Nth : 0;
  mFailStatus = Status;
}

SimAdapter::SimAdapter (
  size_t                Index,
  const AdapterOptions  &Options,
  EFI_BOOT_SERVICES     *BootServices
  ) : mIndex (Index), mController (nullptr)
{
  AdapterMemory  Memory;

  mFrameBufferSize = Options.FrameBufferSize;
  size_t  Bytes = (size_t)(mFrameBufferSize != 0 ? mFrameBufferSize : 1);
  mFrameBuffer = std::unique_ptr<UINT8[], FrameBufferDeleter>(FrameBuffers ().Take (Bytes), FrameBufferDeleter{ Bytes });

  mRegisters.assign ((size_t)(Options.RegisterFileSize / sizeof (UINT32)), 0);
  mTrace.resize (Options.TraceCapacity);

  Memory.FrameBuffer      = mFrameBuffer.get ();
  Memory.FrameBufferSize  = mFrameBufferSize;
  Memory.Registers        = mRegisters.data ();
  Memory.RegisterFileSize = Options.RegisterFileSize;
  Memory.ZeroPages        = ZeroFrameBufferPages;
  Memory.ZeroPagesContext = this;
  Memory.PageSize         = FrameBufferCache::PageSize ();
  Memory.WrittenPages     = nullptr;
  if (Options.RecordWrittenPages) {
    mWrittenPages.assign ((size_t)((mFrameBufferSize + Memory.PageSize - 1) / Memory.PageSize), 0);
    mWrittenPageShift = (UINT32)__builtin_ctzll (Memory.PageSize);
    Memory.WrittenPages = mWrittenPages.data ();
  }

  if (!mModel.Initialize (Options.Config, Memory)) {
    QD520_SIM_FAIL (
      "adapter " + std::to_string (Index) + ": the model refused its memory or attributes (frame buffer " +
      Hex (Options.FrameBufferSize) + ", register file " + Hex (Options.RegisterFileSize) + ")"
      );
  }

  for (const auto &Preset : Options.InitialRegisters) {
    SetRegister (Preset.first, Preset.second);
  }

  mPciIo.Initialize (&mModel, BootServices, mTrace.data (), mTrace.size ());
  mPciIo.SetUnexpectedCallHook (OnUnexpectedCall, this);
  if (Options.FailOnBarViolation) {
    mPciIo.SetBarViolationHook (OnBarViolation, this);
  }

  //
  // Firmware reaches the adapter through the root bridge and CPU I/O, which
  // refuse a caller's buffer that is not aligned to the access unit.
  //
  mPciIo.SetCheckBufferAlignment (TRUE);
  mDevicePath = MakePciControllerPath ((UINT8)(Options.PciDevice >= 0 ? Options.PciDevice : (int)Index));
}

SimAdapter::~SimAdapter (
  )
{
  PciIoDevice::ForgetLastUsed (&mPciIo);
}

EFI_STATUS
SimAdapter::Install (
  HandleDatabase  &Handles
  )
{
  return Handles.InstallMultipleProtocolInterfaces (
                   &mController,
                   { { &DevicePathGuid, DevicePath () }, { &PciIoGuid, Protocol () } }
                   );
}

void
SimAdapter::OnUnexpectedCall (
  VOID            *Context,
  PciIoOperation  Operation
  )
{
  auto  *Self = static_cast<SimAdapter *>(Context);

  QD520_SIM_FAIL (
    "adapter " + std::to_string (Self->mIndex) + ": unexpected EFI_PCI_IO_PROTOCOL call " +
    OperationName (Operation)
    );
}

void
SimAdapter::OnBarViolation (
  VOID               *Context,
  const TraceRecord  &Call
  )
{
  auto  *Self = static_cast<SimAdapter *>(Context);

  QD520_SIM_FAIL (
    "adapter " + std::to_string (Self->mIndex) + ": " + OperationName (Call.Operation) + " " +
    RecordWidthName (Call) + " outside the BARs: BAR " + std::to_string (Call.BarIndex) + ", offset " +
    Hex (Call.Offset) + ", count " + Hex (Call.Count)
    );
}

bool
SimAdapter::IsRegister (
  UINT64  Offset
  ) const
{
  if ((Offset % sizeof (UINT32) != 0) || (Offset >= mModel.BarLength (RegisterBar))) {
    QD520_SIM_FAIL ("adapter " + std::to_string (mIndex) + ": no register at " + Hex (Offset));
    return false;
  }

  return true;
}

UINT32
SimAdapter::Register (
  UINT64  Offset
  ) const
{
  return IsRegister (Offset) ? mModel.PeekRegister (Offset) : 0;
}

void
SimAdapter::SetRegister (
  UINT64  Offset,
  UINT32  Value
  )
{
  if (IsRegister (Offset)) {
    mModel.PokeRegister (Offset, Value);
  }
}

void
SimAdapter::FillRegisters (
  UINT32  Seed
  )
{
  for (UINT64 Index = 0; Index < mModel.BarLength (RegisterBar) / sizeof (UINT32); Index++) {
    UINT32  Value = (UINT32)((Index + 1) * 0x9E3779B1u) ^ Seed;
    mModel.PokeRegister (Index * sizeof (UINT32), Value != 0 ? Value : 0xA5A5A5A5);
  }
}

UINT32
SimAdapter::Pixel (
  UINTN  X,
  UINTN  Y,
  UINTN  PixelsPerLine
  ) const
{
  UINT64  Offset = ((UINT64)Y * PixelsPerLine + X) * sizeof (UINT32);
  UINT32  Value  = 0;

  if (Offset + sizeof (UINT32) > mFrameBufferSize) {
    QD520_SIM_FAIL ("pixel (" + std::to_string (X) + ", " + std::to_string (Y) + ") lies outside the frame buffer");
    return 0;
  }

  std::memcpy (&Value, mFrameBuffer.get () + Offset, sizeof (Value));
  return Value;
}

std::vector<TraceRecord>
SimAdapter::Trace (
  ) const
{
  return std::vector<TraceRecord>(mPciIo.Trace (), mPciIo.Trace () + mPciIo.TraceCount ());
}

//
// The platform.
//

SimPlatform::SimPlatform (
  const PlatformOptions  &Options
  ) : mUart (Options.UartState), mCoreImageHandle (nullptr), mImageHandle (nullptr)
{
  if (gCurrentPlatform != nullptr) {
    QD520_SIM_FAIL ("a second SimPlatform was created while another one is active");
  }

  gCurrentPlatform = this;
  InitializeTables ();
  mCoreImageHandle = CreateImageHandle (mCoreLoadedImage, nullptr);
  mHandles.SetCoreImageHandle (mCoreImageHandle);
  mImageHandle = CreateImageHandle (mDriverLoadedImage, mCoreImageHandle);
}

SimPlatform::~SimPlatform (
  )
{
  mHandles.Clear ();
  mAdapters.clear ();
  mPool.ReleaseAll ();
  if (gCurrentPlatform == this) {
    gCurrentPlatform = nullptr;
  }
}

SimPlatform *
SimPlatform::Current (
  )
{
  return gCurrentPlatform;
}

void
SimPlatform::InitializeTables (
  )
{
  static const char  VendorText[] = "QD520 simulated platform";
  static CHAR16      FirmwareVendor[sizeof (VendorText)];

  for (size_t Index = 0; Index < sizeof (VendorText); Index++) {
    FirmwareVendor[Index] = (CHAR16)VendorText[Index];
  }

  std::memset (&mSystemTable, 0, sizeof (mSystemTable));
  std::memset (&mBootServices, 0, sizeof (mBootServices));
  std::memset (&mRuntimeServices, 0, sizeof (mRuntimeServices));
  FillServiceTables (mBootServices, mRuntimeServices);

  mBootServices.Hdr.Signature    = EFI_BOOT_SERVICES_SIGNATURE;
  mBootServices.Hdr.Revision     = EFI_BOOT_SERVICES_REVISION;
  mBootServices.Hdr.HeaderSize   = sizeof (EFI_BOOT_SERVICES);
  mRuntimeServices.Hdr.Signature  = EFI_RUNTIME_SERVICES_SIGNATURE;
  mRuntimeServices.Hdr.Revision   = EFI_RUNTIME_SERVICES_REVISION;
  mRuntimeServices.Hdr.HeaderSize = sizeof (EFI_RUNTIME_SERVICES);

  mSystemTable.Hdr.Signature  = EFI_SYSTEM_TABLE_SIGNATURE;
  mSystemTable.Hdr.Revision   = EFI_2_70_SYSTEM_TABLE_REVISION;
  mSystemTable.Hdr.HeaderSize = sizeof (EFI_SYSTEM_TABLE);
  mSystemTable.FirmwareVendor = FirmwareVendor;
  mSystemTable.FirmwareRevision     = 0x00010000;
  mSystemTable.RuntimeServices      = &mRuntimeServices;
  mSystemTable.BootServices         = &mBootServices;
  mSystemTable.NumberOfTableEntries = 0;
  mSystemTable.ConfigurationTable   = nullptr;
}

EFI_HANDLE
SimPlatform::CreateImageHandle (
  EFI_LOADED_IMAGE_PROTOCOL  &LoadedImage,
  EFI_HANDLE                 ParentHandle
  )
{
  EFI_HANDLE  Handle = nullptr;

  std::memset (&LoadedImage, 0, sizeof (LoadedImage));
  LoadedImage.Revision      = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  LoadedImage.ParentHandle  = ParentHandle;
  LoadedImage.SystemTable   = &mSystemTable;
  LoadedImage.ImageCodeType = EfiBootServicesCode;
  LoadedImage.ImageDataType = EfiBootServicesData;
  if (EFI_ERROR (mHandles.InstallProtocolInterface (&Handle, &LoadedImageGuid, EFI_NATIVE_INTERFACE, &LoadedImage))) {
    QD520_SIM_FAIL ("cannot create an image handle");
  }

  return Handle;
}

SimAdapter &
SimPlatform::AddAdapter (
  const AdapterOptions  &Options
  )
{
  EFI_STATUS  Status;

  mAdapters.push_back (std::make_unique<SimAdapter>(mAdapters.size (), Options, &mBootServices));
  Status = mAdapters.back ()->Install (mHandles);
  if (EFI_ERROR (Status)) {
    QD520_SIM_FAIL (
      "adapter " + std::to_string (mAdapters.size () - 1) + ": cannot install its controller handle " +
      DevicePathToText (mAdapters.back ()->DevicePath ()) + " (status " + Hex (Status) + ")"
      );
  }

  return *mAdapters.back ();
}

SimAdapter *
SimPlatform::CurrentAdapter (
  )
{
  PciIoDevice  *Last = PciIoDevice::LastUsed ();

  for (auto &Adapter : mAdapters) {
    if (&Adapter->PciIo () == Last) {
      return Adapter.get ();
    }
  }

  return mAdapters.empty () ? nullptr : mAdapters.front ().get ();
}

SimAdapter *
SimPlatform::AdapterOf (
  EFI_HANDLE  Controller
  )
{
  for (auto &Adapter : mAdapters) {
    if (Adapter->Controller () == Controller) {
      return Adapter.get ();
    }
  }

  return nullptr;
}

EFI_STATUS
SimPlatform::Connect (
  EFI_HANDLE                Controller,
  EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath,
  bool                      Recursive
  )
{
  return mHandles.ConnectController (Controller, RemainingDevicePath, Recursive);
}

EFI_STATUS
SimPlatform::Disconnect (
  EFI_HANDLE  Controller
  )
{
  return mHandles.DisconnectController (Controller, nullptr, nullptr);
}

void
SimPlatform::RecordAssertion (
  const char  *File,
  UINTN       Line,
  const char  *Expression
  )
{
  mAssertions.push_back (
                AssertionRecord{
    File != nullptr ? File : "<null>",
    Line,
    Expression != nullptr ? Expression : "<null>"
  }
                );
}

std::vector<AssertionRecord>
SimPlatform::TakeAssertions (
  )
{
  std::vector<AssertionRecord>  Taken;

  Taken.swap (mAssertions);
  return Taken;
}

std::string
SimPlatform::AssertionsText (
  ) const
{
  std::string  Text;

  for (const AssertionRecord &Assertion : mAssertions) {
    Text += Assertion.File + "(" + std::to_string (Assertion.Line) + "): " + Assertion.Expression + "\n";
  }

  return Text;
}

void
SimPlatform::RecordUnexpectedService (
  const char  *Name
  )
{
  mUnexpectedServices.push_back (Name);
}

} // namespace Qd520Sim
