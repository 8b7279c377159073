/** @file
  Expected register traces of the display hardware routines, and their
  comparison with the simulated adapter's trace.

  An ExpectedTrace is written step by step from what the hardware needs
  (read, write, delay, frame-buffer fill), on a copy of the adapter's
  register file and transmitter registers taken before the routine runs:
  a read expects what the adapter holds at that point, a write changes the
  copy as the adapter would (the HDMI index/data register stores and
  latches transmitter registers). The Expect* functions below append the
  whole sequence of one routine; they never call the driver.

  TraceMatches compares op by op and reports the first difference with the
  trace printer, e.g.
    op 17: expected write 0x80000 display control (channel 0) <- 0x..., got ...
  followed by both op counts and the ops around the difference.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_TRACE_EXPECT_H_
#define QD520_TRACE_EXPECT_H_

#include "DriverTest.h"

#include "Qdl520.h"

#include <gtest/gtest.h>

#include <vector>

namespace Qd520Test {

//
// Register offsets and transmitter indices as the tests spell them.
//
constexpr UINT64  RegDisplayControl0 = 0x80000;
constexpr UINT64  RegDisplayControl1 = 0x88000;
constexpr UINT64  RegHdmiIndexData   = 0x800C0;
constexpr UINT64  RegHdmiControl     = 0x800C4;
constexpr UINT64  RegPllReference    = 0x12C;
constexpr UINT64  RegColourTable     = 0x80C00;

/// The display control bits that display on/off step one bit at a time.
constexpr UINT32  PowerSequenceMask = 0x0F000000;

/// Expected records.
TraceRecord
RegisterRead (
  UINT64  Offset,
  UINT32  Value
  );

TraceRecord
RegisterWrite (
  UINT64  Offset,
  UINT32  Value
  );

TraceRecord
DelayRecord (
  UINT64  Units
  );

/// A register-only view of a trace: the reads and writes of BAR 1 that
/// touch Offset, in order.
std::vector<TraceRecord>
AccessesTo (
  const std::vector<TraceRecord>  &Trace,
  UINT64                          Offset
  );

/// The expected trace of a routine, built on a copy of the adapter's
/// registers (BAR 1 and transmitter) taken at construction.
class ExpectedTrace {
public:
  explicit ExpectedTrace (
    SimAdapter  &Adapter
    );

  /// A read of Offset; expects and returns what the copy holds.
  UINT32
  Read (
    UINT64  Offset
    );

  void
  Write (
    UINT64  Offset,
    UINT32  Value
    );

  /// write Offset <- (read Offset) OR Bits
  void
  Or (
    UINT64  Offset,
    UINT32  Bits
    );

  /// write Offset <- (read Offset) AND Keep
  void
  And (
    UINT64  Offset,
    UINT32  Keep
    );

  void
  Delay (
    UINT8  Units
    );

  /// One PCI I/O fill of Count 32-bit units of Value on BAR 0.
  void
  FrameBufferFill32 (
    UINT64  Offset,
    UINT64  Count,
    UINT32  Value
    );

  //
  // Transmitter access through the index/data and control registers.
  //
  void
  HdmiWrite (
    UINT8  Index,
    UINT8  Value
    );

  UINT8
  HdmiRead (
    UINT8  Index
    );

  /// HDMI write Index <- (HDMI read Index) AND Keep OR Set
  void
  HdmiUpdate (
    UINT8  Index,
    UINT8  Keep,
    UINT8  Set
    );

  void
  HdmiWriteAndStrobe (
    UINT8  Index,
    UINT8  Value
    );

  void
  HdmiSetControl (
    UINT8  Value
    );

  //
  // State the copy reaches, for checks on the adapter afterwards.
  //
  UINT32
  Register (
    UINT64  Offset
    ) const
  {
    return mRegisters.at (Offset / 4);
  }

  UINT8
  Hdmi (
    UINT8  Index
    ) const
  {
    return mHdmi[Index];
  }

  const std::vector<TraceRecord> &
  Ops (
    ) const
  {
    return mOps;
  }

private:
  std::vector<UINT32>         mRegisters;
  UINT8                       mHdmi[256];
  std::vector<TraceRecord>    mOps;
};

/// Success when Actual holds exactly the ops of Expected; otherwise the
/// first difference, both op counts and the ops around it.
::testing::AssertionResult
TraceMatches (
  const std::vector<TraceRecord>  &Expected,
  const std::vector<TraceRecord>  &Actual
  );

//
// Expected sequences of the display hardware routines.
//

/// Qdl520SetDisplayState: off (0) or on (1) for channel 0, then channel 1.
void
ExpectDisplayState (
  ExpectedTrace  &Trace,
  UINT32         State
  );

/// Qdl520ProgramDisplayController with the PLL register word PllWord.
void
ExpectProgramDisplayController (
  ExpectedTrace             &Trace,
  const QDL520_MODE_TIMING  &Timing,
  UINT32                    BitsPerPixel,
  UINT32                    Pitch,
  UINT32                    PllWord
  );

/// Colour table entry Index for BitsPerPixel.
UINT32
ExpectedColour (
  UINT32  BitsPerPixel,
  UINT32  Index
  );

void
ExpectHdmiVideoTiming (
  ExpectedTrace             &Trace,
  const QDL520_MODE_TIMING  &Timing
  );

void
ExpectHdmiAudioClock (
  ExpectedTrace             &Trace,
  const QDL520_MODE_TIMING  &Timing
  );

/// PHY band of Timing (0 to 5), or -1 when none fits.
int
ExpectedPhyBand (
  const QDL520_MODE_TIMING  &Timing
  );

/// Qdl520HdmiSetPhy; returns its expected result.
INT32
ExpectHdmiPhy (
  ExpectedTrace             &Trace,
  const QDL520_MODE_TIMING  &Timing
  );

/// Qdl520HdmiSetMode with the HDMI control byte at ControlByte. Timing is
/// what the lookup gives (nullptr: none); VideoCode the AVI code expected.
INT32
ExpectHdmiSetMode (
  ExpectedTrace             &Trace,
  const QDL520_VIDEO_MODE   &Mode,
  const QDL520_MODE_TIMING  *Timing,
  UINT8                     VideoCode,
  UINT8                     ControlByte
  );

/// Qdl520SetModeHardware; PllWord is the PLL register word for the
/// timing's clock from the reference in register 0x12C.
INT32
ExpectSetModeHardware (
  ExpectedTrace             &Trace,
  const QDL520_VIDEO_MODE   &Mode,
  const QDL520_MODE_TIMING  *Timing,
  UINT32                    PllWord,
  UINT8                     VideoCode
  );

/// A simulated adapter with distinct non-zero registers (transmitter
/// registers included) and a device context that reaches it, for calling
/// the hardware routines directly.
class HardwareTraceTest : public DriverTest {
protected:
  void
  SetUp (
    ) override;

  /// Clears the trace and starts an expectation from the adapter's
  /// current contents.
  ExpectedTrace
  Expect (
    );

  /// The adapter's trace (checked for overflow) against Expected.
  ::testing::AssertionResult
  Matches (
    const ExpectedTrace  &Expected
    );

  SimAdapter           *mAdapter = nullptr;
  QDL520_PRIVATE_DATA  mPrivate  = {};
};

/// HardwareTraceTest after the engine bring-up, as a mode set finds the
/// adapter: HDMI control byte 0x21, output control register 0x45 with bits
/// 0 to 2 clear, bit 18 of the display control register set (the end of a
/// mode set drops it for one write) and a frame buffer full of non-zero
/// bytes.
class ModeSetTraceTest : public HardwareTraceTest {
protected:
  void
  SetUp (
    ) override;

  /// Selects the 12.288 MHz (TRUE) or the 12 MHz PLL reference.
  void
  SelectReference (
    bool  Is12288kHz
    );

  /// TRUE when every byte of the frame buffer is 0.
  bool
  FrameBufferIsClear (
    );

  /// The BAR 0 records of the trace.
  std::vector<TraceRecord>
  FrameBufferAccesses (
    );

  static constexpr UINT8  OutputControlBefore = 0x78;
};

} // namespace Qd520Test

#endif // QD520_TRACE_EXPECT_H_
