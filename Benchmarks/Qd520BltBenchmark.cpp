/** @file
  Block transfers in mode 2 (1024x768) on the simulated adapter, each beside
  the physical limit of its own algorithm, measured in the same run:

    full-screen fill           memset of the same rows, row by row
    full-screen buffer->video  memcpy of the same rows into the frame buffer
    full-screen video->buffer  memcpy of the same rows out of the frame buffer
    scroll up one line         two row-by-row memcpy passes through a staging
                               buffer of the screen's size (the protocol's
                               move reads every source row before it writes
                               one)

  and, for reference, the one C-library call that moves the same bytes
  (memset, memcpy, an in-place memmove). After the runs it prints the ratio
  of each transfer to its limit (the shortest CPU time of the repetitions)
  against the goal and to the reference, and exits with 1 when a goal is
  missed. The repetitions of all benchmarks run short and interleaved in a
  random order, so that a slower or faster stretch of a shared machine
  falls on a transfer and its limit alike; other work can only add time,
  so the shortest repetition is the one it disturbed least. The adapter's
  trace is off: it records every call and would measure the simulator, not
  the driver.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include "Qdl520.h"

extern "C" {
#include <Library/UefiDriverEntryPoint.h>
}

#include <benchmark/benchmark.h>

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr UINT32  kMode   = 2;
constexpr UINTN   kWidth  = 1024;
constexpr UINTN   kHeight = 768;
constexpr UINTN   kBytes  = kWidth * kHeight * 4;
constexpr UINTN   kLine   = kWidth * 4;

/// The platform with the driver started and mode 2 set, built once.
struct Bench {
  std::unique_ptr<Qd520Sim::SimPlatform>     Platform;
  Qd520Sim::SimAdapter                       *Adapter = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL               *Gop     = nullptr;
  std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> Buffer;
  std::vector<UINT8>                         Staging;
  UINT8                                      *Screen  = nullptr;
};

Bench &
TheBench (
  )
{
  static Bench  Instance;

  return Instance;
}

bool
SetUpBench (
  )
{
  Bench  &B = TheBench ();

  B.Platform = std::make_unique<Qd520Sim::SimPlatform>();
  B.Adapter  = &B.Platform->AddAdapter ();
  B.Adapter->FillRegisters (0x5A5A1234);
  if (EFI_ERROR (_ModuleEntryPoint (B.Platform->ImageHandle (), B.Platform->SystemTable ())) ||
      EFI_ERROR (B.Platform->Connect (B.Adapter->Controller ())))
  {
    return false;
  }

  B.Gop = static_cast<EFI_GRAPHICS_OUTPUT_PROTOCOL *>(
            B.Platform->Handles ().InterfaceOn (B.Adapter->Controller (), gEfiGraphicsOutputProtocolGuid)
            );
  if ((B.Gop == nullptr) || EFI_ERROR (B.Gop->SetMode (B.Gop, kMode)) ||
      (B.Gop->Mode->Info->PixelsPerScanLine != kWidth) || (B.Gop->Mode->Info->VerticalResolution != kHeight))
  {
    return false;
  }

  B.Adapter->PciIo ().SetTracing (FALSE);
  B.Adapter->ClearTrace ();
  B.Screen = B.Adapter->FrameBuffer ();
  B.Buffer.resize (kWidth * kHeight);
  B.Staging.resize (kBytes);
  for (UINTN Index = 0; Index < B.Buffer.size (); Index++) {
    UINT32  Value = static_cast<UINT32>(Index * 2654435761u);
    std::memcpy (&B.Buffer[Index], &Value, sizeof (Value));
  }

  std::memcpy (B.Screen, B.Buffer.data (), kBytes);
  return B.Platform->Assertions ().empty ();
}

void
Check (
  benchmark::State  &State,
  EFI_STATUS        Status
  )
{
  if (EFI_ERROR (Status)) {
    State.SkipWithError ("Blt failed");
  }
}

/// Runs Body once per iteration, makes its stores happen, and counts Bytes
/// per iteration.
template <typename BODY>
void
Measure (
  benchmark::State  &State,
  UINTN             Bytes,
  BODY              Body
  )
{
  for (auto _ : State) {
    Body ();
    benchmark::ClobberMemory ();
  }

  State.SetBytesProcessed (State.iterations () * Bytes);
}

//
// Through the protocol.
//

void
BltFill (
  benchmark::State  &State
  )
{
  Bench                          &B     = TheBench ();
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Colour = B.Buffer[12345];

  Measure (State, kBytes, [&]() {
    Check (State, B.Gop->Blt (B.Gop, &Colour, EfiBltVideoFill, 0, 0, 0, 0, kWidth, kHeight, 0));
  });
}

void
BltBufferToVideo (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  Measure (State, kBytes, [&]() {
    Check (State, B.Gop->Blt (B.Gop, B.Buffer.data (), EfiBltBufferToVideo, 0, 0, 0, 0, kWidth, kHeight, 0));
  });
}

void
BltVideoToBuffer (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  Measure (State, kBytes, [&]() {
    Check (State, B.Gop->Blt (B.Gop, B.Buffer.data (), EfiBltVideoToBltBuffer, 0, 0, 0, 0, kWidth, kHeight, 0));
  });
}

void
BltScrollOneLine (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  Measure (State, kBytes - kLine, [&]() {
    Check (State, B.Gop->Blt (B.Gop, nullptr, EfiBltVideoToVideo, 0, 1, 0, 0, kWidth, kHeight - 1, 0));
  });
}

//
// The limits: the same rows moved by the C library, one call per row. Each
// row's address goes through Row () so that the compiler cannot merge the
// calls for contiguous rows into one call over the whole screen (it does
// for the memset), which would measure the reference, not the limit.
//

template <typename Type>
Type *
Row (
  Type   *Base,
  UINTN  Index
  )
{
  Type  *Address = Base + Index * kLine;

  benchmark::DoNotOptimize (Address);
  return Address;
}

void
MemsetRows (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  Measure (State, kBytes, [&]() {
    for (UINTN Index = 0; Index < kHeight; Index++) {
      std::memset (Row (B.Screen, Index), 0x3C, kLine);
    }
  });
}

void
MemcpyRowsToScreen (
  benchmark::State  &State
  )
{
  Bench        &B     = TheBench ();
  const UINT8  *Bytes = reinterpret_cast<const UINT8 *>(B.Buffer.data ());

  Measure (State, kBytes, [&]() {
    for (UINTN Index = 0; Index < kHeight; Index++) {
      std::memcpy (Row (B.Screen, Index), Row (Bytes, Index), kLine);
    }
  });
}

void
MemcpyRowsFromScreen (
  benchmark::State  &State
  )
{
  Bench  &B     = TheBench ();
  UINT8  *Bytes = reinterpret_cast<UINT8 *>(B.Buffer.data ());

  Measure (State, kBytes, [&]() {
    for (UINTN Index = 0; Index < kHeight; Index++) {
      std::memcpy (Row (Bytes, Index), Row (B.Screen, Index), kLine);
    }
  });
}

void
TwoRowPassesOneLine (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  Measure (State, kBytes - kLine, [&]() {
    for (UINTN Index = 0; Index < kHeight - 1; Index++) {
      std::memcpy (Row (B.Staging.data (), Index), Row (B.Screen, Index + 1), kLine);
    }

    for (UINTN Index = 0; Index < kHeight - 1; Index++) {
      std::memcpy (Row (B.Screen, Index), Row (B.Staging.data (), Index), kLine);
    }
  });
}

//
// For reference: the same bytes moved by one C-library call.
//

void
Memset (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  Measure (State, kBytes, [&]() { std::memset (B.Screen, 0x3C, kBytes); });
}

void
MemcpyToScreen (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  Measure (State, kBytes, [&]() { std::memcpy (B.Screen, B.Buffer.data (), kBytes); });
}

void
MemcpyFromScreen (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  Measure (State, kBytes, [&]() { std::memcpy (B.Buffer.data (), B.Screen, kBytes); });
}

void
MemmoveOneLine (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  Measure (State, kBytes - kLine, [&]() { std::memmove (B.Screen, B.Screen + kLine, kBytes - kLine); });
}

using BenchmarkFunction = void (*)(benchmark::State &);

/// One transfer, the limit of its algorithm, the ratio to the limit it must
/// stay within, and the single call that moves the same bytes.
struct Pairing {
  const char           *Transfer;
  BenchmarkFunction    TransferRun;
  const char           *Limit;
  BenchmarkFunction    LimitRun;
  double               Goal;
  const char           *Reference;
  BenchmarkFunction    ReferenceRun;
};

const Pairing  kPairings[] = {
  { "BltFill",          BltFill,          "MemsetRows",           MemsetRows,           1.10, "Memset",           Memset           },
  { "BltBufferToVideo", BltBufferToVideo, "MemcpyRowsToScreen",   MemcpyRowsToScreen,   1.10, "MemcpyToScreen",   MemcpyToScreen   },
  { "BltVideoToBuffer", BltVideoToBuffer, "MemcpyRowsFromScreen", MemcpyRowsFromScreen, 1.10, "MemcpyFromScreen", MemcpyFromScreen },
  { "BltScrollOneLine", BltScrollOneLine, "TwoRowPassesOneLine",  TwoRowPassesOneLine,  1.10, "MemmoveOneLine",   MemmoveOneLine   },
};

constexpr int     kRepetitions   = 25;
constexpr double  kMinimumTime   = 0.1;   // seconds per repetition

/// Console output as usual, and the shortest CPU time of every benchmark
/// kept for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void
  ReportRuns (
    const std::vector<Run>  &Runs
    ) override
  {
    ConsoleReporter::ReportRuns (Runs);
    for (const Run &Item : Runs) {
      if (Item.error_occurred) {
        mErrors = true;
      } else if ((Item.run_type == Run::RT_Aggregate) && (Item.aggregate_name == "min")) {
        mShortest[Item.run_name.function_name] = Item.GetAdjustedCPUTime ();
      } else if (Item.run_type == Run::RT_Iteration) {
        mSingle[Item.run_name.function_name] = Item.GetAdjustedCPUTime ();
      }
    }
  }

  /// Shortest time, or the single run's when there were no repetitions.
  bool
  TimeOf (
    const std::string  &Name,
    double             *Time
    ) const
  {
    auto  Found = mShortest.find (Name);

    if (Found == mShortest.end ()) {
      Found = mSingle.find (Name);
      if (Found == mSingle.end ()) {
        return false;
      }
    }

    *Time = Found->second;
    return true;
  }

  bool
  Errors (
    ) const
  {
    return mErrors;
  }

private:
  std::map<std::string, double>  mShortest;
  std::map<std::string, double>  mSingle;
  bool                           mErrors = false;
};

} // namespace

/// The processor's name as the system gives it, with the features that
/// decide how fast rows move.
std::string
ProcessorName (
  )
{
  std::ifstream  CpuInfo ("/proc/cpuinfo");
  std::string    Line;
  std::string    Name = "an unnamed processor";
  std::string    Features;

  while (std::getline (CpuInfo, Line)) {
    std::string  Value = Line.substr (Line.find (':') == std::string::npos ? Line.size () : Line.find (':') + 1);

    Value.erase (0, Value.find_first_not_of (' '));
    if ((Line.rfind ("model name", 0) == 0) && (Name == "an unnamed processor")) {
      Name = Value;
    } else if ((Line.rfind ("flags", 0) == 0) && Features.empty ()) {
      for (const char *Flag : { "avx2", "avx512f", "erms", "fsrm" }) {
        if ((" " + Value + " ").find (std::string (" ") + Flag + " ") != std::string::npos) {
          Features += std::string (Features.empty () ? "" : ", ") + Flag;
        }
      }
    }
  }

  return Features.empty () ? Name : Name + " (" + Features + ")";
}

int
main (
  int   argc,
  char  **argv
  )
{
  //
  // One CPU for the whole run: a move to another CPU in the middle of a
  // repetition leaves the screen in the other CPU's caches and shows as
  // noise in whichever of a pair it hits.
  //
  cpu_set_t  Cpus;
  int        Cpu = sched_getcpu ();

  CPU_ZERO (&Cpus);
  if (Cpu >= 0) {
    CPU_SET (Cpu, &Cpus);
    sched_setaffinity (0, sizeof (Cpus), &Cpus);
  }

  if (!SetUpBench ()) {
    std::fprintf (stderr, "qd520-bench: the driver did not start in mode %u on the simulated adapter\n", kMode);
    return 2;
  }

  //
  // Every transfer, its limit and its reference work on the same memory.
  //
  for (const Pairing &Pair : kPairings) {
    for (auto Run : { std::make_pair (Pair.Limit, Pair.LimitRun), std::make_pair (Pair.Transfer, Pair.TransferRun),
                      std::make_pair (Pair.Reference, Pair.ReferenceRun) })
    {
      benchmark::RegisterBenchmark (Run.first, Run.second)
        ->Unit (benchmark::kMicrosecond)
        ->Repetitions (kRepetitions)
        ->MinTime (kMinimumTime)
        ->ComputeStatistics ("min", [](const std::vector<double> &Times) {
          return *std::min_element (Times.begin (), Times.end ());
        })
        ->ReportAggregatesOnly (true);
    }
  }

  //
  // Interleaving is a library flag, not a registration setting: it goes
  // first, so that the command line may still turn it off.
  //
  std::vector<char *>  Arguments (argv, argv + argc);
  char                 Interleave[] = "--benchmark_enable_random_interleaving=true";

  Arguments.insert (Arguments.begin () + 1, Interleave);
  argc = static_cast<int>(Arguments.size ());
  Arguments.push_back (nullptr);
  argv = Arguments.data ();
  benchmark::Initialize (&argc, argv);
  if (benchmark::ReportUnrecognizedArguments (argc, argv)) {
    return 2;
  }

  RatioReporter  Reporter;
  benchmark::RunSpecifiedBenchmarks (&Reporter);
  benchmark::Shutdown ();

  bool               Missed    = Reporter.Errors ();
  const std::string  Processor = ProcessorName ();

  std::printf ("\nshortest CPU time of %d repetitions on %s\n", kRepetitions, Processor.c_str ());
  std::printf ("%-18s %-22s %8s %7s  %-6s  %-18s %8s\n", "transfer", "limit", "ratio", "goal", "", "reference", "ratio");
  for (const Pairing &Pair : kPairings) {
    double  Transfer;
    double  Limit;
    double  Reference;

    if (!Reporter.TimeOf (Pair.Transfer, &Transfer) || !Reporter.TimeOf (Pair.Limit, &Limit) || (Limit <= 0)) {
      std::printf ("%-18s %-22s %8s %6.2fx  not run\n", Pair.Transfer, Pair.Limit, "-", Pair.Goal);
      continue;
    }

    double  Ratio = Transfer / Limit;
    bool    Met   = Ratio <= Pair.Goal;

    Missed = Missed || !Met;
    std::printf ("%-18s %-22s %7.2fx %6.2fx  %-6s  %-18s", Pair.Transfer, Pair.Limit, Ratio, Pair.Goal, Met ? "met" : "MISSED",
                 Pair.Reference);
    if (Reporter.TimeOf (Pair.Reference, &Reference) && (Reference > 0)) {
      std::printf (" %7.2fx\n", Transfer / Reference);
    } else {
      std::printf (" %8s\n", "-");
    }
  }

  if (Missed) {
    std::printf ("a goal was missed on %s\n", Processor.c_str ());
  }

  return Missed ? 1 : 0;
}
