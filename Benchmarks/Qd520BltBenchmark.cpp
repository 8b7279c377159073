/** @file
  Block transfers in mode 2 (1024x768) on the simulated adapter, each beside
  the plain memory operation that moves the same bytes in the same run:

    full-screen fill           memset
    full-screen buffer->video  memcpy into the frame buffer
    full-screen video->buffer  memcpy out of the frame buffer
    scroll up one line         memmove within the frame buffer

  After the runs it prints the ratio of each transfer to its counterpart
  (median times of the repetitions) against the goal, and exits with 1 when
  a goal is missed. The adapter's trace is off: it records every call and
  would measure the simulator, not the driver.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include "Qdl520.h"

extern "C" {
#include <Library/UefiDriverEntryPoint.h>
}

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
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

  for (auto _ : State) {
    Check (State, B.Gop->Blt (B.Gop, &Colour, EfiBltVideoFill, 0, 0, 0, 0, kWidth, kHeight, 0));
    benchmark::ClobberMemory ();
  }

  State.SetBytesProcessed (State.iterations () * kBytes);
}

void
BltBufferToVideo (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  for (auto _ : State) {
    Check (State, B.Gop->Blt (B.Gop, B.Buffer.data (), EfiBltBufferToVideo, 0, 0, 0, 0, kWidth, kHeight, 0));
    benchmark::ClobberMemory ();
  }

  State.SetBytesProcessed (State.iterations () * kBytes);
}

void
BltVideoToBuffer (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  for (auto _ : State) {
    Check (State, B.Gop->Blt (B.Gop, B.Buffer.data (), EfiBltVideoToBltBuffer, 0, 0, 0, 0, kWidth, kHeight, 0));
    benchmark::ClobberMemory ();
  }

  State.SetBytesProcessed (State.iterations () * kBytes);
}

void
BltScrollOneLine (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  for (auto _ : State) {
    Check (State, B.Gop->Blt (B.Gop, nullptr, EfiBltVideoToVideo, 0, 1, 0, 0, kWidth, kHeight - 1, 0));
    benchmark::ClobberMemory ();
  }

  State.SetBytesProcessed (State.iterations () * (kBytes - kLine));
}

//
// The same bytes moved by the C library.
//

void
Memset (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  for (auto _ : State) {
    std::memset (B.Screen, 0x3C, kBytes);
    benchmark::DoNotOptimize (B.Screen);
    benchmark::ClobberMemory ();
  }

  State.SetBytesProcessed (State.iterations () * kBytes);
}

void
MemcpyToScreen (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  for (auto _ : State) {
    std::memcpy (B.Screen, B.Buffer.data (), kBytes);
    benchmark::DoNotOptimize (B.Screen);
    benchmark::ClobberMemory ();
  }

  State.SetBytesProcessed (State.iterations () * kBytes);
}

void
MemcpyFromScreen (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  for (auto _ : State) {
    std::memcpy (B.Buffer.data (), B.Screen, kBytes);
    benchmark::DoNotOptimize (B.Buffer.data ());
    benchmark::ClobberMemory ();
  }

  State.SetBytesProcessed (State.iterations () * kBytes);
}

void
MemmoveOneLine (
  benchmark::State  &State
  )
{
  Bench  &B = TheBench ();

  for (auto _ : State) {
    std::memmove (B.Screen, B.Screen + kLine, kBytes - kLine);
    benchmark::DoNotOptimize (B.Screen);
    benchmark::ClobberMemory ();
  }

  State.SetBytesProcessed (State.iterations () * (kBytes - kLine));
}

using BenchmarkFunction = void (*)(benchmark::State &);

/// One transfer, its counterpart and the ratio it must stay within.
struct Pairing {
  const char           *Transfer;
  BenchmarkFunction    TransferRun;
  const char           *Counterpart;
  BenchmarkFunction    CounterpartRun;
  double               Goal;
};

const Pairing  kPairings[] = {
  { "BltFill",          BltFill,          "Memset",           Memset,           1.15 },
  { "BltBufferToVideo", BltBufferToVideo, "MemcpyToScreen",   MemcpyToScreen,   1.15 },
  { "BltVideoToBuffer", BltVideoToBuffer, "MemcpyFromScreen", MemcpyFromScreen, 1.15 },
  { "BltScrollOneLine", BltScrollOneLine, "MemmoveOneLine",   MemmoveOneLine,   2.3  },
};

/// Console output as usual, and the median real time of every benchmark
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
      } else if ((Item.run_type == Run::RT_Aggregate) && (Item.aggregate_name == "median")) {
        mMedian[Item.run_name.function_name] = Item.GetAdjustedRealTime ();
      } else if (Item.run_type == Run::RT_Iteration) {
        mSingle[Item.run_name.function_name] = Item.GetAdjustedRealTime ();
      }
    }
  }

  /// Median time, or the single run's when there were no repetitions.
  bool
  TimeOf (
    const std::string  &Name,
    double             *Time
    ) const
  {
    auto  Found = mMedian.find (Name);

    if (Found == mMedian.end ()) {
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
  std::map<std::string, double>  mMedian;
  std::map<std::string, double>  mSingle;
  bool                           mErrors = false;
};

} // namespace

int
main (
  int   argc,
  char  **argv
  )
{
  if (!SetUpBench ()) {
    std::fprintf (stderr, "qd520-bench: the driver did not start in mode %u on the simulated adapter\n", kMode);
    return 2;
  }

  //
  // Each transfer runs right after its counterpart, on the same memory.
  //
  for (const Pairing &Pair : kPairings) {
    benchmark::RegisterBenchmark (Pair.Counterpart, Pair.CounterpartRun)->Unit (benchmark::kMicrosecond)->Repetitions (5)->ReportAggregatesOnly (true);
    benchmark::RegisterBenchmark (Pair.Transfer, Pair.TransferRun)->Unit (benchmark::kMicrosecond)->Repetitions (5)->ReportAggregatesOnly (true);
  }

  benchmark::Initialize (&argc, argv);
  if (benchmark::ReportUnrecognizedArguments (argc, argv)) {
    return 2;
  }

  RatioReporter  Reporter;
  benchmark::RunSpecifiedBenchmarks (&Reporter);
  benchmark::Shutdown ();

  bool  Missed = Reporter.Errors ();
  std::printf ("\n%-18s %-18s %8s %8s  %s\n", "transfer", "beside", "ratio", "goal", "");
  for (const Pairing &Pair : kPairings) {
    double  Transfer;
    double  Counterpart;

    if (!Reporter.TimeOf (Pair.Transfer, &Transfer) || !Reporter.TimeOf (Pair.Counterpart, &Counterpart) ||
        (Counterpart <= 0))
    {
      std::printf ("%-18s %-18s %8s %7.2fx  not run\n", Pair.Transfer, Pair.Counterpart, "-", Pair.Goal);
      continue;
    }

    double  Ratio = Transfer / Counterpart;
    bool    Met   = Ratio <= Pair.Goal;
    Missed = Missed || !Met;
    std::printf ("%-18s %-18s %7.2fx %7.2fx  %s\n", Pair.Transfer, Pair.Counterpart, Ratio, Pair.Goal, Met ? "met" : "MISSED");
  }

  return Missed ? 1 : 0;
}
