/** @file
  The adapter model and its scan-out behind the C interface that the QEMU
  device uses (qd520-model.h).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent OR GPL-2.0-or-later
**/

#include "Qd520ScanOut.h"
#include "qd520-model.h"

using namespace Qd520Sim;

struct Qd520Model {
  Adapter    Device;
  AdapterMemory  Memory;
  BOOLEAN    Claimed;
};

namespace {

/// Adapters one QEMU process can hold; the models live in static storage.
constexpr UINTN  ModelCount = 8;

Qd520Model  mModels[ModelCount];

} // namespace

extern "C" {

uint16_t
qd520_model_vendor_id (
  void
  )
{
  return DefaultVendorId;
}

uint16_t
qd520_model_device_id (
  void
  )
{
  return DefaultDeviceId;
}

uint32_t
qd520_model_class_code (
  void
  )
{
  return DefaultClassCode;
}

uint64_t
qd520_model_frame_buffer_size (
  void
  )
{
  return DefaultFrameBufferSize;
}

uint64_t
qd520_model_register_file_size (
  void
  )
{
  return DefaultRegisterFileSize;
}

Qd520Model *
qd520_model_claim (
  uint8_t   *frame_buffer,
  uint64_t  frame_buffer_size,
  uint32_t  *registers,
  uint64_t  register_file_size
  )
{
  for (Qd520Model &Model : mModels) {
    if (Model.Claimed) {
      continue;
    }

    //
    // Guest RAM belongs to QEMU: every fill stores into it, none hands
    // pages back.
    //
    Model.Memory = AdapterMemory{ frame_buffer, frame_buffer_size, registers, register_file_size, NULL, NULL, 0, NULL };
    if (!Model.Device.Initialize (DefaultAdapterConfig (), Model.Memory)) {
      return nullptr;
    }

    Model.Claimed = TRUE;
    return &Model;
  }

  return nullptr;
}

void
qd520_model_release (
  Qd520Model  *model
  )
{
  model->Claimed = FALSE;
}

void
qd520_model_reset (
  Qd520Model  *model,
  int         reference_12288khz
  )
{
  __builtin_memset (model->Memory.Registers, 0, model->Memory.RegisterFileSize);
  model->Device.Initialize (DefaultAdapterConfig (), model->Memory);
  if (reference_12288khz != 0) {
    model->Device.PokeRegister (RegisterPllReference, PllReferenceSelectBit);
  }
}

uint64_t
qd520_model_read (
  Qd520Model  *model,
  uint64_t    offset,
  unsigned    size
  )
{
  UINT8     Bytes[sizeof (UINT64)];
  uint64_t  Value = 0;

  model->Device.ReadMemory (RegisterBar, offset, size, 1, TRUE, TRUE, Bytes);
  for (unsigned Index = 0; Index < size; Index++) {
    Value |= (uint64_t)Bytes[Index] << (8 * Index);
  }

  return Value;
}

void
qd520_model_write (
  Qd520Model  *model,
  uint64_t    offset,
  uint64_t    value,
  unsigned    size
  )
{
  UINT8  Bytes[sizeof (UINT64)];

  for (unsigned Index = 0; Index < size; Index++) {
    Bytes[Index] = (UINT8)(value >> (8 * Index));
  }

  model->Device.WriteMemory (RegisterBar, offset, size, 1, TRUE, TRUE, Bytes);
}

int
qd520_model_picture (
  Qd520Model  *model,
  uint32_t    *width,
  uint32_t    *height
  )
{
  ScanOutMode  Mode;

  DecodeScanOut (model->Device, &Mode);
  *width  = Mode.Width;
  *height = Mode.Height;
  return Mode.Blank == ScanOutBlank::None;
}

int
qd520_model_draw (
  Qd520Model  *model,
  uint32_t    width,
  uint32_t    height,
  uint32_t    first,
  uint32_t    count,
  uint8_t     *pixels,
  size_t      stride
  )
{
  ScanOutMode  Mode;

  DecodeScanOut (model->Device, &Mode);
  if ((Mode.Blank != ScanOutBlank::None) || (Mode.Width != width) || (Mode.Height != height) ||
      (first > height) || (count > height - first))
  {
    return 0;
  }

  for (uint32_t Row = first; Row < first + count; Row++) {
    ScanOutLine (model->Device, Mode, Row, reinterpret_cast<UINT32 *>(pixels + (size_t)(Row - first) * stride));
  }

  return 1;
}

size_t
qd520_model_report (
  Qd520Model  *model,
  char        *text,
  size_t      size
  )
{
  return FormatMonitorReport (model->Device, text, size);
}

} // extern "C"
