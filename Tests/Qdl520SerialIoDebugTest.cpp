/** @file
  The debug text of machines without a PC serial port (the AArch64 and
  RISC-V 64 images): the DebugLib writes through the firmware's
  EFI_SERIAL_IO_PROTOCOL when there is one and drops the text otherwise,
  never touches an I/O port, and an assertion still reports and halts
  without anything on the way asserting again.

  The test program links Platform/SerialIoPortLib in place of the kit's
  16550 library, with the same DebugLib instance the images use.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DriverTest.h"

extern "C" {
#include <Protocol/SerialIo.h>
#include <Library/DebugLib.h>
#include <Library/SerialPortLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include <string>

namespace Qd520Test {
namespace {

/// A firmware serial port: what was written to it, how much it takes per
/// call, and a failure after a number of calls.
struct FakeSerialPort {
  EFI_SERIAL_IO_PROTOCOL    Protocol;
  EFI_SERIAL_IO_MODE        Mode;
  std::string               Written;
  UINTN                     MostPerCall = 0;      ///< 0: all of it
  UINTN                     Calls       = 0;
  UINTN                     FailAtCall  = 0;      ///< 0: never
};

FakeSerialPort  *mPort;

EFI_STATUS
EFIAPI
FakeWrite (
  IN EFI_SERIAL_IO_PROTOCOL  *This,
  IN OUT UINTN               *BufferSize,
  IN VOID                    *Buffer
  )
{
  mPort->Calls++;
  if (mPort->Calls == mPort->FailAtCall) {
    *BufferSize = 0;
    return EFI_DEVICE_ERROR;
  }

  if ((mPort->MostPerCall != 0) && (*BufferSize > mPort->MostPerCall)) {
    *BufferSize = mPort->MostPerCall;
  }

  mPort->Written.append (static_cast<const char *>(Buffer), *BufferSize);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FakeGetControl (
  IN  EFI_SERIAL_IO_PROTOCOL  *This,
  OUT UINT32                  *Control
  )
{
  *Control = EFI_SERIAL_INPUT_BUFFER_EMPTY;
  return EFI_SUCCESS;
}

class SerialIoDebugTest : public LoadedDriverTest {
protected:
  void
  SetUp (
    ) override
  {
    LoadedDriverTest::SetUp ();
    mPort                          = &mFake;
    mFake.Protocol.Revision        = EFI_SERIAL_IO_PROTOCOL_REVISION;
    mFake.Protocol.Write           = FakeWrite;
    mFake.Protocol.GetControl      = FakeGetControl;
    mFake.Protocol.Mode            = &mFake.Mode;
  }

  void
  TearDown (
    ) override
  {
    Unplug ();
    mPort = nullptr;
    LoadedDriverTest::TearDown ();
  }

  /// The firmware's serial port appears (its protocol on a handle of its own).
  void
  Plug (
    )
  {
    ASSERT_EQ (gBS->InstallMultipleProtocolInterfaces (&mHandle, &gEfiSerialIoProtocolGuid, &mFake.Protocol, NULL),
               EFI_SUCCESS);
  }

  void
  Unplug (
    )
  {
    if (mHandle != nullptr) {
      EXPECT_EQ (gBS->UninstallMultipleProtocolInterfaces (mHandle, &gEfiSerialIoProtocolGuid, &mFake.Protocol, NULL),
                 EFI_SUCCESS);
      mHandle = nullptr;
    }
  }

  /// What went to the PC serial port (the simulated 16550): must stay empty.
  std::string
  PortText (
    )
  {
    return SerialText ();
  }

  FakeSerialPort  mFake;
  EFI_HANDLE      mHandle = nullptr;
};

TEST_F (SerialIoDebugTest, MessagesGoToTheFirmwaresSerialPortAndNeverToAnIoPort) {
  ClearSerialText ();
  ASSERT_NO_FATAL_FAILURE (Plug ());

  DEBUG ((DEBUG_ERROR, "line:%d,Status:%r\n", 42, EFI_DEVICE_ERROR));
  DEBUG ((DEBUG_VERBOSE, "not at this level\n"));

  EXPECT_EQ (mFake.Written, "line:42,Status:Device Error\r\n") << "PrintLib ends lines for a terminal";
  EXPECT_EQ (PortText (), "") << "the PC serial port was written";
  EXPECT_EQ (Platform ().Uart ().Writes ().size (), 0u) << "an I/O port was touched";
}

TEST_F (SerialIoDebugTest, WithoutASerialPortTheTextIsDroppedQuietly) {
  ClearSerialText ();

  DEBUG ((DEBUG_ERROR, "nobody listens\n"));
  EXPECT_EQ (SerialPortWrite ((UINT8 *)"abc", 3), 0u);

  EXPECT_TRUE (TakeAssertions ().empty ());
  EXPECT_EQ (PortText (), "");
  EXPECT_EQ (Platform ().Uart ().Writes ().size (), 0u);
}

TEST_F (SerialIoDebugTest, APortThatTakesLittleAtATimeGetsAllOfItAndAFailingOneStopsTheWrite) {
  ASSERT_NO_FATAL_FAILURE (Plug ());
  mFake.MostPerCall = 5;

  EXPECT_EQ (SerialPortWrite ((UINT8 *)"0123456789ABCDE", 15), 15u);
  EXPECT_EQ (mFake.Written, "0123456789ABCDE");
  EXPECT_EQ (mFake.Calls, 3u);

  mFake.Written.clear ();
  mFake.Calls      = 0;
  mFake.FailAtCall = 2;
  EXPECT_EQ (SerialPortWrite ((UINT8 *)"0123456789ABCDE", 15), 5u) << "bytes written before the failure";
  EXPECT_EQ (mFake.Calls, 2u) << "no call after the failure";
}

/// A protocol may be looked up at TPL_NOTIFY at most: above it the text is
/// dropped without calling the firmware.
TEST_F (SerialIoDebugTest, AboveTplNotifyNothingIsWritten) {
  ASSERT_NO_FATAL_FAILURE (Plug ());

  EFI_TPL  Old = gBS->RaiseTPL (TPL_NOTIFY);

  DEBUG ((DEBUG_ERROR, "at notify\n"));
  gBS->RaiseTPL (TPL_HIGH_LEVEL);
  DEBUG ((DEBUG_ERROR, "at high level\n"));
  gBS->RestoreTPL (Old);

  EXPECT_EQ (mFake.Written, "at notify\r\n");
}

/// The report goes out once through the firmware's port and the platform
/// halts: nothing in the write path asserts, so the report cannot recurse,
/// whatever it is given.
TEST_F (SerialIoDebugTest, AnAssertionReportsOnceThroughTheFirmwaresPortAndHalts) {
  ASSERT_NO_FATAL_FAILURE (Plug ());

  DebugAssert ("Qdl520.cpp", 131, "!(((RETURN_STATUS)(Status)) >= 0x8000000000000000ULL)");

  EXPECT_EQ (mFake.Written, "ASSERT Qdl520.cpp(131): !(((RETURN_STATUS)(Status)) >= 0x8000000000000000ULL)\r\n");
  EXPECT_EQ (mFake.Calls, 1u);
  ASSERT_EQ (TakeAssertions ().size (), 1u) << "the halt";

  EXPECT_EQ (SerialPortWrite (nullptr, 4), 0u);
  EXPECT_EQ (SerialPortWrite ((UINT8 *)"x", 0), 0u);
  EXPECT_TRUE (TakeAssertions ().empty ()) << "the write path asserted";
  EXPECT_EQ (Platform ().Uart ().Writes ().size (), 0u);
}

TEST_F (SerialIoDebugTest, TheLibraryLeavesTheFirmwaresPortSettingsAlone) {
  ASSERT_NO_FATAL_FAILURE (Plug ());

  UINT32              Control = 0;
  UINT64              Baud    = 9600;
  UINT32              Depth   = 0;
  UINT32              Timeout = 0;
  EFI_PARITY_TYPE     Parity  = DefaultParity;
  UINT8               Bits    = 8;
  EFI_STOP_BITS_TYPE  Stop    = DefaultStopBits;

  EXPECT_EQ (SerialPortInitialize (), RETURN_SUCCESS);
  EXPECT_EQ (SerialPortSetControl (EFI_SERIAL_DATA_TERMINAL_READY), RETURN_UNSUPPORTED);
  EXPECT_EQ (SerialPortSetAttributes (&Baud, &Depth, &Timeout, &Parity, &Bits, &Stop), RETURN_UNSUPPORTED);
  EXPECT_EQ (SerialPortGetControl (&Control), RETURN_SUCCESS);
  EXPECT_EQ (Control, EFI_SERIAL_INPUT_BUFFER_EMPTY);
  EXPECT_FALSE (SerialPortPoll ());
  EXPECT_EQ (mFake.Calls, 0u);
}

} // namespace
} // namespace Qd520Test
