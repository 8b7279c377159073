/** @file
  Fault injection, what is owed: the outcome of each failed call.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FaultExpectations.h"

namespace Qd520Test {
namespace FaultInjection {

const char *
PhaseName (
  Phase  Which
  )
{
  switch (Which) {
    case Phase::Entry:            return "Entry";
    case Phase::Start:            return "Start";
    case Phase::Constructor:      return "Constructor";
    case Phase::SetModeZeroToTwo: return "SetMode 0 to 2";
    case Phase::SetModeTwoToZero: return "SetMode 2 to 0";
    case Phase::QueryMode:        return "QueryMode";
  }

  return "?";
}

const char *
ClassName (
  CallClass  Which
  )
{
  switch (Which) {
    case CallClass::BootService:    return "boot-service call";
    case CallClass::PoolAllocation: return "pool allocation";
    case CallClass::PciIo:          return "PCI I/O call";
  }

  return "?";
}

/// The mode a phase leaves current when it succeeds.
UINT32
TargetMode (
  Phase  Which
  )
{
  return (Which == Phase::SetModeZeroToTwo) ? 2 : 0;
}

bool
SetsAMode (
  Phase  Which
  )
{
  return (Which == Phase::Start) || (Which == Phase::Constructor) ||
         (Which == Phase::SetModeZeroToTwo) || (Which == Phase::SetModeTwoToZero);
}

bool
IsModeChange (
  Phase  Which
  )
{
  return (Which == Phase::SetModeZeroToTwo) || (Which == Phase::SetModeTwoToZero);
}

const char *
RoleName (
  Role  Which
  )
{
  switch (Which) {
    case Role::Unknown:                  return "not recognised";
    case Role::InstallBindingAndNames:   return "the binding and both names";
    case Role::InstallSupportedVersion:  return "the supported-version record";
    case Role::ContextAllocation:        return "the device context";
    case Role::OpenPciIo:                return "opening PCI I/O";
    case Role::GetParentPath:            return "the controller's device path";
    case Role::DisplayNodeAllocation:    return "the display node for appending";
    case Role::DisplayPathAllocation:    return "the display path";
    case Role::DisplayNodeRelease:       return "releasing the display node";
    case Role::InstallChildPath:         return "the child's device path";
    case Role::ModeRecordAllocation:     return "the mode record";
    case Role::ModeInfoAllocation:       return "the mode information";
    case Role::LineBufferAllocation:     return "the line buffer";
    case Role::LineBufferRelease:        return "releasing the previous line buffer";
    case Role::DescriptorListAllocation: return "the BAR descriptor list";
    case Role::DescriptorListRelease:    return "releasing the BAR descriptor list";
    case Role::InstallGraphicsOutput:    return "the graphics output";
    case Role::QueryInfoAllocation:      return "the queried mode information";
    case Role::QuerySupportedAttributes: return "the supported attributes";
    case Role::ReadAttributes:           return "reading the attributes";
    case Role::EnableDevice:             return "enabling the device";
    case Role::RegisterRead:             return "register read";
    case Role::RegisterWrite:            return "register write";
    case Role::FrameBufferClear:         return "frame-buffer clear";
    case Role::BarAttributes:            return "the frame-buffer BAR's attributes";
  }

  return "?";
}

namespace {

Expectation
Refusal (
  EFI_STATUS  Status,
  UINT32      StepCode = 0,
  bool        RestoresAttributes = false
  )
{
  Expectation  Result;

  Result.Result             = Outcome::Refused;
  Result.Status             = Status;
  Result.StepCode           = StepCode;
  Result.RestoresAttributes = RestoresAttributes;
  return Result;
}

/// Result, after an ASSERT_EFI_ERROR that the debug build reports and goes
/// on from (in the host; the firmware halts); the production build has no
/// assertion.
Expectation
WithEfiErrorAssertion (
  Expectation  Result,
  const char   *File,
  EFI_STATUS   Status,
  const char   *LineGroup
  )
{
  if (Production) {
    return Result;
  }

  Result.AssertFile       = File;
  Result.AssertExpression = EfiErrorExpression;
  Result.AssertStatus     = Status;
  Result.LineGroup        = LineGroup;
  return Result;
}

/// The debug build's assertion that halts the firmware; the production
/// build, which has none, owes Unasserted instead.
Expectation
Halt (
  const char   *File,
  const char   *Expression,
  EFI_STATUS   Status,
  const char   *LineGroup,
  Expectation  Unasserted
  )
{
  Expectation  Result;

  if (Production) {
    return Unasserted;
  }

  Result.Result           = Outcome::AssertionOnly;
  Result.AssertFile       = File;
  Result.AssertExpression = Expression;
  Result.AssertStatus     = Status;
  Result.LineGroup        = LineGroup;
  return Result;
}

/// A FreePool that fails: the kit's FreePool asserts on the status and the
/// block is not freed; the driver does not look at it and goes on.
Expectation
ReleaseRefused (
  EFI_STATUS  Injected
  )
{
  Expectation  Result = WithEfiErrorAssertion (Expectation (), "MemoryAllocationLib.c", Injected, "FreePool");

  Result.BlockStays = true;
  return Result;
}

/// A failing register access is the register primitive's assertion; the
/// phase goes on and reports what it would have reported.
Expectation
RegisterAccessRefused (
  Role        Which,
  EFI_STATUS  Injected
  )
{
  return WithEfiErrorAssertion (
           Expectation (),
           "Qdl520.cpp",
           Injected,
           (Which == Role::RegisterRead) ? "register read" : "register write"
           );
}

} // namespace

/// The outcome a failing call of this role owes in this phase; false when
/// the role is not one the phase is expected to have.
bool
ExpectationFor (
  Phase        Which,
  Role         Call,
  EFI_STATUS   Injected,
  Expectation  *Out
  )
{
  Expectation  Result;

  //
  // Calls the hardware phases share.
  //
  if (SetsAMode (Which)) {
    switch (Call) {
      case Role::RegisterRead:
      case Role::RegisterWrite:
        *Out = RegisterAccessRefused (Call, Injected);
        return true;

      case Role::FrameBufferClear:
        Result.ScreenCleared = false;
        *Out                 = Result;
        return true;

      case Role::BarAttributes:
      case Role::DescriptorListAllocation:
        Result.FrameBufferBaseRead = false;
        *Out                       = Result;
        return true;

      case Role::DescriptorListRelease:
        *Out = ReleaseRefused (Injected);
        return true;

      default:
        break;
    }
  }

  switch (Which) {
    case Phase::Entry:
      if (Call == Role::InstallBindingAndNames) {
        *Out = Halt ("UefiDriverModel.c", EfiErrorExpression, Injected, "entry: binding", Refusal (Injected));
        return true;
      }

      if (Call == Role::InstallSupportedVersion) {
        *Out = WithEfiErrorAssertion (Refusal (Injected), "Qdl520.cpp", Injected, "entry: supported version");
        return true;
      }

      return false;

    case Phase::Start:
      switch (Call) {
        case Role::ContextAllocation:        *Out = Refusal (EFI_OUT_OF_RESOURCES, 220); return true;
        case Role::OpenPciIo:                *Out = Refusal (Injected, 242); return true;
        case Role::QuerySupportedAttributes: *Out = Refusal (Injected, 256); return true;
        case Role::ReadAttributes:           *Out = Refusal (Injected, 279); return true;
        case Role::EnableDevice:             *Out = Refusal (Injected, 291, true); return true;
        case Role::GetParentPath:            *Out = Refusal (Injected, 304, true); return true;
        case Role::DisplayNodeAllocation:
        case Role::DisplayPathAllocation:    *Out = Refusal (EFI_OUT_OF_RESOURCES, 0, true); return true;
        case Role::DisplayNodeRelease:       *Out = ReleaseRefused (Injected); return true;
        case Role::InstallGraphicsOutput:    *Out = Refusal (Injected, 0, true); return true;

        case Role::InstallChildPath:
          Result.ChildPath = false;
          *Out             = Result;
          return true;

        case Role::ModeRecordAllocation:
        case Role::ModeInfoAllocation:
          *Out = Halt ("Qdl520.cpp", EfiErrorExpression, Injected, "Start: constructor status", Refusal (Injected, 0, true));
          return true;

        case Role::LineBufferAllocation:
          *Out = Halt (
                   "Qdl520GraphicsOutput.cpp",
                   ValidModeExpression,
                   EFI_SUCCESS,
                   "constructor: valid mode",
                   Refusal (EFI_OUT_OF_RESOURCES, 0, true)
                   );
          return true;

        default:
          return false;
      }

    case Phase::Constructor:
      switch (Call) {
        case Role::ModeRecordAllocation:
          *Out = Refusal (Injected);
          return true;

        case Role::ModeInfoAllocation:
          *Out                = Refusal (Injected);
          Out->ModeRecordKept = true;
          return true;

        case Role::LineBufferAllocation:
          Result               = Refusal (EFI_OUT_OF_RESOURCES);
          Result.EngineStarted = true;
          *Out                 = Halt ("Qdl520GraphicsOutput.cpp", ValidModeExpression, EFI_SUCCESS, "constructor: valid mode", Result);
          return true;

        default:
          return false;
      }

    case Phase::SetModeZeroToTwo:
    case Phase::SetModeTwoToZero:
      switch (Call) {
        case Role::LineBufferRelease:    *Out = ReleaseRefused (Injected); return true;
        case Role::LineBufferAllocation: *Out = Refusal (EFI_OUT_OF_RESOURCES); return true;
        default:                         return false;
      }

    case Phase::QueryMode:
      if (Call == Role::QueryInfoAllocation) {
        *Out = Refusal (EFI_OUT_OF_RESOURCES);
        return true;
      }

      return false;
  }

  return false;
}

} // namespace FaultInjection
} // namespace Qd520Test
