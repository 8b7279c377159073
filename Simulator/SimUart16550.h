/** @file
  16550 UART model at I/O ports 0x3F8..0x3FF, the debug port of the driver.

  Captures every register write with the DLAB bit in force and the text
  written to the transmit holding register. The line status register always
  reports the transmitter empty. A burst is the run of bytes written to THR
  between two LSR reads; a burst longer than the transmit FIFO (16 bytes with
  FCR bit 0 set, 1 byte otherwise) is an overrun of real hardware and is
  counted.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_SIM_UART16550_H_
#define QD520_SIM_UART16550_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Qd520Sim {

class Uart16550 {
public:
  static constexpr uint16_t  BasePort  = 0x3F8;
  static constexpr uint16_t  PortCount = 8;

  //
  // Register offsets from BasePort and the bits the model acts on.
  //
  static constexpr uint8_t  RegisterData             = 0;   ///< THR/RBR, or divisor low with DLAB
  static constexpr uint8_t  RegisterInterruptEnable  = 1;   ///< IER, or divisor high with DLAB
  static constexpr uint8_t  RegisterFifoControl      = 2;   ///< FCR on write, IIR on read
  static constexpr uint8_t  RegisterLineControl      = 3;
  static constexpr uint8_t  RegisterModemControl     = 4;
  static constexpr uint8_t  RegisterLineStatus       = 5;
  static constexpr uint8_t  RegisterModemStatus      = 6;
  static constexpr uint8_t  RegisterScratch          = 7;
  static constexpr uint8_t  LineControlDlab          = 0x80;
  static constexpr uint8_t  FifoControlEnable        = 0x01;
  static constexpr uint8_t  LineStatusTransmitterEmpty = 0x60;  ///< THRE and TEMT
  static constexpr uint8_t  ModemStatusReady         = 0x30;    ///< CTS and DSR
  static constexpr size_t   FifoDepth                = 16;

  enum class InitialState {
    SetUp,   ///< LCR 0x03 (8N1), divisor 1, FIFO enabled: the serial library leaves it alone
    Fresh    ///< LCR 0, divisor 0, FIFO off: the serial library programs it
  };

  struct RegisterWrite {
    uint8_t    Offset;   ///< 0..7 from BasePort
    uint8_t    Value;
    bool       Dlab;     ///< DLAB as it was when the write happened
  };

  explicit Uart16550 (
    InitialState  State = InitialState::SetUp
    );

  /// Restores an initial state and forgets everything captured.
  void
  Reset (
    InitialState  State
    );

  static bool
  OwnsPort (
    uint64_t  Port
    )
  {
    return (Port >= BasePort) && (Port < BasePort + PortCount);
  }

  uint8_t
  Read (
    uint8_t  Offset
    );

  void
  Write (
    uint8_t  Offset,
    uint8_t  Value
    );

  //
  // Inspection.
  //
  const std::vector<RegisterWrite> &
  Writes (
    ) const
  {
    return mWrites;
  }

  /// Bytes written to THR (DLAB clear), in order.
  const std::string &
  Text (
    ) const
  {
    return mText;
  }

  /// Returns the text and clears it (register writes and bursts stay).
  std::string
  TakeText (
    );

  /// Completed bursts (each ended by an LSR read), in bytes. The burst in
  /// progress is CurrentBurst().
  const std::vector<size_t> &
  Bursts (
    ) const
  {
    return mBursts;
  }

  size_t
  CurrentBurst (
    ) const
  {
    return mCurrentBurst;
  }

  size_t
  LongestBurst (
    ) const;

  /// Bursts that outgrew the transmit FIFO.
  size_t
  OverrunCount (
    ) const
  {
    return mOverruns;
  }

  /// Clears captured writes, text, bursts and overruns; keeps register state.
  void
  ClearCapture (
    );

  uint8_t  LineControl (
    ) const { return mLineControl; }

  uint8_t  FifoControl (
    ) const { return mFifoControl; }

  uint8_t  ModemControl (
    ) const { return mModemControl; }

  uint8_t  InterruptEnable (
    ) const { return mInterruptEnable; }

  uint16_t Divisor (
    ) const { return mDivisor; }

  size_t
  TransmitFifoDepth (
    ) const
  {
    return (mFifoControl & FifoControlEnable) != 0 ? FifoDepth : 1;
  }

private:
  bool
  Dlab (
    ) const
  {
    return (mLineControl & LineControlDlab) != 0;
  }

  uint8_t                       mLineControl;
  uint8_t                       mFifoControl;
  uint8_t                       mModemControl;
  uint8_t                       mInterruptEnable;
  uint8_t                       mScratch;
  uint16_t                      mDivisor;
  std::vector<RegisterWrite>    mWrites;
  std::string                   mText;
  std::vector<size_t>           mBursts;
  size_t                        mCurrentBurst;
  bool                          mCurrentBurstOverran;
  size_t                        mOverruns;
};

} // namespace Qd520Sim

#endif // QD520_SIM_UART16550_H_
