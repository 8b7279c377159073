/** @file
  Fault injection, what is owed: the phases of the driver's life that are
  failed call by call, the classes of calls failed, the role a call plays
  for the driver, and the outcome a failure of each role owes in each
  phase, in the debug build and in the production build.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_FAULT_EXPECTATIONS_H_
#define QD520_FAULT_EXPECTATIONS_H_

#include "DriverTest.h"

namespace Qd520Test {
namespace FaultInjection {

#ifdef QD520_PRODUCTION
constexpr bool  Production = true;
#else
constexpr bool  Production = false;
#endif

constexpr char  ValidModeExpression[] = "Private->GraphicsOutput.Mode->Mode < (Private->MaxMode)";

//
// Phases and call classes.
//

enum class Phase {
  Entry,
  Start,
  Constructor,
  SetModeZeroToTwo,
  SetModeTwoToZero,
  QueryMode
};

enum class CallClass {
  BootService,
  PoolAllocation,
  PciIo
};

const char *
PhaseName (
  Phase  Which
  );

const char *
ClassName (
  CallClass  Which
  );

/// The mode a phase leaves current when it succeeds.
UINT32
TargetMode (
  Phase  Which
  );

bool
SetsAMode (
  Phase  Which
  );

bool
IsModeChange (
  Phase  Which
  );

//
// The roles of calls and the outcomes they demand.
//

/// What a call does for the driver.
enum class Role {
  Unknown,
  // boot services
  InstallBindingAndNames,
  InstallSupportedVersion,
  ContextAllocation,
  OpenPciIo,
  GetParentPath,
  DisplayNodeAllocation,     ///< the device-path library's temporary node
  DisplayPathAllocation,     ///< the display path itself
  DisplayNodeRelease,
  InstallChildPath,
  ModeRecordAllocation,
  ModeInfoAllocation,
  LineBufferAllocation,
  LineBufferRelease,         ///< the previous mode's line buffer
  DescriptorListAllocation,  ///< inside GetBarAttributes
  DescriptorListRelease,
  InstallGraphicsOutput,
  QueryInfoAllocation,
  // PCI I/O
  QuerySupportedAttributes,
  ReadAttributes,
  EnableDevice,
  RegisterRead,
  RegisterWrite,
  FrameBufferClear,
  BarAttributes
};

const char *
RoleName (
  Role  Which
  );

enum class Outcome {
  Completed,      ///< the phase did its work
  Refused,        ///< the phase failed and gave back what it took
  AssertionOnly   ///< the first assertion halts the firmware; nothing after it is defined
};

struct Expectation {
  Outcome       Result             = Outcome::Completed;
  EFI_STATUS    Status             = EFI_SUCCESS;
  UINT32        StepCode           = 0;       ///< Start's step message; 0 for none
  bool          RestoresAttributes = false;   ///< a refused Start puts the saved attributes back
  bool          ModeRecordKept     = false;   ///< a refused constructor leaves its mode record
  bool          EngineStarted      = false;   ///< a refused constructor brought the engine up but set no mode
  bool          ChildPath          = true;    ///< the child handle carries the display path
  bool          FrameBufferBaseRead = true;   ///< else FrameBufferBase keeps its previous value
  bool          ScreenCleared      = true;
  bool          BlockStays         = false;   ///< the block of the failed FreePool stays live
  const char    *AssertFile        = nullptr; ///< basename of the first assertion; nullptr for none
  const char    *AssertExpression  = nullptr;
  EFI_STATUS    AssertStatus       = EFI_SUCCESS; ///< ASSERT_EFI_ERROR's status; EFI_SUCCESS for a plain ASSERT
  const char    *LineGroup         = nullptr; ///< assertions of one group share one source line
};

/// The outcome a failing call of this role owes in this phase; false when
/// the role is not one the phase is expected to have.
bool
ExpectationFor (
  Phase        Which,
  Role         Call,
  EFI_STATUS   Injected,
  Expectation  *Out
  );

} // namespace FaultInjection
} // namespace Qd520Test

#endif // QD520_FAULT_EXPECTATIONS_H_
