/** @file
  Fixture of the driver's host tests: a fresh simulated platform per test,
  the driver's entry point, and checks at the end of every test that the
  simulator saw nothing unexpected and that the driver asserted nothing the
  test did not take.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_DRIVER_TEST_H_
#define QD520_DRIVER_TEST_H_

#include "SimPlatform.h"

#include "Qdl520.h"

extern "C" {
#include <Library/UefiDriverEntryPoint.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/GraphicsOutput.h>
}

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

//
// The kit's DebugLib reports an assertion with the text of its condition
// after macro expansion, and each release expands EFI_ERROR its own way;
// this is the text the kit in use gives ASSERT_EFI_ERROR (Status).
//
#define QD520_TEXT_OF(Expression)           #Expression
#define QD520_EXPANDED_TEXT_OF(Expression)  QD520_TEXT_OF (Expression)

namespace Qd520Test {

inline constexpr char  EfiErrorExpression[] = QD520_EXPANDED_TEXT_OF (!EFI_ERROR (Status));

using Qd520Sim::AdapterOptions;
using Qd520Sim::AssertionRecord;
using Qd520Sim::SimAdapter;
using Qd520Sim::SimPlatform;
using Qd520Sim::TraceRecord;

class DriverTest : public ::testing::Test {
protected:
  void
  SetUp (
    ) override;

  void
  TearDown (
    ) override;

  /// Builds the platform again with other options (before loading the driver).
  void
  ResetPlatform (
    const Qd520Sim::PlatformOptions  &Options
    );

  SimPlatform &
  Platform (
    )
  {
    return *mPlatform;
  }

  /// Runs the image entry point as the firmware's image loader would.
  EFI_STATUS
  LoadDriver (
    );

  SimAdapter &
  AddAdapter (
    const AdapterOptions  &Options = AdapterOptions ()
    )
  {
    return mPlatform->AddAdapter (Options);
  }

  /// The driver binding the entry point installed on the image handle.
  EFI_DRIVER_BINDING_PROTOCOL *
  Binding (
    );

  /// The graphics output protocol on Controller, or nullptr.
  EFI_GRAPHICS_OUTPUT_PROTOCOL *
  GraphicsOutputOn (
    EFI_HANDLE  Controller
    );

  /// Assertions the driver made since the last call; they no longer fail
  /// the test.
  std::vector<AssertionRecord>
  TakeAssertions (
    )
  {
    return mPlatform->TakeAssertions ();
  }

  /// Loud simulator failures since the last call; they no longer fail the
  /// test.
  std::vector<std::string>
  TakeFailures (
    );

  /// Debug text the driver wrote to the serial port, "\r\n" read as "\n".
  std::string
  SerialText (
    );

  /// Forgets the serial text written so far.
  void
  ClearSerialText (
    )
  {
    mPlatform->Uart ().TakeText ();
  }

  std::unique_ptr<SimPlatform>  mPlatform;
};

/// A platform with the driver loaded and one QD520 whose registers start
/// from distinct non-zero values.
class LoadedDriverTest : public DriverTest {
protected:
  void
  SetUp (
    ) override;

  SimAdapter  *mAdapter = nullptr;
};

/// LoadedDriverTest with the adapter connected: the graphics output runs in
/// mode 0 and the debug text and trace of the start are cleared. The adapter
/// refuses misaligned units on either side, as the firmware's root bridge
/// and CPU I/O do.
class StartedDriverTest : public LoadedDriverTest {
protected:
  void
  SetUp (
    ) override;

  /// The protocol's Blt with untyped buffer and operation, so that tests
  /// can pass any value.
  EFI_STATUS
  Blt (
    VOID   *Buffer,
    UINTN  Operation,
    UINTN  SourceX,
    UINTN  SourceY,
    UINTN  DestinationX,
    UINTN  DestinationY,
    UINTN  Width,
    UINTN  Height,
    UINTN  Delta
    )
  {
    return mGop->Blt (
                   mGop,
                   static_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(Buffer),
                   static_cast<EFI_GRAPHICS_OUTPUT_BLT_OPERATION>(Operation),
                   SourceX,
                   SourceY,
                   DestinationX,
                   DestinationY,
                   Width,
                   Height,
                   Delta
                   );
  }

  EFI_GRAPHICS_OUTPUT_PROTOCOL  *mGop = nullptr;
};

/// The device context behind a graphics output protocol of the driver.
inline QDL520_PRIVATE_DATA *
PrivateOf (
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop
  )
{
  return BASE_CR (Gop, QDL520_PRIVATE_DATA, GraphicsOutput);
}

/// Byte copy of a record, to prove that a call left it alone.
template<typename T>
std::vector<UINT8>
BytesOf (
  const T  *Record
  )
{
  const UINT8  *Start = reinterpret_cast<const UINT8 *>(Record);

  return std::vector<UINT8>(Start, Start + sizeof (T));
}

/// Distinct non-zero register contents for adapters of the tests.
constexpr UINT32  RegisterSeed = 0x5A5A1234;

} // namespace Qd520Test

#endif // QD520_DRIVER_TEST_H_
