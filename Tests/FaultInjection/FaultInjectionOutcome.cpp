/** @file
  Fault injection, the checks of an outcome: the status and step message,
  or the assertion (file, expression and line) and then nothing further;
  the mode record, attributes, child path, pool blocks and protocol opens
  left; after a success a clean Stop.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FaultInjectionFixture.h"

#include "Qd520FrameGeometry.h"

extern "C" {
#include <Library/PrintLib.h>
}

#include <cstring>

namespace Qd520Test {
namespace FaultInjection {

using Qd520Sim::PciIoOperation;
using Qd520Sim::PoolBlock;

namespace {

std::string
StatusText (
  EFI_STATUS  Status
  )
{
  CHAR8  Text[64];

  AsciiSPrint (Text, sizeof (Text), "%r", Status);
  return Text;
}

std::string
Basename (
  const std::string  &Path
  )
{
  size_t  Slash = Path.find_last_of ("/\\");

  return (Slash == std::string::npos) ? Path : Path.substr (Slash + 1);
}

} // namespace

/// Live pool blocks are exactly Expected (address and size) plus Stuck.
void
FaultInjectionTest::ExpectLiveBlocks (
  std::vector<std::pair<const VOID *, UINTN> >  Expected,
  const VOID                                    *Stuck
  )
{
  std::map<const VOID *, UINTN>  Want;
  std::map<const VOID *, UINTN>  Have;

  for (const auto &Block : Expected) {
    EXPECT_NE (Block.first, nullptr) << "a block of " << Block.second << " bytes is missing";
    Want[Block.first] = Block.second;
  }

  for (const PoolBlock &Block : Platform ().Pool ().Blocks ()) {
    Have[Block.Address] = Block.Size;
    EXPECT_EQ (Block.Type, EfiBootServicesData) << "block of " << Block.Size << " bytes";
  }

  if (Stuck != nullptr) {
    auto  Found = Have.find (Stuck);

    EXPECT_NE (Found, Have.end ()) << "the block whose release failed is gone";
    if (Found != Have.end ()) {
      Want[Stuck] = Found->second;
    }
  }

  for (const auto &Block : Want) {
    auto  Found = Have.find (Block.first);

    if (Found == Have.end ()) {
      ADD_FAILURE () << "expected live block of " << Block.second << " bytes is not live";
    } else {
      EXPECT_EQ (Found->second, Block.second) << "size of a live block";
    }
  }

  for (const auto &Block : Have) {
    if (Want.count (Block.first) == 0) {
      ADD_FAILURE () << "unexpected live block of " << Block.second << " bytes";
    }
  }
}

size_t
FaultInjectionTest::DriverOpens (
  )
{
  return Platform ().Handles ().CountOpensByAgent (Platform ().ImageHandle ());
}

void
FaultInjectionTest::ExpectScreen (
  bool  Cleared
  )
{
  for (UINTN Offset : SentinelOffsets ()) {
    UINT32  Word;

    std::memcpy (&Word, mAdapter->FrameBuffer () + Offset, sizeof (Word));
    EXPECT_EQ (Word, Cleared ? 0u : SentinelPixel) << "frame buffer at " << Hex (Offset);
  }
}

void
FaultInjectionTest::ExpectInfoDescribes (
  const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  &Info,
  UINT32                                      ModeNumber
  )
{
  const Qd520Reference::OfferedMode  &Mode = Qd520Reference::kOfferedModes[ModeNumber];

  EXPECT_EQ (Info.Version, 0u);
  EXPECT_EQ (Info.HorizontalResolution, Mode.Width);
  EXPECT_EQ (Info.VerticalResolution, Mode.Height);
  EXPECT_EQ (Info.PixelFormat, PixelBlueGreenRedReserved8BitPerColor);
  EXPECT_EQ (Info.PixelsPerScanLine, Qd520Reference::PixelsPerScanLine (Mode.Width));
}

/// The pool blocks a running display owns.
std::vector<std::pair<const VOID *, UINTN> >
FaultInjectionTest::DisplayBlocks (
  QDL520_PRIVATE_DATA  *Private,
  bool                 WithLineBuffer
  )
{
  std::vector<std::pair<const VOID *, UINTN> >  Blocks;

  Blocks.emplace_back (Private, sizeof (QDL520_PRIVATE_DATA));
  if (mPhase != Phase::Constructor) {
    Blocks.emplace_back (
             Private->GopDevicePath,
             Qd520Sim::DevicePathSize (mAdapter->DevicePath ()) + sizeof (ACPI_ADR_DEVICE_PATH)
             );
  }

  Blocks.emplace_back (Private->GraphicsOutput.Mode, sizeof (EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE));
  if (Private->GraphicsOutput.Mode != nullptr) {
    Blocks.emplace_back (Private->GraphicsOutput.Mode->Info, sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION));
  }

  if (WithLineBuffer) {
    Blocks.emplace_back (Private->LineBuffer, ScreenBytes (Private->GraphicsOutput.Mode->Mode));
  }

  return Blocks;
}

/// A display that runs in the phase's target mode; false when the records
/// are missing that Stop would need.
bool
FaultInjectionTest::ExpectRunning (
  QDL520_PRIVATE_DATA  *Private,
  const Expectation    &Expected,
  const VOID           *Stuck
  )
{
  UINT32                             ModeNumber = TargetMode (mPhase);
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE  *Mode      = Private->GraphicsOutput.Mode;

  EXPECT_EQ (Private->Signature, QDL520_PRIVATE_DATA_SIGNATURE);
  if ((Mode == nullptr) || (Mode->Info == nullptr)) {
    ADD_FAILURE () << "no mode record or no mode information";
    return false;
  }

  EXPECT_EQ (Private->GraphicsOutput.QueryMode, &Qdl520GraphicsOutputQueryMode);
  EXPECT_EQ (Private->GraphicsOutput.SetMode, &Qdl520GraphicsOutputSetMode);
  EXPECT_EQ (Private->GraphicsOutput.Blt, &Qdl520GraphicsOutputBlt);
  EXPECT_EQ (Mode->MaxMode, 3u);
  EXPECT_EQ (Mode->Mode, ModeNumber);
  EXPECT_EQ (Mode->SizeOfInfo, sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION));
  ExpectInfoDescribes (*Mode->Info, ModeNumber);
  EXPECT_EQ (Mode->FrameBufferSize, ScreenBytes (ModeNumber));
  EXPECT_EQ (Mode->FrameBufferBase, Expected.FrameBufferBaseRead ? mAdapter->Model ().BarBase (0) : mPreviousBase);
  EXPECT_FALSE (Private->HardwareNeedsStarting);
  EXPECT_NE (Private->LineBuffer, nullptr);
  ExpectLiveBlocks (DisplayBlocks (Private, true), Stuck);

  EXPECT_EQ (Platform ().Handles ().CountOpens (Controller (), gEfiPciIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 1u);
  EXPECT_EQ (DriverOpens (), 1u);
  EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), InitialAttributes | EnableAttributes);
  ExpectScreen (Expected.ScreenCleared);

  if (mPhase == Phase::Constructor) {
    EXPECT_EQ (Platform ().Handles ().HandleCount (), mHandlesBefore);
    return true;
  }

  EXPECT_EQ (GraphicsOutputOn (Controller ()), &Private->GraphicsOutput);
  if (Expected.ChildPath) {
    EXPECT_NE (Private->Handle, nullptr);
    EXPECT_EQ (Platform ().Handles ().InterfaceOn (Private->Handle, gEfiDevicePathProtocolGuid), Private->GopDevicePath);
    EXPECT_EQ (
      Qd520Sim::DevicePathToText (Private->GopDevicePath),
      Qd520Sim::DevicePathToText (mAdapter->DevicePath ()) + "/AcpiAdr(0x80010100)"
      );
    EXPECT_EQ (Platform ().Handles ().HandleCount (), mHandlesBefore + 1);
  } else {
    EXPECT_EQ (Private->Handle, nullptr);
    EXPECT_EQ (Platform ().Handles ().HandleCount (), mHandlesBefore);
  }

  return true;
}

/// Stop gives everything back; only Stuck stays.
void
FaultInjectionTest::StopAndExpectNothingHeld (
  const VOID  *Stuck
  )
{
  if (mPhase == Phase::Constructor) {
    EFI_HANDLE  Handle = Controller ();

    ASSERT_EQ (
      Platform ().BootServices ()->InstallMultipleProtocolInterfaces (
                                     &Handle,
                                     &gEfiGraphicsOutputProtocolGuid,
                                     &mPrivate->GraphicsOutput,
                                     nullptr
                                     ),
      EFI_SUCCESS
      );
  }

  ClearSerialText ();
  EXPECT_EQ (Binding ()->Stop (Binding (), Controller (), 0, nullptr), EFI_SUCCESS);
  EXPECT_TRUE (TakeAssertions ().empty ()) << "assertion in Stop";
  EXPECT_EQ (SerialText (), "");
  ExpectLiveBlocks ({ }, Stuck);
  EXPECT_EQ (DriverOpens (), 0u);
  EXPECT_EQ (GraphicsOutputOn (Controller ()), nullptr);
  EXPECT_EQ (Platform ().Handles ().HandleCount (), mHandlesBefore);
  EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), InitialAttributes);
}

/// The first assertion of the phase and the serial text up to it.
void
FaultInjectionTest::ExpectAssertionsAndText (
  const Expectation  &Expected
  )
{
  std::vector<AssertionRecord>  Taken    = TakeAssertions ();
  std::string                   Text     = SerialText ();
  std::string                   Prefix   = ((mPhase == Phase::Start) && !Production) ? Banner : "";
  std::string                   Report;

  if ((Expected.StepCode != 0) && !Production) {
    CHAR8  Message[64];

    //
    // The kit's print library writes a line end as "\r\n"; the serial
    // text reads it as "\n".
    //
    AsciiSPrint (Message, sizeof (Message), "line:%d,Status:%r", Expected.StepCode, Expected.Status);
    Prefix += std::string (Message) + "\n";
  }

  if (Expected.AssertFile == nullptr) {
    EXPECT_TRUE (Taken.empty ()) << "unexpected assertion " << Taken[0].File << "(" << Taken[0].Line << "): "
                                 << Taken[0].Expression;
    EXPECT_EQ (Text, Prefix);
    return;
  }

  ASSERT_FALSE (Taken.empty ()) << "no assertion; expected " << Expected.AssertExpression << " in " << Expected.AssertFile;
  const AssertionRecord  &First = Taken[0];

  EXPECT_EQ (Basename (First.File), Expected.AssertFile);
  EXPECT_EQ (First.Expression, Expected.AssertExpression);
  if (Expected.AssertStatus != EFI_SUCCESS) {
    Report = "\nASSERT_EFI_ERROR (Status = " + StatusText (Expected.AssertStatus) + ")\n";
  }

  Report += "ASSERT " + First.File + "(" + std::to_string (First.Line) + "): " + First.Expression + "\n";

  auto  Line = GroupLines ().emplace (Expected.LineGroup, First.Line);

  EXPECT_EQ (First.Line, Line.first->second) << "assertions of \"" << Expected.LineGroup << "\" share one line";
  if ((GroupLines ().count ("register read") != 0) && (GroupLines ().count ("register write") != 0)) {
    EXPECT_NE (GroupLines ()["register read"], GroupLines ()["register write"])
      << "register reads and writes assert on lines of their own";
  }

  if (Expected.Result == Outcome::AssertionOnly) {
    EXPECT_EQ (Text.substr (0, Prefix.size () + Report.size ()), Prefix + Report);
  } else {
    EXPECT_EQ (Taken.size (), 1u) << "the phase goes on without asserting again";
    EXPECT_EQ (Text, Prefix + Report);
  }
}

/// Attribute calls of the phase that put attributes back.
void
FaultInjectionTest::ExpectAttributesRestored (
  bool  Restored
  )
{
  std::vector<TraceRecord>  Trace = mAdapter->Trace ();
  std::vector<UINT64>       Sets;
  bool                      SetIsLast = false;

  for (size_t Index = mTraceStart; Index < Trace.size (); Index++) {
    if (Trace[Index].Operation == PciIoOperation::Attributes) {
      SetIsLast = (Trace[Index].Width == EfiPciIoAttributeOperationSet);
      if (SetIsLast) {
        Sets.push_back (Trace[Index].Value);
      }
    }
  }

  if (Restored) {
    EXPECT_EQ (Sets, std::vector<UINT64>{ InitialAttributes });
    EXPECT_TRUE (SetIsLast) << "the saved attributes are put back last";
  } else {
    EXPECT_TRUE (Sets.empty ()) << "attributes put back that were never saved";
  }

  EXPECT_EQ (mAdapter->Model ().CurrentAttributes (), InitialAttributes);
}

void
FaultInjectionTest::ExpectOutcome (
  const Expectation  &Expected,
  EFI_STATUS         Status,
  const VOID         *Stuck
  )
{
  ExpectAssertionsAndText (Expected);
  if (Expected.Result == Outcome::AssertionOnly) {
    return;
  }

  EXPECT_EQ (Status, Expected.Status) << "status " << StatusText (Status);

  switch (mPhase) {
    case Phase::Entry:
      EXPECT_EQ (mAdapter->TraceCount (), 0u) << "the entry touches no hardware";
      EXPECT_EQ (Platform ().Pool ().LiveBlocks (), 0u);
      //
      // A failed entry unloads the image: nothing may stay that points
      // into it.
      //
      for (const EFI_GUID *Guid : { &gEfiDriverBindingProtocolGuid, &gEfiComponentNameProtocolGuid,
                                    &gEfiComponentName2ProtocolGuid, &gEfiDriverSupportedEfiVersionProtocolGuid })
      {
        EXPECT_EQ (Platform ().Handles ().HasProtocol (Platform ().ImageHandle (), *Guid), Expected.Result == Outcome::Completed)
          << Qd520Sim::GuidToText (*Guid);
      }

      return;

    case Phase::Start:
      if (Expected.Result == Outcome::Completed) {
        EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop = GraphicsOutputOn (Controller ());

        ASSERT_NE (Gop, nullptr);
        if (ExpectRunning (PrivateOf (Gop), Expected, Stuck)) {
          StopAndExpectNothingHeld (Stuck);
        }
      } else {
        EXPECT_EQ (GraphicsOutputOn (Controller ()), nullptr);
        ExpectLiveBlocks ({ }, Stuck);
        EXPECT_EQ (DriverOpens (), 0u);
        EXPECT_EQ (Platform ().Handles ().HandleCount (), mHandlesBefore);
        ExpectAttributesRestored (Expected.RestoresAttributes);

        //
        // Nothing of the failed start is in the way of the next.
        //
        ASSERT_EQ (Binding ()->Start (Binding (), Controller (), nullptr), EFI_SUCCESS);
        EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop = GraphicsOutputOn (Controller ());

        ASSERT_NE (Gop, nullptr);
        if (ExpectRunning (PrivateOf (Gop), Expectation (), Stuck)) {
          StopAndExpectNothingHeld (Stuck);
        }
      }

      return;

    case Phase::Constructor:
      if (Expected.Result == Outcome::Completed) {
        if (ExpectRunning (mPrivate, Expected, Stuck)) {
          StopAndExpectNothingHeld (Stuck);
        }
      } else if (Expected.EngineStarted) {
        EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE  *Mode = mPrivate->GraphicsOutput.Mode;

        //
        // Its records stay for Start to release; no mode is current.
        //
        EXPECT_GT (mAdapter->TraceCount (), mTraceStart) << "the engine was brought up";
        ASSERT_NE (Mode, nullptr);
        EXPECT_EQ (Mode->Mode, NoMode);
        EXPECT_EQ (mPrivate->LineBuffer, nullptr);
        EXPECT_TRUE (mPrivate->HardwareNeedsStarting);
        ExpectLiveBlocks (DisplayBlocks (mPrivate, false), Stuck);
      } else {
        EXPECT_EQ (mAdapter->TraceCount (), mTraceStart) << "no hardware touched";
        if (Expected.ModeRecordKept) {
          ASSERT_NE (mPrivate->GraphicsOutput.Mode, nullptr);
          EXPECT_EQ (mPrivate->GraphicsOutput.Mode->Info, nullptr);
          ExpectLiveBlocks (
            { { mPrivate, sizeof (QDL520_PRIVATE_DATA) },
              { mPrivate->GraphicsOutput.Mode, sizeof (EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE) } },
            Stuck
            );
        } else {
          EXPECT_EQ (mPrivate->GraphicsOutput.Mode, nullptr);
          ExpectLiveBlocks ({ { mPrivate, sizeof (QDL520_PRIVATE_DATA) } }, Stuck);
        }
      }

      return;

    case Phase::SetModeZeroToTwo:
    case Phase::SetModeTwoToZero:
      EXPECT_EQ (mGop->Mode, mPrivate->GraphicsOutput.Mode);
      if (Expected.Result == Outcome::Completed) {
        if (!ExpectRunning (mPrivate, Expected, Stuck)) {
          return;
        }

        EXPECT_EQ (mGop->Mode->Info, reinterpret_cast<const EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE *>(mRecordBefore.data ())->Info)
          << "Info is rewritten in place";
        const PoolBlock  *Line = Platform ().Pool ().BlockAt (mPrivate->LineBuffer);

        if (Line != nullptr) {
          EXPECT_GT (Line->Serial, mOldLineSerial) << "a new line buffer";
        }

      } else {
        EXPECT_EQ (BytesOf (mGop->Mode), mRecordBefore) << "the mode record is unchanged";
        EXPECT_EQ (BytesOf (mGop->Mode->Info), mInfoBefore) << "the mode information is unchanged";
        EXPECT_EQ (mPrivate->LineBuffer, nullptr);
        EXPECT_FALSE (mPrivate->HardwareNeedsStarting);
        EXPECT_EQ (mAdapter->TraceCount (), mTraceStart) << "no hardware touched";
        ExpectScreen (false);
        ExpectLiveBlocks (DisplayBlocks (mPrivate, false), Stuck);
      }

      StopAndExpectNothingHeld (Stuck);
      return;

    case Phase::QueryMode:
      EXPECT_EQ (BytesOf (mGop->Mode), mRecordBefore);
      EXPECT_EQ (BytesOf (mGop->Mode->Info), mInfoBefore);
      EXPECT_EQ (mAdapter->TraceCount (), mTraceStart) << "no hardware touched";
      if (Expected.Result == Outcome::Completed) {
        ASSERT_NE (mQueryInfo, nullptr);
        EXPECT_EQ (mQuerySize, sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION));
        ExpectInfoDescribes (*mQueryInfo, QueriedMode);
        std::vector<std::pair<const VOID *, UINTN> >  Blocks = DisplayBlocks (mPrivate, true);

        Blocks.emplace_back (mQueryInfo, sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION));
        ExpectLiveBlocks (Blocks, Stuck);
        EXPECT_EQ (Platform ().BootServices ()->FreePool (mQueryInfo), EFI_SUCCESS);
      } else {
        EXPECT_EQ (mQueryInfo, nullptr);
        EXPECT_EQ (mQuerySize, SizeOfInfoMarker) << "SizeOfInfo untouched";
        ExpectLiveBlocks (DisplayBlocks (mPrivate, true), Stuck);
      }

      StopAndExpectNothingHeld (Stuck);
      return;
  }
}

} // namespace FaultInjection
} // namespace Qd520Test
