/*
 * QD520 display adapter: the C interface of the adapter model (the
 * project's C++ model of the register file, the HDMI transmitter and the
 * scan-out) for the QEMU device. The model is compiled apart, freestanding,
 * and linked into QEMU; this header is all the device sees of it.
 *
 * Copyright (c) 2026, the QD520 driver authors.
 * SPDX-License-Identifier: BSD-2-Clause-Patent OR GPL-2.0-or-later
 */

#ifndef QD520_MODEL_H
#define QD520_MODEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Qd520Model Qd520Model;

/* Identity and BAR sizes of the adapter as built. */
uint16_t qd520_model_vendor_id(void);
uint16_t qd520_model_device_id(void);
uint32_t qd520_model_class_code(void);          /* 24 bits: class, subclass, interface */
uint64_t qd520_model_frame_buffer_size(void);   /* BAR 0 */
uint64_t qd520_model_register_file_size(void);  /* BAR 1 */

/*
 * Takes one of the models (a fixed number exist) and gives it the owner's
 * frame buffer and register file (zeroed: the power-on state). NULL when
 * all are taken or the memory does not fit.
 */
Qd520Model *qd520_model_claim(uint8_t *frame_buffer, uint64_t frame_buffer_size,
                              uint32_t *registers, uint64_t register_file_size);
void qd520_model_release(Qd520Model *model);

/* Power-on state: registers and transmitter cleared, straps as given. */
void qd520_model_reset(Qd520Model *model, int reference_12288khz);

/* A register access of size 1, 2, 4 or 8 bytes within BAR 1. */
uint64_t qd520_model_read(Qd520Model *model, uint64_t offset, unsigned size);
void qd520_model_write(Qd520Model *model, uint64_t offset, uint64_t value, unsigned size);

/* The picture channel 0 shows now: 0 when the screen is blank. */
int qd520_model_picture(Qd520Model *model, uint32_t *width, uint32_t *height);

/*
 * Lines first to first + count - 1 of the picture as 32-bit 0x00RRGGBB
 * pixels, line first at pixels and each next one stride bytes on. Returns 0 (and draws nothing) when the
 * picture is blank or no longer width x height.
 */
int qd520_model_draw(Qd520Model *model, uint32_t width, uint32_t height,
                     uint32_t first, uint32_t count, uint8_t *pixels, size_t stride);

/* What the monitor reports; returns the length the whole text needs. */
size_t qd520_model_report(Qd520Model *model, char *text, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* QD520_MODEL_H */
