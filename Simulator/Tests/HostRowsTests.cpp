/** @file
  The host's frame-buffer row moves: each copy build and each fill gives the
  bytes of a plain copy or fill, for rows of every length around the vector
  widths and the library's own size classes and at every alignment, and
  writes nothing outside the row.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimHostRows.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr UINT8  Guard = 0xA5;
constexpr UINTN  Slack = 64;

/// Lengths that are multiples of Unit, from none to past 4 KiB.
std::vector<UINTN>
Lengths (
  UINTN  Unit
  )
{
  std::vector<UINTN>  Result;

  for (UINTN Bytes : { 0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 127u, 128u, 129u, 200u, 256u, 257u, 2048u, 4096u, 4100u }) {
    if (Bytes % Unit == 0) {
      Result.push_back (Bytes);
    }
  }

  return Result;
}

/// Copies rows by Copy and checks every byte of them and around them.
void
ExpectCopies (
  Qd520Sim::HOST_COPY_ROW  Copy
  )
{
  for (UINTN Bytes : Lengths (1)) {
    for (UINTN Shift : { 0u, 1u, 4u, 31u }) {
      std::vector<UINT8>  Source (Bytes + Slack);
      std::vector<UINT8>  Destination (Bytes + 2 * Slack, Guard);

      for (UINTN Index = 0; Index < Source.size (); Index++) {
        Source[Index] = (UINT8)(Index * 7 + 3);
      }

      Copy (&Destination[Slack + Shift], &Source[Shift], Bytes);
      for (UINTN Index = 0; Index < Destination.size (); Index++) {
        bool   Inside   = (Index >= Slack + Shift) && (Index < Slack + Shift + Bytes);
        UINT8  Expected = Inside ? Source[Index - Slack] : Guard;

        ASSERT_EQ (Destination[Index], Expected) << Bytes << " bytes, byte " << Index;
      }
    }
  }
}

TEST (HostRowsTest, EachCopyBuildMovesTheRowAndNothingElse) {
  bool  Avx2 = __builtin_cpu_supports ("avx2");

  ExpectCopies (Qd520Sim::HostCopyRowBaseline);
  if (Avx2) {
    ExpectCopies (Qd520Sim::HostCopyRowAvx2);
  }

 #if QD520_SIM_ADDRESS_SANITIZER
  ExpectCopies (Qd520Sim::HostCopyRowChecked);
  EXPECT_EQ (Qd520Sim::HostCopyRowForThisProcessor (), Qd520Sim::HostCopyRowChecked);
 #else
  EXPECT_EQ (Qd520Sim::HostCopyRowForThisProcessor (), Avx2 ? Qd520Sim::HostCopyRowAvx2 : Qd520Sim::HostCopyRowBaseline);
 #endif
}

/// Fills rows with Value by Fill and checks every byte of them and around them.
template<typename UNIT, typename FILL>
void
ExpectFills (
  UNIT  Value,
  FILL  Fill
  )
{
  for (UINTN Bytes : Lengths (sizeof (UNIT))) {
    for (UINTN Shift : { 0u, 8u, 24u }) {
      std::vector<UINT8>  Row (Bytes + 2 * Slack, Guard);

      Fill (&Row[Slack + Shift], Value, Bytes / sizeof (UNIT));
      for (UINTN Index = 0; Index < Row.size (); Index++) {
        bool   Inside   = (Index >= Slack + Shift) && (Index < Slack + Shift + Bytes);
        UINTN  At       = Index - Slack - Shift;
        UINT8  Expected = Inside ? (UINT8)(Value >> (8 * (At % sizeof (UNIT)))) : Guard;

        ASSERT_EQ (Row[Index], Expected) << "value " << std::hex << Value << std::dec << ", " << Bytes << " bytes, byte " << Index;
      }
    }
  }
}

TEST (HostRowsTest, FillsStoreTheirUnitWhetherOrNotItsBytesAreEqual) {
  for (UINT32 Value : { 0u, 0x3C3C3C3Cu, 0xFFFFFFFFu, 0x11223344u, 0x00FF00FFu }) {
    ExpectFills<UINT32>(Value, [](VOID *To, UINT32 Unit, UINTN Count) { Qd520Sim::HostFillUint32 (To, Unit, Count); });
  }

  for (UINT64 Value : { 0ull, 0x1122334411223344ull, 0x8877665544332211ull }) {
    ExpectFills<UINT64>(Value, [](VOID *To, UINT64 Unit, UINTN Count) { Qd520Sim::HostFillUint64 (To, Unit, Count); });
  }
}

} // namespace
