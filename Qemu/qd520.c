/*
 * QD520 PCI display adapter.
 *
 * BAR 0: 32 MiB of frame-buffer RAM (prefetchable; 32-bit, or 64-bit with
 * bar0-64bit=on). BAR 1: the 1 MiB register file. Every register access goes
 * to the adapter model (qd520-model.h), which also decides what the monitor
 * shows: the console draws the model's scan-out of channel 0 and is black
 * while the display is off or unprogrammed.
 *
 * Properties: bar0-64bit (BAR 0 as a 64-bit BAR), reference-12288khz (the
 * strap in register 0x12C that selects the 12.288 MHz PLL reference), and
 * the PCI device's romfile= for the option ROM. The read-only property
 * "monitor" is the monitor's one-line report of what it shows (qom-get).
 *
 * Copyright (c) 2026, the QD520 driver authors.
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "qemu/osdep.h"
#include "qemu/log.h"
#include "qemu/module.h"
#include "hw/pci/pci.h"
#include "hw/qdev-properties.h"
#include "migration/vmstate.h"
#include "qapi/error.h"
#include "ui/console.h"
#include "qom/object.h"

#include "qd520-model.h"

#define TYPE_QD520 "qd520"
OBJECT_DECLARE_SIMPLE_TYPE(Qd520State, QD520)

/* Size of the console before the first picture and while none is shown. */
#define QD520_BLANK_WIDTH  640
#define QD520_BLANK_HEIGHT 480

struct Qd520State {
    PCIDevice pci;

    QemuConsole *con;
    MemoryRegion vram;
    MemoryRegion mmio;
    uint32_t *registers;
    Qd520Model *model;

    bool bar0_64bit;
    bool reference_12288khz;

    bool shown;          /* the console holds the model's picture */
    bool redraw;         /* registers changed since the last update */
};

static uint64_t qd520_mmio_read(void *opaque, hwaddr addr, unsigned size)
{
    Qd520State *s = opaque;

    return qd520_model_read(s->model, addr, size);
}

static void qd520_mmio_write(void *opaque, hwaddr addr, uint64_t val,
                             unsigned size)
{
    Qd520State *s = opaque;

    qd520_model_write(s->model, addr, val, size);
    s->redraw = true;
}

static const MemoryRegionOps qd520_mmio_ops = {
    .read = qd520_mmio_read,
    .write = qd520_mmio_write,
    .valid.min_access_size = 1,
    .valid.max_access_size = 8,
    .impl.min_access_size = 1,
    .impl.max_access_size = 8,
    .endianness = DEVICE_LITTLE_ENDIAN,
};

/* A console surface of width x height, black. */
static DisplaySurface *qd520_surface(Qd520State *s, uint32_t width,
                                     uint32_t height)
{
    DisplaySurface *ds = qemu_console_surface(s->con);

    if (ds == NULL || surface_width(ds) != width ||
        surface_height(ds) != height) {
        ds = qemu_create_displaysurface(width, height);
        dpy_gfx_replace_surface(s->con, ds);
    }
    return ds;
}

static void qd520_show_blank(Qd520State *s)
{
    DisplaySurface *ds = qemu_console_surface(s->con);
    uint32_t width = ds ? surface_width(ds) : QD520_BLANK_WIDTH;
    uint32_t height = ds ? surface_height(ds) : QD520_BLANK_HEIGHT;

    ds = qd520_surface(s, width, height);
    memset(surface_data(ds), 0, (size_t)surface_stride(ds) * height);
    dpy_gfx_update_full(s->con);
    s->shown = false;
}

static void qd520_update(void *opaque)
{
    Qd520State *s = opaque;
    uint64_t fb_size = memory_region_size(&s->vram);
    DirtyBitmapSnapshot *snap;
    DisplaySurface *ds;
    uint32_t width, height;
    bool full;

    snap = memory_region_snapshot_and_clear_dirty(&s->vram, 0, fb_size,
                                                  DIRTY_MEMORY_VGA);
    if (!qd520_model_picture(s->model, &width, &height)) {
        if (s->shown || s->redraw || qemu_console_surface(s->con) == NULL) {
            qd520_show_blank(s);
        }
        s->redraw = false;
        g_free(snap);
        return;
    }

    ds = qemu_console_surface(s->con);
    full = !s->shown || s->redraw || ds == NULL ||
           surface_width(ds) != width || surface_height(ds) != height;
    ds = qd520_surface(s, width, height);
    s->redraw = false;
    s->shown = true;

    if (full || memory_region_snapshot_get_dirty(&s->vram, snap, 0, fb_size)) {
        /*
         * Any change to the registers or the frame buffer redraws the whole
         * picture: the scan-out decides what each line shows (pitch, pixel
         * format, colour table), and a full redraw costs one pass over it.
         */
        qd520_model_draw(s->model, width, height, 0, height,
                         surface_data(ds), surface_stride(ds));
        dpy_gfx_update_full(s->con);
    }
    g_free(snap);
}

static const GraphicHwOps qd520_gfx_ops = {
    .gfx_update = qd520_update,
};

static void qd520_realize(PCIDevice *dev, Error **errp)
{
    ERRP_GUARD();
    Qd520State *s = QD520(dev);
    Object *obj = OBJECT(dev);
    uint64_t fb_size = qd520_model_frame_buffer_size();
    uint64_t reg_size = qd520_model_register_file_size();
    uint8_t bar0_type = PCI_BASE_ADDRESS_SPACE_MEMORY |
                        PCI_BASE_ADDRESS_MEM_PREFETCH;
    int register_bar = 1;

    memory_region_init_ram(&s->vram, obj, "qd520.vram", fb_size, errp);
    if (*errp) {
        return;
    }
    memory_region_init_io(&s->mmio, obj, &qd520_mmio_ops, s, "qd520.mmio",
                          reg_size);

    s->registers = g_malloc0(reg_size);
    s->model = qd520_model_claim(memory_region_get_ram_ptr(&s->vram), fb_size,
                                 s->registers, reg_size);
    if (s->model == NULL) {
        error_setg(errp, "qd520: too many adapters");
        g_free(s->registers);
        s->registers = NULL;
        return;
    }
    qd520_model_reset(s->model, s->reference_12288khz);

    /*
     * A 64-bit BAR 0 takes two BAR slots: the register file then sits in
     * slot 2, and firmware, which counts BARs rather than slots, still finds
     * it as BAR 1.
     */
    if (s->bar0_64bit) {
        bar0_type |= PCI_BASE_ADDRESS_MEM_TYPE_64;
        register_bar = 2;
    }
    pci_register_bar(dev, 0, bar0_type, &s->vram);
    pci_register_bar(dev, register_bar, PCI_BASE_ADDRESS_SPACE_MEMORY,
                     &s->mmio);

    memory_region_set_log(&s->vram, true, DIRTY_MEMORY_VGA);
    s->con = graphic_console_init(DEVICE(dev), 0, &qd520_gfx_ops, s);
}

static void qd520_exit(PCIDevice *dev)
{
    Qd520State *s = QD520(dev);

    graphic_console_close(s->con);
    if (s->model) {
        qd520_model_release(s->model);
    }
    g_free(s->registers);
}

static void qd520_reset(DeviceState *dev)
{
    Qd520State *s = QD520(dev);

    qd520_model_reset(s->model, s->reference_12288khz);
    s->redraw = true;
}

/* The monitor's report of what it shows: "640x480 @ 59.94 Hz, ..." */
static char *qd520_get_monitor(Object *obj, Error **errp)
{
    Qd520State *s = QD520(obj);
    size_t length;
    char *text;

    if (s->model == NULL) {
        return g_strdup("");
    }
    length = qd520_model_report(s->model, NULL, 0);
    text = g_malloc(length + 1);
    qd520_model_report(s->model, text, length + 1);
    return text;
}

static void qd520_instance_init(Object *obj)
{
    object_property_add_str(obj, "monitor", qd520_get_monitor, NULL);
}

static const VMStateDescription vmstate_qd520 = {
    .name = TYPE_QD520,
    .unmigratable = 1,
};

static Property qd520_properties[] = {
    DEFINE_PROP_BOOL("bar0-64bit", Qd520State, bar0_64bit, false),
    DEFINE_PROP_BOOL("reference-12288khz", Qd520State, reference_12288khz,
                     false),
    DEFINE_PROP_END_OF_LIST(),
};

static void qd520_class_init(ObjectClass *klass, void *data)
{
    DeviceClass *dc = DEVICE_CLASS(klass);
    PCIDeviceClass *k = PCI_DEVICE_CLASS(klass);
    uint32_t class_code = qd520_model_class_code();

    k->vendor_id = qd520_model_vendor_id();
    k->device_id = qd520_model_device_id();
    k->subsystem_vendor_id = qd520_model_vendor_id();
    k->subsystem_id = qd520_model_device_id();
    k->class_id = class_code >> 8;
    k->revision = 0;
    k->realize = qd520_realize;
    k->exit = qd520_exit;
    dc->reset = qd520_reset;
    dc->vmsd = &vmstate_qd520;
    dc->desc = "QD520 display adapter";
    device_class_set_props(dc, qd520_properties);
    set_bit(DEVICE_CATEGORY_DISPLAY, dc->categories);
}

static const TypeInfo qd520_type_info = {
    .name = TYPE_QD520,
    .parent = TYPE_PCI_DEVICE,
    .instance_size = sizeof(Qd520State),
    .instance_init = qd520_instance_init,
    .class_init = qd520_class_init,
    .interfaces = (InterfaceInfo[]) {
        { INTERFACE_CONVENTIONAL_PCI_DEVICE },
        { },
    },
};

static void qd520_register_types(void)
{
    type_register_static(&qd520_type_info);
}

type_init(qd520_register_types)
