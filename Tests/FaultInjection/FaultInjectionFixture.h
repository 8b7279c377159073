/** @file
  Fault injection, the fixture: a clean run of a phase lists its calls;
  then, for each in turn, a fresh platform is brought to the same point and
  just that call is failed, and the outcome is checked against what the
  call's role owes (FaultExpectations.h).

  FaultInjectionRun.cpp brings platforms to a phase, runs it and enumerates
  the faults; FaultInjectionOutcome.cpp checks an outcome.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_FAULT_INJECTION_FIXTURE_H_
#define QD520_FAULT_INJECTION_FIXTURE_H_

#include "CallRoles.h"
#include "FaultExpectations.h"

#include "Qdl520.h"

#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace Qd520Test {
namespace FaultInjection {

constexpr UINT64  InitialAttributes = EFI_PCI_IO_ATTRIBUTE_IO;
constexpr UINT64  EnableAttributes  = EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY |
                                      EFI_PCI_IO_ATTRIBUTE_BUS_MASTER;

/// Records kept per adapter: several mode sets with room to spare.
constexpr size_t  TraceCapacity = 1 << 13;

/// Status of an injected PCI I/O failure.
constexpr EFI_STATUS  PciIoFailure = EFI_DEVICE_ERROR;

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
  );

/// Faults injected per phase and class, and per role within them, for the
/// summary.
std::map<std::string, size_t> &
InjectedCounts (
  );

std::map<std::string, size_t> &
RoleCounts (
  );

/// One enumeration: the phase and the class of calls failed in it.
struct PhaseAndClass {
  Phase        Which;
  CallClass    Class;
};

void
PrintTo (
  const PhaseAndClass  &Param,
  std::ostream         *Stream
  );

class FaultInjectionTest : public DriverTest, public ::testing::WithParamInterface<PhaseAndClass> {
protected:
  //
  // Bringing a platform to a phase, running it, enumerating the faults
  // (FaultInjectionRun.cpp).
  //

  /// A fresh platform with one QD520 that logs every boot-service call;
  /// the previous one goes, and its tear-down must be clean.
  void
  NewPlatform (
    );

  EFI_HANDLE
  Controller (
    )
  {
    return mAdapter->Controller ();
  }

  /// The logged boot-service calls that can fail, oldest first.
  std::vector<ServiceRecord>
  FailableCalls (
    );

  /// The context the constructor is given: prepared as Start prepares it.
  bool
  PrepareContext (
    );

  /// Byte offsets of the frame-buffer words that show whether the phase
  /// cleared the screen.
  std::vector<UINTN>
  SentinelOffsets (
    );

  void
  PaintSentinels (
    );

  /// Brings the fresh platform to the start of the phase; false (with a
  /// failure) when the way there fails.
  bool
  Prepare (
    Phase  Which
    );

  EFI_STATUS
  RunPhase (
    );

  /// PCI I/O calls of the phase: indexes of the trace records other than delays.
  std::vector<size_t>
  PhasePciIoCalls (
    const std::vector<TraceRecord>  &Trace
    );

  /// Indexes (into Records) of the phase's AllocatePool calls.
  std::vector<size_t>
  PhaseAllocations (
    const std::vector<ServiceRecord>  &Records
    );

  /// The clean run of Which, then one run per call of Class in it with
  /// just that call failed.
  void
  Enumerate (
    Phase      Which,
    CallClass  Class
    );

  /// Call Number of Class failed on a fresh platform; the call must be the
  /// clean run's Case and the outcome Expected.
  void
  RunWithFault (
    CallClass          Class,
    size_t             Number,
    const CallCase     &Case,
    EFI_STATUS         Injected,
    const Expectation  &Expected
    );

  //
  // Checks of an outcome (FaultInjectionOutcome.cpp).
  //

  /// Live pool blocks are exactly Expected (address and size) plus Stuck.
  void
  ExpectLiveBlocks (
    std::vector<std::pair<const VOID *, UINTN> >  Expected,
    const VOID                                    *Stuck
    );

  size_t
  DriverOpens (
    );

  void
  ExpectScreen (
    bool  Cleared
    );

  void
  ExpectInfoDescribes (
    const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION  &Info,
    UINT32                                      ModeNumber
    );

  /// The pool blocks a running display owns.
  std::vector<std::pair<const VOID *, UINTN> >
  DisplayBlocks (
    QDL520_PRIVATE_DATA  *Private,
    bool                 WithLineBuffer
    );

  /// A display that runs in the phase's target mode; false when the records
  /// are missing that Stop would need.
  bool
  ExpectRunning (
    QDL520_PRIVATE_DATA  *Private,
    const Expectation    &Expected,
    const VOID           *Stuck
    );

  /// Stop gives everything back; only Stuck stays.
  void
  StopAndExpectNothingHeld (
    const VOID  *Stuck
    );

  /// The first assertion of the phase and the serial text up to it.
  void
  ExpectAssertionsAndText (
    const Expectation  &Expected
    );

  /// Attribute calls of the phase that put attributes back.
  void
  ExpectAttributesRestored (
    bool  Restored
    );

  void
  ExpectOutcome (
    const Expectation  &Expected,
    EFI_STATUS         Status,
    const VOID         *Stuck
    );

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

} // namespace FaultInjection
} // namespace Qd520Test

#endif // QD520_FAULT_INJECTION_FIXTURE_H_
