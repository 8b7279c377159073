/** @file
  The C interface through which the QEMU device runs the adapter model:
  claiming models, register accesses of every size, the power-on state and
  its strap, the picture and the report.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "qd520-model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

/// What the device owns: frame buffer and register file, and a model.
struct Device {
  std::vector<uint8_t>     FrameBuffer = std::vector<uint8_t>(qd520_model_frame_buffer_size (), 0);
  std::vector<uint32_t>    Registers   = std::vector<uint32_t>(qd520_model_register_file_size () / 4, 0);
  Qd520Model               *Model      = nullptr;

  Device (
    )
  {
    Model = qd520_model_claim (FrameBuffer.data (), FrameBuffer.size (), Registers.data (), Registers.size () * 4);
  }

  ~Device (
    )
  {
    if (Model != nullptr) {
      qd520_model_release (Model);
    }
  }

  std::string
  Report (
    )
  {
    std::string  Text (qd520_model_report (Model, nullptr, 0) + 1, '\0');

    qd520_model_report (Model, &Text[0], Text.size ());
    Text.pop_back ();
    return Text;
  }
};

TEST (QemuModelTest, IdentityAndBarsAreTheAdapters) {
  EXPECT_EQ (0x7A3C, qd520_model_vendor_id ());
  EXPECT_EQ (0x0520, qd520_model_device_id ());
  EXPECT_EQ (0x030000u, qd520_model_class_code ());
  EXPECT_EQ (32u << 20, qd520_model_frame_buffer_size ());
  EXPECT_EQ (1u << 20, qd520_model_register_file_size ());
}

TEST (QemuModelTest, EightModelsCanBeClaimedAndReleasedOnesComeBack) {
  std::vector<std::unique_ptr<Device> >  Devices;

  for (int Index = 0; Index < 8; Index++) {
    Devices.push_back (std::make_unique<Device>());
    ASSERT_NE (nullptr, Devices.back ()->Model) << Index;
  }

  Device  Ninth;
  EXPECT_EQ (nullptr, Ninth.Model);
  Qd520Model  *Freed = Devices[3]->Model;
  Devices[3].reset ();
  Device  Again;
  EXPECT_EQ (Freed, Again.Model);

  uint32_t  Small[16];
  Devices.clear ();
  EXPECT_EQ (nullptr, qd520_model_claim (Again.FrameBuffer.data (), 1, Small, sizeof (Small)))
    << "a register file without the registers the driver uses is refused";
}

TEST (QemuModelTest, AccessesOfEverySizeReachTheRegisterFileAndTheTransmitter) {
  Device  Adapter;

  qd520_model_write (Adapter.Model, 0x80008, 0x0A000A00, 4);
  EXPECT_EQ (0x0A000A00u, Adapter.Registers[0x80008 / 4]);
  qd520_model_write (Adapter.Model, 0x8000D, 0x31, 1);
  EXPECT_EQ (0x3100u, Adapter.Registers[0x8000C / 4]);
  EXPECT_EQ (0x31u, qd520_model_read (Adapter.Model, 0x8000D, 1));
  qd520_model_write (Adapter.Model, 0x80010, 0x1122334455667788ull, 8);
  EXPECT_EQ (0x1122334455667788ull, qd520_model_read (Adapter.Model, 0x80010, 8));
  EXPECT_EQ (0x5566u, qd520_model_read (Adapter.Model, 0x80012, 2));

  // The transmitter behind 0x800C0: store 0x07 in register 0x45, then fetch it.
  qd520_model_write (Adapter.Model, 0x800C0, 0x10745, 4);
  qd520_model_write (Adapter.Model, 0x800C0, 0x20045, 4);
  EXPECT_EQ (0x0745u, qd520_model_read (Adapter.Model, 0x800C0, 4));
  EXPECT_EQ (0x07u, qd520_model_read (Adapter.Model, 0x800C1, 1));
}

TEST (QemuModelTest, ResetGivesThePowerOnStateWithTheReferenceStrap) {
  Device  Adapter;

  qd520_model_write (Adapter.Model, 0x80000, 0x0F000104, 4);
  qd520_model_write (Adapter.Model, 0x800C0, 0x10745, 4);
  qd520_model_reset (Adapter.Model, 1);
  EXPECT_EQ (0u, Adapter.Registers[0x80000 / 4]);
  EXPECT_EQ (0x1000u, Adapter.Registers[0x12C / 4]);
  qd520_model_write (Adapter.Model, 0x800C0, 0x20045, 4);
  EXPECT_EQ (0x0045u, qd520_model_read (Adapter.Model, 0x800C0, 4)) << "the transmitter is cleared too";
  qd520_model_reset (Adapter.Model, 0);
  EXPECT_EQ (0u, Adapter.Registers[0x12C / 4]);
}

TEST (QemuModelTest, PictureIsDrawnOnlyWhileItHasTheSizeTheCallerExpects) {
  Device    Adapter;
  uint32_t  Width  = 1;
  uint32_t  Height = 1;
  uint32_t  Lines[2][640];

  EXPECT_EQ (0, qd520_model_picture (Adapter.Model, &Width, &Height)) << "blank at power-on";
  EXPECT_EQ ("blank: display off (display control 0x0)", Adapter.Report ());

  // 640x480 at 25.175 MHz, 32 bpp, display on.
  qd520_model_write (Adapter.Model, 0x78, 0x08E19110, 4);
  qd520_model_write (Adapter.Model, 0x80008, 0x0A000A00, 4);
  qd520_model_write (Adapter.Model, 0x8000C, (799u << 16) | 639, 4);
  qd520_model_write (Adapter.Model, 0x80010, (96u << 16) | 655, 4);
  qd520_model_write (Adapter.Model, 0x80014, (524u << 16) | 479, 4);
  qd520_model_write (Adapter.Model, 0x80018, (2u << 16) | 489, 4);
  qd520_model_write (Adapter.Model, 0x80000, 0x2F007106, 4);
  ASSERT_EQ (1, qd520_model_picture (Adapter.Model, &Width, &Height)) << Adapter.Report ();
  EXPECT_EQ (640u, Width);
  EXPECT_EQ (480u, Height);
  EXPECT_EQ (0u, Adapter.Report ().rfind ("640x480 @ 59.94 Hz, 25.175 MHz from 12 MHz", 0)) << Adapter.Report ();

  const uint32_t  Blue = 0xAA0000FF;
  std::memcpy (&Adapter.FrameBuffer[2560 * 11 + 4 * 5], &Blue, sizeof (Blue));
  std::memset (Lines, 0xEE, sizeof (Lines));
  ASSERT_EQ (1, qd520_model_draw (Adapter.Model, 640, 480, 10, 2, reinterpret_cast<uint8_t *>(Lines), sizeof (Lines[0])));
  EXPECT_EQ (0u, Lines[0][5]);
  EXPECT_EQ (0x000000FFu, Lines[1][5]);
  EXPECT_EQ (0u, Lines[1][639]);

  EXPECT_EQ (0, qd520_model_draw (Adapter.Model, 800, 600, 0, 1, reinterpret_cast<uint8_t *>(Lines), sizeof (Lines[0])))
    << "the size changed under the caller";
  EXPECT_EQ (0, qd520_model_draw (Adapter.Model, 640, 480, 479, 2, reinterpret_cast<uint8_t *>(Lines), sizeof (Lines[0])))
    << "lines past the picture";
  qd520_model_write (Adapter.Model, 0x80000, 0xC0007106, 4);
  EXPECT_EQ (0, qd520_model_picture (Adapter.Model, &Width, &Height));
  EXPECT_EQ (0, qd520_model_draw (Adapter.Model, 640, 480, 0, 1, reinterpret_cast<uint8_t *>(Lines), sizeof (Lines[0])));
}

} // namespace
