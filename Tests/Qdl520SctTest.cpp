/** @file
  The checks that the UEFI Self-Certification Test applies to a graphics
  output protocol, run against this driver on the simulated adapter:
  QueryMode and SetMode conformance, Mode->Info after every mode set, a
  black screen after setting the current mode again,
  refused operation values, read-back of fill, video-to-buffer and
  video-to-video, and the Blt stress set of sizes, positions and pitches in
  every mode, checked against the reference model of the screen and the
  caller's buffer (Tests/Reference/Qd520BltModel.h).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DriverTest.h"

#include "Qd520BltModel.h"

#include "Qdl520.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace Qd520Test {

namespace {

/// The reserved byte of a pixel need not survive on real adapters; the
/// conformance checks compare the colour bytes only.
constexpr UINT32  kColourMask = 0x00FFFFFF;

UINT32
PixelValue (
  const EFI_GRAPHICS_OUTPUT_BLT_PIXEL  &Pixel
  )
{
  UINT32  Value;

  std::memcpy (&Value, &Pixel, sizeof (Value));
  return Value;
}

EFI_GRAPHICS_OUTPUT_BLT_PIXEL
MakePixel (
  UINT32  Value
  )
{
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Pixel;

  std::memcpy (&Pixel, &Value, sizeof (Pixel));
  return Pixel;
}

/// A deterministic scramble for test colours.
constexpr UINT32
Scramble (
  UINT64  Seed
  )
{
  return static_cast<UINT32>((Seed + 1) * 0x9E3779B97F4A7C15ull >> 29);
}

class SctTest : public StartedDriverTest {
protected:
  /// SetMode for the stress and read-back sets: tracing off keeps the
  /// adapter's trace from filling up with pixel rows nobody reads.
  void
  EnterMode (
    UINT32  ModeNumber
    )
  {
    mAdapter->PciIo ().SetTracing (TRUE);
    ASSERT_EQ (mGop->SetMode (mGop, ModeNumber), EFI_SUCCESS);
    mAdapter->PciIo ().SetTracing (FALSE);
    mAdapter->ClearTrace ();
    mWidth  = mGop->Mode->Info->HorizontalResolution;
    mHeight = mGop->Mode->Info->VerticalResolution;
    mPitch  = mGop->Mode->Info->PixelsPerScanLine;
  }

  UINT32 *
  Screen (
    )
  {
    return reinterpret_cast<UINT32 *>(mAdapter->FrameBuffer ());
  }

  UINTN  mWidth  = 0;
  UINTN  mHeight = 0;
  UINTN  mPitch  = 0;
};

//
// QueryMode and SetMode conformance.
//

TEST_F (SctTest, QueryModeConformance) {
  UINT32                                MaxMode = mGop->Mode->MaxMode;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info   = nullptr;
  UINTN                                 Size    = 0;

  EXPECT_EQ (mGop->QueryMode (mGop, MaxMode, &Size, &Info), EFI_INVALID_PARAMETER);
  EXPECT_EQ (mGop->QueryMode (mGop, 0, nullptr, &Info), EFI_INVALID_PARAMETER);
  EXPECT_EQ (mGop->QueryMode (mGop, 0, &Size, nullptr), EFI_INVALID_PARAMETER);

  for (UINT32 ModeNumber = 0; ModeNumber < MaxMode; ModeNumber++) {
    Info = nullptr;
    ASSERT_EQ (mGop->QueryMode (mGop, ModeNumber, &Size, &Info), EFI_SUCCESS) << "mode " << ModeNumber;
    ASSERT_NE (Info, nullptr);
    EXPECT_EQ (Size, sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION));
    EXPECT_EQ (Platform ().BootServices ()->FreePool (Info), EFI_SUCCESS);
  }
}

TEST_F (SctTest, SetModeConformanceAndModeInformationAfterEachSet) {
  UINT32  MaxMode = mGop->Mode->MaxMode;

  ASSERT_EQ (MaxMode, 3u);
  for (UINT32 ModeNumber = 0; ModeNumber < MaxMode; ModeNumber++) {
    SCOPED_TRACE ("mode " + std::to_string (ModeNumber));
    ASSERT_EQ (mGop->SetMode (mGop, ModeNumber), EFI_SUCCESS);
    EXPECT_EQ (mGop->Mode->Mode, ModeNumber);

    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info = nullptr;
    UINTN                                 Size  = 0;
    ASSERT_EQ (mGop->QueryMode (mGop, ModeNumber, &Size, &Info), EFI_SUCCESS);
    const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  &Current = *mGop->Mode->Info;
    EXPECT_EQ (Size, mGop->Mode->SizeOfInfo);
    EXPECT_EQ (Info->Version, Current.Version);
    EXPECT_EQ (Info->HorizontalResolution, Current.HorizontalResolution);
    EXPECT_EQ (Info->VerticalResolution, Current.VerticalResolution);
    EXPECT_EQ (Info->PixelFormat, Current.PixelFormat);
    EXPECT_EQ (Info->PixelsPerScanLine, Current.PixelsPerScanLine);
    EXPECT_EQ (std::memcmp (Info, &Current, sizeof (Current)), 0) << "the whole record, PixelInformation included";
    EXPECT_EQ (Current.PixelsPerScanLine, Qd520Reference::PixelsPerScanLine (Current.HorizontalResolution));
    EXPECT_EQ (
      mGop->Mode->FrameBufferSize,
      Qd520Reference::FrameBufferBytes (Current.HorizontalResolution, Current.VerticalResolution)
      );
    EXPECT_EQ (Platform ().BootServices ()->FreePool (Info), EFI_SUCCESS);
  }

  EXPECT_EQ (mGop->SetMode (mGop, MaxMode), EFI_UNSUPPORTED);
}

TEST_F (SctTest, SetModeToTheCurrentModeLeavesTheVisibleScreenBlackInEveryMode) {
  for (UINT32 ModeNumber = 0; ModeNumber < mGop->Mode->MaxMode; ModeNumber++) {
    SCOPED_TRACE ("mode " + std::to_string (ModeNumber));
    EnterMode (ModeNumber);

    std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL>  Back (mWidth * mHeight);
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL               Blue = MakePixel (0x000000FF);

    auto  CountColoured = [&](UINT32 Colour) {
                            UINTN  Count = 0;
                            for (const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &Pixel : Back) {
                              Count += (((PixelValue (Pixel) ^ Colour) & kColourMask) == 0) ? 1 : 0;
                            }

                            return Count;
                          };

    //
    // The screen is blue, then the same mode is set again: every visible
    // pixel must read back black.
    //
    ASSERT_EQ (Blt (&Blue, EfiBltVideoFill, 0, 0, 0, 0, mWidth, mHeight, 0), EFI_SUCCESS);
    ASSERT_EQ (Blt (Back.data (), EfiBltVideoToBltBuffer, 0, 0, 0, 0, mWidth, mHeight, 0), EFI_SUCCESS);
    ASSERT_EQ (CountColoured (PixelValue (Blue)), Back.size ());

    ASSERT_EQ (mGop->SetMode (mGop, ModeNumber), EFI_SUCCESS);
    EXPECT_EQ (mGop->Mode->Mode, ModeNumber);
    std::fill (Back.begin (), Back.end (), Blue);
    ASSERT_EQ (Blt (Back.data (), EfiBltVideoToBltBuffer, 0, 0, 0, 0, mWidth, mHeight, 0), EFI_SUCCESS);
    EXPECT_EQ (CountColoured (0), Back.size ()) << "pixels not black after SetMode to the current mode";
  }
}

//
// Blt conformance.
//

TEST_F (SctTest, BltRefusesOperationValuesBeyondTheFourInEveryMode) {
  const UINTN                    Refused[] = { 4, 5, 14, 104, 1004, static_cast<UINTN>(-1) };
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Pixel     = MakePixel (0x00123456);

  for (UINT32 ModeNumber = 0; ModeNumber < mGop->Mode->MaxMode; ModeNumber++) {
    EnterMode (ModeNumber);
    mAdapter->PciIo ().SetTracing (TRUE);
    for (UINTN Operation : Refused) {
      EXPECT_EQ (Blt (&Pixel, Operation, 0, 0, 0, 0, 1, 1, 0), EFI_INVALID_PARAMETER)
        << "mode " << ModeNumber << ", operation " << Operation;
    }

    EXPECT_EQ (mAdapter->TraceCount (), 0u);
    EXPECT_EQ (PixelValue (Pixel), 0x00123456u);
  }
}

TEST_F (SctTest, FillVideoToBufferAndVideoToVideoReadBackEqualInEveryMode) {
  for (UINT32 ModeNumber = 0; ModeNumber < mGop->Mode->MaxMode; ModeNumber++) {
    SCOPED_TRACE ("mode " + std::to_string (ModeNumber));
    EnterMode (ModeNumber);

    const UINTN                                 Width  = mWidth / 2;
    const UINTN                                 Height = mHeight / 2;
    std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL>  Pattern (Width * Height);
    std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL>  Back (Width * Height);
    for (UINTN Index = 0; Index < Pattern.size (); Index++) {
      Pattern[Index] = MakePixel (Scramble (Index + ModeNumber * 7919));
    }

    auto  CountMismatches = [&](UINT32 Colour, const std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> *Expected) {
                              UINTN  Mismatches = 0;
                              for (UINTN Index = 0; Index < Back.size (); Index++) {
                                UINT32  Want = (Expected != nullptr) ? PixelValue ((*Expected)[Index]) : Colour;
                                if (((PixelValue (Back[Index]) ^ Want) & kColourMask) != 0) {
                                  Mismatches++;
                                }
                              }

                              return Mismatches;
                            };

    //
    // Fill, then read the rectangle back.
    //
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Colour = MakePixel (0xFF1E90FF);
    ASSERT_EQ (Blt (&Colour, EfiBltVideoFill, 0, 0, mWidth / 4, mHeight / 4, Width, Height, 0), EFI_SUCCESS);
    ASSERT_EQ (Blt (Back.data (), EfiBltVideoToBltBuffer, mWidth / 4, mHeight / 4, 0, 0, Width, Height, 0), EFI_SUCCESS);
    EXPECT_EQ (CountMismatches (PixelValue (Colour), nullptr), 0u) << "fill";

    //
    // Write a pattern, read it back.
    //
    ASSERT_EQ (Blt (Pattern.data (), EfiBltBufferToVideo, 0, 0, 0, 0, Width, Height, 0), EFI_SUCCESS);
    std::fill (Back.begin (), Back.end (), MakePixel (0));
    ASSERT_EQ (Blt (Back.data (), EfiBltVideoToBltBuffer, 0, 0, 0, 0, Width, Height, 0), EFI_SUCCESS);
    EXPECT_EQ (CountMismatches (0, &Pattern), 0u) << "video to buffer";

    //
    // Move the pattern to the opposite quarter, read it back there.
    //
    ASSERT_EQ (Blt (nullptr, EfiBltVideoToVideo, 0, 0, mWidth - Width, mHeight - Height, Width, Height, 0), EFI_SUCCESS);
    std::fill (Back.begin (), Back.end (), MakePixel (0));
    ASSERT_EQ (Blt (Back.data (), EfiBltVideoToBltBuffer, mWidth - Width, mHeight - Height, 0, 0, Width, Height, 0), EFI_SUCCESS);
    EXPECT_EQ (CountMismatches (0, &Pattern), 0u) << "video to video";
  }
}

//
// Blt stress set.
//

TEST_F (SctTest, BltStressOfSizesPositionsAndPitchesInEveryMode) {
  for (UINT32 ModeNumber = 0; ModeNumber < mGop->Mode->MaxMode; ModeNumber++) {
    SCOPED_TRACE ("mode " + std::to_string (ModeNumber));
    EnterMode (ModeNumber);

    const UINTN  Sizes[][2]  = { { 100, 100 }, { mWidth / 2, mHeight / 2 } };
    const UINTN  Points[][2] = { { 0, 0 }, { 100, 100 }, { mWidth / 2, mHeight / 2 } };
    const UINTN  Deltas[]    = { 0, 400, mWidth / 2 * 4, mWidth * 4 };
    const UINTN  Pixels      = mPitch * mHeight;

    //
    // The caller's buffer covers the largest rectangle at the farthest
    // point with the widest pitch. The reference model draws the same
    // calls on copies of the screen and of the buffer.
    //
    std::vector<UINT32>         ModelScreen (Pixels);
    std::vector<UINT8>          ModelBuffer ((mHeight / 2 + mHeight / 2) * mWidth * 4 + mWidth * 4);
    std::vector<UINT8>          Buffer (ModelBuffer.size ());
    Qd520Reference::ScreenView  View = { ModelScreen.data (), mWidth, mHeight, mPitch };

    for (UINTN Index = 0; Index < Pixels; Index++) {
      ModelScreen[Index] = Scramble (Index ^ 0x5A5A);
    }

    std::memcpy (Screen (), ModelScreen.data (), Pixels * 4);

    UINTN  Combination = 0;
    UINTN  Failures    = 0;
    for (const auto &Size : Sizes) {
      for (const auto &Source : Points) {
        for (const auto &Destination : Points) {
          for (UINTN Delta : Deltas) {
            const UINTN  Width  = Size[0];
            const UINTN  Height = Size[1];

            for (UINTN Index = 0; Index < Buffer.size (); Index += 4) {
              UINT32  Value = Scramble (Index + Combination * 131071);
              std::memcpy (&Buffer[Index], &Value, 4);
            }

            ModelBuffer = Buffer;

            EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Colour      = MakePixel (Scramble (Combination) | 0x01000000);
            EFI_GRAPHICS_OUTPUT_BLT_PIXEL  ModelColour = Colour;
            EFI_STATUS                     Status[4];
            EFI_STATUS                     Expected[4];

            Status[0]   = Blt (Buffer.data (), EfiBltBufferToVideo, Source[0], Source[1], Destination[0], Destination[1], Width, Height, Delta);
            Expected[0] = Qd520Reference::ModelBlt (
                                            { EfiBltBufferToVideo, Source[0], Source[1], Destination[0], Destination[1], Width, Height, Delta },
                                            View,
                                            ModelBuffer.data ()
                                            );
            Status[1]   = Blt (nullptr, EfiBltVideoToVideo, Destination[0], Destination[1], Source[0], Source[1], Width, Height, Delta);
            Expected[1] = Qd520Reference::ModelBlt (
                                            { EfiBltVideoToVideo, Destination[0], Destination[1], Source[0], Source[1], Width, Height, Delta },
                                            View,
                                            nullptr
                                            );
            Status[2]   = Blt (Buffer.data (), EfiBltVideoToBltBuffer, Source[0], Source[1], Destination[0], Destination[1], Width, Height, Delta);
            Expected[2] = Qd520Reference::ModelBlt (
                                            { EfiBltVideoToBltBuffer, Source[0], Source[1], Destination[0], Destination[1], Width, Height, Delta },
                                            View,
                                            ModelBuffer.data ()
                                            );
            Status[3]   = Blt (&Colour, EfiBltVideoFill, Source[0], Source[1], Destination[0], Destination[1], Width, Height, Delta);
            Expected[3] = Qd520Reference::ModelBlt (
                                            { EfiBltVideoFill, Source[0], Source[1], Destination[0], Destination[1], Width, Height, Delta },
                                            View,
                                            reinterpret_cast<UINT8 *>(&ModelColour)
                                            );

            bool  StatusesOk = (Status[0] == EFI_SUCCESS) && (Status[1] == EFI_SUCCESS) &&
                               (Status[2] == EFI_SUCCESS) && (Status[3] == EFI_SUCCESS) &&
                               (std::memcmp (Status, Expected, sizeof (Status)) == 0);
            bool  ScreenOk   = std::memcmp (Screen (), ModelScreen.data (), Pixels * 4) == 0;
            bool  BufferOk   = Buffer == ModelBuffer;
            if (!StatusesOk || !ScreenOk || !BufferOk) {
              ADD_FAILURE () << Width << "x" << Height << " from (" << Source[0] << ", " << Source[1] << ") to ("
                             << Destination[0] << ", " << Destination[1] << "), Delta " << Delta << ": statuses 0x"
                             << std::hex << Status[0] << " 0x" << Status[1] << " 0x" << Status[2] << " 0x" << Status[3]
                             << std::dec << (ScreenOk ? "" : ", screen differs") << (BufferOk ? "" : ", buffer differs");
              Failures++;
              std::memcpy (Screen (), ModelScreen.data (), Pixels * 4);
            }

            Combination++;
            ASSERT_LT (Failures, 5u) << "stopping after repeated failures";
          }
        }
      }
    }

    EXPECT_EQ (Combination, 2u * 3 * 3 * 4);
  }
}

} // namespace

} // namespace Qd520Test
