/** @file
  Graphics output modes: the mode record and information that Start
  publishes, QueryMode, SetMode, the records and buffers each of them owns,
  pool exhaustion at every allocation of Start and of the protocol, and what
  Stop and a failing Start give back.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DriverTest.h"

#include "Qdl520.h"

#include <cstring>
#include <string>
#include <vector>

namespace Qd520Test {

namespace {

using Qd520Sim::PciIoOperation;
using Qd520Sim::PoolBlock;

/// What every offered mode publishes.
struct ModeFacts {
  UINT32    Number;
  UINT32    Width;
  UINT32    Height;
  UINT32    PixelsPerScanLine;
  UINTN     ScreenBytes;      ///< FrameBufferSize and the line buffer's size
};

constexpr ModeFacts  kModes[] = {
  { 0, 640,  480, 640,  1228800 },
  { 1, 800,  600, 800,  1920000 },
  { 2, 1024, 768, 1024, 3145728 },
};

constexpr UINT32  kPlaceholderMode = 0xFFFF;

bool
IsEfiErrorAssertion (
  const AssertionRecord  &Record
  )
{
  return Record.Expression == EfiErrorExpression;
}

void
ExpectInfoDescribes (
  const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  &Info,
  const ModeFacts                             &Mode
  )
{
  EXPECT_EQ (Info.Version, 0u);
  EXPECT_EQ (Info.HorizontalResolution, Mode.Width);
  EXPECT_EQ (Info.VerticalResolution, Mode.Height);
  EXPECT_EQ (Info.PixelFormat, PixelBlueGreenRedReserved8BitPerColor);
  EXPECT_EQ (Info.PixelsPerScanLine, Mode.PixelsPerScanLine);
  EXPECT_EQ (Info.PixelInformation.RedMask, 0u);
  EXPECT_EQ (Info.PixelInformation.GreenMask, 0u);
  EXPECT_EQ (Info.PixelInformation.BlueMask, 0u);
  EXPECT_EQ (Info.PixelInformation.ReservedMask, 0u);
}

class GraphicsOutputTest : public StartedDriverTest {
protected:
  QDL520_PRIVATE_DATA *
  Private (
    )
  {
    return PrivateOf (mGop);
  }

  /// Distinct contents in the first Bytes of the frame buffer, so that a
  /// clear or a stray write shows.
  void
  PaintFrameBuffer (
    UINTN  Bytes
    )
  {
    UINT8  *Memory = mAdapter->FrameBuffer ();

    for (UINTN Index = 0; Index < Bytes; Index++) {
      Memory[Index] = static_cast<UINT8>(0x5B + Index * 7 + (Index >> 11));
    }
  }

  bool
  FrameBufferIsPainted (
    UINTN  Bytes,
    UINTN  First = 0
    )
  {
    const UINT8  *Memory = mAdapter->FrameBuffer ();

    for (UINTN Index = First; Index < Bytes; Index++) {
      if (Memory[Index] != static_cast<UINT8>(0x5B + Index * 7 + (Index >> 11))) {
        return false;
      }
    }

    return true;
  }

  bool
  FrameBufferIsBlack (
    UINTN  Bytes
    )
  {
    const UINT8  *Memory = mAdapter->FrameBuffer ();

    for (UINTN Index = 0; Index < Bytes; Index++) {
      if (Memory[Index] != 0) {
        return false;
      }
    }

    return true;
  }

  EFI_STATUS
  FreePool (
    VOID  *Buffer
    )
  {
    return Platform ().BootServices ()->FreePool (Buffer);
  }

  /// Serial number of the live pool block at Address, 0 when none.
  UINT64
  SerialOf (
    const VOID  *Address
    )
  {
    const PoolBlock  *Block = Platform ().Pool ().BlockAt (Address);

    return (Block != nullptr) ? Block->Serial : 0;
  }

  /// Descriptor lists GetBarAttributes handed out since the trace was cleared.
  std::vector<const VOID *>
  BarDescriptorLists (
    )
  {
    std::vector<const VOID *>  Lists;

    for (const TraceRecord &Record : mAdapter->Trace ()) {
      if (Record.Operation == PciIoOperation::GetBarAttributes) {
        EXPECT_EQ (Record.BarIndex, QDL520_FRAME_BUFFER_BAR);
        Lists.push_back (Record.Buffer);
      }
    }

    return Lists;
  }
};

TEST_F (GraphicsOutputTest, StartPublishesModeZeroInTheModeRecord) {
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE  *Mode = mGop->Mode;

  ASSERT_NE (Mode, nullptr);
  ASSERT_NE (Mode->Info, nullptr);
  EXPECT_EQ (mGop, &Private ()->GraphicsOutput);
  EXPECT_EQ (Private ()->Signature, QDL520_PRIVATE_DATA_SIGNATURE);
  EXPECT_EQ (mGop->QueryMode, &Qdl520GraphicsOutputQueryMode);
  EXPECT_EQ (mGop->SetMode, &Qdl520GraphicsOutputSetMode);
  EXPECT_EQ (mGop->Blt, &Qdl520GraphicsOutputBlt);

  EXPECT_EQ (Mode->MaxMode, 3u);
  EXPECT_EQ (Mode->Mode, 0u);
  EXPECT_EQ (Mode->SizeOfInfo, 36u);
  ExpectInfoDescribes (*Mode->Info, kModes[0]);
  EXPECT_EQ (Mode->FrameBufferSize, 1228800u);
  EXPECT_EQ (Mode->FrameBufferBase, mAdapter->Model ().BarBase (0));
  EXPECT_EQ (Mode->FrameBufferBase, reinterpret_cast<UINTN>(mAdapter->FrameBuffer ()));

  EXPECT_EQ (Private ()->MaxMode, 3u);
  EXPECT_FALSE (Private ()->HardwareNeedsStarting);
  EXPECT_TRUE (FrameBufferIsBlack (kModes[0].ScreenBytes));
}

TEST_F (GraphicsOutputTest, StartOwnsExactlyTheContextPathModeRecordInfoAndLineBuffer) {
  QDL520_PRIVATE_DATA     *Context = Private ();
  std::vector<PoolBlock>  Blocks   = Platform ().Pool ().Blocks ();
  size_t                  PathSize = Qd520Sim::DevicePathSize (mAdapter->DevicePath ()) + sizeof (ACPI_ADR_DEVICE_PATH);

  ASSERT_EQ (Blocks.size (), 5u);
  EXPECT_EQ (Blocks[0].Address, Context);
  EXPECT_EQ (Blocks[0].Size, sizeof (QDL520_PRIVATE_DATA));
  EXPECT_EQ (Blocks[1].Address, Context->GopDevicePath);
  EXPECT_EQ (Blocks[1].Size, PathSize);
  EXPECT_EQ (Blocks[2].Address, mGop->Mode);
  EXPECT_EQ (Blocks[2].Size, sizeof (EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE));
  EXPECT_EQ (Blocks[3].Address, mGop->Mode->Info);
  EXPECT_EQ (Blocks[3].Size, sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION));
  EXPECT_EQ (Blocks[4].Address, Context->LineBuffer);
  EXPECT_EQ (Blocks[4].Size, kModes[0].ScreenBytes);
  for (const PoolBlock &Block : Blocks) {
    EXPECT_EQ (Block.Type, EfiBootServicesData) << "block of " << Block.Size << " bytes";
  }

  EXPECT_EQ (
    Qd520Sim::DevicePathToText (Context->GopDevicePath),
    Qd520Sim::DevicePathToText (mAdapter->DevicePath ()) + "/AcpiAdr(0x80010100)"
    );
  ASSERT_NE (Context->Handle, nullptr);
  EXPECT_EQ (Platform ().Handles ().InterfaceOn (Context->Handle, gEfiDevicePathProtocolGuid), Context->GopDevicePath);
}

TEST_F (GraphicsOutputTest, QueryModeDescribesEachModeInAFreshCallerOwnedBuffer) {
  std::vector<UINT8>  RecordBefore = BytesOf (mGop->Mode);
  std::vector<UINT8>  InfoBefore   = BytesOf (mGop->Mode->Info);
  size_t              LiveBefore   = Platform ().Pool ().LiveBlocks ();

  for (const ModeFacts &Mode : kModes) {
    SCOPED_TRACE ("mode " + std::to_string (Mode.Number));
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *First  = nullptr;
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Second = nullptr;
    UINTN                                 Size    = 0;

    ASSERT_EQ (mGop->QueryMode (mGop, Mode.Number, &Size, &First), EFI_SUCCESS);
    EXPECT_EQ (Size, 36u);
    ASSERT_NE (First, nullptr);
    ExpectInfoDescribes (*First, Mode);

    Size = 0;
    ASSERT_EQ (mGop->QueryMode (mGop, Mode.Number, &Size, &Second), EFI_SUCCESS);
    EXPECT_EQ (Size, 36u);
    ASSERT_NE (Second, nullptr);
    EXPECT_NE (Second, First);
    EXPECT_NE (Second, mGop->Mode->Info);

    for (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION *Info : { First, Second }) {
      const PoolBlock  *Block = Platform ().Pool ().BlockAt (Info);
      ASSERT_NE (Block, nullptr);
      EXPECT_EQ (Block->Size, sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION));
      EXPECT_EQ (Block->Type, EfiBootServicesData);
    }

    EXPECT_EQ (FreePool (First), EFI_SUCCESS);
    EXPECT_EQ (FreePool (Second), EFI_SUCCESS);
  }

  EXPECT_EQ (BytesOf (mGop->Mode), RecordBefore);
  EXPECT_EQ (BytesOf (mGop->Mode->Info), InfoBefore);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), LiveBefore);
  EXPECT_EQ (mAdapter->TraceCount (), 0u);
  EXPECT_TRUE (Platform ().Tpl ().Events ().empty ());
}

TEST_F (GraphicsOutputTest, QueryModeRefusesMissingOutputsAndModesBeyondMaxMode) {
  struct Case {
    const char    *Name;
    UINT32        ModeNumber;
    bool          PassSize;
    bool          PassInfo;
  };
  const Case  Cases[] = {
    { "mode 3",                 3,          true,  true  },
    { "mode 0xFFFF",            0xFFFF,     true,  true  },
    { "mode 0xFFFFFFFF",        0xFFFFFFFF, true,  true  },
    { "null SizeOfInfo",        0,          false, true  },
    { "null Info",              0,          true,  false },
    { "nothing, mode 3",        3,          false, false },
  };
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  Sentinel;
  UINT64                                CallsBefore = Platform ().Pool ().AllocationCalls ();

  for (const Case &Item : Cases) {
    SCOPED_TRACE (Item.Name);
    UINTN                                 Size = 0x5151;
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info = &Sentinel;

    EXPECT_EQ (
      mGop->QueryMode (mGop, Item.ModeNumber, Item.PassSize ? &Size : nullptr, Item.PassInfo ? &Info : nullptr),
      EFI_INVALID_PARAMETER
      );
    EXPECT_EQ (Size, 0x5151u);
    EXPECT_EQ (Info, &Sentinel);
  }

  EXPECT_EQ (Platform ().Pool ().AllocationCalls (), CallsBefore);
}

TEST_F (GraphicsOutputTest, QueryModeWithoutMemoryReturnsOutOfResourcesAndNullInfo) {
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  Sentinel;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info = &Sentinel;
  UINTN                                 Size = 0x5151;
  size_t                                LiveBefore = Platform ().Pool ().LiveBlocks ();

  Platform ().Pool ().FailAllocation (1);
  EXPECT_EQ (mGop->QueryMode (mGop, 1, &Size, &Info), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (Info, nullptr);
  EXPECT_EQ (Platform ().Pool ().FailedAllocations (), 1u);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), LiveBefore);

  //
  // The next call has memory again.
  //
  ASSERT_EQ (mGop->QueryMode (mGop, 1, &Size, &Info), EFI_SUCCESS);
  ExpectInfoDescribes (*Info, kModes[1]);
  EXPECT_EQ (FreePool (Info), EFI_SUCCESS);
}

TEST_F (GraphicsOutputTest, SetModeRefusesModesBeyondMaxModeAndChangesNothing) {
  const UINT32        Refused[]    = { 3, 4, 5, kPlaceholderMode, 0x7FFFFFFF, 0xFFFFFFFF };
  std::vector<UINT8>  RecordBefore = BytesOf (mGop->Mode);
  std::vector<UINT8>  InfoBefore   = BytesOf (mGop->Mode->Info);
  VOID                *LineBuffer  = Private ()->LineBuffer;
  UINT64              CallsBefore  = Platform ().Pool ().AllocationCalls ();
  UINT64              FreesBefore  = Platform ().Pool ().FreeCalls ();

  PaintFrameBuffer (kModes[0].ScreenBytes);
  for (UINT32 ModeNumber : Refused) {
    EXPECT_EQ (mGop->SetMode (mGop, ModeNumber), EFI_UNSUPPORTED) << "mode " << ModeNumber;
  }

  EXPECT_EQ (BytesOf (mGop->Mode), RecordBefore);
  EXPECT_EQ (BytesOf (mGop->Mode->Info), InfoBefore);
  EXPECT_EQ (Private ()->LineBuffer, LineBuffer);
  EXPECT_EQ (Platform ().Pool ().AllocationCalls (), CallsBefore);
  EXPECT_EQ (Platform ().Pool ().FreeCalls (), FreesBefore);
  EXPECT_EQ (mAdapter->TraceCount (), 0u);
  EXPECT_TRUE (FrameBufferIsPainted (kModes[0].ScreenBytes));
}

TEST_F (GraphicsOutputTest, SetModeToTheCurrentModeClearsItsFrameWithOneFillAndChangesNothingElse) {
  //
  // Painted beyond the largest frame, so that a clear of more than the
  // current mode's frame shows.
  //
  const UINTN  Painted = kModes[2].ScreenBytes + 64 * 1024;

  for (UINT32 ModeNumber : { 0u, 2u, 1u }) {
    SCOPED_TRACE ("mode " + std::to_string (ModeNumber));
    const ModeFacts  &Mode = kModes[ModeNumber];

    if (mGop->Mode->Mode != ModeNumber) {
      ASSERT_EQ (mGop->SetMode (mGop, ModeNumber), EFI_SUCCESS);
    }

    std::vector<UINT8>  RecordBefore = BytesOf (mGop->Mode);
    std::vector<UINT8>  InfoBefore   = BytesOf (mGop->Mode->Info);
    VOID                *LineBuffer  = Private ()->LineBuffer;
    UINT64              Serial       = SerialOf (LineBuffer);
    UINT64              CallsBefore  = Platform ().Pool ().AllocationCalls ();
    UINT64              FreesBefore  = Platform ().Pool ().FreeCalls ();

    PaintFrameBuffer (Painted);
    mAdapter->ClearTrace ();
    Platform ().Tpl ().ClearEvents ();
    EXPECT_EQ (mGop->SetMode (mGop, ModeNumber), EFI_SUCCESS);

    //
    // One zero fill of every line of the mode at its pitch, from the start
    // of BAR 0; no register access.
    //
    std::vector<TraceRecord>  Trace = mAdapter->Trace ();
    ASSERT_EQ (Trace.size (), 1u);
    EXPECT_EQ (Trace[0].Operation, PciIoOperation::MemWrite);
    EXPECT_EQ (Trace[0].BarIndex, QDL520_FRAME_BUFFER_BAR);
    EXPECT_EQ (Trace[0].Width, (UINT32)EfiPciIoWidthFillUint32);
    EXPECT_EQ (Trace[0].Offset, 0u);
    EXPECT_EQ (Trace[0].Count, Mode.ScreenBytes / 4);
    EXPECT_EQ (Trace[0].Value, 0u);
    EXPECT_EQ (Trace[0].Status, EFI_SUCCESS);

    EXPECT_TRUE (FrameBufferIsBlack (Mode.ScreenBytes));
    EXPECT_TRUE (FrameBufferIsPainted (Painted, Mode.ScreenBytes)) << "written beyond the mode's frame";

    EXPECT_EQ (Private ()->LineBuffer, LineBuffer);
    EXPECT_EQ (SerialOf (LineBuffer), Serial);
    EXPECT_EQ (Platform ().Pool ().AllocationCalls (), CallsBefore);
    EXPECT_EQ (Platform ().Pool ().FreeCalls (), FreesBefore);
    EXPECT_EQ (BytesOf (mGop->Mode), RecordBefore);
    EXPECT_EQ (BytesOf (mGop->Mode->Info), InfoBefore);
    EXPECT_FALSE (Private ()->HardwareNeedsStarting);
    EXPECT_TRUE (Platform ().Tpl ().Events ().empty ());
  }
}

TEST_F (GraphicsOutputTest, SetModeToTheCurrentModeWhoseFillIsRefusedStillSucceedsAndChangesNothing) {
  std::vector<UINT8>  RecordBefore = BytesOf (mGop->Mode);
  std::vector<UINT8>  InfoBefore   = BytesOf (mGop->Mode->Info);

  PaintFrameBuffer (kModes[0].ScreenBytes);
  ASSERT_TRUE (mAdapter->PciIo ().InjectFailure (Qd520Sim::FailNth (PciIoOperation::MemWrite, 1, EFI_DEVICE_ERROR)));
  EXPECT_EQ (mGop->SetMode (mGop, 0), EFI_SUCCESS);

  EXPECT_EQ (mAdapter->TraceCount (), 1u);
  EXPECT_EQ (mAdapter->PciIo ().PendingInjections (), 0u);
  EXPECT_TRUE (FrameBufferIsPainted (kModes[0].ScreenBytes));
  EXPECT_EQ (BytesOf (mGop->Mode), RecordBefore);
  EXPECT_EQ (BytesOf (mGop->Mode->Info), InfoBefore);
}

TEST_F (GraphicsOutputTest, SetModeReplacesTheLineBufferAndRewritesTheRecordInPlace) {
  const UINT32                          Sequence[] = { 2, 0, 1, 2 };
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info      = mGop->Mode->Info;
  size_t                                LiveBefore = Platform ().Pool ().LiveBlocks ();

  for (UINT32 ModeNumber : Sequence) {
    SCOPED_TRACE ("to mode " + std::to_string (ModeNumber));
    const ModeFacts  &Mode     = kModes[ModeNumber];
    VOID             *OldLine  = Private ()->LineBuffer;
    UINT64           OldSerial = SerialOf (OldLine);

    PaintFrameBuffer (kModes[2].ScreenBytes);
    mAdapter->ClearTrace ();
    ASSERT_EQ (mGop->SetMode (mGop, ModeNumber), EFI_SUCCESS);

    EXPECT_EQ (mGop->Mode->Mode, ModeNumber);
    EXPECT_EQ (mGop->Mode->MaxMode, 3u);
    EXPECT_EQ (mGop->Mode->Info, Info);
    EXPECT_EQ (mGop->Mode->SizeOfInfo, 36u);
    ExpectInfoDescribes (*Info, Mode);
    EXPECT_EQ (mGop->Mode->FrameBufferSize, Mode.ScreenBytes);
    EXPECT_EQ (mGop->Mode->FrameBufferBase, mAdapter->Model ().BarBase (0));
    EXPECT_FALSE (Private ()->HardwareNeedsStarting);

    //
    // A new line buffer of one screen of the new mode; the old one is gone.
    //
    const PoolBlock  *Line = Platform ().Pool ().BlockAt (Private ()->LineBuffer);
    ASSERT_NE (Line, nullptr);
    EXPECT_NE (Line->Serial, OldSerial);
    EXPECT_EQ (Line->Size, Mode.ScreenBytes);
    EXPECT_EQ (Line->Type, EfiBootServicesData);
    if (Private ()->LineBuffer != OldLine) {
      EXPECT_FALSE (Platform ().Pool ().IsLive (OldLine));
    }

    EXPECT_EQ (Platform ().Pool ().LiveBlocks (), LiveBefore);

    //
    // The adapter was programmed and the screen cleared; the BAR's
    // descriptor list was read once and given back.
    //
    EXPECT_GT (mAdapter->TraceCount (), 100u);
    EXPECT_TRUE (FrameBufferIsBlack (Mode.ScreenBytes));
    std::vector<const VOID *>  Lists = BarDescriptorLists ();
    ASSERT_EQ (Lists.size (), 1u);
    EXPECT_FALSE (Platform ().Pool ().IsLive (Lists[0]));
  }

  EXPECT_TRUE (Platform ().Tpl ().Events ().empty ());
}

TEST_F (GraphicsOutputTest, SetModeWithoutALineBufferKeepsThePreviousModeWithoutBuffer) {
  std::vector<UINT8>  RecordBefore = BytesOf (mGop->Mode);
  std::vector<UINT8>  InfoBefore   = BytesOf (mGop->Mode->Info);
  VOID                *OldLine     = Private ()->LineBuffer;
  size_t              LiveBefore   = Platform ().Pool ().LiveBlocks ();
  UINT64              FreesBefore  = Platform ().Pool ().FreeCalls ();

  PaintFrameBuffer (kModes[2].ScreenBytes);
  Platform ().Pool ().FailAllocation (1);
  EXPECT_EQ (mGop->SetMode (mGop, 2), EFI_OUT_OF_RESOURCES);

  EXPECT_EQ (Private ()->LineBuffer, nullptr);
  EXPECT_FALSE (Platform ().Pool ().IsLive (OldLine));
  EXPECT_EQ (Platform ().Pool ().FreeCalls (), FreesBefore + 1);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), LiveBefore - 1);
  EXPECT_EQ (BytesOf (mGop->Mode), RecordBefore);
  EXPECT_EQ (BytesOf (mGop->Mode->Info), InfoBefore);
  EXPECT_FALSE (Private ()->HardwareNeedsStarting);
  EXPECT_EQ (mAdapter->TraceCount (), 0u);
  EXPECT_TRUE (FrameBufferIsPainted (kModes[2].ScreenBytes));

  //
  // The previous mode is still the current one, so asking for it again
  // only clears its frame and allocates nothing.
  //
  UINT64  CallsBefore = Platform ().Pool ().AllocationCalls ();
  EXPECT_EQ (mGop->SetMode (mGop, 0), EFI_SUCCESS);
  EXPECT_EQ (Private ()->LineBuffer, nullptr);
  EXPECT_EQ (Platform ().Pool ().AllocationCalls (), CallsBefore);
  EXPECT_EQ (mAdapter->TraceCount (), 1u);
  EXPECT_TRUE (FrameBufferIsBlack (kModes[0].ScreenBytes));
  EXPECT_TRUE (FrameBufferIsPainted (kModes[2].ScreenBytes, kModes[0].ScreenBytes));
  EXPECT_EQ (BytesOf (mGop->Mode), RecordBefore);

  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info = nullptr;
  UINTN                                 Size = 0;
  ASSERT_EQ (mGop->QueryMode (mGop, 2, &Size, &Info), EFI_SUCCESS);
  ExpectInfoDescribes (*Info, kModes[2]);
  EXPECT_EQ (FreePool (Info), EFI_SUCCESS);

  //
  // With memory back, another mode is set in full.
  //
  ASSERT_EQ (mGop->SetMode (mGop, 1), EFI_SUCCESS);
  EXPECT_EQ (mGop->Mode->Mode, 1u);
  const PoolBlock  *Line = Platform ().Pool ().BlockAt (Private ()->LineBuffer);
  ASSERT_NE (Line, nullptr);
  EXPECT_EQ (Line->Size, kModes[1].ScreenBytes);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), LiveBefore);
}

TEST_F (GraphicsOutputTest, SetModeWithoutBarDescriptorsKeepsTheFrameBufferBaseAndLeaksNothing) {
  struct Case {
    const char    *Name;
    bool          FailPool;   ///< the descriptor list's allocation, else the PCI I/O call
  };
  const Case  Cases[] = {
    { "GetBarAttributes fails",           false },
    { "descriptor list allocation fails", true  },
  };
  EFI_PHYSICAL_ADDRESS  Base       = mGop->Mode->FrameBufferBase;
  size_t                LiveBefore = Platform ().Pool ().LiveBlocks ();
  UINT32                Next       = 1;

  for (const Case &Item : Cases) {
    SCOPED_TRACE (Item.Name);
    if (Item.FailPool) {
      Platform ().Pool ().FailAllocation (2);   // the line buffer comes first
    } else {
      ASSERT_TRUE (
        mAdapter->PciIo ().InjectFailure (Qd520Sim::FailNth (PciIoOperation::GetBarAttributes, 1, EFI_DEVICE_ERROR))
        );
    }

    ASSERT_EQ (mGop->SetMode (mGop, Next), EFI_SUCCESS);
    EXPECT_EQ (mGop->Mode->Mode, Next);
    EXPECT_EQ (mGop->Mode->FrameBufferBase, Base);
    EXPECT_EQ (mGop->Mode->FrameBufferSize, kModes[Next].ScreenBytes);
    ExpectInfoDescribes (*mGop->Mode->Info, kModes[Next]);
    EXPECT_EQ (Platform ().Pool ().LiveBlocks (), LiveBefore);
    EXPECT_EQ (mAdapter->PciIo ().PendingInjections (), 0u);
    Next++;
  }
}

TEST_F (GraphicsOutputTest, FunctionsCalledThroughAForeignRecordAssertBadSignature) {
  //
  // A record laid out like the context but without its signature. After
  // reporting the mismatch, the signature check hands back the protocol
  // pointer itself as the context; the fields the functions then read make
  // them return at their first test, so the assertion is all that happens.
  // Both views lie inside Memory.
  //
  alignas (8) UINT8                  Memory[2 * sizeof (QDL520_PRIVATE_DATA)];
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE  Mode;

  std::memset (Memory, 0, sizeof (Memory));
  std::memset (&Mode, 0, sizeof (Mode));

  auto  *Foreign = reinterpret_cast<QDL520_PRIVATE_DATA *>(Memory);
  auto  *Seen    = reinterpret_cast<QDL520_PRIVATE_DATA *>(&Foreign->GraphicsOutput);

  Foreign->Signature           = SIGNATURE_32 ('Q', 'D', '5', '3');
  Foreign->GraphicsOutput.Mode = &Mode;
  Seen->HardwareNeedsStarting  = TRUE;
  Mode.MaxMode                 = 3;

  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info = nullptr;
  UINTN                                 Size = 0;

  EXPECT_EQ (Qdl520GraphicsOutputQueryMode (&Foreign->GraphicsOutput, 0, &Size, &Info), EFI_NOT_STARTED);
  std::vector<AssertionRecord>  Taken = TakeAssertions ();
  ASSERT_EQ (Taken.size (), 1u);
  EXPECT_EQ (Taken[0].Expression, "CR has Bad Signature");

  EXPECT_EQ (Qdl520GraphicsOutputSetMode (&Foreign->GraphicsOutput, 3), EFI_UNSUPPORTED);
  Taken = TakeAssertions ();
  ASSERT_EQ (Taken.size (), 1u);
  EXPECT_EQ (Taken[0].Expression, "CR has Bad Signature");
  EXPECT_EQ (mAdapter->TraceCount (), 0u);
}

//
// Start and Stop as seen from the graphics output's records.
//

class GraphicsOutputLifecycleTest : public LoadedDriverTest {
protected:
  void
  SetUp (
    ) override
  {
    LoadedDriverTest::SetUp ();
    mPathHandles = Platform ().Handles ().HandlesWith (gEfiDevicePathProtocolGuid).size ();
    mLiveBefore  = Platform ().Pool ().LiveBlocks ();
  }

  /// Checks that nothing of the driver's is left for the controller.
  void
  ExpectControllerReleased (
    )
  {
    EFI_HANDLE  Controller = mAdapter->Controller ();

    EXPECT_EQ (Platform ().Pool ().LiveBlocks (), mLiveBefore);
    EXPECT_EQ (Platform ().Handles ().HandlesWith (gEfiDevicePathProtocolGuid).size (), mPathHandles);
    EXPECT_FALSE (Platform ().Handles ().HasProtocol (Controller, gEfiGraphicsOutputProtocolGuid));
    EXPECT_EQ (Platform ().Handles ().CountOpens (Controller, gEfiPciIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
    EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), 0u);
  }

  /// Status of the last Start the connect logic ran since the binding calls
  /// were last cleared; clears them.
  EFI_STATUS
  LastStartStatus (
    )
  {
    EFI_STATUS  Status = EFI_NOT_STARTED;

    for (const Qd520Sim::BindingCall &Call : Platform ().Handles ().BindingCalls ()) {
      if (Call.Call == Qd520Sim::BindingCall::Kind::Start) {
        Status = Call.Status;
      }
    }

    Platform ().Handles ().ClearBindingCalls ();
    return Status;
  }

  size_t  mPathHandles = 0;
  size_t  mLiveBefore  = 0;
};

TEST_F (GraphicsOutputLifecycleTest, StopReleasesEveryRecordBufferAndTheDisplayChild) {
  ASSERT_EQ (Platform ().Connect (mAdapter->Controller ()), EFI_SUCCESS);
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop   = GraphicsOutputOn (mAdapter->Controller ());
  ASSERT_NE (Gop, nullptr);
  EFI_HANDLE                    Child = PrivateOf (Gop)->Handle;
  ASSERT_NE (Child, nullptr);
  ASSERT_TRUE (Platform ().Handles ().IsValidHandle (Child));
  EXPECT_EQ (Platform ().Handles ().HandlesWith (gEfiDevicePathProtocolGuid).size (), mPathHandles + 1);

  ASSERT_EQ (Platform ().Disconnect (mAdapter->Controller ()), EFI_SUCCESS);

  EXPECT_FALSE (Platform ().Handles ().IsValidHandle (Child));
  ExpectControllerReleased ();
}

TEST_F (GraphicsOutputLifecycleTest, RepeatedStartStopCyclesLeaveNoPoolBlockLive) {
  for (UINT32 Cycle = 0; Cycle < 4; Cycle++) {
    SCOPED_TRACE ("cycle " + std::to_string (Cycle));
    ASSERT_EQ (Platform ().Connect (mAdapter->Controller ()), EFI_SUCCESS);
    EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop = GraphicsOutputOn (mAdapter->Controller ());
    ASSERT_NE (Gop, nullptr);
    EXPECT_EQ (Platform ().Pool ().LiveBlocks (), mLiveBefore + 5);

    //
    // Vary what is live at Stop: another mode's line buffer, none at all.
    //
    if (Cycle == 1) {
      EXPECT_EQ (Gop->SetMode (Gop, 2), EFI_SUCCESS);
    } else if (Cycle == 2) {
      Platform ().Pool ().FailAllocation (1);
      EXPECT_EQ (Gop->SetMode (Gop, 1), EFI_OUT_OF_RESOURCES);
      EXPECT_EQ (PrivateOf (Gop)->LineBuffer, nullptr);
    }

    ASSERT_EQ (Platform ().Disconnect (mAdapter->Controller ()), EFI_SUCCESS);
    ExpectControllerReleased ();
  }
}

TEST_F (GraphicsOutputLifecycleTest, StartThatCannotInstallTheGraphicsOutputReleasesEverything) {
  //
  // Another graphics output already on the controller makes the last step
  // of Start fail.
  //
  EFI_GRAPHICS_OUTPUT_PROTOCOL  Other;
  EFI_HANDLE                    Controller = mAdapter->Controller ();

  std::memset (&Other, 0, sizeof (Other));
  ASSERT_EQ (
    Platform ().BootServices ()->InstallProtocolInterface (&Controller, &gEfiGraphicsOutputProtocolGuid, EFI_NATIVE_INTERFACE, &Other),
    EFI_SUCCESS
    );
  Platform ().Handles ().ClearBindingCalls ();

  EXPECT_NE (Platform ().Connect (Controller), EFI_SUCCESS);
  EXPECT_EQ (LastStartStatus (), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), mLiveBefore);
  EXPECT_EQ (Platform ().Handles ().HandlesWith (gEfiDevicePathProtocolGuid).size (), mPathHandles);
  EXPECT_EQ (Platform ().Handles ().InterfaceOn (Controller, gEfiGraphicsOutputProtocolGuid), &Other);
  EXPECT_EQ (Platform ().Handles ().CountOpens (Controller, gEfiPciIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
  EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), 0u);

  //
  // Without the other protocol the controller starts normally.
  //
  ASSERT_EQ (
    Platform ().BootServices ()->UninstallProtocolInterface (Controller, &gEfiGraphicsOutputProtocolGuid, &Other),
    EFI_SUCCESS
    );
  ASSERT_EQ (Platform ().Connect (Controller), EFI_SUCCESS);
  ASSERT_NE (GraphicsOutputOn (Controller), nullptr);
  ASSERT_EQ (Platform ().Disconnect (Controller), EFI_SUCCESS);
  ExpectControllerReleased ();
}

TEST_F (GraphicsOutputLifecycleTest, StartWithoutMemoryAtEachAllocationReleasesEverythingOnStop) {
  //
  // Start allocates, in order: the context, the display node and the
  // display path (the node is a temporary), the mode record, its Info, the
  // line buffer of mode 0 and the BAR's descriptor list.
  //
  enum class Outcome {
    Refused,            ///< Start fails, nothing held
    RefusedAsserting,   ///< the constructor failed: ASSERT_EFI_ERROR, then as Refused
    NoValidMode,        ///< SetMode (0) failed: the mode assertion, then as Refused
    Installed           ///< no visible effect
  };
  struct Case {
    const char    *Name;
    Outcome       Result;
  };
  const Case  Cases[] = {
    { "context",            Outcome::Refused            },
    { "display node",       Outcome::Refused            },
    { "display path",       Outcome::Refused            },
    { "mode record",        Outcome::RefusedAsserting   },
    { "mode information",   Outcome::RefusedAsserting   },
    { "line buffer",        Outcome::NoValidMode        },
    { "descriptor list",    Outcome::Installed          },
  };
  EFI_HANDLE  Controller = mAdapter->Controller ();

  //
  // A clean start makes exactly these allocations.
  //
  UINT64  CallsBefore = Platform ().Pool ().AllocationCalls ();
  ASSERT_EQ (Platform ().Connect (Controller), EFI_SUCCESS);
  ASSERT_EQ (Platform ().Pool ().AllocationCalls () - CallsBefore, ARRAY_SIZE (Cases));
  ASSERT_EQ (Platform ().Disconnect (Controller), EFI_SUCCESS);
  ExpectControllerReleased ();

  for (UINTN Index = 0; Index < ARRAY_SIZE (Cases); Index++) {
    const Case  &Item = Cases[Index];
    SCOPED_TRACE (Item.Name);
    ClearSerialText ();
    Platform ().Handles ().ClearBindingCalls ();
    Platform ().Pool ().FailAllocation (Index + 1);

    Platform ().Connect (Controller);
    EFI_STATUS                    Status = LastStartStatus ();
    std::vector<AssertionRecord>  Taken  = TakeAssertions ();
    EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop   = GraphicsOutputOn (Controller);

    switch (Item.Result) {
      case Outcome::Refused:
        EXPECT_EQ (Status, EFI_OUT_OF_RESOURCES);
        EXPECT_TRUE (Taken.empty ());
        EXPECT_EQ (Gop, nullptr);
        ExpectControllerReleased ();
        break;

      //
      // The firmware halts at the assertion; a handler that returns finds
      // Start failing as at any other step.
      //
      case Outcome::RefusedAsserting:
        EXPECT_EQ (Status, EFI_OUT_OF_RESOURCES);
        ASSERT_EQ (Taken.size (), 1u);
        EXPECT_TRUE (IsEfiErrorAssertion (Taken[0])) << Taken[0].Expression;
        EXPECT_NE (SerialText ().find ("\nASSERT_EFI_ERROR (Status = Out of Resources)\n"), std::string::npos);
        EXPECT_EQ (Gop, nullptr);
        ExpectControllerReleased ();
        break;

      case Outcome::NoValidMode:
        EXPECT_EQ (Status, EFI_OUT_OF_RESOURCES);
        ASSERT_GE (Taken.size (), 1u);
        EXPECT_EQ (Taken[0].Expression, "Private->GraphicsOutput.Mode->Mode < (Private->MaxMode)");
        EXPECT_EQ (Gop, nullptr);
        ExpectControllerReleased ();
        break;

      case Outcome::Installed:
        EXPECT_EQ (Status, EFI_SUCCESS);
        EXPECT_TRUE (Taken.empty ());
        ASSERT_NE (Gop, nullptr);
        EXPECT_EQ (Gop->Mode->Mode, 0u);
        EXPECT_EQ (Gop->Mode->FrameBufferSize, kModes[0].ScreenBytes);
        break;
    }

    EXPECT_EQ (Platform ().Pool ().FailedAllocations (), Index + 1);
    ASSERT_EQ (Platform ().Disconnect (Controller), EFI_SUCCESS);
    ExpectControllerReleased ();
  }
}

TEST_F (GraphicsOutputLifecycleTest, StartWithoutModeZeroLineBufferAssertsThenFailsAndReleasesEverything) {
  EFI_HANDLE  Controller = mAdapter->Controller ();

  Platform ().Pool ().FailAllocation (6);   // the line buffer of mode 0
  Platform ().Connect (Controller);
  EXPECT_EQ (LastStartStatus (), EFI_OUT_OF_RESOURCES);

  //
  // The firmware halts at the first assertion; a handler that returns
  // finds Start failing as at any other step.
  //
  std::vector<AssertionRecord>  Taken = TakeAssertions ();
  ASSERT_GE (Taken.size (), 1u);
  EXPECT_EQ (Taken[0].Expression, "Private->GraphicsOutput.Mode->Mode < (Private->MaxMode)");
  EXPECT_NE (Taken[0].File.find ("Qdl520GraphicsOutput.cpp"), std::string::npos) << Taken[0].File;
  EXPECT_NE (
    SerialText ().find ("ASSERT " + Taken[0].File + "(" + std::to_string (Taken[0].Line) +
                        "): Private->GraphicsOutput.Mode->Mode < (Private->MaxMode)\n"),
    std::string::npos
    ) << SerialText ();
  ExpectControllerReleased ();

  ASSERT_EQ (Platform ().Connect (Controller), EFI_SUCCESS);
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop = GraphicsOutputOn (Controller);
  ASSERT_NE (Gop, nullptr);
  EXPECT_EQ (Gop->Mode->Mode, 0u);
  ASSERT_EQ (Platform ().Disconnect (Controller), EFI_SUCCESS);
  ExpectControllerReleased ();
}

TEST_F (GraphicsOutputLifecycleTest, ConstructorWithoutModeZeroLineBufferLeavesTheProtocolUnstarted) {
  QDL520_PRIVATE_DATA  Private;

  std::memset (&Private, 0, sizeof (Private));
  Private.Signature = QDL520_PRIVATE_DATA_SIGNATURE;
  ASSERT_EQ (
    Platform ().BootServices ()->HandleProtocol (
                                   mAdapter->Controller (),
                                   &gEfiPciIoProtocolGuid,
                                   reinterpret_cast<VOID **>(&Private.PciIo)
                                   ),
    EFI_SUCCESS
    );
  for (UINT32 Index = 0; Index < QDL520_MAX_MODE; Index++) {
    Private.ModeData[Index] = QDL520_MODE_DATA { Index, kModes[Index].Width, kModes[Index].Height, 32, 60 };
  }

  Private.MaxMode = QDL520_MAX_MODE;

  Platform ().Pool ().FailAllocation (3);   // after the mode record and its information: the line buffer of mode 0
  EXPECT_EQ (Qdl520GraphicsOutputConstructor (&Private), EFI_OUT_OF_RESOURCES);

  std::vector<AssertionRecord>  Taken = TakeAssertions ();
  ASSERT_EQ (Taken.size (), 1u);
  EXPECT_EQ (Taken[0].Expression, "Private->GraphicsOutput.Mode->Mode < (Private->MaxMode)");

  EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop = &Private.GraphicsOutput;
  ASSERT_NE (Gop->Mode, nullptr);
  ASSERT_NE (Gop->Mode->Info, nullptr);
  EXPECT_EQ (Gop->Mode->Mode, kPlaceholderMode);
  EXPECT_EQ (Gop->Mode->MaxMode, 3u);
  EXPECT_TRUE (Private.HardwareNeedsStarting);
  EXPECT_EQ (Private.LineBuffer, nullptr);

  //
  // QueryMode refuses before it looks at any argument; SetMode checks the
  // range first, so the placeholder is no mode either.
  //
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info = nullptr;
  UINTN                                 Size = 0;
  EXPECT_EQ (Gop->QueryMode (Gop, 0, &Size, &Info), EFI_NOT_STARTED);
  EXPECT_EQ (Gop->QueryMode (Gop, 0, nullptr, nullptr), EFI_NOT_STARTED);
  EXPECT_EQ (Gop->QueryMode (Gop, 3, &Size, nullptr), EFI_NOT_STARTED);
  EXPECT_EQ (Info, nullptr);
  EXPECT_EQ (Gop->SetMode (Gop, kPlaceholderMode), EFI_UNSUPPORTED);

  //
  // A full SetMode (0) brings the protocol up.
  //
  mAdapter->ClearTrace ();
  ASSERT_EQ (Gop->SetMode (Gop, 0), EFI_SUCCESS);
  EXPECT_GT (mAdapter->TraceCount (), 100u);
  EXPECT_EQ (Gop->Mode->Mode, 0u);
  EXPECT_FALSE (Private.HardwareNeedsStarting);
  ExpectInfoDescribes (*Gop->Mode->Info, kModes[0]);
  ASSERT_EQ (Gop->QueryMode (Gop, 0, &Size, &Info), EFI_SUCCESS);

  for (VOID *Block : { static_cast<VOID *>(Info), Private.LineBuffer, static_cast<VOID *>(Gop->Mode->Info),
                       static_cast<VOID *>(Gop->Mode) })
  {
    EXPECT_EQ (Platform ().BootServices ()->FreePool (Block), EFI_SUCCESS);
  }

  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), mLiveBefore);
}

TEST_F (GraphicsOutputLifecycleTest, FrameBufferBaseIsTheStartOfBarZeroInEveryMode) {
  AdapterOptions  Options;

  Options.Config.FrameBufferBase = 0xC0000000;
  SimAdapter  &Mapped = AddAdapter (Options);
  Mapped.FillRegisters (RegisterSeed ^ 0xFFFF);
  ASSERT_EQ (Platform ().Connect (Mapped.Controller ()), EFI_SUCCESS);
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop = GraphicsOutputOn (Mapped.Controller ());
  ASSERT_NE (Gop, nullptr);

  for (UINT32 ModeNumber : { 0u, 2u, 1u }) {
    ASSERT_EQ (Gop->SetMode (Gop, ModeNumber), EFI_SUCCESS);
    EXPECT_EQ (Gop->Mode->FrameBufferBase, 0xC0000000u) << "mode " << ModeNumber;
  }

  ASSERT_EQ (Platform ().Disconnect (Mapped.Controller ()), EFI_SUCCESS);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), mLiveBefore);
}

} // namespace

} // namespace Qd520Test
