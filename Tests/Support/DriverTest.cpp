/** @file
  Fixture of the driver's host tests.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DriverTest.h"

#include "Qdl520.h"

namespace Qd520Test {

namespace {

std::vector<std::string> &
CapturedFailures (
  )
{
  static std::vector<std::string>  Failures;

  return Failures;
}

void
CaptureFailure (
  const char         *File,
  int                Line,
  const std::string  &Message
  )
{
  CapturedFailures ().push_back (std::string (File) + ":" + std::to_string (Line) + ": " + Message);
}

} // namespace

void
DriverTest::SetUp (
  )
{
  CapturedFailures ().clear ();
  Qd520Sim::SetFailureHandler (CaptureFailure);
  mPlatform = std::make_unique<SimPlatform>();

  //
  // The driver's one run-time module variable holds its load-time value in
  // a freshly loaded image; every test starts from a fresh load.
  //
  mQdl520HdmiControl = 0x11;
}

void
DriverTest::ResetPlatform (
  const Qd520Sim::PlatformOptions  &Options
  )
{
  mPlatform.reset ();
  mPlatform = std::make_unique<SimPlatform>(Options);
}

void
DriverTest::TearDown (
  )
{
  if (mPlatform != nullptr) {
    EXPECT_TRUE (mPlatform->Assertions ().empty ())
      << "unexpected driver assertions:\n" << mPlatform->AssertionsText ();
  }

  for (const std::string &Failure : CapturedFailures ()) {
    ADD_FAILURE () << "unexpected simulator failure: " << Failure;
  }

  mPlatform.reset ();
  Qd520Sim::SetFailureHandler (nullptr);
  CapturedFailures ().clear ();
}

EFI_STATUS
DriverTest::LoadDriver (
  )
{
  return _ModuleEntryPoint (mPlatform->ImageHandle (), mPlatform->SystemTable ());
}

EFI_DRIVER_BINDING_PROTOCOL *
DriverTest::Binding (
  )
{
  return static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(
           mPlatform->Handles ().InterfaceOn (mPlatform->ImageHandle (), gEfiDriverBindingProtocolGuid)
           );
}

EFI_GRAPHICS_OUTPUT_PROTOCOL *
DriverTest::GraphicsOutputOn (
  EFI_HANDLE  Controller
  )
{
  return static_cast<EFI_GRAPHICS_OUTPUT_PROTOCOL *>(
           mPlatform->Handles ().InterfaceOn (Controller, gEfiGraphicsOutputProtocolGuid)
           );
}

std::vector<std::string>
DriverTest::TakeFailures (
  )
{
  std::vector<std::string>  Taken;

  Taken.swap (CapturedFailures ());
  return Taken;
}

std::string
DriverTest::SerialText (
  )
{
  std::string  Text = mPlatform->Uart ().Text ();
  std::string  Plain;

  for (size_t Index = 0; Index < Text.size (); Index++) {
    if ((Text[Index] == '\r') && (Index + 1 < Text.size ()) && (Text[Index + 1] == '\n')) {
      continue;
    }

    Plain.push_back (Text[Index]);
  }

  return Plain;
}

void
LoadedDriverTest::SetUp (
  )
{
  DriverTest::SetUp ();
  mAdapter = &AddAdapter ();
  mAdapter->FillRegisters (RegisterSeed);
  ASSERT_EQ (LoadDriver (), EFI_SUCCESS);
}

void
StartedDriverTest::SetUp (
  )
{
  LoadedDriverTest::SetUp ();
  ASSERT_EQ (mPlatform->Connect (mAdapter->Controller ()), EFI_SUCCESS);
  mGop = GraphicsOutputOn (mAdapter->Controller ());
  ASSERT_NE (mGop, nullptr);
  ClearSerialText ();
  mAdapter->ClearTrace ();
  mPlatform->Tpl ().ClearEvents ();
}

} // namespace Qd520Test
