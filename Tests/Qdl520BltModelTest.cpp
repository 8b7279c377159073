/** @file
  The reference model of Blt (Tests/Reference/Qd520BltModel.h), which the
  Blt tests, the conformance checks and the fuzzer's oracle compare the
  driver with: worked examples on a small screen with padded scan lines,
  worked statuses, and proof that comparing with it catches mistakes planted
  in the driver's transfers (through its PCI I/O calls): a downward
  overlapping move done in place, rows landing one line off, Delta ignored,
  a short fill, a read that spills past its row.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "BltFixture.h"

#include "Qd520BltModel.h"

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace Qd520Test {

namespace {

using Qd520Reference::BltRequest;
using Qd520Reference::ModelBlt;
using Qd520Reference::ScreenView;

constexpr UINT32  kFill         = EfiBltVideoFill;
constexpr UINT32  kToBuffer     = EfiBltVideoToBltBuffer;
constexpr UINT32  kToVideo      = EfiBltBufferToVideo;
constexpr UINT32  kVideoToVideo = EfiBltVideoToVideo;

constexpr UINTN  kMax  = MAX_UINTN;
constexpr UINTN  kHalf = (MAX_UINTN >> 1) + 1;   ///< kHalf + kHalf wraps to 0

//
// A screen of 5 x 4 pixels whose scan lines are 8 pixels apart: pixel
// (x, y) holds 10 y + x, the padding 99.
//
constexpr UINTN   kTinyWidth   = 5;
constexpr UINTN   kTinyHeight  = 4;
constexpr UINTN   kTinyLine    = 8;
constexpr UINT32  kTinyPadding = 99;

class TinyScreen {
public:
  TinyScreen (
    ) : mPixels (kTinyLine * kTinyHeight)
  {
    for (UINTN Y = 0; Y < kTinyHeight; Y++) {
      for (UINTN X = 0; X < kTinyLine; X++) {
        mPixels[Y * kTinyLine + X] = (X < kTinyWidth) ? static_cast<UINT32>(10 * Y + X) : kTinyPadding;
      }
    }
  }

  ScreenView
  View (
    )
  {
    return ScreenView{ mPixels.data (), kTinyWidth, kTinyHeight, kTinyLine };
  }

  /// The visible rows, "0 1 2 3 4 / 10 11 12 13 14 / ...".
  std::string
  Rows (
    ) const
  {
    std::ostringstream  Text;

    for (UINTN Y = 0; Y < kTinyHeight; Y++) {
      for (UINTN X = 0; X < kTinyWidth; X++) {
        Text << ((X == 0) ? ((Y == 0) ? "" : " / ") : " ") << mPixels[Y * kTinyLine + X];
      }
    }

    return Text.str ();
  }

  bool
  PaddingIntact (
    ) const
  {
    for (UINTN Y = 0; Y < kTinyHeight; Y++) {
      for (UINTN X = kTinyWidth; X < kTinyLine; X++) {
        if (mPixels[Y * kTinyLine + X] != kTinyPadding) {
          return false;
        }
      }
    }

    return true;
  }

private:
  std::vector<UINT32>  mPixels;
};

/// Bytes holding the pixels Values, little-endian, after Skew bytes of Fill.
std::vector<UINT8>
PixelBytes (
  std::initializer_list<UINT32>  Values,
  UINTN                          Skew = 0,
  UINT8                          Fill = 0xAB
  )
{
  std::vector<UINT8>  Bytes (Skew, Fill);

  for (UINT32 Value : Values) {
    for (UINTN Byte = 0; Byte < 4; Byte++) {
      Bytes.push_back (static_cast<UINT8>(Value >> (8 * Byte)));
    }
  }

  return Bytes;
}

/// Writes pixel Value at byte Offset of Bytes.
void
PutPixel (
  std::vector<UINT8>  &Bytes,
  UINTN               Offset,
  UINT32              Value
  )
{
  std::memcpy (Bytes.data () + Offset, &Value, sizeof (Value));
}

//
// Worked examples.
//

TEST (BltModelTest, FillRepeatsTheFirstPixelOfTheBufferOverTheDestinationOnly) {
  TinyScreen          Screen;
  std::vector<UINT8>  Buffer = PixelBytes ({ 7, 0xEEEEEEEE }, 1);   // an odd address
  std::vector<UINT8>  Before = Buffer;

  EXPECT_EQ (ModelBlt ({ kFill, kMax, kMax, 1, 1, 3, 2, 12345 }, Screen.View (), Buffer.data () + 1), EFI_SUCCESS);
  EXPECT_EQ (Screen.Rows (), "0 1 2 3 4 / 10 7 7 7 14 / 20 7 7 7 24 / 30 31 32 33 34");
  EXPECT_TRUE (Screen.PaddingIntact ());
  EXPECT_EQ (Buffer, Before) << "the fill reads its pixel and nothing else";
}

TEST (BltModelTest, MovesLeaveTheDestinationEqualToTheSourceBeforeTheCallHoweverTheyOverlap) {
  const struct {
    const char    *Name;
    BltRequest    Request;
    const char    *Rows;
  } Cases[] = {
    { "down one line",    { kVideoToVideo, 0, 0, 0, 1, 5, 3, 0 }, "0 1 2 3 4 / 0 1 2 3 4 / 10 11 12 13 14 / 20 21 22 23 24" },
    { "up one line",      { kVideoToVideo, 0, 1, 0, 0, 5, 3, 0 }, "10 11 12 13 14 / 20 21 22 23 24 / 30 31 32 33 34 / 30 31 32 33 34" },
    { "right one pixel",  { kVideoToVideo, 0, 0, 1, 0, 4, 4, 0 }, "0 0 1 2 3 / 10 10 11 12 13 / 20 20 21 22 23 / 30 30 31 32 33" },
    { "left one pixel",   { kVideoToVideo, 1, 0, 0, 0, 4, 4, 0 }, "1 2 3 4 4 / 11 12 13 14 14 / 21 22 23 24 24 / 31 32 33 34 34" },
    { "down and right",   { kVideoToVideo, 0, 0, 1, 1, 3, 3, 0 }, "0 1 2 3 4 / 10 0 1 2 14 / 20 10 11 12 24 / 30 20 21 22 34" },
    { "up and left",      { kVideoToVideo, 1, 1, 0, 0, 3, 3, 0 }, "11 12 13 3 4 / 21 22 23 13 14 / 31 32 33 23 24 / 30 31 32 33 34" },
    { "down three lines", { kVideoToVideo, 2, 0, 0, 3, 3, 1, 0 }, "0 1 2 3 4 / 10 11 12 13 14 / 20 21 22 23 24 / 2 3 4 33 34" },
    { "onto itself",      { kVideoToVideo, 1, 1, 1, 1, 4, 3, 0 }, "0 1 2 3 4 / 10 11 12 13 14 / 20 21 22 23 24 / 30 31 32 33 34" },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    TinyScreen  Screen;

    EXPECT_EQ (ModelBlt (Case.Request, Screen.View (), nullptr), EFI_SUCCESS);
    EXPECT_EQ (Screen.Rows (), Case.Rows);
    EXPECT_TRUE (Screen.PaddingIntact ());
  }
}

TEST (BltModelTest, BufferTransfersAddressTheCallersPixelsDeltaBytesApartFromBltBuffer) {
  //
  // Into a buffer of 5-pixel rows (Delta 20) starting at an odd address,
  // at buffer coordinates (1, 1): only those rows' pixels change.
  //
  {
    TinyScreen          Screen;
    std::vector<UINT8>  Buffer (1 + 3 * 20, 0xAB);
    std::vector<UINT8>  Expected = Buffer;

    PutPixel (Expected, 1 + 1 * 20 + 4, 12);
    PutPixel (Expected, 1 + 1 * 20 + 8, 13);
    PutPixel (Expected, 1 + 2 * 20 + 4, 22);
    PutPixel (Expected, 1 + 2 * 20 + 8, 23);
    EXPECT_EQ (ModelBlt ({ kToBuffer, 2, 1, 1, 1, 2, 2, 20 }, Screen.View (), Buffer.data () + 1), EFI_SUCCESS);
    EXPECT_EQ (Buffer, Expected);
    EXPECT_EQ (Screen.Rows (), TinyScreen ().Rows ()) << "a read leaves the screen alone";
  }

  //
  // Delta 0: rows Width x 4 bytes apart.
  //
  {
    TinyScreen          Screen;
    std::vector<UINT8>  Buffer (3 * 12, 0xAB);
    std::vector<UINT8>  Expected = PixelBytes ({ 20, 21, 22, 30, 31, 32 }, 12);

    EXPECT_EQ (ModelBlt ({ kToBuffer, 0, 2, 0, 1, 3, 2, 0 }, Screen.View (), Buffer.data ()), EFI_SUCCESS);
    EXPECT_EQ (Buffer, Expected);
  }

  //
  // From the buffer: Delta 0 with 2-pixel rows, then 3-pixel rows of which
  // the last two pixels move.
  //
  {
    TinyScreen          Screen;
    std::vector<UINT8>  Buffer = PixelBytes ({ 100, 101, 102, 103, 104, 105 });
    std::vector<UINT8>  Before = Buffer;

    EXPECT_EQ (ModelBlt ({ kToVideo, 0, 1, 3, 2, 2, 2, 0 }, Screen.View (), Buffer.data ()), EFI_SUCCESS);
    EXPECT_EQ (Screen.Rows (), "0 1 2 3 4 / 10 11 12 13 14 / 20 21 22 102 103 / 30 31 32 104 105");
    EXPECT_EQ (Buffer, Before) << "a write leaves the buffer alone";
  }

  {
    TinyScreen          Screen;
    std::vector<UINT8>  Buffer = PixelBytes ({ 100, 101, 102, 103, 104, 105, 106, 107, 108 });

    EXPECT_EQ (ModelBlt ({ kToVideo, 1, 0, 0, 0, 2, 3, 12 }, Screen.View (), Buffer.data ()), EFI_SUCCESS);
    EXPECT_EQ (Screen.Rows (), "101 102 2 3 4 / 104 105 12 13 14 / 107 108 22 23 24 / 30 31 32 33 34");
    EXPECT_TRUE (Screen.PaddingIntact ());
  }
}

TEST (BltModelTest, StatusComesFromTheArgumentsAndTheTestedRectanglesWithExactSums) {
  const struct {
    const char    *Name;
    BltRequest    Request;
    BOOLEAN       BufferGiven;
    BOOLEAN       CanMove;
    EFI_STATUS    Expected;
    bool          ByArguments;   ///< the arguments alone refuse it
  } Cases[] = {
    { "operation 4",                            { 4,             0,        0,        0,        0,        1,     1,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, TRUE  },
    { "operation 0xFFFFFFFF",                   { 0xFFFFFFFF,    0,        0,        0,        0,        1,     1,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, TRUE  },
    { "width 0",                                { kFill,         0,        0,        0,        0,        0,     1,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, TRUE  },
    { "height 0 of a move without staging",     { kVideoToVideo, 0,        0,        0,        0,        1,     0,     0 }, FALSE, FALSE, EFI_INVALID_PARAMETER, TRUE  },
    { "fill without a buffer",                  { kFill,         0,        0,        0,        0,        1,     1,     0 }, FALSE, TRUE,  EFI_INVALID_PARAMETER, TRUE  },
    { "read without a buffer",                  { kToBuffer,     0,        0,        0,        0,        1,     1,     0 }, FALSE, TRUE,  EFI_INVALID_PARAMETER, TRUE  },
    { "write without a buffer",                 { kToVideo,      0,        0,        0,        0,        1,     1,     0 }, FALSE, TRUE,  EFI_INVALID_PARAMETER, TRUE  },
    { "move without a buffer",                  { kVideoToVideo, 0,        0,        1,        1,        1,     1,     0 }, FALSE, TRUE,  EFI_SUCCESS,           FALSE },
    { "fill ending at the right edge",          { kFill,         kMax,     kMax,     3,        0,        2,     4,     0 }, TRUE,  TRUE,  EFI_SUCCESS,           FALSE },
    { "fill one pixel past the right edge",     { kFill,         0,        0,        4,        0,        2,     1,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, FALSE },
    { "fill one line past the bottom",          { kFill,         0,        0,        0,        1,        1,     4,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, FALSE },
    { "fill with x + width wrapping to 1",      { kFill,         0,        0,        kMax - 1, 0,        3,     1,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, FALSE },
    { "fill with y + height wrapping to 0",     { kFill,         0,        0,        0,        kHalf,    1,     kHalf, 0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, FALSE },
    { "read from the last pixel",               { kToBuffer,     4,        3,        kMax,     kMax,     1,     1,     0 }, TRUE,  TRUE,  EFI_SUCCESS,           FALSE },
    { "read past the bottom",                   { kToBuffer,     0,        3,        0,        0,        1,     2,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, FALSE },
    { "write from buffer coordinates far off",  { kToVideo,      1000,     1000,     0,        0,        5,     4,     0 }, TRUE,  TRUE,  EFI_SUCCESS,           FALSE },
    { "write past the right edge",              { kToVideo,      0,        0,        1,        0,        5,     1,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, FALSE },
    { "write with a width of MAX_UINTN",        { kToVideo,      0,        0,        1,        0,        kMax,  1,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, FALSE },
    { "move from past the edge",                { kVideoToVideo, 1,        0,        0,        0,        5,     1,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, FALSE },
    { "move to past the edge",                  { kVideoToVideo, 0,        0,        0,        1,        1,     4,     0 }, TRUE,  TRUE,  EFI_INVALID_PARAMETER, FALSE },
    { "move without staging",                   { kVideoToVideo, 0,        1,        0,        0,        5,     3,     0 }, TRUE,  FALSE, EFI_DEVICE_ERROR,      FALSE },
    { "move off the screen without staging",    { kVideoToVideo, 0,        1,        0,        0,        5,     4,     0 }, TRUE,  FALSE, EFI_INVALID_PARAMETER, FALSE },
    { "fill without staging",                   { kFill,         0,        0,        0,        0,        5,     4,     0 }, TRUE,  FALSE, EFI_SUCCESS,           FALSE },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    EXPECT_EQ (Qd520Reference::BltStatus (Case.Request, Case.BufferGiven, kTinyWidth, kTinyHeight, Case.CanMove), Case.Expected);
    EXPECT_EQ (Qd520Reference::BltArgumentsValid (Case.Request, Case.BufferGiven) == FALSE, Case.ByArguments);
  }
}

TEST (BltModelTest, BufferBytesRunFromBltBufferToTheRectanglesLastPixelOrDoNotFit) {
  UINTN  Bytes = 0;

  ASSERT_TRUE (Qd520Reference::BltBufferBytes ({ kFill, 9, 9, 0, 0, 100, 100, 0 }, &Bytes));
  EXPECT_EQ (Bytes, 4u) << "the fill's one pixel";
  ASSERT_TRUE (Qd520Reference::BltBufferBytes ({ kVideoToVideo, 9, 9, 0, 0, 100, 100, 0 }, &Bytes));
  EXPECT_EQ (Bytes, 0u);
  ASSERT_TRUE (Qd520Reference::BltBufferBytes ({ kToBuffer, 0, 0, 1, 2, 3, 2, 0 }, &Bytes));
  EXPECT_EQ (Bytes, 3u * 12 + 4 * 4) << "rows of 12 bytes; the last ends at pixel 4";
  ASSERT_TRUE (Qd520Reference::BltBufferBytes ({ kToVideo, 2, 1, 0, 0, 3, 2, 100 }, &Bytes));
  EXPECT_EQ (Bytes, 2u * 100 + 5 * 4) << "the buffer coordinates of a write are its source";
  ASSERT_TRUE (Qd520Reference::BltBufferBytes ({ kToVideo, 0, 0, 0, 0, 1, 1, kMax }, &Bytes));
  EXPECT_EQ (Bytes, 4u) << "one row does not reach Delta";
  EXPECT_FALSE (Qd520Reference::BltBufferBytes ({ kToBuffer, 0, 0, 0, 0, 1, 2, kMax }, &Bytes));
  EXPECT_FALSE (Qd520Reference::BltBufferBytes ({ kToBuffer, 0, 0, kMax, 0, 1, 1, 0 }, &Bytes));
  EXPECT_FALSE (Qd520Reference::BltBufferBytes ({ kToVideo, 0, kMax, 0, 0, 1, 2, 4 }, &Bytes));
}

//
// Mistakes planted in the driver's transfers, through its PCI I/O calls on
// BAR 0: comparing with the model must catch each.
//

enum class Mistake {
  None,
  MoveInOnePass,          ///< each row of a move lands before the next is read
  MoveRowsOneLineLow,     ///< a move writes every row one scan line low
  DeltaIgnored,           ///< buffer rows taken Width x 4 apart
  FillOnePixelShort,
  ReadSpillsPastTheRow    ///< a read delivers one unit more than the row
};

struct PlantedState {
  Mistake                     Which;
  EFI_PCI_IO_PROTOCOL_IO_MEM  RealRead;
  EFI_PCI_IO_PROTOCOL_IO_MEM  RealWrite;
  INT64                       MoveShift;     ///< bytes from a move's source to its destination
  UINT64                      LineBytes;
  UINT8                       *BltBuffer;
  UINTN                       Delta;
  UINTN                       TightPitch;    ///< Width x 4
  UINTN                       Planted;       ///< calls the mistake changed
};

PlantedState  gPlanted;

/// Where a buffer row would be if rows were Width x 4 bytes apart.
VOID *
TightRow (
  VOID  *Buffer
  )
{
  UINTN  Offset = static_cast<UINTN>(static_cast<UINT8 *>(Buffer) - gPlanted.BltBuffer);

  return gPlanted.BltBuffer + Offset / gPlanted.Delta * gPlanted.TightPitch + Offset % gPlanted.Delta;
}

EFI_STATUS
EFIAPI
PlantedRead (
  EFI_PCI_IO_PROTOCOL        *This,
  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  UINT8                      BarIndex,
  UINT64                     Offset,
  UINTN                      Count,
  VOID                       *Buffer
  )
{
  EFI_STATUS  Status;

  gPlanted.Planted++;
  switch (gPlanted.Which) {
    case Mistake::MoveInOnePass:
      Status = gPlanted.RealRead (This, Width, BarIndex, Offset, Count, Buffer);
      gPlanted.RealWrite (This, Width, BarIndex, Offset + gPlanted.MoveShift, Count, Buffer);
      return Status;

    case Mistake::DeltaIgnored:
      return gPlanted.RealRead (This, Width, BarIndex, Offset, Count, TightRow (Buffer));

    case Mistake::ReadSpillsPastTheRow:
      return gPlanted.RealRead (This, Width, BarIndex, Offset, Count + 1, Buffer);

    default:
      gPlanted.Planted--;
      return gPlanted.RealRead (This, Width, BarIndex, Offset, Count, Buffer);
  }
}

EFI_STATUS
EFIAPI
PlantedWrite (
  EFI_PCI_IO_PROTOCOL        *This,
  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  UINT8                      BarIndex,
  UINT64                     Offset,
  UINTN                      Count,
  VOID                       *Buffer
  )
{
  gPlanted.Planted++;
  switch (gPlanted.Which) {
    case Mistake::MoveRowsOneLineLow:
      return gPlanted.RealWrite (This, Width, BarIndex, Offset + gPlanted.LineBytes, Count, Buffer);

    case Mistake::DeltaIgnored:
      return gPlanted.RealWrite (This, Width, BarIndex, Offset, Count, TightRow (Buffer));

    case Mistake::FillOnePixelShort:
      return gPlanted.RealWrite (This, Width, BarIndex, Offset, Count - 1, Buffer);

    default:
      gPlanted.Planted--;
      return gPlanted.RealWrite (This, Width, BarIndex, Offset, Count, Buffer);
  }
}

class BltModelCatchesTest : public BltFixture {
protected:
  /// Runs Request through the driver with Which planted, and through the
  /// model on copies of the screen and the caller's buffer; "equal" when
  /// the frame buffer and the buffer match the model, else what differs.
  std::string
  DifferenceFromModel (
    const BltRequest  &Request,
    Mistake           Which
    )
  {
    UINTN                BufferBytes = 0;
    EXPECT_TRUE (Qd520Reference::BltBufferBytes (Request, &BufferBytes));

    std::vector<UINT32>  Expected = PaintScreen ();
    std::vector<UINT8>   Buffer (BufferBytes + 64);
    for (UINTN Index = 0; Index < Buffer.size (); Index++) {
      Buffer[Index] = static_cast<UINT8>(BufferPattern (Index));
    }

    std::vector<UINT8>   ModelBuffer = Buffer;
    UINT8                *BltBuffer  = (Request.Operation == kVideoToVideo) ? nullptr : Buffer.data ();
    EFI_PCI_IO_PROTOCOL  *PciIo      = mAdapter->Protocol ();

    gPlanted            = PlantedState{};
    gPlanted.Which      = Which;
    gPlanted.RealRead   = PciIo->Mem.Read;
    gPlanted.RealWrite  = PciIo->Mem.Write;
    gPlanted.MoveShift  = static_cast<INT64>(OffsetOf (Request.DestinationX, Request.DestinationY)) -
                          static_cast<INT64>(OffsetOf (Request.SourceX, Request.SourceY));
    gPlanted.LineBytes  = OffsetOf (0, 1);
    gPlanted.BltBuffer  = Buffer.data ();
    gPlanted.Delta      = Qd520Reference::BltBufferPitch (Request);
    gPlanted.TightPitch = Request.Width * Qd520Reference::kBytesPerPixel;
    PciIo->Mem.Read     = PlantedRead;
    PciIo->Mem.Write    = PlantedWrite;

    EFI_STATUS  Status = Blt (
                           BltBuffer,
                           Request.Operation,
                           Request.SourceX,
                           Request.SourceY,
                           Request.DestinationX,
                           Request.DestinationY,
                           Request.Width,
                           Request.Height,
                           Request.Delta
                           );

    PciIo->Mem.Read  = gPlanted.RealRead;
    PciIo->Mem.Write = gPlanted.RealWrite;
    EXPECT_EQ (gPlanted.Planted != 0, Which != Mistake::None) << "the mistake was planted in some call";

    EFI_STATUS  ModelStatus = ModelBlt (Request, ViewOf (Expected), (BltBuffer != nullptr) ? ModelBuffer.data () : nullptr);

    EXPECT_EQ (Status, ModelStatus);

    std::string  Screen = ScreenDifference (Expected);
    std::string  Bytes  = BytesDifference (Buffer, ModelBuffer);

    if ((Screen == "equal") && (Bytes == "equal")) {
      return "equal";
    }

    return "screen: " + Screen + "; caller's buffer: " + Bytes;
  }
};

TEST_F (BltModelCatchesTest, EachPlantedMistakeLeavesTheScreenOrTheCallersBufferUnlikeTheModel) {
  const struct {
    const char    *Name;
    Mistake       Which;
    BltRequest    Request;
  } Cases[] = {
    { "a downward overlapping move done in place, row by row", Mistake::MoveInOnePass,        { kVideoToVideo, 10, 20, 10, 21, 64, 30, 0  } },
    { "a downward overlapping move landing one line low",      Mistake::MoveRowsOneLineLow,   { kVideoToVideo, 10, 20, 10, 21, 64, 30, 0  } },
    { "a write taking buffer rows Width x 4 apart",            Mistake::DeltaIgnored,         { kToVideo,      1,  2,  30, 40, 4,  5,  48 } },
    { "a read putting buffer rows Width x 4 apart",            Mistake::DeltaIgnored,         { kToBuffer,     30, 40, 1,  2,  4,  5,  48 } },
    { "a fill one pixel short",                                Mistake::FillOnePixelShort,    { kFill,         0,  0,  5,  6,  7,  3,  0  } },
    { "a read spilling one unit past its row",                 Mistake::ReadSpillsPastTheRow, { kToBuffer,     8,  8,  0,  0,  6,  3,  40 } },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    EXPECT_EQ (DifferenceFromModel (Case.Request, Mistake::None), "equal") << "the driver as it is";
    EXPECT_NE (DifferenceFromModel (Case.Request, Case.Which), "equal") << "the planted mistake";
  }
}

} // namespace

} // namespace Qd520Test
