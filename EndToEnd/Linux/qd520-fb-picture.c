/*
 * The picture Linux draws on the QD520: runs in the test initramfs after the
 * kernel took over the frame buffer the firmware described (efifb).
 *
 * Prints what the kernel reports about /dev/fb0 (its base, size, line
 * length, mode and pixel layout), takes the console off the screen
 * (KD_GRAPHICS: fbcon stops drawing, the cursor stops blinking), and
 * writes a picture through /dev/fb0: each pixel placed at the kernel's line
 * length and colour positions. EndToEnd/Tools/qd520_linux.py computes the
 * same picture and compares it with QEMU's screendump pixel for pixel, so a
 * wrong pitch, base or layout shows as a difference.
 *
 * Static, for an initramfs that has busybox and nothing else.
 */
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/kd.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

/* The picture: red from x, green from y, blue from both, so that a row or
 * column out of place changes the colour. Kept in step with picture_pixel()
 * of EndToEnd/Tools/qd520_linux.py. */
static void picture_pixel(unsigned x, unsigned y, unsigned *red, unsigned *green, unsigned *blue)
{
    *red = x & 0xFF;
    *green = y & 0xFF;
    *blue = ((x >> 8) << 6 | (y >> 8) << 4 | ((x * 3 + y * 5) & 0x0F)) & 0xFF;
}

static uint32_t place(unsigned value, const struct fb_bitfield *field)
{
    return (uint32_t)(value >> (8 - field->length)) << field->offset;
}

int main(void)
{
    struct fb_fix_screeninfo fix;
    struct fb_var_screeninfo var;
    int fb = open("/dev/fb0", O_RDWR);
    if (fb < 0 || ioctl(fb, FBIOGET_FSCREENINFO, &fix) != 0 || ioctl(fb, FBIOGET_VSCREENINFO, &var) != 0) {
        perror("qd520-fb: /dev/fb0");
        return 1;
    }
    printf("qd520-fb: id=%.16s smem_start=0x%lx smem_len=%u line_length=%u xres=%u yres=%u bits_per_pixel=%u "
           "red=%u/%u green=%u/%u blue=%u/%u transp=%u/%u\n",
           fix.id, fix.smem_start, fix.smem_len, fix.line_length, var.xres, var.yres, var.bits_per_pixel,
           var.red.offset, var.red.length, var.green.offset, var.green.length, var.blue.offset, var.blue.length,
           var.transp.offset, var.transp.length);
    if (var.bits_per_pixel != 32 || var.red.length > 8 || var.green.length > 8 || var.blue.length > 8) {
        printf("qd520-fb: not a 32-bit direct-colour frame buffer\n");
        return 1;
    }

    int tty = open("/dev/tty0", O_RDWR);
    if (tty < 0 || ioctl(tty, KDSETMODE, KD_GRAPHICS) != 0) {
        perror("qd520-fb: KD_GRAPHICS on /dev/tty0");
        return 1;
    }

    size_t size = (size_t)fix.line_length * var.yres;
    uint8_t *frame = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fb, 0);
    if (frame == MAP_FAILED) {
        perror("qd520-fb: mmap");
        return 1;
    }
    for (unsigned y = 0; y < var.yres; y++) {
        uint32_t *row = (uint32_t *)(frame + (size_t)y * fix.line_length);
        for (unsigned x = 0; x < var.xres; x++) {
            unsigned red, green, blue;
            picture_pixel(x, y, &red, &green, &blue);
            row[x] = place(red, &var.red) | place(green, &var.green) | place(blue, &var.blue);
        }
    }
    msync(frame, size, MS_SYNC);
    printf("qd520-fb: picture drawn, %ux%u at %u bytes a line\n", var.xres, var.yres, fix.line_length);
    return 0;
}
