/** @file
  Fault injection over whole phases of the driver's life: the image entry,
  Start, the graphics output constructor, full mode changes (0 to 2 and
  2 to 0) and QueryMode.

  A clean run of a phase lists every boot-service call that can fail, every
  pool allocation and every PCI I/O call the phase makes. Then, for each of
  them in turn, a fresh platform is brought to the same point and just that
  call is failed. What the call was (the service and its arguments, or the
  PCI I/O operation with its BAR, offset, width and attribute operation)
  decides the outcome the driver owes: the status, the first assertion, the
  step message, the mode record, the frame buffer, and what is left
  allocated, opened and installed. A call that cannot be recognised is a
  failure, so a driver that gains or loses a call gains or loses a case and
  never passes unexamined.

  Boot-service calls and their arguments come from the platform's log; the
  platform counts and fails the calls itself.

  Built with QD520_PRODUCTION, the program runs against the production
  build of the driver and the kit (MDEPKG_NDEBUG): no assertion and no debug
  text, ever. Where the debug build halts on an assertion, the phase must
  fail and give back what it took; where the debug build asserts and goes
  on, the outcome is the same without the assertion.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DriverTest.h"

#include "Qdl520.h"

extern "C" {
#include <Library/PrintLib.h>
}

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Qd520Test {
namespace {

#ifdef QD520_PRODUCTION
constexpr bool  Production = true;
#else
constexpr bool  Production = false;
#endif

using Qd520Sim::PciIoOperation;
using Qd520Sim::PoolBlock;
using Qd520Sim::ServiceCallTracker;

constexpr UINT64  InitialAttributes = EFI_PCI_IO_ATTRIBUTE_IO;
constexpr UINT64  EnableAttributes  = EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY |
                                      EFI_PCI_IO_ATTRIBUTE_BUS_MASTER;

/// Records kept per adapter: several mode sets with room to spare.
constexpr size_t  TraceCapacity = 1 << 13;

/// Status of an injected PCI I/O failure.
constexpr EFI_STATUS  PciIoFailure = EFI_DEVICE_ERROR;

constexpr char  ValidModeExpression[] = "Private->GraphicsOutput.Mode->Mode < (Private->MaxMode)";
constexpr char  Banner[] = "EFI520 V1.00.07.00\n";

/// What the frame-buffer sentinels hold before a phase that clears the screen.
constexpr UINT32  SentinelPixel = 0x5B5B5B5B;

/// FrameBufferBase planted before a mode change, to tell a kept value from a
/// value read again.
constexpr EFI_PHYSICAL_ADDRESS  PlantedFrameBufferBase = 0xFEED0000;

/// Mode->Mode while no mode is set.
constexpr UINT32  NoMode = 0xFFFF;

constexpr UINT32  QueriedMode      = 2;
constexpr UINTN   SizeOfInfoMarker = 0x5151;

UINTN
ScreenBytes (
  UINT32  ModeNumber
  )
{
  const QDL520_VIDEO_MODE  &Mode = mQdl520VideoModes[ModeNumber];

  return static_cast<UINTN>((Mode.Width + 15) & ~15u) * (Mode.ColorDepth / 8) * Mode.Height;
}

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
Hex (
  UINT64  Value
  )
{
  char  Text[24];

  std::snprintf (Text, sizeof (Text), "0x%llX", static_cast<unsigned long long>(Value));
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

/// One boot-service call as the platform logged it.
using ServiceRecord = Qd520Sim::ServiceCall;

bool
IsService (
  const ServiceRecord  &Record,
  const char           *Service
  )
{
  return std::strcmp (Record.Service, Service) == 0;
}

//
// Phases, call classes, the roles of calls and the outcomes they demand.
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

//
// Recognising calls.
//

std::string
DescribeService (
  const ServiceRecord  &Record
  )
{
  std::string  Text = Record.Service;

  if (IsService (Record, "AllocatePool")) {
    Text += " of " + std::to_string (Record.Size) + " bytes";
  }

  for (size_t Index = 0; Index < Record.Protocols.size (); Index++) {
    Text += (Index == 0 ? " " : ", ") + Qd520Sim::GuidToText (Record.Protocols[Index]);
  }

  if (IsService (Record, "OpenProtocol")) {
    Text += " attributes " + Hex (Record.Attributes);
  }

  return Text;
}

std::string
DescribeTrace (
  const TraceRecord  &Record
  )
{
  std::string  Text = Qd520Sim::OperationName (Record.Operation);

  if (Record.BarIndex != Qd520Sim::NoBar) {
    Text += " BAR " + std::to_string (Record.BarIndex);
  }

  Text += std::string (" ") + Qd520Sim::RecordWidthName (Record);
  if ((Record.Operation == PciIoOperation::MemRead) || (Record.Operation == PciIoOperation::MemWrite)) {
    Text += " offset " + Hex (Record.Offset) + " count " + std::to_string (Record.Count);
  }

  return Text;
}

bool
SameProtocols (
  const std::vector<EFI_GUID>                &Actual,
  std::initializer_list<const EFI_GUID *>    Expected
  )
{
  if (Actual.size () != Expected.size ()) {
    return false;
  }

  size_t  Index = 0;

  for (const EFI_GUID *Guid : Expected) {
    if (!Qd520Sim::SameGuid (Actual[Index++], *Guid)) {
      return false;
    }
  }

  return true;
}

/// What the run knows for recognising calls: every boot-service call that
/// can fail since the platform was made, the whole trace, and the path the
/// display is built on.
struct RunFacts {
  Phase                         Which;
  std::vector<ServiceRecord>    Records;
  std::vector<TraceRecord>      Trace;
  size_t                        ParentPathBytes = 0;
};

Role
AllocationRole (
  const RunFacts       &Facts,
  const ServiceRecord  &Record
  )
{
  std::vector<Role>  Matches;

  //
  // PCI I/O allocates the descriptor list while GetBarAttributes runs: the
  // trace record of that call hands out the same block.
  //
  if (Record.Size == sizeof (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) + sizeof (EFI_ACPI_END_TAG_DESCRIPTOR)) {
    for (const TraceRecord &Call : Facts.Trace) {
      if ((Call.Operation == PciIoOperation::GetBarAttributes) && (Call.Buffer == Record.Block)) {
        Matches.push_back (Role::DescriptorListAllocation);
        break;
      }
    }
  }

  if (Record.Size == sizeof (QDL520_PRIVATE_DATA)) {
    Matches.push_back (Role::ContextAllocation);
  }

  if (Record.Size == sizeof (ACPI_ADR_DEVICE_PATH) + END_DEVICE_PATH_LENGTH) {
    Matches.push_back (Role::DisplayNodeAllocation);
  }

  if (Record.Size == Facts.ParentPathBytes + sizeof (ACPI_ADR_DEVICE_PATH)) {
    Matches.push_back (Role::DisplayPathAllocation);
  }

  if (Record.Size == sizeof (EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE)) {
    Matches.push_back (Role::ModeRecordAllocation);
  }

  if (Record.Size == sizeof (EFI_GRAPHICS_OUTPUT_MODE_INFORMATION)) {
    Matches.push_back ((Facts.Which == Phase::QueryMode) ? Role::QueryInfoAllocation : Role::ModeInfoAllocation);
  }

  for (UINT32 ModeNumber = 0; ModeNumber < QDL520_MAX_MODE; ModeNumber++) {
    if (Record.Size == ScreenBytes (ModeNumber)) {
      Matches.push_back (Role::LineBufferAllocation);
      break;
    }
  }

  return (Matches.size () == 1) ? Matches[0] : Role::Unknown;
}

/// The role of the service call Facts.Records[Index].
Role
ServiceRole (
  const RunFacts  &Facts,
  size_t          Index
  )
{
  const ServiceRecord  &Record = Facts.Records[Index];

  if (IsService (Record, "AllocatePool")) {
    return AllocationRole (Facts, Record);
  }

  if (IsService (Record, "FreePool")) {
    //
    // A release is known by the block it gives back.
    //
    for (size_t Earlier = Index; Earlier-- > 0;) {
      const ServiceRecord  &Allocation = Facts.Records[Earlier];

      if (IsService (Allocation, "AllocatePool") && (Allocation.Block == Record.Block)) {
        switch (AllocationRole (Facts, Allocation)) {
          case Role::DisplayNodeAllocation:    return Role::DisplayNodeRelease;
          case Role::DescriptorListAllocation: return Role::DescriptorListRelease;
          case Role::LineBufferAllocation:     return Role::LineBufferRelease;
          default:                             return Role::Unknown;
        }
      }
    }

    return Role::Unknown;
  }

  if (IsService (Record, "OpenProtocol") && SameProtocols (Record.Protocols, { &gEfiPciIoProtocolGuid }) &&
      (Record.Attributes == EFI_OPEN_PROTOCOL_BY_DRIVER))
  {
    return Role::OpenPciIo;
  }

  if (IsService (Record, "HandleProtocol") && SameProtocols (Record.Protocols, { &gEfiDevicePathProtocolGuid })) {
    return Role::GetParentPath;
  }

  if (IsService (Record, "InstallMultipleProtocolInterfaces")) {
    if (SameProtocols (
          Record.Protocols,
          { &gEfiDriverBindingProtocolGuid, &gEfiComponentNameProtocolGuid, &gEfiComponentName2ProtocolGuid }
          ))
    {
      return Role::InstallBindingAndNames;
    }

    if (SameProtocols (Record.Protocols, { &gEfiDriverSupportedEfiVersionProtocolGuid })) {
      return Role::InstallSupportedVersion;
    }

    if (SameProtocols (Record.Protocols, { &gEfiDevicePathProtocolGuid })) {
      return Role::InstallChildPath;
    }

    if (SameProtocols (Record.Protocols, { &gEfiGraphicsOutputProtocolGuid })) {
      return Role::InstallGraphicsOutput;
    }
  }

  return Role::Unknown;
}

Role
PciIoRole (
  const TraceRecord  &Record
  )
{
  switch (Record.Operation) {
    case PciIoOperation::Attributes:
      switch (Record.Width) {
        case EfiPciIoAttributeOperationSupported: return Role::QuerySupportedAttributes;
        case EfiPciIoAttributeOperationGet:       return Role::ReadAttributes;
        case EfiPciIoAttributeOperationEnable:    return Role::EnableDevice;
        default:                                  return Role::Unknown;
      }

    case PciIoOperation::MemRead:
    case PciIoOperation::MemWrite:
      if ((Record.BarIndex == QDL520_REGISTER_BAR) && (Record.Width == EfiPciIoWidthUint32) && (Record.Count == 1)) {
        return (Record.Operation == PciIoOperation::MemRead) ? Role::RegisterRead : Role::RegisterWrite;
      }

      if ((Record.Operation == PciIoOperation::MemWrite) && (Record.BarIndex == QDL520_FRAME_BUFFER_BAR) &&
          (Record.Width == EfiPciIoWidthFillUint32) && (Record.Offset == 0) && (Record.Count * 4 >= ScreenBytes (2)))
      {
        return Role::FrameBufferClear;
      }

      return Role::Unknown;

    case PciIoOperation::GetBarAttributes:
      return (Record.BarIndex == QDL520_FRAME_BUFFER_BAR) ? Role::BarAttributes : Role::Unknown;

    default:
      return Role::Unknown;
  }
}

/// One call of a clean run, as the enumeration fails it.
struct CallCase {
  std::string    Name;       ///< "AllocatePool of 12 bytes: the display node for appending"
  Role           Which;
  std::string    Service;    ///< boot services and pool: the service
  UINTN          Size;       ///< pool: the bytes asked for
  TraceRecord    Trace;      ///< PCI I/O: the clean run's record
};

/// Source line of each assertion group, across the whole program.
std::map<std::string, UINTN> &
GroupLines (
  )
{
  static std::map<std::string, UINTN>  Lines;

  return Lines;
}

/// Faults injected per phase and class, and per role within them, for the
/// summary.
std::map<std::string, size_t> &
InjectedCounts (
  )
{
  static std::map<std::string, size_t>  Counts;

  return Counts;
}

std::map<std::string, size_t> &
RoleCounts (
  )
{
  static std::map<std::string, size_t>  Counts;

  return Counts;
}

/// Failures the running test has recorded so far.
int
FailedParts (
  )
{
  const ::testing::TestResult  *Result = ::testing::UnitTest::GetInstance ()->current_test_info ()->result ();
  int                          Failed  = 0;

  for (int Index = 0; Index < Result->total_part_count (); Index++) {
    if (Result->GetTestPartResult (Index).failed ()) {
      Failed++;
    }
  }

  return Failed;
}

//
// The fixture.
//

/// One enumeration: the phase and the class of calls failed in it.
struct PhaseAndClass {
  Phase        Which;
  CallClass    Class;
};

void
PrintTo (
  const PhaseAndClass  &Param,
  std::ostream         *Stream
  )
{
  *Stream << PhaseName (Param.Which) << ", " << ClassName (Param.Class) << "s";
}

class FaultInjectionTest : public DriverTest, public ::testing::WithParamInterface<PhaseAndClass> {
protected:
  /// A fresh platform with one QD520 that logs every boot-service call;
  /// the previous one goes, and its tear-down must be clean.
  void
  NewPlatform (
    )
  {
    ResetPlatform (Qd520Sim::PlatformOptions ());
    Platform ().Services ().SetLogging (true);
    for (const std::string &Failure : TakeFailures ()) {
      ADD_FAILURE () << "simulator failure up to the tear-down of the previous run: " << Failure;
    }

    mQdl520HdmiControl = 0x11;

    AdapterOptions  Options;

    Options.Config.InitialAttributes = InitialAttributes;
    Options.TraceCapacity            = TraceCapacity;
    mAdapter                         = &AddAdapter (Options);
    mAdapter->FillRegisters (RegisterSeed);
    mPrivate        = nullptr;
    mGop            = nullptr;
    mOldLineBuffer  = nullptr;
    mOldLineSerial  = 0;
    mQueryInfo      = nullptr;
    mQuerySize      = SizeOfInfoMarker;
    mPreviousBase   = 0;
    mHandlesBefore  = Platform ().Handles ().HandleCount ();
  }

  EFI_HANDLE
  Controller (
    )
  {
    return mAdapter->Controller ();
  }

  /// The logged boot-service calls that can fail, oldest first.
  std::vector<ServiceRecord>
  FailableCalls (
    )
  {
    std::vector<ServiceRecord>  Calls;

    for (const ServiceRecord &Call : Platform ().Services ().Log ()) {
      if (Call.CanFail) {
        Calls.push_back (Call);
      }
    }

    return Calls;
  }

  /// The context the constructor is given: prepared as Start prepares it.
  bool
  PrepareContext (
    )
  {
    VOID  *Memory = nullptr;

    EXPECT_EQ (Platform ().BootServices ()->AllocatePool (EfiBootServicesData, sizeof (QDL520_PRIVATE_DATA), &Memory), EFI_SUCCESS);
    if (Memory == nullptr) {
      return false;
    }

    std::memset (Memory, 0, sizeof (QDL520_PRIVATE_DATA));
    mPrivate            = static_cast<QDL520_PRIVATE_DATA *>(Memory);
    mPrivate->Signature = QDL520_PRIVATE_DATA_SIGNATURE;
    EXPECT_EQ (
      Platform ().BootServices ()->OpenProtocol (
                                     Controller (),
                                     &gEfiPciIoProtocolGuid,
                                     reinterpret_cast<VOID **>(&mPrivate->PciIo),
                                     Binding ()->DriverBindingHandle,
                                     Controller (),
                                     EFI_OPEN_PROTOCOL_BY_DRIVER
                                     ),
      EFI_SUCCESS
      );
    if (mPrivate->PciIo == nullptr) {
      return false;
    }

    EXPECT_EQ (
      mPrivate->PciIo->Attributes (mPrivate->PciIo, EfiPciIoAttributeOperationGet, 0, &mPrivate->SavedPciAttributes),
      EFI_SUCCESS
      );
    EXPECT_EQ (
      mPrivate->PciIo->Attributes (mPrivate->PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_DEVICE_ENABLE, nullptr),
      EFI_SUCCESS
      );

    for (UINT32 Index = 0; Index < QDL520_MAX_MODE; Index++) {
      mPrivate->ModeData[Index].ModeNumber           = Index;
      mPrivate->ModeData[Index].HorizontalResolution = mQdl520VideoModes[Index].Width;
      mPrivate->ModeData[Index].VerticalResolution   = mQdl520VideoModes[Index].Height;
      mPrivate->ModeData[Index].ColorDepth           = mQdl520VideoModes[Index].ColorDepth;
      mPrivate->ModeData[Index].RefreshRate          = mQdl520VideoModes[Index].RefreshRate;
    }

    mPrivate->MaxMode = QDL520_MAX_MODE;
    return true;
  }

  /// Byte offsets of the frame-buffer words that show whether the phase
  /// cleared the screen.
  std::vector<UINTN>
  SentinelOffsets (
    )
  {
    UINTN  Screen = ScreenBytes (TargetMode (mPhase));

    return { 0, (Screen / 2) & ~static_cast<UINTN>(3), Screen - 4, static_cast<UINTN>(mAdapter->FrameBufferSize ()) - 4 };
  }

  void
  PaintSentinels (
    )
  {
    for (UINTN Offset : SentinelOffsets ()) {
      std::memcpy (mAdapter->FrameBuffer () + Offset, &SentinelPixel, sizeof (SentinelPixel));
    }
  }

  /// Brings the fresh platform to the start of the phase; false (with a
  /// failure) when the way there fails.
  bool
  Prepare (
    Phase  Which
    )
  {
    int  FailuresBefore = FailedParts ();

    mPhase = Which;
    if (Which != Phase::Entry) {
      EXPECT_EQ (LoadDriver (), EFI_SUCCESS);
      mHandlesBefore = Platform ().Handles ().HandleCount ();
    }

    if (Which == Phase::Constructor) {
      if (!PrepareContext ()) {
        return false;
      }
    } else if ((Which != Phase::Entry) && (Which != Phase::Start)) {
      EXPECT_EQ (Binding ()->Start (Binding (), Controller (), nullptr), EFI_SUCCESS);
      mGop = GraphicsOutputOn (Controller ());
      if (mGop == nullptr) {
        ADD_FAILURE () << "no graphics output after Start";
        return false;
      }

      mPrivate = PrivateOf (mGop);
      if (Which == Phase::SetModeTwoToZero) {
        EXPECT_EQ (mGop->SetMode (mGop, 2), EFI_SUCCESS);
      }

      if (IsModeChange (Which)) {
        //
        // A value no read of the BAR gives: kept or replaced, it shows.
        //
        mGop->Mode->FrameBufferBase = PlantedFrameBufferBase;
        mPreviousBase               = PlantedFrameBufferBase;
      }

      mRecordBefore  = BytesOf (mGop->Mode);
      mInfoBefore    = BytesOf (mGop->Mode->Info);
      mOldLineBuffer = mPrivate->LineBuffer;
      mOldLineSerial = (Platform ().Pool ().BlockAt (mOldLineBuffer) != nullptr) ?
                       Platform ().Pool ().BlockAt (mOldLineBuffer)->Serial : 0;
    }

    if (SetsAMode (Which)) {
      PaintSentinels ();
    }

    std::vector<AssertionRecord>  Early = TakeAssertions ();

    EXPECT_TRUE (Early.empty ()) << "assertion before the phase: " << (Early.empty () ? "" : Early[0].Expression);
    ClearSerialText ();
    mServiceStart   = FailableCalls ().size ();
    mFailableStart  = Platform ().Services ().FailableCalls ();
    mAllocStart     = Platform ().Pool ().AllocationCalls ();
    mFailedStart    = Platform ().Pool ().FailedAllocations ();
    mTraceStart     = mAdapter->TraceCount ();
    return FailedParts () == FailuresBefore;
  }

  EFI_STATUS
  RunPhase (
    )
  {
    switch (mPhase) {
      case Phase::Entry:
        return LoadDriver ();

      case Phase::Start:
        return Binding ()->Start (Binding (), Controller (), nullptr);

      case Phase::Constructor:
        return Qdl520GraphicsOutputConstructor (mPrivate);

      case Phase::SetModeZeroToTwo:
        return mGop->SetMode (mGop, 2);

      case Phase::SetModeTwoToZero:
        return mGop->SetMode (mGop, 0);

      case Phase::QueryMode:
        return mGop->QueryMode (mGop, QueriedMode, &mQuerySize, &mQueryInfo);
    }

    return EFI_UNSUPPORTED;
  }

  /// PCI I/O calls of the phase: indexes of the trace records other than delays.
  std::vector<size_t>
  PhasePciIoCalls (
    const std::vector<TraceRecord>  &Trace
    )
  {
    std::vector<size_t>  Calls;

    for (size_t Index = mTraceStart; Index < Trace.size (); Index++) {
      if (Trace[Index].Operation != PciIoOperation::Delay) {
        Calls.push_back (Index);
      }
    }

    return Calls;
  }

  /// Indexes (into Records) of the phase's AllocatePool calls.
  std::vector<size_t>
  PhaseAllocations (
    const std::vector<ServiceRecord>  &Records
    )
  {
    std::vector<size_t>  Calls;

    for (size_t Index = mServiceStart; Index < Records.size (); Index++) {
      if (IsService (Records[Index], "AllocatePool")) {
        Calls.push_back (Index);
      }
    }

    return Calls;
  }

  //
  // Checks of an outcome.
  //

  /// Live pool blocks are exactly Expected (address and size) plus Stuck.
  void
  ExpectLiveBlocks (
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
  DriverOpens (
    )
  {
    return Platform ().Handles ().CountOpensByAgent (Platform ().ImageHandle ());
  }

  void
  ExpectScreen (
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
  ExpectInfoDescribes (
    const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  &Info,
    UINT32                                      ModeNumber
    )
  {
    EXPECT_EQ (Info.Version, 0u);
    EXPECT_EQ (Info.HorizontalResolution, mQdl520VideoModes[ModeNumber].Width);
    EXPECT_EQ (Info.VerticalResolution, mQdl520VideoModes[ModeNumber].Height);
    EXPECT_EQ (Info.PixelFormat, PixelBlueGreenRedReserved8BitPerColor);
    EXPECT_EQ (Info.PixelsPerScanLine, (mQdl520VideoModes[ModeNumber].Width + 15) & ~15u);
  }

  /// The pool blocks a running display owns.
  std::vector<std::pair<const VOID *, UINTN> >
  DisplayBlocks (
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
  ExpectRunning (
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
  StopAndExpectNothingHeld (
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
  ExpectAssertionsAndText (
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
  ExpectAttributesRestored (
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
  ExpectOutcome (
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

  //
  // The enumeration.
  //

  void
  Enumerate (
    Phase      Which,
    CallClass  Class
    )
  {
    std::vector<CallCase>  Cases;

    //
    // The clean run: what the phase calls, and the outcome of a phase that
    // nothing disturbs.
    //
    {
      SCOPED_TRACE (std::string (PhaseName (Which)) + ", clean run");
      NewPlatform ();
      ASSERT_TRUE (Prepare (Which));

      EFI_STATUS  Status = RunPhase ();
      RunFacts    Facts;

      Facts.Which           = Which;
      Facts.Records         = FailableCalls ();
      Facts.Trace           = mAdapter->Trace ();
      Facts.ParentPathBytes = Qd520Sim::DevicePathSize (mAdapter->DevicePath ());
      ASSERT_EQ (mAdapter->PciIo ().TraceOverflow (), 0u) << "trace capacity too small";

      //
      // The log holds every call the platform counted.
      //
      ASSERT_EQ (Platform ().Services ().FailableCalls () - mFailableStart, Facts.Records.size () - mServiceStart);
      ASSERT_EQ (Platform ().Pool ().AllocationCalls () - mAllocStart, PhaseAllocations (Facts.Records).size ());

      Expectation  Clean;

      ExpectOutcome (Clean, Status, nullptr);
      ASSERT_FALSE (::testing::Test::HasFailure ()) << "the clean run must pass before faults are injected";

      switch (Class) {
        case CallClass::BootService:
          for (size_t Index = mServiceStart; Index < Facts.Records.size (); Index++) {
            Role  CallRole = ServiceRole (Facts, Index);

            Cases.push_back (
                    CallCase{ DescribeService (Facts.Records[Index]) + ": " + RoleName (CallRole), CallRole,
                              Facts.Records[Index].Service, Facts.Records[Index].Size, TraceRecord{} }
                    );
          }

          break;

        case CallClass::PoolAllocation:
          for (size_t Index : PhaseAllocations (Facts.Records)) {
            Role  CallRole = ServiceRole (Facts, Index);

            Cases.push_back (
                    CallCase{ DescribeService (Facts.Records[Index]) + ": " + RoleName (CallRole), CallRole,
                              Facts.Records[Index].Service, Facts.Records[Index].Size, TraceRecord{} }
                    );
          }

          break;

        case CallClass::PciIo:
          for (size_t Index : PhasePciIoCalls (Facts.Trace)) {
            Role  CallRole = PciIoRole (Facts.Trace[Index]);

            Cases.push_back (
                    CallCase{ DescribeTrace (Facts.Trace[Index]) + ": " + RoleName (CallRole), CallRole, "", 0,
                              Facts.Trace[Index] }
                    );
          }

          break;
      }
    }

    InjectedCounts ()[std::string (PhaseName (Which)) + ", " + ClassName (Class) + "s"] = Cases.size ();
    for (const CallCase &Case : Cases) {
      RoleCounts ()[std::string (PhaseName (Which)) + ", " + ClassName (Class) + "s: " + RoleName (Case.Which)]++;
    }

    RecordProperty ("InjectedFaults", static_cast<int>(Cases.size ()));

    size_t  FailedRuns = 0;

    for (size_t Number = 1; Number <= Cases.size (); Number++) {
      const CallCase  &Case = Cases[Number - 1];

      SCOPED_TRACE (
        std::string (PhaseName (Which)) + ", " + ClassName (Class) + " " + std::to_string (Number) +
        " (" + Case.Name + ")"
        );

      EFI_STATUS  Injected = (Class == CallClass::BootService) ? ServiceCallTracker::FailureStatus (Case.Service.c_str ()) :
                             (Class == CallClass::PoolAllocation) ? EFI_OUT_OF_RESOURCES : PciIoFailure;
      Expectation  Expected;

      if (!ExpectationFor (Which, Case.Which, Injected, &Expected)) {
        ADD_FAILURE () << "no expectation for call " << Number << ": " << Case.Name;
        continue;
      }

      int  FailuresBefore = FailedParts ();

      RunWithFault (Class, Number, Case, Injected, Expected);

      if (FailedParts () != FailuresBefore) {
        if (++FailedRuns == 8) {
          ADD_FAILURE () << "eight injected runs failed; the remaining " << (Cases.size () - Number) << " are skipped";
          break;
        }
      }
    }
  }

  void
  RunWithFault (
    CallClass          Class,
    size_t             Number,
    const CallCase     &Case,
    EFI_STATUS         Injected,
    const Expectation  &Expected
    )
  {
    NewPlatform ();
    ASSERT_TRUE (Prepare (mPhase));

    switch (Class) {
      case CallClass::BootService:
        Platform ().Services ().FailCall (Number);
        break;

      case CallClass::PoolAllocation:
        Platform ().Pool ().FailAllocation (Number);
        break;

      case CallClass::PciIo:
        ASSERT_TRUE (mAdapter->PciIo ().InjectFailure (Qd520Sim::FailNthCall (Number, PciIoFailure)));
        break;
    }

    EFI_STATUS  Status = RunPhase ();
    const VOID  *Stuck = nullptr;

    ASSERT_EQ (mAdapter->PciIo ().TraceOverflow (), 0u) << "trace capacity too small";

    //
    // The failed call is the one the clean run made at this place.
    //
    switch (Class) {
      case CallClass::BootService:
      {
        EXPECT_FALSE (Platform ().Services ().InjectionPending ());
        std::vector<ServiceRecord>  Records = FailableCalls ();

        ASSERT_GT (Records.size (), mServiceStart + Number - 1);
        const ServiceRecord  &Failed = Records[mServiceStart + Number - 1];

        ASSERT_EQ (std::string (Failed.Service), Case.Service);
        EXPECT_TRUE (Failed.Injected);
        EXPECT_EQ (Failed.Status, Injected);
        if (Expected.BlockStays) {
          EXPECT_TRUE (IsService (Failed, "FreePool"));
          Stuck = Failed.Block;
        }

        break;
      }

      case CallClass::PoolAllocation:
      {
        EXPECT_EQ (Platform ().Pool ().FailedAllocations () - mFailedStart, 1u);
        std::vector<ServiceRecord>  Records     = FailableCalls ();
        std::vector<size_t>         Allocations = PhaseAllocations (Records);

        ASSERT_GE (Allocations.size (), Number);
        EXPECT_EQ (Records[Allocations[Number - 1]].Size, Case.Size);
        EXPECT_EQ (Records[Allocations[Number - 1]].Status, EFI_OUT_OF_RESOURCES);
        break;
      }

      case CallClass::PciIo:
      {
        EXPECT_EQ (mAdapter->PciIo ().PendingInjections (), 0u);
        std::vector<TraceRecord>  Trace = mAdapter->Trace ();
        std::vector<size_t>       Calls = PhasePciIoCalls (Trace);

        ASSERT_GE (Calls.size (), Number);
        const TraceRecord  &Failed = Trace[Calls[Number - 1]];

        ASSERT_EQ (DescribeTrace (Failed), DescribeTrace (Case.Trace));
        EXPECT_EQ (Failed.Status, PciIoFailure);
        break;
      }
    }

    ExpectOutcome (Expected, Status, Stuck);
  }

  SimAdapter                        *mAdapter      = nullptr;
  Phase                             mPhase         = Phase::Entry;
  QDL520_PRIVATE_DATA               *mPrivate      = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL      *mGop          = nullptr;
  std::vector<UINT8>                mRecordBefore;
  std::vector<UINT8>                mInfoBefore;
  VOID                              *mOldLineBuffer = nullptr;
  UINT64                            mOldLineSerial  = 0;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  *mQueryInfo = nullptr;
  UINTN                             mQuerySize      = SizeOfInfoMarker;
  EFI_PHYSICAL_ADDRESS              mPreviousBase   = 0;
  size_t                            mHandlesBefore  = 0;
  size_t                            mServiceStart   = 0;
  UINT64                            mFailableStart  = 0;
  UINT64                            mAllocStart     = 0;
  UINT64                            mFailedStart    = 0;
  size_t                            mTraceStart     = 0;
};

#ifdef QD520_PRODUCTION

/// With nothing to print, the production build leaves the debug port as the
/// platform set it: a port at another speed and format is never reprogrammed
/// through a load, a start, every mode, a refused start and a stop.
TEST_F (DriverTest, ProductionBuildNeverWritesTheSerialPort) {
  Qd520Sim::PlatformOptions  Options;

  Options.UartState = Qd520Sim::Uart16550::InitialState::Fresh;
  ResetPlatform (Options);

  SimAdapter  &Adapter = AddAdapter ();

  ASSERT_EQ (LoadDriver (), EFI_SUCCESS);
  ASSERT_EQ (Binding ()->Start (Binding (), Adapter.Controller (), nullptr), EFI_SUCCESS);
  EXPECT_EQ (Binding ()->Start (Binding (), Adapter.Controller (), nullptr), EFI_ALREADY_STARTED);

  EFI_GRAPHICS_OUTPUT_PROTOCOL  *Gop = GraphicsOutputOn (Adapter.Controller ());

  ASSERT_NE (Gop, nullptr);
  for (UINT32 Mode : { 1u, 2u, 0u }) {
    EXPECT_EQ (Gop->SetMode (Gop, Mode), EFI_SUCCESS);
  }

  EXPECT_EQ (Binding ()->Stop (Binding (), Adapter.Controller (), 0, nullptr), EFI_SUCCESS);
  EXPECT_TRUE (Platform ().Uart ().Writes ().empty ()) << Platform ().Uart ().Writes ().size () << " writes";
  EXPECT_EQ (Platform ().Uart ().Divisor (), 0u);
  EXPECT_EQ (Platform ().Uart ().LineControl (), 0u);
}

#endif

TEST_P (FaultInjectionTest, EachFailedCallHasItsRolesOutcome) {
  Enumerate (GetParam ().Which, GetParam ().Class);
}

std::vector<PhaseAndClass>
EveryPhaseAndClass (
  )
{
  std::vector<PhaseAndClass>  All;

  for (Phase Which : { Phase::Entry, Phase::Start, Phase::Constructor, Phase::SetModeZeroToTwo,
                       Phase::SetModeTwoToZero, Phase::QueryMode })
  {
    for (CallClass Class : { CallClass::BootService, CallClass::PoolAllocation, CallClass::PciIo }) {
      All.push_back (PhaseAndClass{ Which, Class });
    }
  }

  return All;
}

std::string
CaseName (
  const ::testing::TestParamInfo<PhaseAndClass>  &Info
  )
{
  std::string  Name;

  for (char Character : std::string (PhaseName (Info.param.Which)) + " " + ClassName (Info.param.Class) + "s") {
    if (std::isalnum (static_cast<unsigned char>(Character))) {
      Name.push_back (Character);
    } else if (!Name.empty () && (Name.back () != '_')) {
      Name.push_back ('_');
    }
  }

  return Name;
}

INSTANTIATE_TEST_SUITE_P (EveryPhase, FaultInjectionTest, ::testing::ValuesIn (EveryPhaseAndClass ()), CaseName);

//
// The numbers of injected faults are printed at the end.
//
class FaultInjectionEnvironment : public ::testing::Environment {
public:
  void
  TearDown (
    ) override
  {
    for (const auto &Count : InjectedCounts ()) {
      std::cout << "[ faults   ] " << Count.first << ": " << Count.second << "\n";
    }

    for (const auto &Count : RoleCounts ()) {
      std::cout << "[ roles    ] " << Count.first << ": " << Count.second << "\n";
    }

    for (const auto &Line : GroupLines ()) {
      std::cout << "[ asserts  ] " << Line.first << ": line " << Line.second << "\n";
    }
  }
};

const ::testing::Environment  *const  gReport = ::testing::AddGlobalTestEnvironment (new FaultInjectionEnvironment);

} // namespace
} // namespace Qd520Test
