/** @file
  Soak of the driver's lifecycle on the simulated platform: many cycles of
  Start, a mode set to every mode, a few block transfers and Stop. Every
  cycle must give back all it took: pool blocks, protocol opens, handles
  and the controller's PCI attributes.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DriverTest.h"

extern "C" {
#include <Protocol/DevicePath.h>
#include <Protocol/PciIo.h>
}

#include <cstring>
#include <vector>

namespace Qd520Test {
namespace {

constexpr UINTN   kCycles = 10000;
constexpr UINT32  kModes  = 3;

/// One pixel of the pattern a cycle draws, distinct per cycle and position.
UINT32
PatternPixel (
  UINTN  Cycle,
  UINTN  Index
  )
{
  return static_cast<UINT32>((Cycle * 0x9E3779B1u) ^ (Index * 0x01000193u)) | 0x01000000u;
}

class SoakTest : public LoadedDriverTest {
protected:
  /// What the platform holds before the first Start, to compare each cycle
  /// against.
  struct Holdings {
    size_t    PoolBlocks;
    size_t    Opens;
    size_t    Handles;
    UINT64    Attributes;

    bool
    operator== (
      const Holdings  &Other
      ) const
    {
      return (PoolBlocks == Other.PoolBlocks) && (Opens == Other.Opens) && (Handles == Other.Handles) &&
             (Attributes == Other.Attributes);
    }
  };

  Holdings
  Now (
    )
  {
    return Holdings {
             Platform ().Pool ().LiveBlocks (),
             Platform ().Handles ().CountOpensByAgent (Binding ()->DriverBindingHandle),
             Platform ().Handles ().HandleCount (),
             mAdapter->Model ().CurrentAttributes ()
    };
  }

  /// A fill, a write, a move and a read back of a small rectangle, checked
  /// on the frame buffer and in the caller's buffer.
  void
  DrawAndReadBack (
    EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop,
    UINTN                         Cycle
    )
  {
    constexpr UINTN  Width = 6, Height = 4;
    const UINTN      Line  = Gop->Mode->Info->PixelsPerScanLine;
    const UINTN      Right = Gop->Mode->Info->HorizontalResolution - Width;
    const UINTN      Bottom = Gop->Mode->Info->VerticalResolution - Height;

    EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Colour;
    UINT32                         Fill = PatternPixel (Cycle, 0);
    std::memcpy (&Colour, &Fill, sizeof (Colour));
    ASSERT_EQ (Gop->Blt (Gop, &Colour, EfiBltVideoFill, 0, 0, 0, 0, Width, Height, 0), EFI_SUCCESS);

    std::vector<UINT32>  Source (Width * Height);
    for (UINTN Index = 0; Index < Source.size (); Index++) {
      Source[Index] = PatternPixel (Cycle, Index + 1);
    }

    ASSERT_EQ (
      Gop->Blt (Gop, reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(Source.data ()), EfiBltBufferToVideo, 0, 0, Width, 0, Width, Height, 0),
      EFI_SUCCESS
      );
    ASSERT_EQ (Gop->Blt (Gop, nullptr, EfiBltVideoToVideo, Width, 0, Right, Bottom, Width, Height, 0), EFI_SUCCESS);

    std::vector<UINT32>  Back (Width * Height, 0);
    ASSERT_EQ (
      Gop->Blt (Gop, reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(Back.data ()), EfiBltVideoToBltBuffer, Right, Bottom, 0, 0, Width, Height, 0),
      EFI_SUCCESS
      );
    ASSERT_EQ (Back, Source);
    ASSERT_EQ (mAdapter->Pixel (Width - 1, Height - 1, Line), Fill);
    ASSERT_EQ (Platform ().Tpl ().Current (), static_cast<EFI_TPL>(TPL_APPLICATION));
  }
};

TEST_F (SoakTest, TenThousandCyclesOfStartEveryModeBltAndStopLeaveNothingBehind) {
  const Holdings  Before = Now ();

  //
  // The trace would only record the first cycles; the checks read state.
  //
  mAdapter->PciIo ().SetTracing (FALSE);

  for (UINTN Cycle = 0; Cycle < kCycles; Cycle++) {
    SCOPED_TRACE (testing::Message () << "cycle " << Cycle);

    ASSERT_EQ (Platform ().Connect (mAdapter->Controller ()), EFI_SUCCESS);
    EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop = GraphicsOutputOn (mAdapter->Controller ());
    ASSERT_NE (Gop, nullptr);
    ASSERT_EQ (Gop->Mode->Mode, 0u);

    //
    // Every mode in turn: mode 0, which Start set, is a repeat that only
    // clears the screen; modes 1 and 2 are set in full.
    //
    for (UINT32 Mode = 0; Mode < kModes; Mode++) {
      UINTN  Blocks = Platform ().Pool ().LiveBlocks ();
      ASSERT_EQ (Gop->SetMode (Gop, Mode), EFI_SUCCESS);
      ASSERT_EQ (Gop->Mode->Mode, Mode);
      ASSERT_EQ (Platform ().Pool ().LiveBlocks (), Blocks);
      DrawAndReadBack (Gop, Cycle);
    }

    ASSERT_EQ (Platform ().Disconnect (mAdapter->Controller ()), EFI_SUCCESS);
    ASSERT_EQ (GraphicsOutputOn (mAdapter->Controller ()), nullptr);
    ASSERT_TRUE (Now () == Before) << "pool blocks " << Now ().PoolBlocks << " (before " << Before.PoolBlocks
                                   << "), opens " << Now ().Opens << ", handles " << Now ().Handles << " (before "
                                   << Before.Handles << "), attributes 0x" << std::hex << Now ().Attributes;
  }

  EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u);
  EXPECT_EQ (Platform ().Handles ().CountOpensByAgent (Binding ()->DriverBindingHandle), 0u);
  EXPECT_EQ (Platform ().Handles ().CountOpens (mAdapter->Controller (), gEfiPciIoProtocolGuid), 0u);
  EXPECT_TRUE (Platform ().Assertions ().empty ()) << Platform ().AssertionsText ();
}

} // namespace
} // namespace Qd520Test
