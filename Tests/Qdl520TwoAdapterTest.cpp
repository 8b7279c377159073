/** @file
  Two QD520 adapters in one machine: the firmware starts the driver once per
  controller. Each start has its own context, child path and graphics
  output; what one of them does reaches its own BARs and frame buffer only,
  and stopping one leaves the other drawing. The HDMI control byte is the
  one module variable the driver keeps, so both share it; each adapter is
  still programmed exactly as a lone one would be.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DriverTest.h"

#include "Qdl520RegisterMap.h"

#include <cstring>
#include <string>
#include <vector>

namespace Qd520Test {
namespace {

using Qd520Sim::PciIoOperation;

constexpr UINT32  ScreenSentinel = 0x5B5B5B5B;
constexpr UINTN   SentinelBytes  = 1024 * 768 * 4 + 0x10000;

/// A trace record without the caller's buffer address, which differs
/// between two runs of the same sequence.
std::string
Describe (
  const TraceRecord  &Record
  )
{
  char  Text[160];

  std::snprintf (
          Text,
          sizeof (Text),
          "%s bar %u width %u offset 0x%llx count %llu value 0x%llx status 0x%llx",
          Qd520Sim::OperationName (Record.Operation),
          Record.BarIndex,
          Record.Width,
          static_cast<unsigned long long>(Record.Offset),
          static_cast<unsigned long long>(Record.Count),
          static_cast<unsigned long long>(Record.Value),
          static_cast<unsigned long long>(Record.Status)
          );
  return Text;
}

std::vector<std::string>
Describe (
  const std::vector<TraceRecord>  &Trace
  )
{
  std::vector<std::string>  Lines;

  for (const TraceRecord &Record : Trace) {
    Lines.push_back (Describe (Record));
  }

  return Lines;
}

class TwoAdapterTest : public DriverTest {
protected:
  void
  SetUp (
    ) override
  {
    DriverTest::SetUp ();
    for (SimAdapter *&Adapter : mAdapters) {
      Adapter = &AddAdapter ();
      Adapter->FillRegisters (RegisterSeed);
    }

    ASSERT_EQ (LoadDriver (), EFI_SUCCESS);
  }

  EFI_GRAPHICS_OUTPUT_PROTOCOL *
  Gop (
    size_t  Index
    )
  {
    return GraphicsOutputOn (mAdapters[Index]->Controller ());
  }

  /// Starts both adapters, first then second; the traces of the two starts
  /// are returned in Starts. HdmiControl: what the shared HDMI control byte
  /// holds between the starts (0: not checked).
  void
  StartBoth (
    std::vector<TraceRecord>  (&Starts)[2],
    UINT8                     HdmiControl = 0
    )
  {
    for (size_t Index = 0; Index < 2; Index++) {
      size_t  OtherBefore = mAdapters[1 - Index]->TraceCount ();

      if ((Index == 1) && (HdmiControl != 0)) {
        EXPECT_EQ (mQdl520HdmiControl, HdmiControl);
      }

      mAdapters[Index]->ClearTrace ();
      ASSERT_EQ (Platform ().Connect (mAdapters[Index]->Controller ()), EFI_SUCCESS);
      ASSERT_NE (Gop (Index), nullptr);
      Starts[Index] = mAdapters[Index]->Trace ();
      EXPECT_EQ (mAdapters[1 - Index]->TraceCount (), OtherBefore) << "the start of adapter " << Index;
    }

    ClearSerialText ();
  }

  /// Fills the other adapter's frame buffer with a sentinel and clears both
  /// traces.
  void
  GuardTheOther (
    size_t  Index
    )
  {
    std::vector<UINT32>  Words (SentinelBytes / 4, ScreenSentinel);

    std::memcpy (mAdapters[1 - Index]->FrameBuffer (), Words.data (), SentinelBytes);
    mAdapters[0]->ClearTrace ();
    mAdapters[1]->ClearTrace ();
  }

  /// The other adapter saw no PCI I/O and kept its frame buffer.
  void
  ExpectTheOtherUntouched (
    size_t  Index
    )
  {
    std::vector<UINT32>  Words (SentinelBytes / 4, ScreenSentinel);

    EXPECT_EQ (mAdapters[1 - Index]->TraceCount (), 0u) << "adapter " << (1 - Index) << " was accessed";
    EXPECT_EQ (std::memcmp (mAdapters[1 - Index]->FrameBuffer (), Words.data (), SentinelBytes), 0)
      << "adapter " << (1 - Index) << "'s frame buffer changed";
  }

  /// A fill, a write and a scroll on adapter Index, checked on its screen.
  void
  Draw (
    size_t  Index,
    UINT32  Seed
    )
  {
    EFI_GRAPHICS_OUTPUT_PROTOCOL  *Output = Gop (Index);
    const UINTN                   Line    = Output->Mode->Info->PixelsPerScanLine;
    std::vector<UINT32>           Block (8 * 4);
    UINT32                        Fill    = Seed | 0x01000000;

    for (UINTN Pixel = 0; Pixel < Block.size (); Pixel++) {
      Block[Pixel] = Seed ^ static_cast<UINT32>(Pixel * 0x9E3779B1u);
    }

    auto  *Pixels = reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(Block.data ());

    ASSERT_EQ (Output->Blt (Output, reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(&Fill), EfiBltVideoFill, 0, 0, 0, 0, 16, 2, 0), EFI_SUCCESS);
    ASSERT_EQ (Output->Blt (Output, Pixels, EfiBltBufferToVideo, 0, 0, 4, 2, 8, 4, 0), EFI_SUCCESS);
    ASSERT_EQ (Output->Blt (Output, nullptr, EfiBltVideoToVideo, 0, 1, 0, 0, 16, 5, 0), EFI_SUCCESS);
    EXPECT_EQ (mAdapters[Index]->Pixel (0, 0, Line), Fill);
    EXPECT_EQ (mAdapters[Index]->Pixel (4, 1, Line), Block[0]);
    EXPECT_EQ (mAdapters[Index]->Pixel (11, 4, Line), Block[31]);
  }

  SimAdapter  *mAdapters[2] = { nullptr, nullptr };
};

TEST_F (TwoAdapterTest, EachStartHasItsOwnContextPathAndGraphicsOutputAndProgramsItsAdapterAlike) {
  std::vector<TraceRecord>  Starts[2];

  //
  // The second start finds the shared HDMI control byte where the first
  // left it, not at its load-time value, and still programs its adapter
  // exactly as the first.
  //
  StartBoth (Starts, QDL520_HDMI_CONTROL_ENABLE);
  EXPECT_GT (Starts[0].size (), 600u);
  EXPECT_EQ (Describe (Starts[1]), Describe (Starts[0]));

  QDL520_PRIVATE_DATA  *Private[2] = { PrivateOf (Gop (0)), PrivateOf (Gop (1)) };

  EXPECT_NE (Private[0], Private[1]);
  for (size_t Index = 0; Index < 2; Index++) {
    SCOPED_TRACE (testing::Message () << "adapter " << Index);
    EXPECT_EQ (Private[Index]->PciIo, mAdapters[Index]->Protocol ());
    EXPECT_EQ (Gop (Index)->Mode->FrameBufferBase, mAdapters[Index]->Model ().BarBase (0));
    ASSERT_NE (Private[Index]->Handle, nullptr);
    EXPECT_EQ (
      Qd520Sim::DevicePathToText (static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Platform ().Handles ().InterfaceOn (Private[Index]->Handle, gEfiDevicePathProtocolGuid))),
      Qd520Sim::DevicePathToText (mAdapters[Index]->DevicePath ()) + "/AcpiAdr(0x80010100)"
      );
    EXPECT_EQ (Platform ().Handles ().CountOpens (mAdapters[Index]->Controller (), gEfiPciIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 1u);
  }

  EXPECT_NE (Private[0]->Handle, Private[1]->Handle);
  EXPECT_NE (Gop (0)->Mode, Gop (1)->Mode);
  EXPECT_NE (Private[0]->LineBuffer, Private[1]->LineBuffer);
}

TEST_F (TwoAdapterTest, AModeSetOrBltOnOneNeverTouchesTheOther) {
  std::vector<TraceRecord>  Starts[2];
  std::vector<TraceRecord>  ModeSets[2];

  StartBoth (Starts);
  for (size_t Index : { 1u, 0u }) {
    SCOPED_TRACE (testing::Message () << "adapter " << Index);
    GuardTheOther (Index);
    ASSERT_EQ (Gop (Index)->SetMode (Gop (Index), 2), EFI_SUCCESS);
    ModeSets[Index] = mAdapters[Index]->Trace ();
    ExpectTheOtherUntouched (Index);

    GuardTheOther (Index);
    Draw (Index, 0x00A0B0C0 + static_cast<UINT32>(Index));
    EXPECT_GT (mAdapters[Index]->TraceCount (), 0u);
    ExpectTheOtherUntouched (Index);
  }

  EXPECT_GT (ModeSets[0].size (), 500u);
  EXPECT_EQ (Describe (ModeSets[0]), Describe (ModeSets[1])) << "the shared HDMI control byte changed a mode set";
  EXPECT_EQ (Gop (0)->Mode->Mode, 2u);
  EXPECT_EQ (Gop (1)->Mode->Mode, 2u);
}

TEST_F (TwoAdapterTest, StoppingOneLeavesTheOtherDrawing) {
  std::vector<TraceRecord>  Starts[2];

  StartBoth (Starts);
  for (size_t Stopped : { 0u, 1u }) {
    SCOPED_TRACE (testing::Message () << "adapter " << Stopped << " stopped");
    size_t  Running = 1 - Stopped;

    ASSERT_EQ (Platform ().Disconnect (mAdapters[Stopped]->Controller ()), EFI_SUCCESS);
    EXPECT_EQ (Gop (Stopped), nullptr);
    EXPECT_EQ (mAdapters[Stopped]->Model ().CurrentAttributes (), 0u);
    ASSERT_NE (Gop (Running), nullptr);

    mAdapters[Stopped]->ClearTrace ();
    Draw (Running, 0x00102030);
    ASSERT_EQ (Gop (Running)->SetMode (Gop (Running), 1), EFI_SUCCESS);
    Draw (Running, 0x00405060);
    EXPECT_EQ (mAdapters[Stopped]->TraceCount (), 0u);

    ASSERT_EQ (Platform ().Connect (mAdapters[Stopped]->Controller ()), EFI_SUCCESS);
    Draw (Stopped, 0x00708090);
  }

  for (SimAdapter *Adapter : mAdapters) {
    ASSERT_EQ (Platform ().Disconnect (Adapter->Controller ()), EFI_SUCCESS);
  }

  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u);
  EXPECT_EQ (Platform ().Handles ().CountOpensByAgent (Binding ()->DriverBindingHandle), 0u);
}

//
// A soak that alternates: while one adapter draws, the other is started and
// set to every mode, then the first is stopped and the roles swap.
//
TEST_F (TwoAdapterTest, AlternatingStartsAndStopsLeaveNothingBehind) {
  constexpr UINTN  Cycles = 500;

  for (SimAdapter *Adapter : mAdapters) {
    Adapter->PciIo ().SetTracing (FALSE);
  }

  ASSERT_EQ (Platform ().Connect (mAdapters[0]->Controller ()), EFI_SUCCESS);
  const size_t  BlocksOfOne = Platform ().Pool ().LiveBlocks ();

  for (UINTN Cycle = 0; Cycle < Cycles; Cycle++) {
    SCOPED_TRACE (testing::Message () << "cycle " << Cycle);
    size_t  Running = Cycle % 2;
    size_t  Cycling = 1 - Running;

    ASSERT_EQ (Platform ().Connect (mAdapters[Cycling]->Controller ()), EFI_SUCCESS);
    for (UINT32 Mode = 1; Mode <= 2; Mode++) {
      ASSERT_EQ (Gop (Cycling)->SetMode (Gop (Cycling), Mode), EFI_SUCCESS);
      Draw (Cycling, static_cast<UINT32>(Cycle) << 8);
      Draw (Running, static_cast<UINT32>(Cycle) << 16);
    }

    ASSERT_EQ (Platform ().Disconnect (mAdapters[Running]->Controller ()), EFI_SUCCESS);
    ASSERT_EQ (Platform ().Pool ().LiveBlocks (), BlocksOfOne);
    ASSERT_EQ (mAdapters[Running]->Model ().CurrentAttributes (), 0u);
    Draw (Cycling, static_cast<UINT32>(Cycle));
  }

  ASSERT_EQ (Platform ().Disconnect (mAdapters[Cycles % 2]->Controller ()), EFI_SUCCESS);
  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u);
  EXPECT_EQ (Platform ().Handles ().CountOpensByAgent (Binding ()->DriverBindingHandle), 0u);
}

} // namespace
} // namespace Qd520Test
