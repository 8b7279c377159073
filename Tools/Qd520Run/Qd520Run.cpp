/** @file
  The main job: loads the QD520 driver on the simulated platform, connects
  it to a simulated adapter and shows what it did. It prints the debug
  serial output, the protocols on the image, controller and display child,
  and the readable PCI I/O trace of the start (engine bring-up and the mode
  set of mode 0). Then it sets every mode, draws a test pattern and a
  scrolling block of text through Blt and writes each screen as a monitor
  would show it (the adapter's scan-out of its registers) as a PNG, beside
  the register trace of that mode set, and prints the monitor's report.

    qd520-run [--output DIR]     (default DIR: build/run)

  Exit status 0 when the driver loaded, started, drew and stopped without a
  failing status, an assertion or a simulator complaint.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qd520Png.h"
#include "Qd520ScanOut.h"
#include "Qd520TraceText.h"
#include "SimPlatform.h"

extern "C" {
#include <Library/UefiDriverEntryPoint.h>
#include <Protocol/ComponentName.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/DriverSupportedEfiVersion.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/LoadedImage.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Qd520Sim::SimAdapter;
using Qd520Sim::SimPlatform;

int  gComplaints = 0;

void
OnSimulatorFailure (
  const char         *File,
  int                Line,
  const std::string  &Message
  )
{
  std::printf ("SIMULATOR: %s:%d: %s\n", File, Line, Message.c_str ());
  gComplaints++;
}

std::string
ProtocolName (
  const EFI_GUID  &Guid
  )
{
  struct {
    const EFI_GUID    *Guid;
    const char        *Name;
  } const Known[] = {
    { &gEfiLoadedImageProtocolGuid,                "LoadedImage"                },
    { &gEfiDriverBindingProtocolGuid,              "DriverBinding"              },
    { &gEfiComponentNameProtocolGuid,              "ComponentName"              },
    { &gEfiComponentName2ProtocolGuid,             "ComponentName2"             },
    { &gEfiDriverSupportedEfiVersionProtocolGuid,  "DriverSupportedEfiVersion"  },
    { &gEfiDevicePathProtocolGuid,                 "DevicePath"                 },
    { &gEfiPciIoProtocolGuid,                      "PciIo"                      },
    { &gEfiGraphicsOutputProtocolGuid,             "GraphicsOutput"             },
  };

  for (const auto &Entry : Known) {
    if (std::memcmp (Entry.Guid, &Guid, sizeof (Guid)) == 0) {
      return Entry.Name;
    }
  }

  return Qd520Sim::GuidToText (Guid);
}

void
PrintHandle (
  SimPlatform        &Platform,
  const char         *Label,
  EFI_HANDLE         Handle
  )
{
  std::string  Line;

  for (const EFI_GUID &Guid : Platform.Handles ().ProtocolsOn (Handle)) {
    Line += (Line.empty () ? "" : ", ") + ProtocolName (Guid);
  }

  std::printf ("  %-12s %s\n", Label, Line.c_str ());
  auto  *Path = static_cast<EFI_DEVICE_PATH_PROTOCOL *>(
                  Platform.Handles ().InterfaceOn (Handle, gEfiDevicePathProtocolGuid)
                  );

  if (Path != nullptr) {
    std::printf ("  %-12s   path %s\n", "", Qd520Sim::DevicePathToText (Path).c_str ());
  }
}

std::string
StatusText (
  EFI_STATUS  Status
  )
{
  return Qd520TraceText::StatusName (Status);
}

/// The debug text the driver wrote since the last call, indented.
void
PrintSerial (
  SimPlatform  &Platform
  )
{
  std::string  Text = Platform.Uart ().TakeText ();
  std::string  Line;

  for (char Character : Text) {
    if (Character == '\r') {
      continue;
    }

    if (Character == '\n') {
      std::printf ("  serial | %s\n", Line.c_str ());
      Line.clear ();
    } else {
      Line.push_back (Character);
    }
  }

  if (!Line.empty ()) {
    std::printf ("  serial | %s\n", Line.c_str ());
  }
}

bool
WriteText (
  const std::string  &Path,
  const std::string  &Text
  )
{
  std::ofstream  File (Path);

  File << Text;
  return static_cast<bool>(File);
}

//
// A 5x7 font for the text panel, one column per byte, bit 0 at the top.
//
struct Glyph {
  char       Character;
  uint8_t    Columns[5];
};

constexpr Glyph  mFont[] = {
  { '0', { 0x3E, 0x51, 0x49, 0x45, 0x3E } }, { '1', { 0x00, 0x42, 0x7F, 0x40, 0x00 } },
  { '2', { 0x42, 0x61, 0x51, 0x49, 0x46 } }, { '3', { 0x21, 0x41, 0x45, 0x4B, 0x31 } },
  { '4', { 0x18, 0x14, 0x12, 0x7F, 0x10 } }, { '5', { 0x27, 0x45, 0x45, 0x45, 0x39 } },
  { '6', { 0x3C, 0x4A, 0x49, 0x49, 0x30 } }, { '7', { 0x01, 0x71, 0x09, 0x05, 0x03 } },
  { '8', { 0x36, 0x49, 0x49, 0x49, 0x36 } }, { '9', { 0x06, 0x49, 0x49, 0x29, 0x1E } },
  { 'A', { 0x7E, 0x11, 0x11, 0x11, 0x7E } }, { 'B', { 0x7F, 0x49, 0x49, 0x49, 0x36 } },
  { 'C', { 0x3E, 0x41, 0x41, 0x41, 0x22 } }, { 'D', { 0x7F, 0x41, 0x41, 0x22, 0x1C } },
  { 'E', { 0x7F, 0x49, 0x49, 0x49, 0x41 } }, { 'F', { 0x7F, 0x09, 0x09, 0x09, 0x01 } },
  { 'G', { 0x3E, 0x41, 0x49, 0x49, 0x7A } }, { 'H', { 0x7F, 0x08, 0x08, 0x08, 0x7F } },
  { 'I', { 0x00, 0x41, 0x7F, 0x41, 0x00 } }, { 'J', { 0x20, 0x40, 0x41, 0x3F, 0x01 } },
  { 'K', { 0x7F, 0x08, 0x14, 0x22, 0x41 } }, { 'L', { 0x7F, 0x40, 0x40, 0x40, 0x40 } },
  { 'M', { 0x7F, 0x02, 0x0C, 0x02, 0x7F } }, { 'N', { 0x7F, 0x04, 0x08, 0x10, 0x7F } },
  { 'O', { 0x3E, 0x41, 0x41, 0x41, 0x3E } }, { 'P', { 0x7F, 0x09, 0x09, 0x09, 0x06 } },
  { 'Q', { 0x3E, 0x41, 0x51, 0x21, 0x5E } }, { 'R', { 0x7F, 0x09, 0x19, 0x29, 0x46 } },
  { 'S', { 0x46, 0x49, 0x49, 0x49, 0x31 } }, { 'T', { 0x01, 0x01, 0x7F, 0x01, 0x01 } },
  { 'U', { 0x3F, 0x40, 0x40, 0x40, 0x3F } }, { 'V', { 0x1F, 0x20, 0x40, 0x20, 0x1F } },
  { 'W', { 0x3F, 0x40, 0x38, 0x40, 0x3F } }, { 'X', { 0x63, 0x14, 0x08, 0x14, 0x63 } },
  { 'Y', { 0x07, 0x08, 0x70, 0x08, 0x07 } }, { 'Z', { 0x61, 0x51, 0x49, 0x45, 0x43 } },
  { '-', { 0x08, 0x08, 0x08, 0x08, 0x08 } }, { ':', { 0x00, 0x36, 0x36, 0x00, 0x00 } },
  { '.', { 0x00, 0x60, 0x60, 0x00, 0x00 } }, { 'x', { 0x44, 0x28, 0x10, 0x28, 0x44 } },
};

constexpr UINTN  GlyphScale   = 2;                      // each font dot is 2x2 pixels
constexpr UINTN  CellWidth    = 6 * GlyphScale;
constexpr UINTN  CellHeight   = 9 * GlyphScale;

const Glyph *
FindGlyph (
  char  Character
  )
{
  for (const Glyph &Entry : mFont) {
    if (Entry.Character == Character) {
      return &Entry;
    }
  }

  return nullptr;
}

EFI_GRAPHICS_OUTPUT_BLT_PIXEL
Colour (
  UINT8  Red,
  UINT8  Green,
  UINT8  Blue
  )
{
  return EFI_GRAPHICS_OUTPUT_BLT_PIXEL { Blue, Green, Red, 0 };
}

/// Draws with Blt; remembers the first failing status.
class Painter {
public:
  explicit Painter (
    EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop
    ) : mGop (Gop), mWidth (Gop->Mode->Info->HorizontalResolution), mHeight (Gop->Mode->Info->VerticalResolution)
  {
  }

  void
  Fill (
    UINTN                          X,
    UINTN                          Y,
    UINTN                          Width,
    UINTN                          Height,
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Pixel
    )
  {
    Check (mGop->Blt (mGop, &Pixel, EfiBltVideoFill, 0, 0, X, Y, Width, Height, 0));
  }

  /// The whole screen as colour bars over a grey ramp.
  void
  TestPattern (
    )
  {
    const EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Bars[] = {
      Colour (255, 255, 255), Colour (255, 255, 0), Colour (0, 255, 255), Colour (0, 255, 0),
      Colour (255, 0, 255),   Colour (255, 0, 0),   Colour (0, 0, 255),   Colour (0, 0, 0),
    };
    UINTN                                BarHeight = mHeight * 2 / 3;

    for (UINTN Index = 0; Index < 8; Index++) {
      UINTN  Left  = mWidth * Index / 8;
      UINTN  Right = mWidth * (Index + 1) / 8;

      Fill (Left, 0, Right - Left, BarHeight, Bars[Index]);
    }

    std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL>  Ramp (mWidth);

    for (UINTN X = 0; X < mWidth; X++) {
      UINT8  Level = (UINT8)(X * 255 / (mWidth - 1));

      Ramp[X] = Colour (Level, Level, Level);
    }

    for (UINTN Y = BarHeight; Y < mHeight; Y++) {
      Check (mGop->Blt (mGop, Ramp.data (), EfiBltBufferToVideo, 0, 0, 0, Y, mWidth, 1, 0));
    }
  }

  /// A console-like panel: lines of text written at the bottom, the panel
  /// scrolled up one text line through video-to-video moves when it is full.
  void
  ScrollingText (
    UINTN  Lines
    )
  {
    const UINTN                          Columns  = 40;
    const UINTN                          Rows     = 8;
    const UINTN                          Width    = Columns * CellWidth;
    const UINTN                          Height   = Rows * CellHeight;
    const UINTN                          Left     = (mWidth - Width) / 2;
    const UINTN                          Top      = mHeight / 2 - Height / 2;
    const EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Paper    = Colour (0, 0, 96);
    const EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Ink      = Colour (255, 255, 160);

    Fill (Left - 4, Top - 4, Width + 8, Height + 8, Paper);
    for (UINTN Line = 0; Line < Lines; Line++) {
      UINTN  Row = Line;

      if (Line >= Rows) {
        Check (mGop->Blt (mGop, nullptr, EfiBltVideoToVideo, Left, Top + CellHeight, Left, Top, Width, Height - CellHeight, 0));
        Fill (Left, Top + Height - CellHeight, Width, CellHeight, Paper);
        Row = Rows - 1;
      }

      char  Text[64];

      std::snprintf (Text, sizeof (Text), "LINE %02u - QD520 GOP %ux%u", (unsigned)(Line + 1), (unsigned)mWidth, (unsigned)mHeight);
      DrawText (Left, Top + Row * CellHeight, Text, Width, Ink, Paper);
    }
  }

  EFI_STATUS
  FirstError (
    ) const
  {
    return mFirstError;
  }

  UINTN
  Calls (
    ) const
  {
    return mCalls;
  }

private:
  void
  DrawText (
    UINTN                          X,
    UINTN                          Y,
    const char                     *Text,
    UINTN                          Width,
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Ink,
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Paper
    )
  {
    std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL>  Cells (Width * CellHeight, Paper);

    for (UINTN Index = 0; Text[Index] != '\0' && (Index + 1) * CellWidth <= Width; Index++) {
      const Glyph  *Shape = FindGlyph (Text[Index]);

      if (Shape == nullptr) {
        continue;
      }

      for (UINTN Column = 0; Column < 5; Column++) {
        for (UINTN Dot = 0; Dot < 7; Dot++) {
          if ((Shape->Columns[Column] & (1u << Dot)) == 0) {
            continue;
          }

          for (UINTN Sub = 0; Sub < GlyphScale * GlyphScale; Sub++) {
            UINTN  PixelX = Index * CellWidth + Column * GlyphScale + Sub % GlyphScale;
            UINTN  PixelY = GlyphScale + Dot * GlyphScale + Sub / GlyphScale;

            Cells[PixelY * Width + PixelX] = Ink;
          }
        }
      }
    }

    Check (mGop->Blt (mGop, Cells.data (), EfiBltBufferToVideo, 0, 0, X, Y, Width, CellHeight, 0));
  }

  void
  Check (
    EFI_STATUS  Status
    )
  {
    mCalls++;
    if (EFI_ERROR (Status) && !EFI_ERROR (mFirstError)) {
      mFirstError = Status;
    }
  }

  EFI_GRAPHICS_OUTPUT_PROTOCOL  *mGop;
  UINTN                         mWidth;
  UINTN                         mHeight;
  EFI_STATUS                    mFirstError = EFI_SUCCESS;
  UINTN                         mCalls      = 0;
};

/// What a monitor on the adapter shows: the scanned-out picture, or a black
/// 640x480 screen when it shows none. Returns whether a picture is shown.
bool
MonitorPicture (
  const Qd520Sim::Adapter  &Device,
  std::vector<UINT32>      &Pixels,
  UINT32                   &Width,
  UINT32                   &Height
  )
{
  Qd520Sim::ScanOutMode  Mode;

  Qd520Sim::DecodeScanOut (Device, &Mode);
  if (Mode.Blank != Qd520Sim::ScanOutBlank::None) {
    Width  = 640;
    Height = 480;
    Pixels.assign ((size_t)Width * Height, 0);
    return false;
  }

  Width  = Mode.Width;
  Height = Mode.Height;
  Pixels.resize ((size_t)Width * Height);
  for (UINT32 Row = 0; Row < Height; Row++) {
    Qd520Sim::ScanOutLine (Device, Mode, Row, &Pixels[(size_t)Row * Width]);
  }

  return true;
}

std::string
MonitorReport (
  const Qd520Sim::Adapter  &Device
  )
{
  std::string  Text (Qd520Sim::FormatMonitorReport (Device, nullptr, 0) + 1, '\0');

  Qd520Sim::FormatMonitorReport (Device, &Text[0], Text.size ());
  Text.pop_back ();
  return Text;
}

} // namespace

int
main (
  int   argc,
  char  **argv
  )
{
  std::string  Output = "build/run";

  for (int Index = 1; Index < argc; Index++) {
    if ((std::strcmp (argv[Index], "--output") == 0) && (Index + 1 < argc)) {
      Output = argv[++Index];
    } else {
      std::fprintf (stderr, "usage: %s [--output DIR]\n", argv[0]);
      return 2;
    }
  }

  ::mkdir (Output.c_str (), 0755);
  Qd520Sim::SetFailureHandler (OnSimulatorFailure);

  bool         Ok = true;
  SimPlatform  Platform;
  SimAdapter   &Adapter = Platform.AddAdapter ();

  std::printf ("QD520 graphics output driver on the simulated platform\n\n");
  std::printf ("Adapter: PCI %04X:%04X at %s, BAR 0 %llu MiB frame buffer, BAR 1 registers\n\n",
    Qd520Sim::DefaultVendorId, Qd520Sim::DefaultDeviceId,
    Qd520Sim::DevicePathToText (Adapter.DevicePath ()).c_str (),
    (unsigned long long)(Adapter.FrameBufferSize () >> 20));

  //
  // Load: the library constructors and the entry point.
  //
  EFI_STATUS  Status = _ModuleEntryPoint (Platform.ImageHandle (), Platform.SystemTable ());

  std::printf ("Load: %s\n", StatusText (Status).c_str ());
  PrintSerial (Platform);
  PrintHandle (Platform, "image", Platform.ImageHandle ());
  Ok = Ok && !EFI_ERROR (Status);

  //
  // Connect, as the firmware's connect logic does.
  //
  std::vector<EFI_HANDLE>  Before = Platform.Handles ().Handles ();

  Status = Platform.Connect (Adapter.Controller ());
  std::printf ("\nConnect: %s\n", StatusText (Status).c_str ());
  Ok = Ok && !EFI_ERROR (Status);
  PrintSerial (Platform);
  PrintHandle (Platform, "controller", Adapter.Controller ());
  for (EFI_HANDLE Handle : Platform.Handles ().Handles ()) {
    if (std::find (Before.begin (), Before.end (), Handle) == Before.end ()) {
      PrintHandle (Platform, "child", Handle);
    }
  }

  std::vector<Qd520Sim::TraceRecord>  StartTrace = Adapter.Trace ();
  std::string                         StartText  = Qd520TraceText::FormatTrace (StartTrace);

  std::string                         StartPath  = Output + "/start-trace.txt";

  WriteText (StartPath, StartText);
  std::printf ("  PCI I/O      %zu calls (enabling, engine bring-up, mode 0), every register named: %s\n",
    StartTrace.size (), StartPath.c_str ());

  auto  *Gop = static_cast<EFI_GRAPHICS_OUTPUT_PROTOCOL *>(
                 Platform.Handles ().InterfaceOn (Adapter.Controller (), gEfiGraphicsOutputProtocolGuid)
                 );

  if (Gop == nullptr) {
    std::printf ("\nNo graphics output on the controller.\n");
    return 1;
  }

  std::printf ("\nGraphics output: %u modes, mode %u current, frame buffer at 0x%llx\n",
    Gop->Mode->MaxMode, Gop->Mode->Mode, (unsigned long long)Gop->Mode->FrameBufferBase);
  for (UINT32 Mode = 0; Mode < Gop->Mode->MaxMode; Mode++) {
    UINTN                                 Size;
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *Info;

    Status = Gop->QueryMode (Gop, Mode, &Size, &Info);
    if (EFI_ERROR (Status)) {
      std::printf ("  mode %u: %s\n", Mode, StatusText (Status).c_str ());
      Ok = false;
      continue;
    }

    std::printf ("  mode %u: %ux%u, %u pixels per line, BGRX\n",
      Mode, Info->HorizontalResolution, Info->VerticalResolution, Info->PixelsPerScanLine);
    Platform.BootServices ()->FreePool (Info);
  }

  //
  // Every mode, from the highest down so that mode 0 is programmed again.
  //
  std::vector<UINT32>  Picture;

  std::printf ("\nDrawing:\n");
  for (UINT32 Step = 0; Step < Gop->Mode->MaxMode; Step++) {
    UINT32  Mode = Gop->Mode->MaxMode - 1 - Step;

    Adapter.ClearTrace ();
    Status = Gop->SetMode (Gop, Mode);

    std::string  SetText   = Qd520TraceText::FormatTrace (Adapter.Trace ());
    std::string  TracePath = Output + "/mode" + std::to_string (Mode) + "-trace.txt";

    WriteText (TracePath, SetText);
    Adapter.PciIo ().SetTracing (FALSE);

    Painter  Paint (Gop);

    Paint.TestPattern ();
    Paint.ScrollingText (13);
    Adapter.PciIo ().SetTracing (TRUE);

    //
    // The screen as a monitor shows it: the adapter's scan-out of the
    // registers the mode set programmed.
    //
    std::string            Error;
    std::string            PngPath = Output + "/mode" + std::to_string (Mode) + ".png";
    UINT32                 Width;
    UINT32                 Height;
    bool                   Shown   = MonitorPicture (Adapter.Model (), Picture, Width, Height);
    bool                   Written = Qd520Run::WriteRgbPng (PngPath, Picture.data (), Width, Height, Error);

    std::printf ("  mode %u %ux%u: SetMode %s (%zu PCI I/O calls: %s), %zu Blt calls %s\n",
      Mode, Gop->Mode->Info->HorizontalResolution, Gop->Mode->Info->VerticalResolution,
      StatusText (Status).c_str (), Adapter.TraceCount (), TracePath.c_str (), (size_t)Paint.Calls (),
      StatusText (Paint.FirstError ()).c_str ());
    std::printf ("    monitor: %s\n", MonitorReport (Adapter.Model ()).c_str ());
    std::printf ("    picture: %s\n", Written ? PngPath.c_str () : Error.c_str ());
    Ok = Ok && !EFI_ERROR (Status) && !EFI_ERROR (Paint.FirstError ()) && Written && Shown &&
         (Width == Gop->Mode->Info->HorizontalResolution) && (Height == Gop->Mode->Info->VerticalResolution);
  }

  //
  // Disconnect.
  //
  Status = Platform.Disconnect (Adapter.Controller ());
  std::printf ("\nDisconnect: %s; graphics output %s, %zu pool blocks left\n",
    StatusText (Status).c_str (),
    Platform.Handles ().HasProtocol (Adapter.Controller (), gEfiGraphicsOutputProtocolGuid) ? "still installed" : "removed",
    Platform.Pool ().LiveBlocks ());
  Ok = Ok && !EFI_ERROR (Status) && (Platform.Pool ().LiveBlocks () == 0);

  if (!Platform.Assertions ().empty ()) {
    std::printf ("\nDriver assertions:\n%s", Platform.AssertionsText ().c_str ());
    Ok = false;
  }

  Ok = Ok && (gComplaints == 0);
  std::printf ("\n%s\n", Ok ? "Done." : "FAILED.");
  return Ok ? 0 : 1;
}
