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
  (memset, memcpy, an in-place memmove). Each pairing runs in rounds: a
  round times the transfer and its limit back to back, in an order that
  alternates from round to round, then the reference, by the CPU clock of
  the thread. The two of a round meet the same caches and the same load of
  a shared machine, so the ratio of a round is little disturbed by it, and
  the median of the rounds' ratios still less; a stretch of other work that
  slows one of them shows in the quartiles. After the runs it prints each
  transfer's median ratio to its limit against the goal, with the
  quartiles, and its ratio to the reference, and exits with 1 when a goal
  is missed. The adapter's trace is off: it records every call and would
  measure the simulator, not the driver.

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
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
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

constexpr UINTN   kPage   = 4096;

/// The platform with the driver started and mode 2 set, built once. The
/// caller's buffer and the limit's staging buffer start on a page, as the
/// frame buffer does: on some processors the C library's copy of a row
/// slows down several times when its destination lies a few bytes past its
/// source in the page, which would make no limit at all.
struct Bench {
  std::unique_ptr<Qd520Sim::SimPlatform>  Platform;
  Qd520Sim::SimAdapter                    *Adapter = nullptr;
  EFI_GRAPHICS_OUTPUT_PROTOCOL            *Gop     = nullptr;
  std::vector<UINT8>                      Memory;
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL           *Buffer  = nullptr;
  UINT8                                   *Staging = nullptr;
  UINT8                                   *Screen  = nullptr;
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
  B.Memory.resize (2 * kBytes + kPage);
  B.Buffer  = reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(
                (reinterpret_cast<UINTN>(B.Memory.data ()) + kPage - 1) & ~(kPage - 1)
                );
  B.Staging = reinterpret_cast<UINT8 *>(B.Buffer) + kBytes;
  for (UINTN Index = 0; Index < kWidth * kHeight; Index++) {
    UINT32  Value = static_cast<UINT32>(Index * 2654435761u);
    std::memcpy (&B.Buffer[Index], &Value, sizeof (Value));
  }

  std::memcpy (B.Screen, B.Buffer, kBytes);
  return B.Platform->Assertions ().empty ();
}

bool  gFailed = false;   ///< a Blt returned an error

void
Check (
  EFI_STATUS  Status
  )
{
  gFailed = gFailed || EFI_ERROR (Status);
}

//
// Through the protocol.
//

void
BltFill (
  )
{
  Bench                          &B     = TheBench ();
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL  Colour = B.Buffer[12345];

  Check (B.Gop->Blt (B.Gop, &Colour, EfiBltVideoFill, 0, 0, 0, 0, kWidth, kHeight, 0));
}

void
BltBufferToVideo (
  )
{
  Bench  &B = TheBench ();

  Check (B.Gop->Blt (B.Gop, B.Buffer, EfiBltBufferToVideo, 0, 0, 0, 0, kWidth, kHeight, 0));
}

void
BltVideoToBuffer (
  )
{
  Bench  &B = TheBench ();

  Check (B.Gop->Blt (B.Gop, B.Buffer, EfiBltVideoToBltBuffer, 0, 0, 0, 0, kWidth, kHeight, 0));
}

void
BltScrollOneLine (
  )
{
  Bench  &B = TheBench ();

  Check (B.Gop->Blt (B.Gop, nullptr, EfiBltVideoToVideo, 0, 1, 0, 0, kWidth, kHeight - 1, 0));
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
  )
{
  Bench  &B = TheBench ();

  for (UINTN Index = 0; Index < kHeight; Index++) {
    std::memset (Row (B.Screen, Index), 0x3C, kLine);
  }
}

void
MemcpyRowsToScreen (
  )
{
  Bench        &B     = TheBench ();
  const UINT8  *Bytes = reinterpret_cast<const UINT8 *>(B.Buffer);

  for (UINTN Index = 0; Index < kHeight; Index++) {
    std::memcpy (Row (B.Screen, Index), Row (Bytes, Index), kLine);
  }
}

void
MemcpyRowsFromScreen (
  )
{
  Bench  &B     = TheBench ();
  UINT8  *Bytes = reinterpret_cast<UINT8 *>(B.Buffer);

  for (UINTN Index = 0; Index < kHeight; Index++) {
    std::memcpy (Row (Bytes, Index), Row (B.Screen, Index), kLine);
  }
}

void
TwoRowPassesOneLine (
  )
{
  Bench  &B = TheBench ();

  for (UINTN Index = 0; Index < kHeight - 1; Index++) {
    std::memcpy (Row (B.Staging, Index), Row (B.Screen, Index + 1), kLine);
  }

  for (UINTN Index = 0; Index < kHeight - 1; Index++) {
    std::memcpy (Row (B.Screen, Index), Row (B.Staging, Index), kLine);
  }
}

//
// For reference: the same bytes moved by one C-library call.
//

void
Memset (
  )
{
  Bench  &B = TheBench ();

  std::memset (B.Screen, 0x3C, kBytes);
}

void
MemcpyToScreen (
  )
{
  Bench  &B = TheBench ();

  std::memcpy (B.Screen, B.Buffer, kBytes);
}

void
MemcpyFromScreen (
  )
{
  Bench  &B = TheBench ();

  std::memcpy (B.Buffer, B.Screen, kBytes);
}

void
MemmoveOneLine (
  )
{
  Bench  &B = TheBench ();

  std::memmove (B.Screen, B.Screen + kLine, kBytes - kLine);
}

using Body = void (*)();

/// One transfer, the limit of its algorithm, the ratio to the limit it must
/// stay within, and the single call that moves the same bytes.
struct Pairing {
  const char    *Transfer;
  Body          TransferRun;
  const char    *Limit;
  Body          LimitRun;
  double        Goal;
  const char    *Reference;
  Body          ReferenceRun;
};

const Pairing  kPairings[] = {
  { "BltFill",          BltFill,          "MemsetRows",           MemsetRows,           1.10, "Memset",           Memset           },
  { "BltBufferToVideo", BltBufferToVideo, "MemcpyRowsToScreen",   MemcpyRowsToScreen,   1.10, "MemcpyToScreen",   MemcpyToScreen   },
  { "BltVideoToBuffer", BltVideoToBuffer, "MemcpyRowsFromScreen", MemcpyRowsFromScreen, 1.10, "MemcpyFromScreen", MemcpyFromScreen },
  { "BltScrollOneLine", BltScrollOneLine, "TwoRowPassesOneLine",  TwoRowPassesOneLine,  1.10, "MemmoveOneLine",   MemmoveOneLine   },
};

constexpr int  kRounds        = 400;   // rounds of each pairing, an even number
constexpr int  kRunsPerTiming = 2;     // runs of one body under one reading of the clock

/// CPU time of this thread: time other work takes the processor away does
/// not count.
double
CpuSeconds (
  )
{
  timespec  Now;

  clock_gettime (CLOCK_THREAD_CPUTIME_ID, &Now);
  return static_cast<double>(Now.tv_sec) + static_cast<double>(Now.tv_nsec) * 1e-9;
}

/// Seconds of one run of Run, from kRunsPerTiming runs.
double
TimeOf (
  Body  Run
  )
{
  double  Start = CpuSeconds ();

  for (int Index = 0; Index < kRunsPerTiming; Index++) {
    Run ();
    benchmark::ClobberMemory ();
  }

  return (CpuSeconds () - Start) / kRunsPerTiming;
}

/// The Fraction quantile of Values (0.5: the median).
double
Quantile (
  std::vector<double>  Values,
  double               Fraction
  )
{
  std::sort (Values.begin (), Values.end ());
  return Values[static_cast<size_t>(Fraction * static_cast<double>(Values.size () - 1) + 0.5)];
}

/// A pairing measured in rounds: each round runs the transfer and its limit
/// back to back, then the reference, so that the two meet the same load of
/// the machine. Whichever of the two runs second finds more of the memory
/// in the caches, so the order alternates, and the ratio is taken over two
/// rounds, one in each order: the transfer's time over the limit's, summed.
/// The reported ratio is the median of those.
void
MeasurePairing (
  benchmark::State  &State,
  const Pairing     *Pair
  )
{
  std::vector<double>  Ratios;
  std::vector<double>  ReferenceRatios;
  double               Limit      = 1e9;
  double               Reference  = 1e9;
  double               Sums[3]    = { 0, 0, 0 };   // transfer, limit, reference over the two rounds
  bool                 LimitFirst = false;

  for (auto _ : State) {
    double  TransferTime;
    double  LimitTime;
    double  ReferenceTime;

    if (LimitFirst) {
      LimitTime    = TimeOf (Pair->LimitRun);
      TransferTime = TimeOf (Pair->TransferRun);
    } else {
      TransferTime = TimeOf (Pair->TransferRun);
      LimitTime    = TimeOf (Pair->LimitRun);
    }

    ReferenceTime = TimeOf (Pair->ReferenceRun);
    State.SetIterationTime (TransferTime);
    Limit     = std::min (Limit, LimitTime);
    Reference = std::min (Reference, ReferenceTime);
    Sums[0]  += TransferTime;
    Sums[1]  += LimitTime;
    Sums[2]  += ReferenceTime;
    if (LimitFirst) {
      Ratios.push_back (Sums[0] / Sums[1]);
      ReferenceRatios.push_back (Sums[0] / Sums[2]);
      Sums[0] = Sums[1] = Sums[2] = 0;
    }

    LimitFirst = !LimitFirst;
  }

  State.SetBytesProcessed (State.iterations () * static_cast<int64_t>((Pair->TransferRun == BltScrollOneLine) ? kBytes - kLine : kBytes));
  State.counters["limit_us"]       = Limit * 1e6;
  State.counters["reference_us"]   = Reference * 1e6;
  State.counters["ratio"]          = Quantile (Ratios, 0.5);
  State.counters["ratio_q1"]       = Quantile (Ratios, 0.25);
  State.counters["ratio_q3"]       = Quantile (Ratios, 0.75);
  State.counters["reference_ratio"] = Quantile (ReferenceRatios, 0.5);
  if (gFailed) {
    State.SkipWithError ("Blt failed");
  }
}

/// Console output as usual, and each pairing's figures kept for the table.
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
      } else if (Item.run_type == Run::RT_Iteration) {
        mCounters[Item.run_name.function_name] = Item.counters;
      }
    }
  }

  /// The counter Name of the pairing of Transfer, if it ran.
  bool
  Counter (
    const std::string  &Transfer,
    const std::string  &Name,
    double             *Value
    ) const
  {
    auto  Found = mCounters.find (Transfer);

    if ((Found == mCounters.end ()) || (Found->second.count (Name) == 0)) {
      return false;
    }

    *Value = Found->second.at (Name).value;
    return true;
  }

  bool
  Errors (
    ) const
  {
    return mErrors;
  }

private:
  std::map<std::string, benchmark::UserCounters>  mCounters;
  bool                                            mErrors = false;
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
  // round leaves the screen in the other CPU's caches and shows as noise in
  // whichever of the pair it hits.
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
    benchmark::RegisterBenchmark (Pair.Transfer, MeasurePairing, &Pair)
      ->Unit (benchmark::kMicrosecond)
      ->Iterations (kRounds)
      ->UseManualTime ();
  }

  benchmark::Initialize (&argc, argv);
  if (benchmark::ReportUnrecognizedArguments (argc, argv)) {
    return 2;
  }

  RatioReporter  Reporter;
  benchmark::RunSpecifiedBenchmarks (&Reporter);
  benchmark::Shutdown ();

  bool               Missed    = Reporter.Errors ();
  const std::string  Processor = ProcessorName ();

  std::printf ("\nmedian of %d pairs of rounds on %s\n", kRounds / 2, Processor.c_str ());
  std::printf ("%-18s %-22s %8s %13s %7s  %-6s  %-18s %8s\n", "transfer", "limit", "ratio", "quartiles", "goal", "",
               "reference", "ratio");
  for (const Pairing &Pair : kPairings) {
    double  Ratio;
    double  First;
    double  Third;
    double  Reference;

    if (!Reporter.Counter (Pair.Transfer, "ratio", &Ratio) || !Reporter.Counter (Pair.Transfer, "ratio_q1", &First) ||
        !Reporter.Counter (Pair.Transfer, "ratio_q3", &Third) ||
        !Reporter.Counter (Pair.Transfer, "reference_ratio", &Reference))
    {
      std::printf ("%-18s %-22s %8s %13s %6.2fx  not run\n", Pair.Transfer, Pair.Limit, "-", "", Pair.Goal);
      continue;
    }

    bool  Met = Ratio <= Pair.Goal;

    Missed = Missed || !Met;
    std::printf ("%-18s %-22s %7.2fx   %4.2f-%4.2fx %6.2fx  %-6s  %-18s %7.2fx\n", Pair.Transfer, Pair.Limit, Ratio,
                 First, Third, Pair.Goal, Met ? "met" : "MISSED", Pair.Reference, Reference);
  }

  if (Missed) {
    std::printf ("a goal was missed on %s\n", Processor.c_str ());
  }

  return Missed ? 1 : 0;
}
