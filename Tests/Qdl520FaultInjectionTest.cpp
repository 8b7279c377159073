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

#include "FaultInjection/FaultInjectionFixture.h"

#include <cctype>
#include <iostream>

namespace Qd520Test {
namespace {

using FaultInjection::CallClass;
using FaultInjection::FaultInjectionTest;
using FaultInjection::Phase;
using FaultInjection::PhaseAndClass;

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

  for (char Character : std::string (FaultInjection::PhaseName (Info.param.Which)) + " " + FaultInjection::ClassName (Info.param.Class) + "s") {
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
    for (const auto &Count : FaultInjection::InjectedCounts ()) {
      std::cout << "[ faults   ] " << Count.first << ": " << Count.second << "\n";
    }

    for (const auto &Count : FaultInjection::RoleCounts ()) {
      std::cout << "[ roles    ] " << Count.first << ": " << Count.second << "\n";
    }

    for (const auto &Line : FaultInjection::GroupLines ()) {
      std::cout << "[ asserts  ] " << Line.first << ": line " << Line.second << "\n";
    }
  }
};

const ::testing::Environment  *const  gReport = ::testing::AddGlobalTestEnvironment (new FaultInjectionEnvironment);

} // namespace
} // namespace Qd520Test
