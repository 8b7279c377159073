/** @file
  16550 UART model (see SimUart16550.h).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimUart16550.h"

#include <algorithm>

namespace Qd520Sim {

namespace {

constexpr uint8_t  InterruptIdNoneFifoOn  = 0xC1;   ///< no interrupt pending, FIFOs enabled
constexpr uint8_t  InterruptIdNoneFifoOff = 0x01;
constexpr uint8_t  LineControl8N1         = 0x03;

} // namespace

Uart16550::Uart16550 (
  InitialState  State
  )
{
  Reset (State);
}

void
Uart16550::Reset (
  InitialState  State
  )
{
  const bool  SetUp = (State == InitialState::SetUp);

  mLineControl     = SetUp ? LineControl8N1 : 0;
  mDivisor         = SetUp ? 1 : 0;
  mFifoControl     = SetUp ? FifoControlEnable : 0;
  mModemControl    = 0;
  mInterruptEnable = 0;
  mScratch         = 0;
  ClearCapture ();
}

void
Uart16550::ClearCapture (
  )
{
  mWrites.clear ();
  mText.clear ();
  mBursts.clear ();
  mCurrentBurst        = 0;
  mCurrentBurstOverran = false;
  mOverruns            = 0;
}

std::string
Uart16550::TakeText (
  )
{
  std::string  Text;

  Text.swap (mText);
  return Text;
}

size_t
Uart16550::LongestBurst (
  ) const
{
  size_t  Longest = mCurrentBurst;

  for (size_t Burst : mBursts) {
    Longest = std::max (Longest, Burst);
  }

  return Longest;
}

uint8_t
Uart16550::Read (
  uint8_t  Offset
  )
{
  switch (Offset) {
    case RegisterData:
      return Dlab () ? (uint8_t)(mDivisor & 0xFF) : 0;   // nothing is ever received
    case RegisterInterruptEnable:
      return Dlab () ? (uint8_t)(mDivisor >> 8) : mInterruptEnable;
    case RegisterFifoControl:
      return (mFifoControl & FifoControlEnable) != 0 ? InterruptIdNoneFifoOn : InterruptIdNoneFifoOff;
    case RegisterLineControl:
      return mLineControl;
    case RegisterModemControl:
      return mModemControl;
    case RegisterLineStatus:
      if (mCurrentBurst != 0) {
        mBursts.push_back (mCurrentBurst);
      }

      mCurrentBurst        = 0;
      mCurrentBurstOverran = false;
      return LineStatusTransmitterEmpty;
    case RegisterModemStatus:
      return ModemStatusReady;
    default:
      return mScratch;
  }
}

void
Uart16550::Write (
  uint8_t  Offset,
  uint8_t  Value
  )
{
  mWrites.push_back (RegisterWrite{ Offset, Value, Dlab () });
  switch (Offset) {
    case RegisterData:
      if (Dlab ()) {
        mDivisor = (uint16_t)((mDivisor & 0xFF00) | Value);
        break;
      }

      mText.push_back ((char)Value);
      mCurrentBurst++;
      if ((mCurrentBurst > TransmitFifoDepth ()) && !mCurrentBurstOverran) {
        mCurrentBurstOverran = true;
        mOverruns++;
      }

      break;
    case RegisterInterruptEnable:
      if (Dlab ()) {
        mDivisor = (uint16_t)((mDivisor & 0x00FF) | (Value << 8));
      } else {
        mInterruptEnable = Value;
      }

      break;
    case RegisterFifoControl:
      mFifoControl = Value;
      break;
    case RegisterLineControl:
      mLineControl = Value;
      break;
    case RegisterModemControl:
      mModemControl = Value;
      break;
    case RegisterLineStatus:
    case RegisterModemStatus:
      break;   // status registers ignore writes
    default:
      mScratch = Value;
      break;
  }
}

} // namespace Qd520Sim
